// PKCS#12 (RFC 7292) reader for the GOST profile: the PFX envelope, the authenticated safe, the
// safe bags, PBES2 decryption (PBKDF2 over a GOST HMAC, GOST 28147-89 CFB), the private key and
// the password integrity MAC. The private key goes to a key sink the caller gives (the import
// stores it masked into a container image), and the certificate holding its public key comes
// back to the caller.
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

#include "asn1/der.h"
#include "asn1/oid.h"
#include "crypto/context/secure_blob.h"
#include "pkcs12/limits.h"

namespace keymend {

// Why a read failed, for the callers that tell the cases apart.
enum class Pkcs12Failure {
    kNone,
    kRejected,          // structure, password, MAC, key algorithm, no matching certificate...
    kDifferentKeyType,  // the key sink refused the key's type (a second key of another family)
    kTooMuchWork,       // the file asks for more than the bounds of pkcs12/limits.h allow
};

// The private key of a shrouded key bag, as its PrivateKeyInfo gives it.
struct Pkcs12PrivateKey {
    OidText algorithm;  // privateKeyAlgorithm
    OidText curve;      // first OID of its parameters
    OidText digest;     // second OID; empty when the parameters name only the curve
    // The privateKey OCTET STRING's content, a view into the decrypted key that is wiped when
    // the sink returns.
    DerBlob privateKey;
};

// Where the reader puts the key it decrypts.
class Pkcs12KeySink {
  public:
    // Takes the key of a shrouded key bag, in file order (a later key replaces an earlier one).
    // False fails the read; *failure may then say why (kRejected when left alone).
    virtual bool StoreKey(const Pkcs12PrivateKey& key, Pkcs12Failure* failure) = 0;
    // The public key (x || y, at most 128 octets into out) of the key stored last, by which its
    // certificate is chosen; false when none was stored.
    virtual bool StoredPublicKey(uint8_t* out, size_t* length) = 0;

  protected:
    ~Pkcs12KeySink() = default;
};

// Reads a whole PKCS#12 file. The password is NUL-terminated UTF-8. Unless noMacVerify, the MAC
// is verified first; then, within the bounds, every ContentInfo is processed in order, the key
// goes to the sink, and the certificate is chosen: the first candidate holding the key's public
// key, copied into `certificate` (left empty when the file has no certificate; a file without a
// shrouded key bag stores nothing). *failure, when given, says why a call failed.
bool ReadPkcs12(DerBlob file, const char* password, bool noMacVerify, Pkcs12KeySink& sink,
                SecureBlob& certificate, Pkcs12Failure* failure = nullptr);

}  // namespace keymend
