// Internal interface of the SHA module: the constant tables (sha_constants.cpp) and the
// compression functions, portable (sha_portable.cpp) and with the SHA extensions (sha_x86.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

namespace keymend::sha_detail {

extern const uint32_t kSha1Init[5];
extern const uint32_t kSha1K[4];
extern const uint32_t kSha224Init[8];
extern const uint32_t kSha256Init[8];
extern const uint32_t kSha256K[64];
extern const uint64_t kSha384Init[8];
extern const uint64_t kSha512Init[8];
extern const uint64_t kSha512K[80];

// Each absorbs `count` consecutive blocks into the chaining value h.
using Compress32 = void (*)(uint32_t* h, const uint8_t* blocks, size_t count);
using Compress64 = void (*)(uint64_t* h, const uint8_t* blocks, size_t count);

void Sha1CompressPortable(uint32_t* h, const uint8_t* blocks, size_t count);
void Sha256CompressPortable(uint32_t* h, const uint8_t* blocks, size_t count);
void Sha512CompressPortable(uint64_t* h, const uint8_t* blocks, size_t count);

// With the SHA extensions; callable only where ShaExtensionsUsable() holds.
bool ShaExtensionsUsable();
void Sha1CompressShaNi(uint32_t* h, const uint8_t* blocks, size_t count);
void Sha256CompressShaNi(uint32_t* h, const uint8_t* blocks, size_t count);

// The fastest variant the processor allows now.
inline Compress32 Sha1Compressor() {
    return ShaExtensionsUsable() ? Sha1CompressShaNi : Sha1CompressPortable;
}
inline Compress32 Sha256Compressor() {
    return ShaExtensionsUsable() ? Sha256CompressShaNi : Sha256CompressPortable;
}

}  // namespace keymend::sha_detail
