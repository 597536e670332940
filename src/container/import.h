// A private key brought in from outside (a PKCS#8 PrivateKeyInfo, RFC 5208, RFC 4491, RFC 9215)
// stored into a container image: its properties in the header, the key masked in both copies.
#pragma once

#include <cstddef>
#include <cstdint>

#include "asn1/der.h"
#include "container/records.h"

namespace keymend {

// Which key of the image receives it.
enum class ImportSlot {
    kFirstKey,   // a new image: both masks are drawn fresh
    kSecondKey,  // an opened image: under the masks it has
};

enum class ImportResult { kStored, kRejected, kDifferentKeyType };

// Stores the key into the slot:
//   - key properties: algorithm by keySpec (the signature OID, or for keySpec 1 the
//     key-agreement OID of the same family; the PKCS#8 algorithm must be a signature key
//     algorithm of the key algorithm table), curve and digest parameter sets (the digest set
//     implied by the algorithm when `digest` is empty), public-key check value;
//   - primary.key field = key * mask (masks.key mask, drawn fresh for kFirstKey), primary2.key
//     field = key * mask2 (masks2.key mask, drawn fresh for kFirstKey).
// privateKey is the privateKey OCTET STRING's content: the raw key material (n * L octets: the
// key, then mask factors multiplied into it, least significant octet first), or the same wrapped
// in an OCTET STRING, or a SEQUENCE of the key material and the public key (checked against the
// key). A wrapped form is taken only when it parses exactly and its key material is a positive
// multiple of L, so a raw key whose first octet happens to look like an identifier is read as
// raw. kDifferentKeyType: a second key whose provider type is not the first key's.
ImportResult ImportPrivateKey(ContainerImage& image, ImportSlot slot, uint32_t keySpec,
                              const char* algorithm, const char* curve, const char* digest,
                              DerBlob privateKey);

// The public key (x || y, 2 * L octets into out[128]) of the key stored in the slot; false when
// the slot holds none.
bool ImportedPublicKey(const ContainerImage& image, ImportSlot slot, uint8_t* out,
                       size_t* length);

}  // namespace keymend
