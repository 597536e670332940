// PKCS#12 (RFC 7292) reader for the GOST profile: the PFX envelope, the authenticated safe, the
// safe bags, PBES2 decryption (PBKDF2 over a GOST HMAC, GOST 28147-89 CFB), the private key and
// the password integrity MAC. The key is stored masked into a ContainerImage, both copies under
// their own masks, with its public-key check value and its certificate.
//
// Accepted structure (element counts are exact):
//   PFX ::= SEQUENCE { version INTEGER (3, one octet), authSafe ContentInfo, macData MacData }
//   authSafe: SEQUENCE { data OID, [0] { OCTET STRING } }; its content octets are the MAC input
//     and hold a SEQUENCE OF ContentInfo, each data or encryptedData:
//   data:          [0] { OCTET STRING { SEQUENCE { exactly one SafeBag } } }
//   encryptedData: [0] { SEQUENCE { version 0, SEQUENCE { data OID, PBES2 AlgorithmIdentifier,
//                  [0] IMPLICIT OCTET STRING (0x80) } } }, decrypting to SafeContents
//   SafeBag ::= SEQUENCE { bagId OID, [0] bagValue, attributes OPTIONAL (never read) }
//     pkcs8ShroudedKeyBag: [0] { SEQUENCE { PBES2 AlgorithmIdentifier, OCTET STRING } }
//     certBag: [0] { SEQUENCE { x509Certificate OID, [0] { OCTET STRING cert } } }
//   In a data safe only these two bag types are accepted. In an encrypted safe other bags are
//   skipped and every certificate bag that reads becomes a candidate.
//   PBES2: PBKDF2 { salt OCTET STRING, iterations, prf } with prf HMAC GOST R 34.11-94
//   (1.2.643.2.2.10) or HMAC GOST R 34.11-2012-512 (1.2.643.7.1.1.4.2), no keyLength; scheme
//   GOST 28147-89 (1.2.643.2.2.21) { iv OCTET STRING (8), parameter set OID }.
//
// The password is the PKCS#12 password as NUL-terminated UTF-8, used as bytes without the
// terminator. Every buffer that holds a derived key, a decrypted safe or a key is wiped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "asn1/der.h"
#include "container/container.h"
#include "crypto/context/secure_blob.h"

namespace keymend {

// Largest PKCS#12 file that is read; larger ones are refused before anything is allocated.
constexpr size_t kMaxPkcs12FileSize = 16u << 20;
// Largest PBKDF2 iteration count accepted (files from common exporters use 2,000 to 600,000).
constexpr uint64_t kMaxPbkdf2Iterations = 10'000'000;

// Which key slot the reader fills.
enum Pkcs12Mode : int {
    kPkcs12NewContainer = 0,  // a new image; first key
    kPkcs12SecondKey = 1,     // an opened image; second key
};

// Why a read failed, for the callers that tell the cases apart.
enum class Pkcs12Failure {
    kNone,
    kRejected,          // structure, password, MAC, key algorithm, no matching certificate...
    kDifferentKeyType,  // mode 1: the key's provider type differs from the container's
};

// Working state of one read, handed down to every layer.
struct Pkcs12ReadState {
    const char* password = nullptr;  // NUL-terminated UTF-8
    ContainerImage* image = nullptr;
    int mode = kPkcs12NewContainer;
    uint32_t keySpec = 0;  // 1 exchange, 2 signature
    // Certificate candidates in file order (copies of their DER encodings).
    std::vector<SecureBlob> certificates;
    Pkcs12Failure failure = Pkcs12Failure::kNone;
};

// Reads a whole PKCS#12 file. Mode 0: `image` must be empty on entry; a new image is created and
// stored there first (it stays there when the call fails). Mode 1: `image` must hold an opened
// container; its second key slot is filled. Then every ContentInfo is processed in order, the
// certificate is chosen (the first candidate holding the key's public key; none is needed when
// the file has no certificate) and, unless noMacVerify, the MAC is verified. A file without a
// shrouded key bag leaves the key slot as it was. *failure, when given, says why a call failed.
bool ReadPkcs12(DerBlob file, const char* password, ContainerImagePtr& image, int mode,
                uint32_t keySpec, bool noMacVerify, Pkcs12Failure* failure = nullptr);

// The layers below take the content octets of the element named (identifier and length already
// stripped) and return true on success.

// ContentInfo SEQUENCE content: dispatches data to ReadDataSafe and encryptedData to
// ReadEncryptedSafe (with the content of [0]); other types fail.
bool ReadContentInfo(DerBlob contentInfo, Pkcs12ReadState& state);
bool ReadDataSafe(DerBlob content, Pkcs12ReadState& state);
bool ReadEncryptedSafe(DerBlob content, Pkcs12ReadState& state);
// certBag bagValue ([0] content): appends the certificate to state.certificates.
bool ReadCertBag(DerBlob bagValue, Pkcs12ReadState& state);
// pkcs8ShroudedKeyBag bagValue ([0] content): decrypts the key and stores it.
bool ReadShroudedKeyBag(DerBlob bagValue, Pkcs12ReadState& state);

// Decrypts data in place (CFB, no padding removed) under the PBES2 AlgorithmIdentifier whose
// SEQUENCE content is `algorithm`. Key meshing follows KeyMeshingSwitch().
bool Pbes2Decrypt(DerBlob algorithm, const char* password, uint8_t* data, uint32_t length);

// Stores the PrivateKeyInfo at the start of `plaintext` (trailing octets ignored) into the key
// slot of the mode:
//   - key properties: algorithm by keySpec (signature OID, or the key-agreement OID of the same
//     family for keySpec 1), public-key and digest parameter sets (the digest set implied by the
//     algorithm when the parameters carry only the curve), public-key check value;
//   - primary.key field = key * mask (masks.key mask, drawn fresh in mode 0), primary2.key field =
//     key * mask2 (masks2.key mask, drawn fresh in mode 0).
// Key blob: the raw key material (n * L octets: the key, then mask factors multiplied into it,
// least significant octet first), or the same wrapped in an OCTET STRING, or a SEQUENCE of the
// key material and the public key (checked against the key). A wrapped form is taken only when it
// parses exactly and its key material is a positive multiple of L, so a raw key whose first
// octet happens to look like an identifier is read as raw.
bool StorePrivateKey(DerBlob plaintext, Pkcs12ReadState& state);

// Picks the certificate of the mode's key among state.certificates (see ReadPkcs12) and copies it
// into the key properties.
bool ChoosePkcs12Certificate(Pkcs12ReadState& state);

// Verifies the MAC of MacData (SEQUENCE content) over macInput. The digest algorithm's last arc
// selects it: 9 (GOST R 34.11-94): PBKDF2 block 3 with HMAC GOST R 34.11-94, 32-octet HMAC
// GOST R 34.11-94; 26: always fails; anything else: PBKDF2 block 2 with HMAC GOST R 34.11-2012-512,
// 64-octet HMAC GOST R 34.11-2012-512. The MAC key is 32 octets, octets 64..95 of the PBKDF2
// output stream.
bool VerifyPkcs12Mac(DerBlob macData, DerBlob macInput, const char* password);

}  // namespace keymend
