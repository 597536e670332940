// The process entry: locale, command line, one command, closing message, exit code.
#pragma once

namespace keymend {

int RunMain(int argc, char** argv);

}  // namespace keymend
