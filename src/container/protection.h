// Password protection of the keys in a container: key algorithm OIDs and provider types, the
// password key derivation, key field encryption, the check values, opening (strict and
// tolerant) and protecting an image for writing.
//
// Passwords are NUL-terminated UTF-16 strings (Settings::containerPassword); null or "" is the
// empty password. Every password key (KEK) is 32 bytes and is wiped after use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "container/container.h"
#include "container/records.h"

namespace keymend {

constexpr uint32_t kProviderType2001 = 75;      // GOST R 34.10-2001, 256-bit keys
constexpr uint32_t kProviderType2012_256 = 80;  // GOST R 34.10-2012, 256-bit keys
constexpr uint32_t kProviderType2012_512 = 81;  // GOST R 34.10-2012, 512-bit keys
constexpr size_t kPasswordKeySize = 32;

// ---- Key algorithm OIDs -------------------------------------------------------------------------
// Key algorithm table, index order:
//   0 1.2.643.2.2.19       1 1.2.643.7.1.1.1.1   2 1.2.643.7.1.1.1.2   (signature keys)
//   3 1.2.643.2.2.98       4 1.2.643.7.1.1.6.1   5 1.2.643.7.1.1.6.2   (key agreement)
//   6 1.2.643.2.2.3        7 1.2.643.7.1.1.3.2   8 1.2.643.7.1.1.3.3   (signature with digest)
// Column (index mod 3) gives the provider type 75, 80, 81.
constexpr int kKeyAlgorithmCount = 9;
const char* KeyAlgorithmOid(int index);  // null outside 0..8
int KeyAlgorithmIndex(const char* oid);  // exact text match, -1 when absent

// 75, 80 or 81; 0 when the OID is not in the table (or null/empty).
uint32_t ProviderTypeOfOid(const char* oid);
inline uint32_t ProviderTypeOfOid(const OidText& oid) {
    return ProviderTypeOfOid(oid.c_str());
}
// The table's own text for that OID, or null.
const char* CanonicalAlgorithmOid(const char* oid);
// True for indices 3 to 5 (key-agreement keys).
bool IsKeyAgreementOid(const char* oid);
// Stores into `out` the table OID of index i (keySpec 2, signature) or i + 3 (any other key use,
// exchange), where i is the index 0..2 of `oid`. False (out unchanged) otherwise.
bool AlgorithmOidForKeyUse(const char* oid, uint32_t keySpec, OidText& out);
// 32 bytes for provider types 75 and 80, 64 for 81, 0 otherwise.
uint32_t KeyLengthOfProviderType(uint32_t providerType);
// The digest parameter set of the provider type's hash family, for key parameters that name only
// the curve: "1.2.643.2.2.30.1" (75), "1.2.643.7.1.1.2.2" (80), "1.2.643.7.1.1.2.3" (81); null
// otherwise.
const char* ImpliedDigestParamSet(uint32_t providerType);

// "1.2.643.2.2.31.1" for 75, "1.2.643.7.1.2.5.1.1" for any other type.
const char* DefaultParamSet(uint32_t providerType);
// The GOST 28147-89 parameter set of a container: DefaultParamSet when `encryptionParamSet` is
// empty, the parameter set table's own text when it is one of the 14 sets, null otherwise.
const char* ContainerParamSet(const OidText& encryptionParamSet, uint32_t providerType);

// ---- Derivation, encryption, check values -------------------------------------------------------
// The password key for a salt (not HMAC: each step hashes one concatenation once).
//   P = password as UTF-16 code units, 4 bytes each (low, high, 0, 0); M = H(salt || P);
//   K = "KLOPRT415.902371568.ZXMWQBNVA.TU" padded with zeros to the block size b;
//   iterations (2,000, or 2 for an empty password): K = H(K^0x36 || M || K^0x5C || M) (32
//   bytes, zero-padded to b); K = H(H(K[0..31]^0x36 || salt || K[0..31]^0x5C || P)).
// H is GOST R 34.11-94 with b = 32 for provider type 75, GOST R 34.11-2012-256 with b = 64 for
// 80 and 81. out32 receives 32 bytes. False for another provider type or a failed hash.
bool DerivePasswordKey(uint8_t* out32, const char16_t* password, const uint8_t* salt,
                       size_t saltLength, uint32_t providerType);

// ECB encryption / decryption of a key field in place under a 32-byte KEK and a parameter set.
// False when the field is empty or its length is not a multiple of 8.
bool EncryptKeyField(SecureBlob& field, const uint8_t* kek32, const char* paramSet);
bool DecryptKeyField(SecureBlob& field, const uint8_t* kek32, const char* paramSet);

// GOST 28147-89 MAC over the 12-byte salt, key = last 32 bytes of the mask, zero IV. False when
// the mask is shorter than 32 bytes or the salt is empty.
bool MaskCheckValue(const MaskFileRecord& masks, const char* paramSet, uint8_t* out4);
// GOST 28147-89 MAC over 16 zero bytes, key = DerivePasswordKey(password, publicKeyCheck),
// zero IV.
bool PasswordCheckValue(const char16_t* password, const uint8_t* publicKeyCheck, size_t checkLength,
                        uint32_t providerType, const char* paramSet, uint8_t* out4);

// ---- Opening ------------------------------------------------------------------------------------
// Reads all six files of the container in `folder` (each must be present and well formed) and verifies, in order: provider type, container parameter set, both mask check
// values, the header MAC, the password check (when present and flagged), then decrypts both key
// fields of both copies and checks each key against its public-key check value. Null on any
// failure (the partly filled image is wiped).
// The path forms open the folder themselves (OpenContainerFolder, shared lock).
ContainerImagePtr OpenContainerStrict(const FolderHandle& folder, const char16_t* password);
ContainerImagePtr OpenContainerStrict(const char* folder, const char16_t* password);

// Opens what can be used. With readHeader the header is read (whatever decodes is kept) and its
// first key's algorithm gives the provider type when it is known; otherwise `providerType`.
// Unreadable files leave their records empty. A copy is usable when its key file has a first key
// and its masks file passes the mask check under `paramSet`; each usable copy's key fields are
// decrypted into firstKeyDecrypted / secondKeyDecrypted (a copy that is not usable keeps them
// empty). No header MAC, password or public-key check is made. Null when the folder path is too
// long, the provider type is 0, no copy is usable, or a KEK or a decryption fails.
ContainerImagePtr OpenContainerTolerant(const FolderHandle& folder, const char16_t* password,
                                        const char* paramSet, uint32_t providerType,
                                        bool readHeader);
ContainerImagePtr OpenContainerTolerant(const char* folder, const char16_t* password,
                                        const char* paramSet, uint32_t providerType,
                                        bool readHeader);

// ---- Protecting for writing ---------------------------------------------------------------------
// New container. Expects: the masked first key in clear in primary.firstKey and
// primary2.firstKey, the masks in masks.mask and masks2.mask, header.firstKey with algorithm,
// parameter sets and publicKeyCheck. Sets the first key's encryptionParamSet to the provider
// default, draws fresh 12-byte salts, encrypts both first key fields, sets both mask check
// values, the password check value (non-empty password only), the header MAC field (4 bytes,
// computed on encoding), header flags 0x40 (| 0x80 with a password) and first key flags 0xA0
// (key agreement) or 0x80. False on any failure (the image may then be partly encrypted).
bool ProtectNewContainer(ContainerImage& image, const char16_t* password);

// Second key added to an opened container. Expects: the masked second key in clear in
// primary.secondKey (under the masks.key mask) and primary2.secondKey (under the masks2.key
// mask), and header.secondKey filled. Encrypts both under the existing salts and the container
// parameter set (the one OpenContainerStrict decrypts with, taken from the first key), records
// that set as the second key's encryptionParamSet and sets the second key flags 0xA0 or 0x80.
// Salts, masks, check values, header flags and the first key stay as they are.
bool ProtectSecondKey(ContainerImage& image, const char16_t* password);

}  // namespace keymend
