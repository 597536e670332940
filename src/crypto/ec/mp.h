// Unsigned multi-precision arithmetic: fixed-width primitives on 64-, 256-, 320- and 512-bit
// values, digit-vector operations, remainder, modular multiplication and inverse (temporaries on
// the scratch stack of the crypto context), and GuardedBuffer, a checksummed byte holder.
//
// A number of n digits is n 64-bit digits, least significant first: on this little-endian host
// exactly a little-endian byte string of 8n bytes, so 32- and 64-byte values from key files are
// used in place. No sign, no length field: every operand has the width its operation states.
#pragma once

#include <cstddef>
#include <cstdint>

namespace keymend {

using Digit = uint64_t;

// ---- GuardedBuffer ----

constexpr uint32_t kGuardedOwns = 0x10;  // flags bit 4: the buffer owns its data
constexpr uint8_t kGuardedDestroyFill = 0x42;

struct GuardedBuffer {
    uint8_t* data = nullptr;
    uint32_t length = 0;    // bytes
    uint32_t flags = 0;     // low 4 bits: LibAlloc flags; kGuardedOwns
    uint32_t checksum = 0;  // over length/4 words, when requested
    uint32_t extra = 0;     // copied unchanged by clone
};

// Null when length is 0, when data is null and own is false, or when memory is refused. With own
// set the bytes are allocated (zero-filled) and data, when given, copied in.
GuardedBuffer* GuardedBufferCreate(const uint8_t* data, uint32_t length, uint32_t flags, bool own,
                                   bool checksumWanted);
// A copy of the record; owned data is copied into a fresh allocation. Null source: last error
// kStatusBadData and null.
GuardedBuffer* GuardedBufferClone(const GuardedBuffer* source);
// Owned data is overwritten with 0x42 and released, then the record. Null is ignored.
void GuardedBufferDestroy(GuardedBuffer* buffer);
bool GuardedBufferVerify(const GuardedBuffer* buffer, uint32_t checksum);
uint32_t GuardedChecksum(const uint8_t* data, size_t words);

// ---- Fixed-width primitives (total; carries and borrows are 0 or 1) ----

Digit Add64(Digit& r, Digit a, Digit b, Digit carryIn);
Digit Sub64(Digit& r, Digit a, Digit b, Digit borrowIn);
Digit Add256(Digit* r, const Digit* a, const Digit* b);
Digit Add512(Digit* r, const Digit* a, const Digit* b);
Digit Sub256(Digit* r, const Digit* a, const Digit* b);
Digit Sub512(Digit* r, const Digit* a, const Digit* b);
int Cmp256(const Digit* a, const Digit* b);  // -1, 0, 1
int Cmp320(const Digit* a, const Digit* b);
void Mul256(Digit* r8, const Digit* a4, const Digit* b4);  // r must not alias a or b
void Mul512(Digit* r16, const Digit* a8, const Digit* b8);
void Sqr256(Digit* r8, const Digit* a4);
void Sqr512(Digit* r16, const Digit* a8);

// ---- Digit vectors (n digits) ----

Digit MpAdd(Digit* r, const Digit* a, const Digit* b, size_t n);  // r may alias a or b
Digit MpSub(Digit* r, const Digit* a, const Digit* b, size_t n);
Digit MpAddTo(Digit* a, const Digit* b, size_t n);
Digit MpSubFrom(Digit* a, const Digit* b, size_t n);
int MpCmp(const Digit* a, const Digit* b, size_t n);
bool MpIsZero(const Digit* a, size_t n);
int MpTopDigit(const Digit* a, size_t n);  // index of the highest non-zero digit, -1 for zero
Digit MpInc(Digit* a, size_t n);           // 1 only on overflow
Digit MpDec(Digit* a, size_t n);           // 1 only on underflow
// MpMulDigit (r: n+1 digits = a * d) is inline, in mp_inline.h.
void MpMul(Digit* r, const Digit* a, size_t n, const Digit* b, size_t m);  // r: n+m digits, no alias
int BitIndex(Digit d);  // highest set bit, -1 for 0

// ---- Modular operations (scratch stack; false when it is exhausted) ----

// r (lm digits) = a (la digits) mod m (lm digits). Fails for m = 0. r may alias a.
// Scratch: 24*(la+2) + 16*lm bytes.
bool MpMod(Digit* r, const Digit* a, size_t la, const Digit* m, size_t lm);
// r = a*b mod m, all n digits. Scratch: 16*n plus MpMod.
bool MpModMul(Digit* r, const Digit* a, const Digit* b, const Digit* m, size_t n);
// r = a^-1 mod m in [0, m); fails when gcd(a, m) != 1. m must be odd. r may alias a, not m.
// Scratch: 24*n + 8 plus MpMod.
bool MpModInverse(Digit* r, const Digit* a, const Digit* m, size_t n);
// As MpModInverse, then succeeds only if a*r mod m = 1. r must not alias a.
// Scratch: 16*n plus both.
bool MpModInverseChecked(Digit* r, const Digit* a, const Digit* m, size_t n);
// The checked inverse on 32-bit word counts (must be even); r may be a. Output untouched on an odd
// count. Scratch: 12 * words plus the checked inverse.
bool MpModInverseWords(uint32_t* r, const uint32_t* a, const uint32_t* m, size_t words);

}  // namespace keymend
