// Public keys of masked GOST R 34.10-2001/2012 private keys, their 8-byte check values, and the
// scalar multiplication behind them.
//
// Numbers: every key, mask and coordinate is an unsigned integer of the curve width (32 bytes for
// 256-bit parameter sets, 64 bytes for 512-bit ones), least significant byte first.
//
// A private key is held as a pair (stored value k, mask m); the private key is d = k * m^-1 mod q,
// q being the order of the base point P of the key's parameter set. The public key is computed
// without forming d: Q = m^-1 * (k * P). k and m are used as full-width integers, so values of q
// or more act as their residues.
//
// Public-key layout: x then y, the affine short-Weierstrass coordinates of Q, each of the curve
// width and little-endian: 64 bytes for 256-bit sets, 128 bytes for 512-bit sets, with no tag,
// length or compression byte. For the twisted Edwards sets (1.2.643.7.1.2.1.1.1 and
// 1.2.643.7.1.2.1.2.3) it is still the Weierstrass pair (RFC 7836 map), never (u, v). This is the
// content of the OCTET STRING inside a GOST SubjectPublicKeyInfo.
//
// The curve is named by the dotted OID text of its public-key parameter set; callers pass the text
// returned by ParamSetCanonicalOid (crypto/ec/curve.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/ec/curve.h"
#include "crypto/ec/key_mask.h"

namespace keymend {

constexpr size_t kCheckValueSize = 8;

// output receives 2 * keyLength bytes (x then y), written only on success. Fails when keyLength or
// maskLength is not 32 or 64, when they differ, when keyLength is not the width of the curve, for
// an unknown or null OID, when the mask has no inverse mod q (kDivide), when k = 0 mod q
// (neutral result), on heap or scratch exhaustion. With kMultiply the mask multiplies instead:
// Q = m * (k * P). The stored keys are masked with kDivide: d = k * m^-1.
bool PublicKeyFromPrivate(uint8_t* output, const uint8_t* key, size_t keyLength,
                          const uint8_t* mask, size_t maskLength, const char* curveOid,
                          MaskStep step);

// The check value of the same public key: its first 8 bytes (the 8 least significant bytes of x).
// output8 is written only on success.
bool PublicKeyCheckValue(uint8_t* output8, const uint8_t* key, size_t keyLength,
                         const uint8_t* mask, size_t maskLength, const char* curveOid,
                         MaskStep step);

}  // namespace keymend
