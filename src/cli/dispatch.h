// The process entry: locale, command line, one command, closing message, exit code.
#pragma once

namespace keymend {

// Exit codes: 0 after success, the manual or the version, 1 after a failed command, 2 after a
// refused line.
constexpr int kExitWrongCommandLine = 2;

int RunMain(int argc, char** argv);

}  // namespace keymend
