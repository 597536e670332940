// The process entry: locale, command line, one command, closing message, exit code.
#pragma once

#include "commands/commands.h"

namespace keymend {

// Exit codes: 0 after success, the manual or the version, 1 after a failed command, 2 after a
// refused line.
constexpr int kExitWrongCommandLine = 2;

int RunMain(int argc, char** argv);

// The operation of a command name; null for -help and any other name.
using CommandFunction = CommandResult (*)(const Settings& settings);
CommandFunction FindCommand(const char* command);

}  // namespace keymend
