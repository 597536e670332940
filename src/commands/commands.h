// The four operations the front end dispatches to.
#pragma once

#include "cli/settings.h"

namespace keymend {

// What a command reports back: success, or failure with the id of its own message (0 when the
// failure has no message of its own and only the closing "Failed while executing." is printed).
struct CommandResult {
    bool ok = false;
    int messageId = 0;
};

CommandResult RunImportNew(const Settings& settings);  // -p12tokv
CommandResult RunImportAdd(const Settings& settings);  // -p12addtokv
CommandResult RunRepair(const Settings& settings);     // -kvrepair
CommandResult RunPublicExport(const Settings& settings);  // -kvpublic

}  // namespace keymend
