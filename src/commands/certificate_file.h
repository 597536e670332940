// Certificate files given to a command, read whole and parsed by the certificate reader.
#pragma once

#include "x509/certificate.h"

namespace keymend {

// Reads the file (refused unread when larger than kMaxCertificateFileSize) and parses it
// (ParseCertificateFile). False when it cannot be read or parsed; out is then left empty.
bool LoadCertificateFile(const char* path, CertificateInfo& out);

}  // namespace keymend
