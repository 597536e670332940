// The four operations the front end dispatches to.
#pragma once

#include <string>
#include <vector>

#include "cli/settings.h"

namespace keymend {

// A warning for standard error: a message id and the texts that stand for its %1, %2, ...
struct CommandWarning {
    int messageId = 0;
    std::vector<std::string> parameters;
};

// What a command reports back: success, or failure with the id of its own message (0 when the
// failure has no message of its own and only the closing "Failed while executing." is printed)
// and, when detailId is set, a second message on the next line. Warnings go to standard error
// whatever the outcome.
struct CommandResult {
    bool ok = false;
    int messageId = 0;
    int detailId = 0;
    std::vector<CommandWarning> warnings = {};
};

CommandResult RunImportNew(const Settings& settings);  // -p12tokv
CommandResult RunImportAdd(const Settings& settings);  // -p12addtokv
CommandResult RunRepair(const Settings& settings);     // -kvrepair
CommandResult RunPublicExport(const Settings& settings);  // -kvpublic

}  // namespace keymend
