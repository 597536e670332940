#include "platform/process.h"

#include <sys/resource.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

namespace keymend {

bool HardenProcess() {
    const rlimit noCore{0, 0};
    bool ok = setrlimit(RLIMIT_CORE, &noCore) == 0;
#if defined(__linux__)
    ok = prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0 && ok;
#endif
    return ok;
}

}  // namespace keymend
