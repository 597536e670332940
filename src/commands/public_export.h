// -kvpublic: the public keys of a container whose header may be damaged, recomputed from its
// private keys.
#pragma once

#include <cstdint>

#include "crypto/context/secure_blob.h"
#include "platform/folder.h"

namespace keymend {

// Finds the GOST 28147-89 parameter set under which a copy of the container in `folder` opens
// (OpenContainerTolerant, sets in table order), settles the key algorithm (header, else
// providerType) and each key's curve (header, else primaryOid / secondaryOid when not empty,
// else the provider type's default) and computes the public keys (x then y, little-endian; 64
// bytes, or 128 for provider type 81), from primary.key with masks.key first and from
// primary2.key with masks2.key when the first copy is not confirmed by the header's check
// values. `secondary` stays empty when no second key was computed and confirmed. On failure both
// outputs are empty.
// `notes` (when given) tells what the keys were computed for and whether the header's check
// values confirm them. The path form opens the folder itself (shared lock).
struct PublicKeyNotes {
    uint32_t providerType = 0;
    const char* primaryCurve = nullptr;
    const char* secondaryCurve = nullptr;
    bool primaryConfirmed = false;
    bool secondaryConfirmed = false;
};
bool ExportPublicKeys(const FolderHandle& folder, const char16_t* password, const char* primaryOid,
                      const char* secondaryOid, uint32_t providerType, SecureBlob& primary,
                      SecureBlob& secondary, PublicKeyNotes* notes = nullptr);
bool ExportPublicKeys(const char* folder, const char16_t* password, const char* primaryOid,
                      const char* secondaryOid, uint32_t providerType, SecureBlob& primary,
                      SecureBlob& secondary);

// The content of public1 / public2: 0x04, the public key's length in one byte, the key.
bool PublicKeyFileContent(const SecureBlob& publicKey, SecureBlob& out);

}  // namespace keymend
