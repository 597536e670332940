// Password protection of the keys in a container: the password key derivation, key field
// encryption, the check values, and protecting an image for writing. Opening a container, which
// verifies and decrypts with these, is declared in container.h.
//
// Passwords are NUL-terminated UTF-16 strings (Settings::containerPassword); null or "" is the
// empty password. Every password key (KEK) is 32 bytes and is wiped after use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "container/key_algorithms.h"
#include "container/records.h"

namespace keymend {

constexpr size_t kPasswordKeySize = 32;

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

// ---- Building blocks of opening, protecting and repairing ---------------------------------------
// The mask check: masks.maskCheck is the MaskCheckValue of the copy (4 bytes), the mask at least
// 32 bytes long.
bool MaskCheckPasses(const MaskFileRecord& masks, const char* paramSet);
bool SetMaskCheck(MaskFileRecord& masks, const char* paramSet);
// The password key of a copy: DerivePasswordKey over its salt (false for an empty salt).
bool DeriveCopyKey(uint8_t* kek32, const char16_t* password, const MaskFileRecord& masks,
                   uint32_t providerType);
// Encrypts one or two key fields of a copy in place under the copy's password key (derived
// once). False when a field given is empty or anything fails.
bool EncryptCopyFields(const MaskFileRecord& masks, const char16_t* password,
                       uint32_t providerType, const char* paramSet, SecureBlob& field,
                       SecureBlob* secondField = nullptr);
// Whether a decrypted key (under `mask`) has the public-key check value of its header entry,
// computed on the entry's curve (one of the accepted parameter sets).
bool KeyMatchesCheck(const SecureBlob& key, const SecureBlob& mask, const KeyProperties& props);
// The header MAC: headerMac is the 4-byte HeaderMac of rawContent under HeaderMacParamSet.
bool HeaderMacPasses(const HeaderRecord& header);
// Whether the header holds a password check value that it flags (kHeaderFlagPassword).
bool HasPasswordCheck(const HeaderRecord& header);
// The password check of a header: passes when the header has none or does not flag it, else the
// stored value must be PasswordCheckValue over the first key's publicKeyCheck.
bool PasswordCheckPasses(const HeaderRecord& header, const char16_t* password,
                         uint32_t providerType, const char* paramSet);
// Sets (non-empty password) or clears the header's password check value.
bool SetPasswordCheck(HeaderRecord& header, const char16_t* password, uint32_t providerType,
                      const char* paramSet);
// Header flags: 0x40, with 0x80 when the password is not empty.
bool SetHeaderFlags(HeaderRecord& header, const char16_t* password);

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
