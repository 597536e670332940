// The SHA state machine (padding, streaming), HMAC and PBKDF2. The PBKDF2 and repeated-hash loops
// work on single padded blocks with the compression function directly: each HMAC iteration then
// costs two compressions and no state handling.
#include "crypto/sha/sha.h"

#include <cstring>

#include "crypto/context/secure_blob.h"
#include "crypto/sha/sha_internal.h"

namespace keymend {

namespace {

using namespace sha_detail;

bool Valid(ShaAlgorithm algorithm) {
    return algorithm <= ShaAlgorithm::kSha512;
}
bool Wide(ShaAlgorithm algorithm) {
    return algorithm >= ShaAlgorithm::kSha384;
}

template <typename Word>
using CompressFn = void (*)(Word* h, const uint8_t* blocks, size_t count);

CompressFn<uint32_t> Compressor32(ShaAlgorithm algorithm) {
    return algorithm == ShaAlgorithm::kSha1 ? Sha1Compressor() : Sha256Compressor();
}

template <typename Word>
Word* Chain(ShaState& state);
template <>
uint32_t* Chain<uint32_t>(ShaState& state) {
    return state.h32;
}
template <>
uint64_t* Chain<uint64_t>(ShaState& state) {
    return state.h64;
}

void Compress(ShaState& state, const uint8_t* blocks, size_t count) {
    if (Wide(state.algorithm)) {
        Sha512CompressPortable(state.h64, blocks, count);
    } else {
        Compressor32(state.algorithm)(state.h32, blocks, count);
    }
}

// The first `octets` octets of the chaining value, words big-endian.
template <typename Word>
void StoreDigest(const Word* h, size_t octets, uint8_t* out) {
    for (size_t w = 0; w < octets / sizeof(Word); ++w) {
        for (size_t i = 0; i < sizeof(Word); ++i) {
            out[w * sizeof(Word) + i] = static_cast<uint8_t>(h[w] >> (8 * (sizeof(Word) - 1 - i)));
        }
    }
}

// The message length in bits at the end of a final block: the last 8 octets, and for the 16-octet
// field of SHA-384/512 the top bits of the octet count in the octet before (the rest is zero).
void PutLength(uint8_t* block, size_t blockSize, uint64_t total) {
    const uint64_t bits = total << 3;
    for (int i = 0; i < 8; ++i) block[blockSize - 1 - i] = static_cast<uint8_t>(bits >> (8 * i));
    if (blockSize == 128) block[blockSize - 9] = static_cast<uint8_t>(total >> 61);
}

// Pads the final block holding the last `used` octets of a `total`-octet message (room for the
// length assumed): 0x80, zeros, the length.
void PadTail(uint8_t* block, size_t blockSize, size_t used, uint64_t total) {
    block[used] = 0x80;
    std::memset(block + used + 1, 0, blockSize - used - 1);
    PutLength(block, blockSize, total);
}

// Replaces the digest in `block` (a single padded block) by its hash `count` times.
template <typename Word>
void RepeatHash(CompressFn<Word> compress, const Word* start, size_t digestSize, uint64_t count,
                uint8_t* block) {
    Word h[8];
    for (uint64_t n = 0; n < count; ++n) {
        std::memcpy(h, start, sizeof h);
        compress(h, block, 1);
        StoreDigest(h, digestSize, block);
    }
    SecureWipe(h, sizeof h);
}

// HMAC with the pads absorbed (the chaining values after one block each).
struct HmacKeyed {
    ShaState inner;
    ShaState outer;
};

bool HmacStart(HmacKeyed& hmac, ShaAlgorithm algorithm, const uint8_t* key, size_t keyLength) {
    if (!Valid(algorithm) || (key == nullptr && keyLength != 0)) return false;
    const size_t block = ShaBlockSize(algorithm);
    SecureArray<kShaMaxBlockSize> pad;
    if (keyLength > block) {
        if (!ShaHash(algorithm, key, keyLength, pad.data())) return false;
    } else if (keyLength != 0) {
        std::memcpy(pad.data(), key, keyLength);
    }
    for (size_t i = 0; i < block; ++i) pad[i] ^= 0x36;
    ShaInit(hmac.inner, algorithm);
    ShaUpdate(hmac.inner, pad.data(), block);
    for (size_t i = 0; i < block; ++i) pad[i] ^= 0x36 ^ 0x5C;
    ShaInit(hmac.outer, algorithm);
    ShaUpdate(hmac.outer, pad.data(), block);
    return true;
}

// HMAC of part1 || part2.
void HmacCompute(const HmacKeyed& hmac, const uint8_t* part1, size_t length1, const uint8_t* part2,
                 size_t length2, uint8_t* out) {
    ShaState state = hmac.inner;
    ShaUpdate(state, part1, length1);
    ShaUpdate(state, part2, length2);
    SecureArray<kShaMaxDigestSize> innerHash;
    ShaFinish(state, innerHash.data());
    state = hmac.outer;
    ShaUpdate(state, innerHash.data(), ShaDigestSize(state.algorithm));
    ShaFinish(state, out);
}

// PBKDF2 iterations 2..count+1 of one block: `u` holds U_1 and `t` the running XOR on entry.
template <typename Word>
void Pbkdf2Iterate(CompressFn<Word> compress, HmacKeyed& hmac, uint64_t count, const uint8_t* u,
                   uint8_t* t) {
    constexpr size_t kBlock = 16 * sizeof(Word);
    const size_t digestSize = ShaDigestSize(hmac.inner.algorithm);
    const Word* innerChain = Chain<Word>(hmac.inner);
    const Word* outerChain = Chain<Word>(hmac.outer);
    alignas(16) uint8_t block[kBlock];
    Word h[8];
    std::memcpy(block, u, digestSize);
    PadTail(block, kBlock, digestSize, kBlock + digestSize);
    for (uint64_t n = 0; n < count; ++n) {
        std::memcpy(h, innerChain, sizeof h);
        compress(h, block, 1);
        StoreDigest(h, digestSize, block);
        std::memcpy(h, outerChain, sizeof h);
        compress(h, block, 1);
        StoreDigest(h, digestSize, block);
        for (size_t i = 0; i < digestSize; ++i) t[i] ^= block[i];
    }
    SecureWipe(block, sizeof block);
    SecureWipe(h, sizeof h);
}

}  // namespace

size_t ShaDigestSize(ShaAlgorithm algorithm) {
    switch (algorithm) {
        case ShaAlgorithm::kSha1:
            return 20;
        case ShaAlgorithm::kSha224:
            return 28;
        case ShaAlgorithm::kSha256:
            return 32;
        case ShaAlgorithm::kSha384:
            return 48;
        case ShaAlgorithm::kSha512:
            return 64;
    }
    return 0;
}

size_t ShaBlockSize(ShaAlgorithm algorithm) {
    return Valid(algorithm) ? (Wide(algorithm) ? 128 : 64) : 0;
}

bool ShaInit(ShaState& state, ShaAlgorithm algorithm) {
    state.algorithm = algorithm;
    state.count = 0;
    switch (algorithm) {
        case ShaAlgorithm::kSha1:
            std::memcpy(state.h32, kSha1Init, sizeof kSha1Init);
            return true;
        case ShaAlgorithm::kSha224:
            std::memcpy(state.h32, kSha224Init, sizeof kSha224Init);
            return true;
        case ShaAlgorithm::kSha256:
            std::memcpy(state.h32, kSha256Init, sizeof kSha256Init);
            return true;
        case ShaAlgorithm::kSha384:
            std::memcpy(state.h64, kSha384Init, sizeof kSha384Init);
            return true;
        case ShaAlgorithm::kSha512:
            std::memcpy(state.h64, kSha512Init, sizeof kSha512Init);
            return true;
    }
    return false;
}

bool ShaUpdate(ShaState& state, const uint8_t* data, size_t length) {
    if (!Valid(state.algorithm) || (data == nullptr && length != 0)) return false;
    if (length == 0) return true;
    const size_t block = ShaBlockSize(state.algorithm);
    size_t used = static_cast<size_t>(state.count % block);
    state.count += length;
    if (used != 0) {
        const size_t take = length < block - used ? length : block - used;
        std::memcpy(state.pending + used, data, take);
        data += take, length -= take, used += take;
        if (used < block) return true;
        Compress(state, state.pending, 1);
    }
    const size_t whole = length / block;
    if (whole != 0) Compress(state, data, whole);
    data += whole * block, length -= whole * block;
    if (length != 0) std::memcpy(state.pending, data, length);
    return true;
}

bool ShaFinish(const ShaState& state, uint8_t* out) {
    if (!Valid(state.algorithm) || out == nullptr) return false;
    ShaState last = state;
    const size_t block = ShaBlockSize(last.algorithm);
    const size_t used = static_cast<size_t>(last.count % block);
    const size_t lengthField = block / 8;  // 8 or 16 octets
    if (used + 1 > block - lengthField) {
        // No room for the length: 0x80 and zeros end this block, the length fills the next.
        last.pending[used] = 0x80;
        std::memset(last.pending + used + 1, 0, block - used - 1);
        Compress(last, last.pending, 1);
        std::memset(last.pending, 0, block);
        PutLength(last.pending, block, last.count);
    } else {
        PadTail(last.pending, block, used, last.count);
    }
    Compress(last, last.pending, 1);
    if (Wide(last.algorithm)) {
        StoreDigest(last.h64, ShaDigestSize(last.algorithm), out);
    } else {
        StoreDigest(last.h32, ShaDigestSize(last.algorithm), out);
    }
    return true;
}

bool ShaHash(ShaAlgorithm algorithm, const uint8_t* data, size_t length, uint8_t* out) {
    ShaState state;
    return ShaInit(state, algorithm) && ShaUpdate(state, data, length) && ShaFinish(state, out);
}

bool ShaHashRepeated(ShaAlgorithm algorithm, const uint8_t* data, size_t length, uint64_t times,
                     uint8_t* out) {
    if (times == 0 || !ShaHash(algorithm, data, length, out)) return false;
    if (times == 1) return true;
    ShaState start;
    ShaInit(start, algorithm);
    const size_t digestSize = ShaDigestSize(algorithm), block = ShaBlockSize(algorithm);
    alignas(16) uint8_t buffer[kShaMaxBlockSize];
    std::memcpy(buffer, out, digestSize);
    PadTail(buffer, block, digestSize, digestSize);
    if (Wide(algorithm)) {
        RepeatHash<uint64_t>(Sha512CompressPortable, start.h64, digestSize, times - 1, buffer);
    } else {
        RepeatHash<uint32_t>(Compressor32(algorithm), start.h32, digestSize, times - 1, buffer);
    }
    std::memcpy(out, buffer, digestSize);
    SecureWipe(buffer, sizeof buffer);
    return true;
}

bool ShaHmac(ShaAlgorithm algorithm, const uint8_t* key, size_t keyLength, const uint8_t* data,
             size_t length, uint8_t* out) {
    if (out == nullptr || (data == nullptr && length != 0)) return false;
    HmacKeyed hmac;
    if (!HmacStart(hmac, algorithm, key, keyLength)) return false;
    HmacCompute(hmac, data, length, nullptr, 0, out);
    return true;
}

bool ShaPbkdf2(ShaAlgorithm prf, const uint8_t* password, size_t passwordLength,
               const uint8_t* salt, size_t saltLength, uint64_t iterations, uint8_t* out,
               size_t outLength) {
    if (!Valid(prf) || out == nullptr || outLength == 0 || iterations == 0) return false;
    if (salt == nullptr && saltLength != 0) return false;
    const size_t digestSize = ShaDigestSize(prf);
    if ((outLength - 1) / digestSize >= 0xFFFFFFFFu) return false;  // at most 2^32 - 1 blocks
    HmacKeyed hmac;
    if (!HmacStart(hmac, prf, password, passwordLength)) return false;
    SecureArray<kShaMaxDigestSize> u, t;
    for (uint32_t index = 1; outLength > 0; ++index) {
        const uint8_t be[4] = {static_cast<uint8_t>(index >> 24), static_cast<uint8_t>(index >> 16),
                               static_cast<uint8_t>(index >> 8), static_cast<uint8_t>(index)};
        HmacCompute(hmac, salt, saltLength, be, sizeof be, u.data());
        std::memcpy(t.data(), u.data(), digestSize);
        if (Wide(prf)) {
            Pbkdf2Iterate<uint64_t>(Sha512CompressPortable, hmac, iterations - 1, u.data(),
                                    t.data());
        } else {
            Pbkdf2Iterate<uint32_t>(Compressor32(prf), hmac, iterations - 1, u.data(), t.data());
        }
        const size_t take = outLength < digestSize ? outLength : digestSize;
        std::memcpy(out, t.data(), take);
        out += take, outLength -= take;
    }
    return true;
}

}  // namespace keymend
