// Builds key containers through the container API as the import command does: a known key
// masked under fresh masks, placed into a new image, protected and written.
#pragma once

#include <string>

#include "container/container.h"
#include "support/test_support.h"

namespace keymend::test {

// A key pair from tests/data/container/keys.vec (little-endian d, public key x then y).
struct TestKey {
    std::string curve;
    Bytes d;
    Bytes publicKey;
};
const TestKey& Key(const std::string& curve, int n = 0);  // the n-th pair of a curve
const char* SignatureAlgorithm(uint32_t providerType);    // key algorithm OIDs by
const char* ExchangeAlgorithm(uint32_t providerType);     // provider type 75, 80, 81

// Creates a new container in `readerFolder` (mode 0); returns its folder or "" on failure.
std::string MakeContainer(const std::string& readerFolder, const std::string& name,
                          const TestKey& key, const char* algorithm, const char16_t* password);
// Places `key` as second key into an opened image (masked under each copy's mask); adds it to
// the container in `folder` (strict open, then a mode 1 write).
bool PlaceSecondKey(ContainerImage& image, const TestKey& key, const char* algorithm);
bool AddSecondKey(const std::string& folder, const TestKey& key, const char* algorithm,
                  const char16_t* password);

Bytes BlobBytes(const SecureBlob& blob);
// The public key of a masked key (k = d * mask) on `curve`; empty when there is none.
Bytes PublicOf(const SecureBlob& maskedKey, const SecureBlob& mask, const std::string& curve);

}  // namespace keymend::test
