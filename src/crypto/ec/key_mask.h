// Key masks. A private key is stored as two factors modulo the order q of its curve: the stored
// value k and its mask m, the private key being d = k * m^-1 mod q. Every change of a mask goes
// through ApplyMask, which multiplies k by a mask or by its inverse mod q, optionally drawing a
// fresh random mask first (from the crypto context's random source).
//
// Keys and masks: little-endian unsigned integers of the curve width, 32 bytes for 256-bit
// parameter sets, 64 bytes for 512-bit ones (CurveKeyLength in crypto/ec/curve.h). The curve is
// named by its parameter set OID as dotted text (ParamSetCanonicalOid).
//
// Failure rules: on any failure key is left unchanged. Lengths and the curve are checked before
// any random bytes are drawn; with generate set, mask has been overwritten with fresh random
// bytes once the draw succeeded.
#pragma once

#include <cstddef>
#include <cstdint>

namespace keymend {

// How a mask acts on the key: key * mask or key * mask^-1 (mod q).
enum class MaskStep { kMultiply, kDivide };
// Whether the mask is the one given or first receives keyLength fresh random bytes (used as drawn).
enum class MaskDraw { kGiven, kFresh };

// key = key * mask mod q (kMultiply) or key * mask^-1 mod q (kDivide); the result is fully
// reduced and written over key. With kFresh, mask first receives keyLength random bytes. Fails when the OID is null or unknown, key or mask is null, keyLength != maskLength,
// the length is not 32 or 64 or not the curve width, the random source fails, or (kDivide) the
// mask has no inverse mod q.
bool ApplyMask(uint8_t* key, size_t keyLength, uint8_t* mask, size_t maskLength,
               const char* curveOid, MaskStep step, MaskDraw draw);

// ApplyMask with the mask given (never drawn).
bool ApplyStoredMask(uint8_t* key, size_t keyLength, const uint8_t* mask, size_t maskLength,
                     const char* curveOid, MaskStep step);

// Re-masks a key: first key = key * firstMask (firstStep kMultiply) or key / firstMask, firstMask
// drawn fresh with kFresh; then key = key / secondMask (secondStep kDivide) or key * secondMask.
// ReplaceMask(..., draw) with kMultiply then kDivide turns (k, secondMask) into
// (k * firstMask / secondMask, firstMask), the same private key under the new mask firstMask.
// True only if both steps succeed; on failure key keeps its value from before the call.
bool ReplaceMask(uint8_t* key, size_t keyLength, const uint8_t* secondMask, size_t maskLength,
                 uint8_t* firstMask, const char* curveOid, MaskDraw draw,
                 MaskStep secondStep = MaskStep::kDivide, MaskStep firstStep = MaskStep::kMultiply);

}  // namespace keymend
