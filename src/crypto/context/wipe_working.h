// Wiping of the working copies of the hash and cipher routines (chaining values, round keys,
// pads, cipher words). A plain memset followed by a compiler barrier: cheap enough for every
// compression call, and the barrier keeps the compiler from dropping the stores as dead.
#pragma once

#include <cstddef>
#include <cstring>

namespace keymend {

inline void WipeWorking(void* p, size_t n) {
    std::memset(p, 0, n);
    __asm__ __volatile__("" : : "r"(p) : "memory");
}

}  // namespace keymend
