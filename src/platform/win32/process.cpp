// Windows writes no core files of its own; whether a crash leaves a dump is a setting of the
// system's error reporting, which a program cannot override for itself.
#include "platform/process.h"

namespace keymend {

bool HardenProcess() {
    return true;
}

}  // namespace keymend
