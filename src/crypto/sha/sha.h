// SHA-1, SHA-224, SHA-256, SHA-384 and SHA-512 (FIPS 180-4), streaming and one-shot; HMAC over
// each (RFC 2104) and PBKDF2 with such an HMAC as pseudo-random function (RFC 8018).
//
// Digests are written in the standard's byte order (big-endian words), as `openssl dgst` prints
// them. Where the processor has the SHA extensions (with SSSE3 and SSE4.1), SHA-1 and SHA-256
// compress with them, chosen on every call (LimitCpuFeatures forces the portable code, which gives
// identical results). Nothing here allocates; working copies are wiped before return.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/context/secure_blob.h"

namespace keymend {

enum class ShaAlgorithm : uint8_t { kSha1, kSha224, kSha256, kSha384, kSha512 };

constexpr size_t kShaMaxDigestSize = 64;
constexpr size_t kShaMaxBlockSize = 128;

// 20, 28, 32, 48 or 64 octets; 0 for a value outside the enumeration.
size_t ShaDigestSize(ShaAlgorithm algorithm);
// 64 (SHA-1, SHA-224, SHA-256) or 128 (SHA-384, SHA-512) octets; 0 outside the enumeration.
size_t ShaBlockSize(ShaAlgorithm algorithm);

// A hash in progress. It may hold secret data (a password, HMAC pads) and wipes itself when it
// goes out of scope; copies are independent states.
struct ShaState {
    ShaAlgorithm algorithm;
    uint64_t count;  // message octets absorbed
    union {
        uint32_t h32[8];  // chaining value of SHA-1 (5 words), SHA-224 and SHA-256
        uint64_t h64[8];  // chaining value of SHA-384 and SHA-512
    };
    uint8_t pending[kShaMaxBlockSize];  // the partial block: count % block size octets

    ShaState() = default;
    ShaState(const ShaState&) = default;
    ShaState& operator=(const ShaState&) = default;
    ~ShaState() { SecureWipe(this, sizeof *this); }
};

// Starts a hash. False for an algorithm outside the enumeration; the state then refuses Update
// and Finish.
bool ShaInit(ShaState& state, ShaAlgorithm algorithm);
// Absorbs any number of octets; may be called repeatedly. False for null data with a length.
bool ShaUpdate(ShaState& state, const uint8_t* data, size_t length);
// Writes ShaDigestSize octets. The state is not changed: more data may follow.
bool ShaFinish(const ShaState& state, uint8_t* out);
// One-shot hash of data[0, length) into ShaDigestSize octets at out.
bool ShaHash(ShaAlgorithm algorithm, const uint8_t* data, size_t length, uint8_t* out);
// The hash applied `times` times (at least once): out = H(H(...H(data))).
bool ShaHashRepeated(ShaAlgorithm algorithm, const uint8_t* data, size_t length, uint64_t times,
                     uint8_t* out);

// HMAC (RFC 2104) into ShaDigestSize octets. Keys longer than the block are hashed first; an
// empty key needs no pointer.
bool ShaHmac(ShaAlgorithm algorithm, const uint8_t* key, size_t keyLength, const uint8_t* data,
             size_t length, uint8_t* out);

// PBKDF2 (RFC 8018 section 5.2) with HMAC over `prf`: outLength octets (1 up to (2^32 - 1) blocks
// of the digest size) from the password octets, the salt and at least one iteration.
bool ShaPbkdf2(ShaAlgorithm prf, const uint8_t* password, size_t passwordLength,
               const uint8_t* salt, size_t saltLength, uint64_t iterations, uint8_t* out,
               size_t outLength);

}  // namespace keymend
