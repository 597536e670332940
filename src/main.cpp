// Process entry only; everything else lives in the library.
#include "cli/dispatch.h"

#ifdef _WIN32
#include "platform/process_entry.h"

// Windows hands the command line over in UTF-16 (the program is linked with -municode).
int wmain(int argc, wchar_t** argv) {
    return keymend::RunWithWideArguments(argc, argv, keymend::RunMain);
}
#else
int main(int argc, char** argv) {
    return keymend::RunMain(argc, argv);
}
#endif
