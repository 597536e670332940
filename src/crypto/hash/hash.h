// GOST R 34.11-94 and GOST R 34.11-2012 (256/512) hashes, streaming and one-shot, and the
// operations keyed computations go through: hash by algorithm identifier, HMAC and one PBKDF2
// block with a GOST HMAC as pseudo-random function.
//
// Byte order everywhere is memory order: the digest bytes as `openssl dgst` prints them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace keymend {

// Algorithm identifiers (the platform's numbering).
constexpr uint32_t kAlgGostR341194 = 0x801E;        // GOST R 34.11-94, 32-byte digest
constexpr uint32_t kAlgStreebog256 = 0x8021;        // GOST R 34.11-2012, 32-byte digest
constexpr uint32_t kAlgStreebog512 = 0x8022;        // GOST R 34.11-2012, 64-byte digest
constexpr uint32_t kAlgHmacGostR341194 = 0x8027;    // HMAC over 0x801E, 32-byte block
constexpr uint32_t kAlgHmacStreebog256 = 0x8034;    // HMAC over 0x8021, 64-byte block
constexpr uint32_t kAlgHmacStreebog512 = 0x8035;    // HMAC over 0x8022, 64-byte block
// Further identifiers the GOST R 34.11-2012 initialiser accepts (same starting vectors).
constexpr uint32_t kAlgStreebog256Alt = 0x8038;
constexpr uint32_t kAlgStreebog512Alt = 0x8039;

// Pbkdf2Block pseudo-random function selectors: 75 picks HMAC 0x8027, anything else 0x8035.
constexpr uint32_t kPrfGostR341194 = 75;
constexpr uint32_t kPrfStreebog512 = 81;

constexpr size_t kGostR341194DigestSize = 32;
constexpr size_t kGostR341194BlockSize = 32;
constexpr size_t kStreebogBlockSize = 64;
constexpr size_t kMaxDigestSize = 64;
constexpr size_t kPbkdf2BlockOutput = 32;

// ---- GOST R 34.11-94 (RFC 5831), hash parameter set 1.2.643.2.2.30.1 -------------------------

// Working state. A zero-filled state (GostR341194Reset) is the start of a hash with the zero
// starting vector. It may hold key-derived data (HMAC): wipe it with SecureWipe when done.
struct GostR341194State {
    uint64_t h[4];        // chaining value (256-bit little-endian number, word 0 least significant)
    uint64_t sigma[4];    // sum of the message blocks mod 2^256
    uint64_t count;       // message bytes absorbed
    uint8_t pending[32];  // partial block (count % 32 bytes valid)
};

void GostR341194Reset(GostR341194State& state);
// Absorbs any number of bytes; may be called repeatedly.
bool GostR341194Update(GostR341194State& state, const uint8_t* data, size_t length);
// Writes the 32-byte digest. The state is not changed: more data may follow.
bool GostR341194Finish(const GostR341194State& state, uint8_t out[32]);
// One-shot hash; startVector (32 bytes) null means zero.
bool GostR341194Hash(const uint8_t* data, size_t length, uint8_t out[32],
                     const uint8_t* startVector = nullptr);

// ---- GOST R 34.11-2012 (RFC 6986) ------------------------------------------------------------

struct StreebogState {
    uint64_t h[8];        // chaining value (512-bit little-endian number, word 0 least significant)
    uint64_t n[8];        // bits processed
    uint64_t sigma[8];    // sum of the message blocks mod 2^512
    uint8_t pending[64];  // partial block
    uint32_t pendingLength;
    uint32_t digestSize;  // 32 or 64; 0 when not initialised
};

// Digest size of an identifier the initialiser accepts (0x8021, 0x8034, 0x8038: 32; 0x8022,
// 0x8035, 0x8039: 64), or 0 for any other.
size_t StreebogDigestSize(uint32_t identifier);
// Starts a hash; false (state unusable) for an identifier outside the list above.
bool StreebogInit(StreebogState& state, uint32_t identifier);
bool StreebogUpdate(StreebogState& state, const uint8_t* data, size_t length);
// Writes state.digestSize bytes. The state is not changed: more data may follow.
bool StreebogFinish(const StreebogState& state, uint8_t* out);
bool StreebogHash(uint32_t identifier, const uint8_t* data, size_t length, uint8_t* out);
// The compression in use under the current processor feature limit, for reports: "gfni-avx512"
// (GFNI and AVX-512 VBMI) or "portable". Every one gives the same results.
const char* StreebogImplementation();

// ---- By algorithm identifier -------------------------------------------------------------

// 0x801E and 0x8021 require outLength 32, 0x8022 requires 64; anything else fails.
bool HashById(const uint8_t* data, size_t length, uint8_t* out, size_t outLength,
              uint32_t identifier);

// HMAC (RFC 2104): 0x8027 (outLength 32), 0x8034 (32), 0x8035 (64); any other identifier is
// computed as 0x8035. Keys longer than the hash block are hashed first. A null key pointer fails;
// an empty key with a pointer is allowed.
bool HmacById(const uint8_t* data, size_t length, uint8_t* out, size_t outLength,
              const uint8_t* key, size_t keyLength, uint32_t hmacIdentifier);

// One PBKDF2 block T_blockIndex (RFC 8018), truncated to its first 32 bytes. PRF: HMAC 0x8027
// for prfSelector 75, HMAC 0x8035 for any other. password is NUL-terminated (used without the
// terminator; null fails). Iteration counts 0 and 1 both give U1. outLength must be 32.
bool Pbkdf2Block(uint8_t* out, size_t outLength, uint32_t prfSelector, const char* password,
                 const uint8_t* salt, size_t saltLength, uint64_t iterations,
                 uint32_t blockIndex);
// The same with an explicit password length (any bytes, NULs included).
bool Pbkdf2Block(uint8_t* out, size_t outLength, uint32_t prfSelector, const uint8_t* password,
                 size_t passwordLength, const uint8_t* salt, size_t saltLength,
                 uint64_t iterations, uint32_t blockIndex);

}  // namespace keymend
