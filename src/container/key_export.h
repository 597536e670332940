// Opening a container to take its keys out: the header must be intact, one key copy must verify
// against it, and a key is unmasked only when it is about to be exported.
#pragma once

#include <cstdint>

#include "container/container.h"
#include "container/records.h"
#include "crypto/context/secure_blob.h"
#include "platform/folder.h"

namespace keymend {

enum class KeyOpenResult {
    kOpened,
    kHeaderDamaged,  // header.key missing, malformed, failing its MAC or naming unknown keys
    kNotOpened,      // wrong password, or no copy verifies against the header
};

// A container whose keys verified: the image and the copy they come from.
struct VerifiedContainer {
    ContainerImagePtr image;
    const KeyFileRecord* keys = nullptr;    // image->primary or image->primary2, decrypted
    const MaskFileRecord* masks = nullptr;  // its masks file
    uint32_t providerType = 0;
    uint32_t keyCount = 0;  // 1 or 2
};

// Reads the container in the opened `folder`. The header must decode, its MAC verify, its first
// key (and its second, when it has one) name a known algorithm, curve and check value, and its
// password check pass. Then the first copy (primary.key with masks.key) is used when its mask
// check passes, it holds exactly the keys the header describes and each decrypts to its check
// value; else the second copy under the same rules. Nothing is unmasked.
KeyOpenResult OpenContainerVerified(const FolderHandle& folder, const char16_t* password,
                                    VerifiedContainer& out);

// The header entry of key `slot` (0 first, 1 second).
const KeyProperties& KeyEntry(const VerifiedContainer& container, uint32_t slot);

// The private key d of `slot` in clear (little-endian, the curve's width) and its public key
// (x || y, little-endian). Both outputs are empty on failure.
bool UnmaskKey(const VerifiedContainer& container, uint32_t slot, SecureBlob& privateKey,
               SecureBlob& publicKey);

}  // namespace keymend
