#include "cli/dispatch.h"

#include <cstdio>

namespace keymend {

int RunMain(int, char**) {
    std::fputs("Failed while executing.\n", stdout);
    return 1;
}

}  // namespace keymend
