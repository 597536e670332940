// The operating system's source of cryptographically strong random bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace keymend {

// Fills n bytes from the system source; false when it refuses.
bool PlatformRandomBytes(uint8_t* buffer, size_t n);

}  // namespace keymend
