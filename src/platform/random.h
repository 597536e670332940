// The operating system's source of cryptographically strong random bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace keymend {

// Fills n bytes from the system source; false when it refuses.
bool PlatformRandomBytes(uint8_t* buffer, size_t n);

// Test seam: replaces the system source (null restores it). A source returning false makes every
// caller see a failing random source.
using RandomSource = bool (*)(uint8_t* buffer, size_t n);
void SetRandomSourceForTesting(RandomSource source);

}  // namespace keymend
