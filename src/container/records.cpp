#include "container/records.h"

#include <cstring>
#include <new>

#include "asn1/der.h"
#include "asn1/der_strict.h"
#include "container/key_algorithms.h"
#include "crypto/gost28147/gost28147.h"

namespace keymend {

namespace {

// ---- Reading helpers ------------------------------------------------------------------------

bool CopyBlob(DerBlob content, SecureBlob& out) {
    if (content.length == 0) {
        out.Reset();
        return true;
    }
    return out.Assign(content.data, content.length);
}

bool ReadOctets(DerCursor& cursor, uint8_t identifier, SecureBlob& out) {
    DerBlob content;
    return DerReadExact(cursor, identifier, &content) && CopyBlob(content, out);
}

// BIT STRING flags: the unused-bits octet is dropped; no content octet at all is refused.
bool ReadFlags(DerCursor& cursor, SecureBlob& flags) {
    DerBlob content, whole;
    if (!DerReadExact(cursor, kDerBitStringId, &content, &whole)) return false;
    if (content.length == 0) {
        DerNoteFailure(whole.data);
        return false;
    }
    return CopyBlob(DerBlob{content.length - 1, content.data + 1}, flags);
}

// The content of a KeyPropertiesSequence (also of the [4] IMPLICIT second key).
bool DecodeKeyProperties(DerBlob content, KeyProperties& key) {
    DerCursor cursor = DerCursorOver(content);
    if (!ReadFlags(cursor, key.flags)) return false;
    if (DerPeekOctet(cursor) != kDerContextConstructed) return true;  // no algorithm
    DerBlob algorithm;
    uint32_t count = 0;
    if (!DerReadCounted(cursor, kDerContextConstructed, &algorithm, 2, 2)) return false;
    DerCursor inner = DerCursorOver(algorithm);
    if (!DerReadOid(inner, key.algorithm)) return false;
    DerBlob parameters;
    if (!DerReadCounted(inner, kDerSequence, &parameters, 2, 3, &count)) return false;
    DerCursor params = DerCursorOver(parameters);
    if (!DerReadOid(params, key.publicKeyParamSet) || !DerReadOid(params, key.digestParamSet)) {
        return false;
    }
    if (count == 3 && !DerReadOid(params, key.encryptionParamSet)) return false;
    return true;
}

// ---- Writing helpers ------------------------------------------------------------------------

DerBlob View(const SecureBlob& blob) {
    return DerBlob{blob.size(), blob.data()};
}

bool WriteOctets(uint8_t identifier, const SecureBlob& blob, DerCursor& cursor) {
    const DerBlob view = View(blob);
    return DerWriteValue(identifier, DerKind::kOctetString, &view, cursor);
}

bool WriteFlags(const SecureBlob& flags, DerCursor& cursor) {
    DerBitString bits;
    BitStringView(&bits, View(flags));
    return DerWriteValue(kDerBitStringId, DerKind::kBitString, &bits, cursor);
}

bool WriteOid(const char* text, DerCursor& cursor) {
    return DerWriteValue(kDerObjectIdentifier, DerKind::kOidText, text, cursor);
}

bool WriteKeyParameters(void* context, DerCursor& cursor) {
    const auto& key = *static_cast<const KeyProperties*>(context);
    // A key whose record has no digest set (some PKCS#8 encoders leave it out for the twisted
    // Edwards curves) gets its algorithm family's.
    const char* digest = key.digestParamSet.empty()
                             ? ImpliedDigestParamSet(ProviderTypeOfOid(key.algorithm))
                             : key.digestParamSet.c_str();
    if (key.publicKeyParamSet.empty() || digest == nullptr) return false;
    if (!WriteOid(key.publicKeyParamSet.c_str(), cursor) || !WriteOid(digest, cursor)) {
        return false;
    }
    return key.encryptionParamSet.empty() || WriteOid(key.encryptionParamSet.c_str(), cursor);
}

bool WriteAlgorithm(void* context, DerCursor& cursor) {
    const auto& key = *static_cast<const KeyProperties*>(context);
    return WriteOid(key.algorithm.c_str(), cursor) &&
           DerWriteConstructed(kDerSequence, context, WriteKeyParameters, cursor);
}

bool WriteKeyProperties(void* context, DerCursor& cursor) {
    const auto& key = *static_cast<const KeyProperties*>(context);
    if (!WriteFlags(key.flags, cursor)) return false;
    // A key without an algorithm is written without the [0] element, as such keys are read.
    if (key.algorithm.empty()) return true;
    return DerWriteConstructed(kDerContextConstructed, context, WriteAlgorithm, cursor);
}

bool WriteFormatOid(void*, DerCursor& cursor) {
    return WriteOid(kContainerFormatOid, cursor);
}

bool WriteHeaderContent(void* context, DerCursor& cursor) {
    auto& header = *static_cast<HeaderRecord*>(context);
    if (!DerWriteConstructed(kDerContextConstructed, nullptr, WriteFormatOid, cursor)) {
        return false;
    }
    if (!WriteFlags(header.flags, cursor)) return false;
    if (!DerWriteConstructed(kDerSequence, &header.firstKey, WriteKeyProperties, cursor)) {
        return false;
    }
    if (!header.passwordCheck.empty() && !WriteOctets(0x82, header.passwordCheck, cursor)) {
        return false;
    }
    if (!header.secondKey.publicKeyCheck.empty() &&
        !DerWriteConstructed(0xA4, &header.secondKey, WriteKeyProperties, cursor)) {
        return false;
    }
    if (!header.firstKey.certificate.empty() &&
        !WriteOctets(0x85, header.firstKey.certificate, cursor)) {
        return false;
    }
    if (!header.secondKey.certificate.empty() &&
        !WriteOctets(0x86, header.secondKey.certificate, cursor)) {
        return false;
    }
    if (!WriteOctets(0x8A, header.firstKey.publicKeyCheck, cursor)) return false;
    return header.secondKey.publicKeyCheck.empty() ||
           WriteOctets(0x8B, header.secondKey.publicKeyCheck, cursor);
}

// The header file body: HeaderContent, then its MAC, computed (in a writing pass only) over the
// HeaderContent octets just written.
struct HeaderWriteContext {
    HeaderRecord* header;
    const char* macParamSet;
};

bool WriteHeaderFile(void* context, DerCursor& cursor) {
    auto& ctx = *static_cast<HeaderWriteContext*>(context);
    const uint8_t* start = cursor.position;
    if (!DerWriteConstructed(kDerSequence, ctx.header, WriteHeaderContent, cursor)) return false;
    if (!DerIsMeasuring(cursor)) {
        const size_t length = static_cast<size_t>(cursor.position - start);
        if (!HeaderMac(start, length, ctx.macParamSet, ctx.header->headerMac.data())) {
            return false;
        }
    }
    return WriteOctets(kDerOctetString, ctx.header->headerMac, cursor);
}

// Runs a SEQUENCE writer twice (measure, write) into an exactly sized `out`.
bool EncodeSequence(void* context, DerContentWriter writer, uint32_t padTo, SecureBlob& out) {
    out.Reset();
    DerCursor measure = DerMeasuringCursor();
    if (!DerWriteConstructed(kDerSequence, context, writer, measure)) return false;
    const uint32_t size = measure.remaining;
    if (!out.Allocate(size < padTo ? padTo : size)) return false;
    DerCursor cursor = DerCursorOver(out.data(), size);
    if (!DerWriteConstructed(kDerSequence, context, writer, cursor) || cursor.remaining != 0) {
        out.Reset();
        return false;
    }
    return true;  // padding bytes past `size` are already zero
}

struct NameContext {
    const uint8_t* name;
    uint32_t length;
};

bool WriteName(void* context, DerCursor& cursor) {
    const auto& ctx = *static_cast<const NameContext*>(context);
    const DerBlob view{ctx.length, ctx.name};
    return DerWriteValue(kDerIa5String, DerKind::kOctetString, &view, cursor);
}

bool WriteKeyFile(void* context, DerCursor& cursor) {
    const auto& record = *static_cast<const KeyFileRecord*>(context);
    if (!WriteOctets(kDerOctetString, record.firstKey, cursor)) return false;
    return record.secondKey.empty() || WriteOctets(0x80, record.secondKey, cursor);
}

bool WriteMaskFile(void* context, DerCursor& cursor) {
    const auto& record = *static_cast<const MaskFileRecord*>(context);
    return WriteOctets(kDerOctetString, record.mask, cursor) &&
           WriteOctets(kDerOctetString, record.salt, cursor) &&
           WriteOctets(kDerOctetString, record.maskCheck, cursor);
}

// Opens the outer SEQUENCE of a file and checks its element count.
bool OpenFile(const uint8_t* data, size_t length, uint32_t minCount, uint32_t maxCount,
              DerCursor& body, uint32_t& count) {
    if (data == nullptr || length == 0 || length > UINT32_MAX) return false;
    DerCursor file = DerCursorOver(data, static_cast<uint32_t>(length));
    DerBlob content;
    if (!DerReadCounted(file, kDerSequence, &content, minCount, maxCount, &count)) return false;
    body = DerCursorOver(content);
    return true;
}

}  // namespace

// ---- Decoders ---------------------------------------------------------------------------------

bool DecodeNameFile(const uint8_t* data, size_t length, SecureBlob& name) {
    DerCursor body;
    uint32_t count = 0;
    return OpenFile(data, length, 1, 1, body, count) && ReadOctets(body, kDerIa5String, name);
}

bool DecodeKeyFile(const uint8_t* data, size_t length, KeyFileRecord& record) {
    DerCursor body;
    uint32_t count = 0;
    if (!OpenFile(data, length, 1, 2, body, count)) return false;
    if (!ReadOctets(body, kDerOctetString, record.firstKey)) return false;
    if (count == 2) return ReadOctets(body, kDerContextSpecific, record.secondKey);
    record.secondKey.Reset();
    return true;
}

bool DecodeMaskFile(const uint8_t* data, size_t length, MaskFileRecord& record) {
    DerCursor body;
    uint32_t count = 0;
    return OpenFile(data, length, 3, 3, body, count) &&
           ReadOctets(body, kDerOctetString, record.mask) &&
           ReadOctets(body, kDerOctetString, record.salt) &&
           ReadOctets(body, kDerOctetString, record.maskCheck);
}

bool DecodeHeaderFile(const uint8_t* data, size_t length, HeaderRecord& record) {
    DerCursor body;
    uint32_t count = 0;
    if (!OpenFile(data, length, 2, 2, body, count)) return false;
    DerBlob headerContent, headerWhole;
    if (!DerReadExact(body, kDerSequence, &headerContent, &headerWhole)) return false;
    DerCursor content = DerCursorOver(headerContent);

    if (DerPeekOctet(content) == kDerContextConstructed) {
        DerBlob format;
        if (!DerReadCounted(content, kDerContextConstructed, &format, 1, 1)) return false;
        DerCursor inner = DerCursorOver(format);
        if (!DerReadOid(inner, record.formatOid)) return false;
    }
    if (!ReadFlags(content, record.flags)) return false;
    DerBlob keyContent;
    if (!DerReadExact(content, kDerSequence, &keyContent) ||
        !DecodeKeyProperties(keyContent, record.firstKey)) {
        return false;
    }
    // Optional fields, each tested once in this order.
    if (DerPeekOctet(content) == 0x82 && !ReadOctets(content, 0x82, record.passwordCheck)) return false;
    if (DerPeekOctet(content) == 0xA4) {
        if (!DerReadExact(content, 0xA4, &keyContent) ||
            !DecodeKeyProperties(keyContent, record.secondKey)) {
            return false;
        }
    }
    if (DerPeekOctet(content) == 0x85 && !ReadOctets(content, 0x85, record.firstKey.certificate)) {
        return false;
    }
    if (DerPeekOctet(content) == 0x86 && !ReadOctets(content, 0x86, record.secondKey.certificate)) {
        return false;
    }
    if (DerPeekOctet(content) == 0x8A && !ReadOctets(content, 0x8A, record.firstKey.publicKeyCheck)) {
        return false;
    }
    if (DerPeekOctet(content) == 0x8B && !ReadOctets(content, 0x8B, record.secondKey.publicKeyCheck)) {
        return false;
    }
    // Whatever is left in HeaderContent is ignored here but covered by the MAC.
    if (!record.rawContent.Assign(headerWhole.data, headerWhole.length)) return false;
    return ReadOctets(body, kDerOctetString, record.headerMac);
}

// ---- Encoders ---------------------------------------------------------------------------------

bool EncodeNameFile(const uint8_t* name, uint32_t nameLength, SecureBlob& out) {
    NameContext ctx{name, nameLength};
    return EncodeSequence(&ctx, WriteName, 0, out);
}

bool EncodeKeyFile(const KeyFileRecord& record, SecureBlob& out) {
    return EncodeSequence(const_cast<KeyFileRecord*>(&record), WriteKeyFile, 0, out);
}

bool EncodeMaskFile(const MaskFileRecord& record, SecureBlob& out) {
    return EncodeSequence(const_cast<MaskFileRecord*>(&record), WriteMaskFile, 0, out);
}

bool EncodeHeaderFile(HeaderRecord& record, bool extended, SecureBlob& out) {
    out.Reset();
    HeaderWriteContext ctx{&record, HeaderMacParamSet(record)};
    if (ctx.macParamSet == nullptr) return false;
    // The MAC field has its final length in both passes, so both measure the same.
    if (record.headerMac.size() != kHeaderMacSize && !record.headerMac.Allocate(kHeaderMacSize)) {
        return false;
    }
    return EncodeSequence(&ctx, WriteHeaderFile, extended ? kExtendedHeaderSize : 0, out);
}

const char* HeaderMacParamSet(const HeaderRecord& record) {
    const uint32_t providerType = ProviderTypeOfOid(record.firstKey.algorithm);
    if (providerType == kProviderType2001) return DefaultParamSet(kProviderType2001);
    return ContainerParamSet(record.firstKey.encryptionParamSet, providerType);
}

bool HeaderMac(const uint8_t* content, size_t length, const char* paramSet, uint8_t* mac4) {
    static const uint8_t kZeroKey[kGost28147KeySize] = {};
    static const uint8_t kZeroIv[kGost28147BlockSize] = {};
    if (content == nullptr || mac4 == nullptr) return false;
    return Gost28147Mac(content, length, mac4, kZeroKey, sizeof kZeroKey, paramSet, kZeroIv);
}

ContainerImagePtr CreateContainerImage() {
    return ContainerImagePtr(new (std::nothrow) ContainerImage());
}

}  // namespace keymend
