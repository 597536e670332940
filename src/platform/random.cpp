#include "platform/random.h"

#include <sys/random.h>

#include <cerrno>

namespace keymend {

namespace {

RandomSource g_source = nullptr;

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
    return g_source != nullptr ? g_source(buffer, n) : SystemRandom(buffer, n);
}

void SetRandomSourceForTesting(RandomSource source) { g_source = source; }

}  // namespace keymend
