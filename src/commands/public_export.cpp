#include "commands/commands.h"

namespace keymend {

CommandResult RunPublicExport(const Settings&) { return {}; }

}  // namespace keymend
