// PKCS#12 (RFC 7292) writer for the GOST profile: one private key, with its certificate when it
// has one, in the form the reader of pkcs12.h accepts.
//
// Written structure:
//   PFX ::= SEQUENCE { version 3, authSafe data ContentInfo, macData }
//   AuthenticatedSafe ::= SEQUENCE OF ContentInfo:
//     encryptedData { certBag { x509Certificate } + localKeyId }   (only with a certificate)
//     data { pkcs8ShroudedKeyBag + friendlyName (BMPString) and localKeyId }
//   Both encryptions: PBES2 { PBKDF2 { 16 random salt octets, kPkcs12ExportIterations,
//     HMAC GOST R 34.11-2012-512 (1.2.643.7.1.1.4.2) }, GOST 28147-89 (1.2.643.2.2.21) CFB
//     { 8 random IV octets, the key's parameter set } }; key meshing as KeyMeshingSwitch() says.
//   MacData: HMAC GOST R 34.11-2012-512 over the authSafe content octets, digest OID
//     1.2.643.7.1.1.2.3, 16 random salt octets, kPkcs12ExportIterations; the MAC key is octets
//     64..95 of the PBKDF2 output stream (the reader's verification, run forwards).
//   PrivateKeyInfo ::= SEQUENCE { 0, SEQUENCE { algorithm, SEQUENCE { curve, digest } },
//     OCTET STRING { OCTET STRING key (little-endian) } }
//   localKeyId: SHA-1 of the certificate, or of the public key when there is none.
#pragma once

#include <cstdint>

#include "asn1/der.h"
#include "crypto/context/secure_blob.h"

namespace keymend {

constexpr uint64_t kPkcs12ExportIterations = 2048;
constexpr uint32_t kPkcs12ExportSaltSize = 16;

// What goes into the file. Every pointer is borrowed for the call.
struct Pkcs12ExportKey {
    const char* algorithm = nullptr;  // PKCS#8 key algorithm OID, dotted
    const char* curve = nullptr;      // public-key parameter set OID
    const char* digest = nullptr;     // digest parameter set OID
    const char* paramSet = nullptr;   // GOST 28147-89 parameter set of both encryptions
    DerBlob privateKey;               // d, little-endian, 32 or 64 octets
    DerBlob publicKey;                // x || y, little-endian
    DerBlob certificate;              // DER, or absent (null data)
    // The container name: UTF-8 (other octets are taken one per character); may be empty.
    DerBlob friendlyName;
};

// Encodes the whole file into `out` under the UTF-8 password (NUL-terminated, used as octets
// without the terminator). Salts and IVs are drawn from the crypto context's random source.
// Every plaintext and derived key is wiped. False (out empty) on any failure.
bool WritePkcs12(const Pkcs12ExportKey& key, const char* password, SecureBlob& out);

}  // namespace keymend
