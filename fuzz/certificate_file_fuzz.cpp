// Fuzz target for the certificate-file loader (one DER certificate, PEM certificates, PKCS#7
// bundles in DER or PEM) and the strict base64 decoder. Built as a libFuzzer binary with
// KEYMEND_LIBFUZZER; the test suite replays fuzz/corpus/certificate_file/.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "x509/certificate.h"
#include "x509/x509_internal.h"

namespace keymend::fuzz {

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

bool IsDottedOid(const std::string& text) {
    if (text.empty() || text.front() == '.' || text.back() == '.') return false;
    for (char c : text) {
        if ((c < '0' || c > '9') && c != '.') return false;
    }
    return text.find("..") == std::string::npos;
}

}  // namespace

int CertificateFileFuzzOne(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    // An exact-size heap copy, so that any read past the end is caught.
    std::vector<uint8_t> input(data, data + size);
    CertificateInfo info;
    if (ParseCertificateFile(input.data(), input.size(), info)) {
        Check(!info.encoding.empty() && info.encoding[0] == 0x30);
        Check(info.publicKey.size() == 64 || info.publicKey.size() == 128);
        Check(IsDottedOid(info.algorithmOid.c_str()) && IsDottedOid(info.curveOid.c_str()) &&
              IsDottedOid(info.digestOid.c_str()));
        // The descriptive fields come out together or not at all, and the subject is text.
        Check(info.described || (info.subject.empty() && info.serialNumber.empty()));
        Check(info.subject.find('\0') == std::string::npos);
        // The certificate that came out parses again on its own, to the same key.
        CertificateInfo again;
        Check(ParseCertificateFile(info.encoding.data(), info.encoding.size(), again));
        Check(again.publicKey.size() == info.publicKey.size() &&
              std::memcmp(again.publicKey.data(), info.publicKey.data(),
                          info.publicKey.size()) == 0);
    } else {
        Check(info.encoding.empty() && info.publicKey.empty());
    }

    std::vector<uint8_t> decoded;
    if (Base64Decode(reinterpret_cast<const char*>(input.data()), input.size(), decoded)) {
        // Every four significant characters give at most three bytes.
        Check(decoded.size() <= (size / 4 + 1) * 3);
    }
    return 0;
}

}  // namespace keymend::fuzz

#ifdef KEYMEND_LIBFUZZER
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return keymend::fuzz::CertificateFileFuzzOne(data, size);
}
#endif
