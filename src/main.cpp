// Process entry only; everything else lives in the library.
#include "cli/dispatch.h"

int main(int argc, char** argv) { return keymend::RunMain(argc, argv); }
