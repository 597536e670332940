// The process entry on Windows, where the command line arrives in UTF-16 (wmain).
#pragma once

namespace keymend {

using MainFunction = int (*)(int argc, char** argv);

// Converts argv[0..argc) to argument bytes (the ANSI code page's bytes wherever it spells the
// text, see platform/win32/argument_bytes.h), runs `run` on them and returns its exit code. The
// converted arguments are wiped afterwards.
int RunWithWideArguments(int argc, wchar_t** argv, MainFunction run);

}  // namespace keymend
