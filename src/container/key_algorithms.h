// The key algorithms a container holds and the provider types they belong to: the key algorithm
// table, key widths, implied digest parameter sets and the GOST 28147-89 parameter set of a
// container.
#pragma once

#include <cstddef>
#include <cstdint>

#include "asn1/oid.h"

namespace keymend {

constexpr uint32_t kProviderType2001 = 75;      // GOST R 34.10-2001, 256-bit keys
constexpr uint32_t kProviderType2012_256 = 80;  // GOST R 34.10-2012, 256-bit keys
constexpr uint32_t kProviderType2012_512 = 81;  // GOST R 34.10-2012, 512-bit keys

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

}  // namespace keymend
