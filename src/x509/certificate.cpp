#include "x509/certificate.h"

#include <cstring>

#include "asn1/der_strict.h"
#include "x509/x509_internal.h"

namespace keymend {

namespace {

constexpr const char* kOidSignedData = "1.2.840.113549.1.7.2";

// Walks the elements of one content: every element must carry the expected identifier octet
// (DerReadExact), and the caller checks that the content is used up (AtEnd).
class Walker {
  public:
    Walker(const uint8_t* data, size_t size)
        : cursor_(DerCursorOver(data, static_cast<uint32_t>(size))), ok_(size <= UINT32_MAX) {}
    explicit Walker(const DerBlob& content) : Walker(content.data, content.length) {}

    bool AtEnd() const { return DerAtEnd(cursor_); }
    int Peek() const { return DerPeekOctet(cursor_); }
    bool Next(uint8_t identifier, DerBlob& content, DerBlob* whole = nullptr) {
        return ok_ && DerReadExact(cursor_, identifier, &content, whole);
    }
    bool Skip(uint8_t identifier) {
        DerBlob ignored{};
        return Next(identifier, ignored);
    }
    bool SkipIf(uint8_t identifier) { return Peek() != identifier || Skip(identifier); }
    bool NextOid(OidText& out) { return ok_ && DerReadOid(cursor_, out); }

  private:
    DerCursor cursor_{};
    bool ok_;
};

// The digest set implied by a GOST R 34.10-2012 key algorithm whose parameters name only the
// curve (RFC 9215); none for other algorithms, whose parameters must name the digest.
const char* ImpliedDigestOid(const OidText& algorithm) {
    if (algorithm.Equals("1.2.643.7.1.1.1.1") || algorithm.Equals("1.2.643.7.1.1.6.1")) {
        return "1.2.643.7.1.1.2.2";
    }
    if (algorithm.Equals("1.2.643.7.1.1.1.2") || algorithm.Equals("1.2.643.7.1.1.6.2")) {
        return "1.2.643.7.1.1.2.3";
    }
    return nullptr;
}

// SubjectPublicKeyInfo ::= SEQUENCE { algorithm AlgorithmIdentifier, subjectPublicKey BIT STRING }
bool ParseSubjectPublicKeyInfo(const DerBlob& spki, CertificateInfo& out) {
    Walker w(spki);
    DerBlob algorithm{}, bits{};
    if (!w.Next(kDerSequence, algorithm) || !w.Next(kDerBitStringId, bits) || !w.AtEnd()) {
        return false;
    }
    Walker alg(algorithm);
    DerBlob params{};
    if (!alg.NextOid(out.algorithmOid) || !alg.Next(kDerSequence, params) || !alg.AtEnd()) {
        return false;
    }
    // Parameters: curve OID, digest OID (absent in the RFC 9215 form), optionally the
    // encryption parameter set (RFC 4491), which is not used.
    Walker p(params);
    if (!p.NextOid(out.curveOid)) return false;
    if (p.AtEnd()) {
        if (!out.digestOid.Set(ImpliedDigestOid(out.algorithmOid)) || out.digestOid.empty()) {
            return false;
        }
    } else {
        OidText encryption;
        if (!p.NextOid(out.digestOid)) return false;
        if (!p.AtEnd() && (!p.NextOid(encryption) || !p.AtEnd())) return false;
    }
    // The BIT STRING holds no unused bits and exactly one OCTET STRING: the public key.
    if (bits.length < 1 || bits.data[0] != 0) return false;
    Walker key(bits.data + 1, bits.length - 1);
    DerBlob value{};
    if (!key.Next(kDerOctetString, value) || !key.AtEnd()) return false;
    if (value.length != 64 && value.length != 128) return false;
    return out.publicKey.Assign(value.data, value.length);
}

// Validity ::= SEQUENCE { notBefore Time, notAfter Time }, Time being UTCTime or
// GeneralizedTime.
bool ParseValidity(const DerBlob& validity, CertificateInfo& out) {
    Walker v(validity);
    CalendarTime* times[] = {&out.notBefore, &out.notAfter};
    for (CalendarTime* time : times) {
        const int identifier = v.Peek();
        DerBlob content{};
        if ((identifier != kDerUtcTimeId && identifier != kDerGeneralizedTimeId) ||
            !v.Next(static_cast<uint8_t>(identifier), content) ||
            !CertificateTime(static_cast<uint8_t>(identifier), content, *time)) {
            return false;
        }
    }
    return v.AtEnd();
}

// Subject, serial number and validity; a failure leaves them cleared.
void Describe(const DerBlob& serial, const DerBlob& validity, const DerBlob& subject,
              CertificateInfo& out) {
    out.described = serial.length != 0 && ParseValidity(validity, out) &&
                    NameToString(subject, out.subject);
    if (out.described) {
        out.serialNumber.assign(serial.data, serial.data + serial.length);
    } else {
        out.subject.clear();
        out.notBefore = out.notAfter = CalendarTime{};
    }
}

// Certificate ::= SEQUENCE { tbsCertificate, signatureAlgorithm, signatureValue BIT STRING }
bool ParseCertificate(const DerBlob& whole, CertificateInfo& out) {
    Walker outer(whole);
    DerBlob certificate{};
    if (!outer.Next(kDerSequence, certificate) || !outer.AtEnd()) return false;

    Walker c(certificate);
    DerBlob tbs{};
    if (!c.Next(kDerSequence, tbs) || !c.Skip(kDerSequence) || !c.Skip(kDerBitStringId) ||
        !c.AtEnd()) {
        return false;
    }
    // TBSCertificate ::= SEQUENCE { version [0] OPTIONAL, serialNumber, signature, issuer,
    //   validity, subject, subjectPublicKeyInfo, issuerUniqueID [1], subjectUniqueID [2],
    //   extensions [3] }, the last three optional and in this order.
    Walker t(tbs);
    DerBlob serial{}, validity{}, subject{}, spki{};
    if (!t.SkipIf(kDerContextConstructed) || !t.Next(kDerInteger, serial) ||
        !t.Skip(kDerSequence) || !t.Skip(kDerSequence) || !t.Next(kDerSequence, validity) ||
        !t.Next(kDerSequence, subject) || !t.Next(kDerSequence, spki)) {
        return false;
    }
    if (!t.SkipIf(0x81) || !t.SkipIf(0x82) || !t.SkipIf(0xA3) || !t.AtEnd()) return false;

    if (!ParseSubjectPublicKeyInfo(spki, out)) return false;
    Describe(serial, validity, subject, out);
    return out.encoding.Assign(whole.data, whole.length);
}

// ContentInfo ::= SEQUENCE { contentType id-signedData, content [0] EXPLICIT SignedData }; the
// first X.509 certificate of SignedData's certificates [0] IMPLICIT SET.
bool ParsePkcs7(const DerBlob& whole, CertificateInfo& out) {
    Walker outer(whole);
    DerBlob contentInfo{};
    if (!outer.Next(kDerSequence, contentInfo) || !outer.AtEnd()) return false;

    Walker ci(contentInfo);
    OidText type;
    DerBlob explicitContent{};
    if (!ci.NextOid(type) || !type.Equals(kOidSignedData) ||
        !ci.Next(kDerContextConstructed, explicitContent) || !ci.AtEnd()) {
        return false;
    }
    Walker ec(explicitContent);
    DerBlob signedData{};
    if (!ec.Next(kDerSequence, signedData) || !ec.AtEnd()) return false;

    // SignedData ::= SEQUENCE { version, digestAlgorithms SET, encapContentInfo SEQUENCE,
    //   certificates [0] IMPLICIT OPTIONAL, crls [1] IMPLICIT OPTIONAL, signerInfos SET }
    Walker sd(signedData);
    DerBlob certificates{};
    if (!sd.Skip(kDerInteger) || !sd.Skip(kDerSet) || !sd.Skip(kDerSequence) ||
        !sd.Next(kDerContextConstructed, certificates) || !sd.SkipIf(0xA1) || !sd.Skip(kDerSet) ||
        !sd.AtEnd()) {
        return false;
    }
    // The first element of the set must be an X.509 certificate; the rest are only walked.
    Walker certs(certificates);
    DerBlob first{}, firstWhole{};
    if (!certs.Next(kDerSequence, first, &firstWhole)) return false;
    while (!certs.AtEnd()) {
        const int id = certs.Peek();
        if (id < 0 || !certs.Skip(static_cast<uint8_t>(id))) return false;
    }
    return ParseCertificate(firstWhole, out);
}

// A DER file: one certificate or one PKCS#7 ContentInfo, nothing after it.
bool ParseDer(const uint8_t* data, size_t size, CertificateInfo& out) {
    Walker w(data, size);
    DerBlob content{}, whole{};
    if (!w.Next(kDerSequence, content, &whole) || !w.AtEnd()) return false;
    Walker inner(content);
    if (inner.Peek() == kDerObjectIdentifier) return ParsePkcs7(whole, out);
    return ParseCertificate(whole, out);
}

bool ParsePem(const uint8_t* data, size_t size, CertificateInfo& out) {
    std::vector<uint8_t> der;
    bool pkcs7 = false;
    if (!PemBlock(data, size, "CERTIFICATE", "PKCS7", der, &pkcs7) || der.size() > UINT32_MAX) {
        return false;
    }
    const DerBlob whole{static_cast<uint32_t>(der.size()), der.data()};
    return pkcs7 ? ParsePkcs7(whole, out) : ParseCertificate(whole, out);
}

void Clear(CertificateInfo& out) {
    out.encoding.Reset();
    out.publicKey.Reset();
    out.algorithmOid.Clear();
    out.curveOid.Clear();
    out.digestOid.Clear();
    out.described = false;
    out.subject.clear();
    out.serialNumber.clear();
    out.notBefore = out.notAfter = CalendarTime{};
}

}  // namespace

bool ParseCertificateFile(const uint8_t* data, size_t size, CertificateInfo& out) {
    Clear(out);
    if (data == nullptr || size == 0 || size > kMaxCertificateFileSize) return false;
    // DER when it starts like a SEQUENCE; otherwise (or when that fails: text may start with
    // '0', which is 0x30) PEM.
    bool ok = data[0] == kDerSequence && ParseDer(data, size, out);
    if (!ok) {
        Clear(out);
        ok = ParsePem(data, size, out);
    }
    if (!ok) Clear(out);
    return ok;
}

}  // namespace keymend
