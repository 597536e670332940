// Builds key containers for tests through the container API, the way the import command does:
// a known private key, masked under fresh random masks, placed into a new image, protected and
// written.
#pragma once

#include <string>
#include <vector>

#include "container/container.h"
#include "support/test_support.h"

namespace keymend::test {

// A key pair from tests/data/container/keys.vec (little-endian d, public key x then y).
struct TestKey {
    std::string curve;
    Bytes d;
    Bytes publicKey;
};
// All pairs, in file order; Key(curve, n) picks the n-th pair of a curve.
const std::vector<TestKey>& TestKeys();
const TestKey& Key(const std::string& curve, int n = 0);

// Algorithm OIDs by provider type: signature and key-agreement key.
const char* SignatureAlgorithm(uint32_t providerType);
const char* ExchangeAlgorithm(uint32_t providerType);

// A new image holding `key` as first key in both copies under two fresh random masks, with its
// properties (algorithm, curve, digest set, check value), as the PKCS#12 reader leaves it.
ContainerImagePtr NewImage(const TestKey& key, const char* algorithm);
// Places `key` as second key into an opened image (masked under each copy's mask).
bool PlaceSecondKey(ContainerImage& image, const TestKey& key, const char* algorithm);

// Creates a new container in `readerFolder` (mode 0); returns its folder or "" on failure.
std::string MakeContainer(const std::string& readerFolder, const std::string& name,
                          const TestKey& key, const char* algorithm, const char16_t* password);
// Adds a second key to the container in `folder` (strict open, then mode 1 write).
bool AddSecondKey(const std::string& folder, const TestKey& key, const char* algorithm,
                  const char16_t* password);

// The six file contents of a container folder, by name; and restoring them.
std::vector<std::pair<std::string, Bytes>> SnapshotFiles(const std::string& folder);
void RestoreFiles(const std::string& folder,
                  const std::vector<std::pair<std::string, Bytes>>& files);
// Flips one byte of a file at `offset` from the end (1 = last byte).
void FlipByteFromEnd(const std::string& path, size_t offset);
// Names in a folder, sorted.
std::vector<std::string> FolderEntries(const std::string& folder);

Bytes BlobBytes(const SecureBlob& blob);
// The public key of a masked key (k = d * mask) on `curve`; empty when the key is empty or the
// computation fails.
Bytes PublicOf(const SecureBlob& maskedKey, const SecureBlob& mask, const std::string& curve);

}  // namespace keymend::test
