#include "commands/commands.h"

namespace keymend {

CommandResult RunRepair(const Settings&) { return {}; }

}  // namespace keymend
