// PKCS#12 (RFC 7292) reader for the GOST profile: the PFX envelope, the authenticated safe, the
// safe bags, PBES2 decryption (PBKDF2 over a GOST HMAC, GOST 28147-89 CFB), the private key and
// the password integrity MAC. The key is stored masked into a ContainerImage, both copies under
// their own masks, with its public-key check value and its certificate.
//
// Order of work: the envelope is parsed; unless the MAC is skipped, it is verified over the
// authenticated safe (one key derivation) before any ContentInfo is parsed, so a file whose MAC
// fails decrypts nothing. Then the ContentInfos are surveyed: their count and the PBKDF2
// iterations of every derivation they will ask for (with the MAC's) are checked against the
// bounds of pkcs12/limits.h before the first of them runs. Only then are they decrypted.
//
// Accepted structure (element counts are exact; lengths definite):
//   PFX ::= SEQUENCE { version INTEGER (3, one octet), authSafe ContentInfo, macData MacData }
//   MacData: digest algorithm 1.2.643.2.2.9 (GOST R 34.11-94) or 1.2.643.7.1.1.2.3 (GOST R
//     34.11-2012, 512 bits), exactly; other digests are refused
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
#include "pkcs12/limits.h"

namespace keymend {

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
    kTooMuchWork,       // the file asks for more than the bounds of pkcs12/limits.h allow
};

// Working state of one read, handed down to every layer.
struct Pkcs12ReadState {
    const char* password = nullptr;  // NUL-terminated UTF-8
    ContainerImage* image = nullptr;
    int mode = kPkcs12NewContainer;
    uint32_t keySpec = 0;  // 1 exchange, 2 signature
    // Certificate candidates in file order (copies of their DER encodings).
    std::vector<SecureBlob> certificates;
    uint32_t bags = 0;  // safe bags read from encrypted safes so far
    Pkcs12Failure failure = Pkcs12Failure::kNone;
};

// Reads a whole PKCS#12 file. Mode 0: `image` must be empty on entry; a new image is created and
// stored there first (it stays there when the call fails). Mode 1: `image` must hold an opened
// container; its second key slot is filled. Unless noMacVerify, the MAC is verified first; then,
// within the bounds, every ContentInfo is processed in order and the certificate is chosen (the
// first candidate holding the key's public key; none is needed when the file has no
// certificate). A file without a shrouded key bag leaves the key slot as it was. *failure, when
// given, says why a call failed.
bool ReadPkcs12(DerBlob file, const char* password, ContainerImagePtr& image, int mode,
                uint32_t keySpec, bool noMacVerify, Pkcs12Failure* failure = nullptr);

// The layers below take the content octets of the element named (identifier and length already
// stripped) and return true on success.

// Adds to *iterations what reading the SEQUENCE OF ContentInfo `safes` will cost: the PBKDF2
// iterations of every encrypted safe and of every shrouded key bag of a data safe (0 counts as
// 1), without deriving anything. Fails with *failure = kTooMuchWork when there are more
// ContentInfos than allowed or a derivation asks for more iterations than allowed, and with
// kRejected on a structure that the full read would refuse as well.
bool AddSafesWork(DerBlob safes, uint64_t* iterations, Pkcs12Failure* failure);

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
// SEQUENCE content is `algorithm`. Key meshing follows KeyMeshingSwitch(). Fails, deriving
// nothing, when the iteration count is above kMaxPbkdf2Iterations.
bool Pbes2Decrypt(DerBlob algorithm, const char* password, uint8_t* data, uint32_t length);

// One 32-octet PBKDF2 block for the reader (the MAC key or a PBES2 key). Every call is counted.
bool Pkcs12DeriveKey(uint8_t* key32, uint32_t prfSelector, const char* password, DerBlob salt,
                     uint64_t iterations, uint32_t blockIndex);
// Key derivations the reader has run in this process, so far.
uint64_t Pkcs12DerivationCount();

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

// The digests a MAC may name, and how each is verified.
struct Pkcs12MacAlgorithm {
    const char* digestOid;
    uint32_t prfSelector;  // PBKDF2 pseudo-random function (hash.h)
    uint32_t blockIndex;   // the PBKDF2 block that holds octets 64..95 of the derived stream
    uint32_t hmacId;
    uint32_t macLength;
};

// MacData (SEQUENCE content), parsed.
struct Pkcs12MacParameters {
    const Pkcs12MacAlgorithm* algorithm = nullptr;
    DerBlob digest, salt;
    uint64_t iterations = 0;
};

// Parses MacData; fails on a digest algorithm the reader cannot verify.
bool ReadPkcs12MacData(DerBlob macData, Pkcs12MacParameters* mac);

// Verifies a parsed MAC over macInput: the MAC key is 32 octets, octets 64..95 of the PBKDF2
// output stream, and the MAC is the HMAC of the digest's family.
bool VerifyPkcs12Mac(const Pkcs12MacParameters& mac, DerBlob macInput, const char* password);

}  // namespace keymend
