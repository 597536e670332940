#include "commands/commands.h"

namespace keymend {

CommandResult RunImportNew(const Settings&) { return {}; }

CommandResult RunImportAdd(const Settings&) { return {}; }

}  // namespace keymend
