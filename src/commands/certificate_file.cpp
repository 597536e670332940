#include "commands/certificate_file.h"

#include <cstring>
#include <string_view>
#include <vector>

#include "asn1/der.h"
#include "asn1/oid.h"
#include "platform/files.h"

namespace keymend {

namespace {

// 1.2.840.113549.1.7.2, id-signedData.
constexpr uint8_t kSignedDataOid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};

// A strict element walker over the DER reader: every element must carry exactly the expected
// identifier octet (class, form and tag number), and every container must be used up exactly.
class Walker {
  public:
    Walker(const uint8_t* data, size_t size)
        : cursor_(DerCursorOver(data, static_cast<uint32_t>(size))), ok_(size <= UINT32_MAX) {}
    explicit Walker(const DerBlob& content) : Walker(content.data, content.length) {}

    bool AtEnd() const { return cursor_.remaining == 0; }
    // Identifier of the next element, or -1 at the end.
    int Peek() const { return AtEnd() ? -1 : cursor_.position[0]; }

    // Reads the next element, which must have the given identifier. whole, when asked, receives
    // the element's complete encoding.
    bool Next(uint8_t identifier, DerBlob& content, DerBlob* whole = nullptr) {
        if (!ok_ || AtEnd() || cursor_.position[0] != identifier) return false;
        DerHeader header{};
        if (!DerReadHeader(cursor_, &header)) return false;
        // The reader takes 0x80 as an empty element; DER has no indefinite lengths.
        if (header.totalSize >= 2 && header.start[1] == 0x80) return false;
        content = header.content;
        if (whole != nullptr) {
            whole->data = header.start;
            whole->length = header.totalSize;
        }
        return true;
    }
    bool Skip(uint8_t identifier) {
        DerBlob ignored{};
        return Next(identifier, ignored);
    }
    bool SkipIf(uint8_t identifier) { return Peek() != identifier || Skip(identifier); }

  private:
    DerCursor cursor_{};
    bool ok_;
};

bool OidToText(const DerBlob& content, std::string& out) {
    char text[128] = {};
    if (content.length == 0 || !OidContentToText(text, sizeof text, content.data, content.length)) {
        return false;
    }
    out = text;
    return true;
}

// The digest set implied by a GOST R 34.10-2012 key algorithm whose parameters name only the
// curve (RFC 9215); none for other algorithms, whose parameters must name the digest.
const char* ImpliedDigestOid(const std::string& algorithmOid) {
    if (algorithmOid == "1.2.643.7.1.1.1.1" || algorithmOid == "1.2.643.7.1.1.6.1") {
        return "1.2.643.7.1.1.2.2";
    }
    if (algorithmOid == "1.2.643.7.1.1.1.2" || algorithmOid == "1.2.643.7.1.1.6.2") {
        return "1.2.643.7.1.1.2.3";
    }
    return nullptr;
}

// SubjectPublicKeyInfo ::= SEQUENCE { algorithm AlgorithmIdentifier, subjectPublicKey BIT STRING }
bool ParseSubjectPublicKeyInfo(const DerBlob& spki, CertificateInfo& out) {
    Walker w(spki);
    DerBlob algorithm{}, bits{};
    if (!w.Next(0x30, algorithm) || !w.Next(0x03, bits) || !w.AtEnd()) return false;

    Walker alg(algorithm);
    DerBlob oid{}, params{};
    if (!alg.Next(0x06, oid) || !OidToText(oid, out.algorithmOid)) return false;
    if (!alg.Next(0x30, params) || !alg.AtEnd()) return false;

    // Parameters: curve OID, digest OID (absent in the RFC 9215 form), optionally the
    // encryption parameter set (RFC 4491), which the repair does not use.
    Walker p(params);
    DerBlob curve{}, digest{}, encryption{};
    if (!p.Next(0x06, curve) || !OidToText(curve, out.curveOid)) return false;
    if (p.AtEnd()) {
        const char* implied = ImpliedDigestOid(out.algorithmOid);
        if (implied == nullptr) return false;
        out.digestOid = implied;
    } else {
        if (!p.Next(0x06, digest) || !OidToText(digest, out.digestOid)) return false;
        if (!p.AtEnd() && (!p.Next(0x06, encryption) || !p.AtEnd())) return false;
    }

    // The BIT STRING holds no unused bits and exactly one OCTET STRING: the public key.
    if (bits.length < 1 || bits.data[0] != 0) return false;
    Walker key(bits.data + 1, bits.length - 1);
    DerBlob value{};
    if (!key.Next(0x04, value) || !key.AtEnd()) return false;
    if (value.length != 64 && value.length != 128) return false;
    return out.publicKey.Assign(value.data, value.length);
}

// Certificate ::= SEQUENCE { tbsCertificate, signatureAlgorithm, signatureValue BIT STRING }
bool ParseCertificate(const DerBlob& whole, CertificateInfo& out) {
    Walker outer(whole);
    DerBlob certificate{};
    if (!outer.Next(0x30, certificate) || !outer.AtEnd()) return false;

    Walker c(certificate);
    DerBlob tbs{}, signatureAlgorithm{}, signature{};
    if (!c.Next(0x30, tbs) || !c.Next(0x30, signatureAlgorithm) || !c.Next(0x03, signature) ||
        !c.AtEnd()) {
        return false;
    }

    Walker t(tbs);
    DerBlob spki{};
    if (!t.SkipIf(0xA0) || !t.Skip(0x02) || !t.Skip(0x30) || !t.Skip(0x30) || !t.Skip(0x30) ||
        !t.Skip(0x30) || !t.Next(0x30, spki)) {
        return false;
    }
    // issuerUniqueID [1], subjectUniqueID [2], extensions [3], each optional and in this order.
    if (!t.SkipIf(0x81) || !t.SkipIf(0x82) || !t.SkipIf(0xA3) || !t.AtEnd()) return false;

    if (!ParseSubjectPublicKeyInfo(spki, out)) return false;
    return out.encoding.Assign(whole.data, whole.length);
}

// ContentInfo ::= SEQUENCE { contentType id-signedData, content [0] EXPLICIT SignedData }; the
// first X.509 certificate of SignedData's certificates [0] IMPLICIT SET.
bool ParsePkcs7(const DerBlob& whole, CertificateInfo& out) {
    Walker outer(whole);
    DerBlob contentInfo{};
    if (!outer.Next(0x30, contentInfo) || !outer.AtEnd()) return false;

    Walker ci(contentInfo);
    DerBlob type{}, explicitContent{};
    if (!ci.Next(0x06, type) || type.length != sizeof kSignedDataOid ||
        std::memcmp(type.data, kSignedDataOid, sizeof kSignedDataOid) != 0 ||
        !ci.Next(0xA0, explicitContent) || !ci.AtEnd()) {
        return false;
    }
    Walker ec(explicitContent);
    DerBlob signedData{};
    if (!ec.Next(0x30, signedData) || !ec.AtEnd()) return false;

    // SignedData ::= SEQUENCE { version, digestAlgorithms SET, encapContentInfo SEQUENCE,
    //   certificates [0] IMPLICIT OPTIONAL, crls [1] IMPLICIT OPTIONAL, signerInfos SET }
    Walker sd(signedData);
    DerBlob certificates{};
    if (!sd.Skip(0x02) || !sd.Skip(0x31) || !sd.Skip(0x30) || !sd.Next(0xA0, certificates) ||
        !sd.SkipIf(0xA1) || !sd.Skip(0x31) || !sd.AtEnd()) {
        return false;
    }
    // The first element of the set must be an X.509 certificate; the rest are only walked.
    Walker certs(certificates);
    DerBlob first{}, firstWhole{};
    if (!certs.Next(0x30, first, &firstWhole)) return false;
    while (!certs.AtEnd()) {
        int id = certs.Peek();
        if (id < 0 || !certs.Skip(static_cast<uint8_t>(id))) return false;
    }
    return ParseCertificate(firstWhole, out);
}

// A DER file: one certificate or one PKCS#7 ContentInfo, nothing after it.
bool ParseDer(const uint8_t* data, size_t size, CertificateInfo& out) {
    Walker w(data, size);
    DerBlob content{}, whole{};
    if (!w.Next(0x30, content, &whole) || !w.AtEnd()) return false;
    Walker inner(content);
    if (inner.Peek() == 0x06) return ParsePkcs7(whole, out);
    return ParseCertificate(whole, out);
}

// A line starts at the beginning of the text, after a UTF-8 byte order mark (which some
// editors put in front of PEM files), or after a line feed.
bool StartsLine(std::string_view text, size_t at) {
    return at == 0 || text[at - 1] == '\n' || (at == 3 && text.substr(0, 3) == "\xEF\xBB\xBF");
}

// The first PEM block labelled CERTIFICATE or PKCS7 (RFC 7468); text around blocks is ignored.
bool ParsePem(const uint8_t* data, size_t size, CertificateInfo& out) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    struct Label {
        std::string_view begin, end;
        bool pkcs7;
    };
    static constexpr Label kLabels[] = {
        {"-----BEGIN CERTIFICATE-----", "-----END CERTIFICATE-----", false},
        {"-----BEGIN PKCS7-----", "-----END PKCS7-----", true},
    };
    const Label* found = nullptr;
    size_t begin = std::string_view::npos;
    for (const Label& label : kLabels) {
        for (size_t at = text.find(label.begin); at != std::string_view::npos;
             at = text.find(label.begin, at + 1)) {
            if (!StartsLine(text, at)) continue;
            if (at < begin) {
                begin = at;
                found = &label;
            }
            break;
        }
    }
    if (found == nullptr) return false;

    size_t body = begin + found->begin.size();
    size_t end = text.find(found->end, body);
    if (end == std::string_view::npos || !StartsLine(text, end)) return false;

    std::vector<uint8_t> der;
    if (!Base64Decode(text.data() + body, end - body, der)) return false;
    DerBlob whole{static_cast<uint32_t>(der.size()), der.data()};
    if (der.size() > UINT32_MAX) return false;
    return found->pkcs7 ? ParsePkcs7(whole, out) : ParseCertificate(whole, out);
}

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

void Clear(CertificateInfo& out) {
    out.encoding.Reset();
    out.publicKey.Reset();
    out.algorithmOid.clear();
    out.curveOid.clear();
    out.digestOid.clear();
}

}  // namespace

bool Base64Decode(const char* text, size_t length, std::vector<uint8_t>& out) {
    out.clear();
    out.reserve(length / 4 * 3);
    uint32_t group = 0;
    int count = 0;    // characters in the current group
    int padding = 0;  // '=' seen so far; nothing but padding and blanks may follow the first
    for (size_t i = 0; i < length; ++i) {
        char c = text[i];
        if (IsBlank(c)) continue;
        if (c == '=') {
            // Padding completes a group of two or three characters.
            if (count < 2) return false;
            ++padding;
            if (count + padding > 4) return false;
            continue;
        }
        int v = Base64Value(c);
        if (v < 0 || padding != 0) return false;
        group = (group << 6) | static_cast<uint32_t>(v);
        if (++count == 4) {
            out.push_back(static_cast<uint8_t>(group >> 16));
            out.push_back(static_cast<uint8_t>(group >> 8));
            out.push_back(static_cast<uint8_t>(group));
            group = 0;
            count = 0;
        }
    }
    if (padding == 0) return count == 0;
    if (count + padding != 4) return false;
    if (count == 2) {
        if ((group & 0x0F) != 0) return false;  // bits beyond the last byte must be zero
        out.push_back(static_cast<uint8_t>(group >> 4));
    } else {
        if ((group & 0x03) != 0) return false;
        out.push_back(static_cast<uint8_t>(group >> 10));
        out.push_back(static_cast<uint8_t>(group >> 2));
    }
    return true;
}

bool LoadCertificateFile(const char* path, CertificateInfo& out) {
    Clear(out);
    if (path == nullptr) return false;
    // The size is checked before anything is allocated or read.
    std::vector<uint8_t> data;
    auto allocate = [](size_t size, void* context) -> uint8_t* {
        auto& buffer = *static_cast<std::vector<uint8_t>*>(context);
        buffer.resize(size);
        return buffer.data();
    };
    if (!ReadFileBounded(path, kMaxCertificateFileSize, allocate, &data)) return false;
    return ParseCertificateFile(data.data(), data.size(), out);
}

bool ParseCertificateFile(const uint8_t* data, size_t size, CertificateInfo& out) {
    Clear(out);
    if (data == nullptr || size == 0 || size > kMaxCertificateFileSize) return false;
    // DER when it starts like a SEQUENCE; otherwise (or when that fails: text may start with
    // '0', which is 0x30) PEM.
    bool ok = data[0] == 0x30 && ParseDer(data, size, out);
    if (!ok) {
        Clear(out);
        ok = ParsePem(data, size, out);
    }
    if (!ok) Clear(out);
    return ok;
}

}  // namespace keymend
