// Certificate files given to the container repair: the first X.509 certificate of a file holding
// one DER certificate, PEM certificates, or a PKCS#7 SignedData bundle (DER or PEM).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "crypto/context/secure_blob.h"

namespace keymend {

// Files larger than this are refused before anything is read.
constexpr size_t kMaxCertificateFileSize = 16u * 1024u * 1024u;

// What the repair takes from a certificate. OIDs are dotted text.
struct CertificateInfo {
    SecureBlob encoding;       // the complete DER encoding of the certificate
    std::string algorithmOid;  // subject public key algorithm
    std::string curveOid;      // first OID of the algorithm parameters
    // Second OID of the parameters; when the parameters hold only the curve (RFC 9215 form),
    // the digest set that a GOST R 34.10-2012 key algorithm implies.
    std::string digestOid;
    SecureBlob publicKey;  // content of the OCTET STRING inside the subject public key
};

// Parses the first certificate of a file's contents. False when the contents are none of the
// accepted forms or the certificate is malformed; out is then left empty.
bool ParseCertificateFile(const uint8_t* data, size_t size, CertificateInfo& out);

// Reads the file (at most kMaxCertificateFileSize bytes) and parses it as above.
bool LoadCertificateFile(const char* path, CertificateInfo& out);

// Strict base64 (RFC 4648 alphabet, '=' padding, line breaks and blanks allowed). Writes the
// decoded bytes into out (replacing it); false on any other character, misplaced padding or
// non-zero pad bits.
bool Base64Decode(const char* text, size_t length, std::vector<uint8_t>& out);

}  // namespace keymend
