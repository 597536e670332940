#include "platform/random.h"
#include "platform/seams.h"

#include <sys/random.h>

#include <cerrno>

namespace keymend {

namespace {


bool SystemRandom(uint8_t* buffer, size_t n) {
    size_t done = 0;
    while (done < n) {
        ssize_t got = getrandom(buffer + done, n - done, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(got);
    }
    return true;
}

}  // namespace

bool PlatformRandomBytes(uint8_t* buffer, size_t n) {
    if (n == 0) return true;
    if (buffer == nullptr) return false;
    bool ok = false;
    return TestRandomBytes(buffer, n, &ok) ? ok : SystemRandom(buffer, n);
}


}  // namespace keymend
