// PKCS#12 (RFC 7292) reader: the PFX envelope, the authenticated safe, the safe bags, the
// password-based decryption, the private key and the password integrity MAC. The private key goes
// to a key sink the caller gives (the import stores it masked into a container image), and the
// certificate holding its public key comes back to the caller.
//
// Order of work: the envelope is parsed; unless the MAC is skipped, it is verified over the
// authenticated safe (one key derivation) before any ContentInfo is parsed, so a file whose MAC
// fails decrypts nothing. Then the ContentInfos are surveyed: their count and the iterations of
// every derivation they will ask for (with the MAC's) are checked against the bounds of
// pkcs12/limits.h before the first of them runs. Only then are they decrypted.
//
// Accepted structure (element counts are exact; lengths definite):
//   PFX ::= SEQUENCE { version INTEGER (3, one octet), authSafe ContentInfo, macData MacData }
//   MacData: digest algorithm 1.2.643.2.2.9 (GOST R 34.11-94) or 1.2.643.7.1.1.2.3 (GOST R
//     34.11-2012, 512 bits), the MAC key from PBKDF2; or SHA-1 (1.3.14.3.2.26), SHA-224, -256,
//     -384, -512 (2.16.840.1.101.3.4.2.4, .1, .2, .3), the MAC key from RFC 7292 appendix B;
//     exactly, other digests are refused as unsupported
//   authSafe: SEQUENCE { data OID, [0] { OCTET STRING } }; its content octets are the MAC input
//     and hold a SEQUENCE OF ContentInfo, each data or encryptedData:
//   data:          [0] { OCTET STRING { SEQUENCE { exactly one SafeBag } } }
//   encryptedData: [0] { SEQUENCE { version 0, SEQUENCE { data OID, AlgorithmIdentifier,
//                  [0] IMPLICIT OCTET STRING (0x80) } } }, decrypting to SafeContents
//   SafeBag ::= SEQUENCE { bagId OID, [0] bagValue, attributes OPTIONAL (never read) }
//     pkcs8ShroudedKeyBag: [0] { SEQUENCE { AlgorithmIdentifier, OCTET STRING } }
//     certBag: [0] { SEQUENCE { x509Certificate OID, [0] { OCTET STRING cert } } }
//   In a data safe only these two bag types are accepted. In an encrypted safe other bags are
//   skipped and every certificate bag that reads becomes a candidate.
//   Protection (the AlgorithmIdentifiers):
//   - PBES2: PBKDF2 { salt OCTET STRING, iterations, prf } with prf HMAC GOST R 34.11-94
//     (1.2.643.2.2.10) or HMAC GOST R 34.11-2012-512 (1.2.643.7.1.1.4.2), no keyLength; scheme
//     GOST 28147-89 (1.2.643.2.2.21) { iv OCTET STRING (8), parameter set OID }, CFB.
//   - PBES2: PBKDF2 { salt, iterations, keyLength OPTIONAL, prf DEFAULT HMAC-SHA-1 } with prf
//     HMAC-SHA-1/224/256/384/512 (1.2.840.113549.2.7 to .11); scheme AES-128/192/256-CBC
//     (2.16.840.1.101.3.4.1.2, .22, .42) or DES-EDE3-CBC (1.2.840.113549.3.7) { iv }; PKCS#7
//     padding checked and removed.
//   - RFC 7292 PBEs with SHA-1 (1.2.840.113549.1.12.1.3 to .6: three- and two-key triple DES,
//     128- and 40-bit RC2, CBC) { salt, iterations }; the password as a BMPString.
// Files that use no GOST protection anywhere (standard files) may also lack macData (read only
// with the MAC skipped) and hold in a data safe several certificate bags, or one keyBag (an
// unencrypted PrivateKeyInfo).
//
// The password is the PKCS#12 password as NUL-terminated UTF-8: PBKDF2 takes its bytes without
// the terminator, appendix B its BMPString with the terminator. The empty password is tried as
// 00 00 first and as no octets second (writers differ). Every buffer that holds a derived key, a
// decrypted safe or a key is wiped.
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
    kUnsupportedAlgorithm,  // the MAC or the protection uses an algorithm the reader lacks
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
// shrouded key bag stores nothing). *failure, when given, says why a call failed; with
// kUnsupportedAlgorithm, *algorithm (when given) names the algorithm by its OID.
bool ReadPkcs12(DerBlob file, const char* password, bool noMacVerify, Pkcs12KeySink& sink,
                SecureBlob& certificate, Pkcs12Failure* failure = nullptr,
                OidText* algorithm = nullptr);

}  // namespace keymend
