// The PKCS#12 derivation of keys, IVs and MAC keys from a password (RFC 7292 appendix B) over the
// SHA hashes, and the password octets it works on.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/context/secure_blob.h"
#include "crypto/sha/sha.h"

namespace keymend {

// The purpose octet ID of RFC 7292 appendix B.3.
constexpr uint8_t kPkcs12IdKey = 1;
constexpr uint8_t kPkcs12IdIv = 2;
constexpr uint8_t kPkcs12IdMac = 3;

// The password octets of RFC 7292 appendix B.1 for a UTF-8 password: the text as a BMPString
// (UTF-16 big-endian code units, characters beyond U+FFFF as surrogate pairs) followed by two
// zero octets. The empty password gives the two zero octets alone: that is what files written
// with an empty password are protected with. (Appendix B.2 can also be read as taking no octets
// at all for it, as some writers do; that is Pkcs12DeriveKey with a password of length 0.)
// False for text that is not strict UTF-8 (overlong forms, surrogates and values above U+10FFFF
// fail) or when memory is refused; `out` is then empty.
bool Pkcs12PasswordFromUtf8(const uint8_t* utf8, size_t length, SecureBlob& out);

// RFC 7292 appendix B.2: outLength octets for purpose `id` from the password octets, the salt and
// `iterations` (at least 1), u and v being the digest and block sizes of `hash`. A null password
// or salt with length 0 is the empty string. False for an unknown hash, zero iterations or output
// length, a null pointer with a length, or when memory is refused.
bool Pkcs12DeriveKey(ShaAlgorithm hash, const uint8_t* password, size_t passwordLength,
                     const uint8_t* salt, size_t saltLength, uint8_t id, uint64_t iterations,
                     uint8_t* out, size_t outLength);

}  // namespace keymend
