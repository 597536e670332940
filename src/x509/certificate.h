// X.509 certificates (RFC 5280) as the commands use them: one certificate taken from the bytes
// of a certificate file holding one DER certificate, PEM certificates, or a PKCS#7 SignedData
// bundle (DER or PEM), whose first certificate is taken.
//
// The reader is strict where the commands rely on a field (the structure down to the subject
// public key, which must be a GOST R 34.10 key in an OCTET STRING) and descriptive elsewhere:
// subject, serial number and validity are decoded when they can be, and a certificate whose
// descriptive fields do not decode is still read (with `described` false).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "asn1/file_time.h"
#include "asn1/oid.h"
#include "crypto/context/secure_blob.h"

namespace keymend {

// Certificate files larger than this are refused.
constexpr size_t kMaxCertificateFileSize = 16u * 1024u * 1024u;

struct CertificateInfo {
    SecureBlob encoding;   // the complete DER encoding of the certificate
    OidText algorithmOid;  // subject public key algorithm
    OidText curveOid;      // first OID of the algorithm parameters
    // Second OID of the parameters; when the parameters hold only the curve (RFC 9215 form),
    // the digest set that a GOST R 34.10-2012 key algorithm implies.
    OidText digestOid;
    SecureBlob publicKey;  // content of the OCTET STRING inside the subject public key

    bool described = false;             // the fields below were decoded
    std::string subject;                // RFC 4514 string, UTF-8
    std::vector<uint8_t> serialNumber;  // the INTEGER's content octets, as encoded
    CalendarTime notBefore, notAfter;   // UTC
};

// Parses the first certificate of a file's contents. False when the contents are none of the
// accepted forms or the certificate is malformed; out is then left empty.
bool ParseCertificateFile(const uint8_t* data, size_t size, CertificateInfo& out);

}  // namespace keymend
