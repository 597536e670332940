// DER writer: typed values to elements, in a measuring pass and a writing pass.
//
// Every value is converted straight into the caller's buffer (or only measured): no temporary
// copies are made, so nothing secret written through here is left behind elsewhere.
#include <cstring>

#include "asn1/der.h"
#include "asn1/file_time.h"
#include "asn1/oid_internal.h"
#include "asn1/utf.h"

namespace keymend {

namespace {

thread_local uint32_t t_lastError = 0;

// Where the content octets of one element come from.
enum class Source {
    kFlat,         // `data`, `length` octets as they are
    kReversed,     // `length` octets of `data`, last first (little-endian integer)
    kPieces,       // `count` DerBlob pieces at `data`, concatenated
    kUnits16Be,    // `count` 16-bit little-endian units, each written big-endian
    kUnits32Be,    // `count` 32-bit little-endian units, each written big-endian
    kUtf16ToUtf8,  // `count` UTF-16LE units converted to UTF-8
    kString16,     // `count` char16_t units at `data`, written little-endian
    kOidText,      // dotted text at `data`
};

struct Content {
    Source source = Source::kFlat;
    const uint8_t* data = nullptr;
    const char16_t* units16 = nullptr;
    uint32_t length = 0;  // content octets, without the unused-bit octet
    uint32_t count = 0;
    uint8_t small[16] = {};  // holds converted integers, booleans and times
    uint8_t defaultIdentifier = kDerDefaultIdentifier;
    uint32_t unusedBits = 0;
    bool passThrough = false;  // the caller's DerBlob is the content (pieces allowed)
};

uint32_t LengthOctets(uint32_t length) {
    if (length < 0x80) return 1;
    if (length <= 0xFF) return 2;
    if (length <= 0xFFFF) return 3;
    if (length <= 0xFFFFFF) return 4;
    return 5;
}

void PutLength(uint8_t* out, uint32_t length) {
    const uint32_t octets = LengthOctets(length);
    if (octets == 1) {
        out[0] = static_cast<uint8_t>(length);
        return;
    }
    out[0] = static_cast<uint8_t>(0x80 + octets - 1);
    for (uint32_t i = 1; i < octets; ++i) {
        out[i] = static_cast<uint8_t>(length >> (8 * (octets - 1 - i)));
    }
}

// Reserves `size` octets: adds them to a measuring cursor, or returns where to write them.
// Lack of room sets the last error word to 234.
bool Reserve(DerCursor& cursor, uint64_t size, uint8_t** at) {
    *at = nullptr;
    if (cursor.position == nullptr) {
        if (size > UINT32_MAX - cursor.remaining) return false;
        cursor.remaining += static_cast<uint32_t>(size);
        return true;
    }
    if (size > cursor.remaining) {
        t_lastError = kErrorInsufficientBuffer;
        return false;
    }
    *at = cursor.position;
    cursor.position += size;
    cursor.remaining -= static_cast<uint32_t>(size);
    return true;
}

// Shortest big-endian two's complement of a 32-bit value.
void SmallInteger(int32_t value, Content* content) {
    const uint32_t bits = static_cast<uint32_t>(value);
    uint8_t be[4];
    for (int i = 0; i < 4; ++i) be[i] = static_cast<uint8_t>(bits >> (24 - 8 * i));
    uint32_t start = 0;
    while (start < 3 && ((be[start] == 0x00 && (be[start + 1] & 0x80) == 0) ||
                         (be[start] == 0xFF && (be[start + 1] & 0x80) != 0))) {
        ++start;
    }
    content->length = 4 - start;
    std::memcpy(content->small, be + start, content->length);
    content->data = content->small;
}

// A little-endian signed integer of any length, trimmed to its shortest form.
void LittleEndianInteger(const DerBlob& value, Content* content) {
    content->source = Source::kReversed;
    if (value.data == nullptr || value.length == 0) return;
    uint32_t n = value.length;
    const uint8_t fill = (value.data[n - 1] & 0x80) ? 0xFF : 0x00;
    while (n > 1 && value.data[n - 1] == fill) --n;
    if ((value.data[n - 1] & 0x80) != (fill & 0x80)) ++n;  // keep one octet for the sign
    content->data = value.data;
    content->length = n;
}

void PutDigits(uint8_t* out, uint32_t value, int digits) {
    for (int i = digits - 1; i >= 0; --i) {
        out[i] = static_cast<uint8_t>('0' + value % 10);
        value /= 10;
    }
}

bool TimeText(uint64_t fileTime, bool generalized, Content* content) {
    CalendarTime t;
    if (!FileTimeToCalendar(fileTime, &t)) return false;
    uint8_t* out = content->small;
    if (generalized) {
        if (t.year > 9999) return false;  // four year digits only
        PutDigits(out, t.year, 4);
        out += 4;
    } else {
        if (t.year < 1950 || t.year > 2049) return false;
        PutDigits(out, t.year % 100u, 2);
        out += 2;
    }
    PutDigits(out, t.month, 2);
    PutDigits(out + 2, t.day, 2);
    PutDigits(out + 4, t.hour, 2);
    PutDigits(out + 6, t.minute, 2);
    PutDigits(out + 8, t.second, 2);
    out[10] = 'Z';
    content->data = content->small;
    content->length = generalized ? 15 : 13;
    return true;
}

bool NameValue(const DerNameValue& value, Content* content) {
    static constexpr uint8_t kUniversalTag[] = {0,    0,    0x04, 0x12, 0x13, 0x14, 0x15,
                                                0x16, 0x19, 0x1A, 0x1B, 0x1C, 0x1E, 0x0C};
    if (value.valueType == 0 || value.valueType > kDerValueUtf8) return false;
    const uint8_t* data = value.data;
    const uint32_t length = data ? value.length : 0;
    content->data = data;
    switch (value.valueType) {
        case kDerValueEncoded:
            content->length = length;
            return true;  // default identifier stays "content only"
        case kDerValueUniversal:
            content->source = Source::kUnits32Be;
            content->count = length / 4;
            content->length = content->count * 4;
            break;
        case kDerValueBmp:
            content->source = Source::kUnits16Be;
            content->count = length / 2;
            content->length = content->count * 2;
            break;
        case kDerValueUtf8:
            content->source = Source::kUtf16ToUtf8;
            content->count = length / 2;
            if (!Utf16LeToUtf8(data, content->count, nullptr, &content->length)) return false;
            break;
        default:
            content->length = length;
            break;
    }
    content->defaultIdentifier = kUniversalTag[value.valueType];
    return true;
}

bool StringLength(size_t length, uint32_t* out) {
    if (length > UINT32_MAX) return false;
    *out = static_cast<uint32_t>(length);
    return true;
}

// Turns the caller's value into a content description; false on a bad kind or conversion.
bool Convert(DerKind kind, const void* value, Content* content) {
    switch (kind) {
        case DerKind::kNameValue:
            return value && NameValue(*static_cast<const DerNameValue*>(value), content);
        case DerKind::kUtcTime:
        case DerKind::kGeneralizedTime: {
            if (value == nullptr) return false;
            const bool generalized = kind == DerKind::kGeneralizedTime;
            content->defaultIdentifier = generalized ? kDerGeneralizedTimeId : kDerUtcTimeId;
            return TimeText(*static_cast<const uint64_t*>(value), generalized, content);
        }
        case DerKind::kOctetString:
        case DerKind::kEncoded:
        case DerKind::kEncodedOrNull: {
            if (value == nullptr) return false;
            const DerBlob& blob = *static_cast<const DerBlob*>(value);
            content->data = blob.data;
            content->length = blob.data ? blob.length : 0;
            content->passThrough = true;
            if (kind == DerKind::kOctetString) {
                content->defaultIdentifier = kDerOctetString;
            } else if (kind == DerKind::kEncodedOrNull && content->length == 0) {
                content->defaultIdentifier = kDerNull;
            }
            return true;
        }
        case DerKind::kBitString: {
            if (value == nullptr) return false;
            const DerBitString& bits = *static_cast<const DerBitString*>(value);
            const uint32_t length = bits.data ? bits.length : 0;
            // A count above 7, or unused bits without any octet, is not a bit string.
            if (bits.unusedBits > 7 || (length == 0 && bits.unusedBits != 0)) return false;
            content->data = bits.data;
            content->length = length;
            content->unusedBits = bits.unusedBits;
            content->defaultIdentifier = kDerBitStringId;
            return true;
        }
        case DerKind::kInteger:
        case DerKind::kIntegerAlt:
            if (value == nullptr) return false;
            SmallInteger(*static_cast<const int32_t*>(value), content);
            content->defaultIdentifier = kDerInteger;
            return true;
        case DerKind::kLittleEndianInteger:
            if (value == nullptr) return false;
            LittleEndianInteger(*static_cast<const DerBlob*>(value), content);
            content->defaultIdentifier = kDerInteger;
            return true;
        case DerKind::kOidText:
            if (value == nullptr) return false;
            content->source = Source::kOidText;
            content->data = static_cast<const uint8_t*>(value);
            content->defaultIdentifier = kDerObjectIdentifier;
            return OidEncodeText(static_cast<const char*>(value), nullptr, &content->length);
        case DerKind::kBoolean:
            if (value == nullptr) return false;
            content->small[0] = *static_cast<const int32_t*>(value) ? 0xFF : 0x00;
            content->data = content->small;
            content->length = 1;
            content->defaultIdentifier = kDerBoolean;
            return true;
        case DerKind::kString8: {
            const char* text = static_cast<const char*>(value);
            content->data = reinterpret_cast<const uint8_t*>(text);
            content->defaultIdentifier = 0x00;
            return text == nullptr || StringLength(std::strlen(text), &content->length);
        }
        case DerKind::kString16: {
            const char16_t* text = static_cast<const char16_t*>(value);
            content->source = Source::kString16;
            content->units16 = text;
            content->defaultIdentifier = 0x00;
            if (text == nullptr) return true;
            size_t units = 0;
            while (text[units] != 0) ++units;
            if (units > UINT32_MAX / 2) return false;
            content->count = static_cast<uint32_t>(units);
            content->length = content->count * 2;
            return true;
        }
    }
    return false;
}

// The sum of the pieces' lengths; false when it does not fit 32 bits.
bool PiecesLength(const DerBlob* pieces, uint32_t count, uint32_t* length) {
    uint64_t sum = 0;
    for (uint32_t i = 0; i < count; ++i) {
        sum += pieces[i].data ? pieces[i].length : 0;
        if (sum > UINT32_MAX) return false;
    }
    *length = static_cast<uint32_t>(sum);
    return true;
}

void EmitContent(const Content& c, uint8_t* out) {
    switch (c.source) {
        case Source::kFlat:
            if (c.length) std::memcpy(out, c.data, c.length);
            break;
        case Source::kReversed:
            for (uint32_t i = 0; i < c.length; ++i) out[i] = c.data[c.length - 1 - i];
            break;
        case Source::kPieces: {
            const DerBlob* pieces = reinterpret_cast<const DerBlob*>(c.data);
            for (uint32_t i = 0; i < c.count; ++i) {
                if (pieces[i].data == nullptr || pieces[i].length == 0) continue;
                std::memcpy(out, pieces[i].data, pieces[i].length);
                out += pieces[i].length;
            }
            break;
        }
        case Source::kUnits16Be:
            for (uint32_t i = 0; i < c.count; ++i) {
                out[2 * i] = c.data[2 * i + 1];
                out[2 * i + 1] = c.data[2 * i];
            }
            break;
        case Source::kUnits32Be:
            for (uint32_t i = 0; i < c.count; ++i) {
                for (uint32_t j = 0; j < 4; ++j) out[4 * i + j] = c.data[4 * i + 3 - j];
            }
            break;
        case Source::kUtf16ToUtf8: {
            uint32_t written = 0;
            Utf16LeToUtf8(c.data, c.count, out, &written);  // measured before: cannot fail
            break;
        }
        case Source::kString16:
            for (uint32_t i = 0; i < c.count; ++i) {
                out[2 * i] = static_cast<uint8_t>(c.units16[i]);
                out[2 * i + 1] = static_cast<uint8_t>(c.units16[i] >> 8);
            }
            break;
        case Source::kOidText: {
            uint32_t written = 0;
            OidEncodeText(reinterpret_cast<const char*>(c.data), out, &written);
            break;
        }
    }
}

}  // namespace

bool DerWriteIdentifier(uint32_t tagNumber, uint32_t classBits, DerCursor& cursor) {
    if (tagNumber >= kDerTagMask || (classBits & ~uint32_t{kDerClassMask}) != 0) return false;
    uint8_t* at = nullptr;
    if (!Reserve(cursor, 1, &at)) return false;
    if (at) *at = static_cast<uint8_t>(classBits | tagNumber);
    return true;
}

bool DerWriteLength(uint32_t length, DerCursor& cursor) {
    uint8_t* at = nullptr;
    if (!Reserve(cursor, LengthOctets(length), &at)) return false;
    if (at) PutLength(at, length);
    return true;
}

bool DerWriteValue(uint8_t identifier, DerKind kind, const void* value, DerCursor& cursor) {
    Content content;
    if (!Convert(kind, value, &content)) return false;
    const uint8_t effective =
        identifier == kDerDefaultIdentifier ? content.defaultIdentifier : identifier;
    const uint32_t tag = effective & kDerTagMask;
    const uint32_t classBits = effective & kDerClassMask;
    const bool universal = (effective & 0xC0) == 0;

    // BIT STRING content starts with the unused-bit count; under an implicit context-specific
    // tag a bit string keeps that octet.
    const bool unusedOctet = (universal && tag == 3) ||
                             (kind == DerKind::kBitString && classBits == kDerContextSpecific);
    if (universal && tag == 5) {
        content.length = 0;  // NULL has no content
        content.source = Source::kFlat;
    } else if (universal && (tag == 16 || tag == 17) && content.passThrough &&
               content.data != nullptr) {
        content.source = Source::kPieces;
        content.count = content.length;
        if (!PiecesLength(reinterpret_cast<const DerBlob*>(content.data), content.count,
                          &content.length)) {
            return false;
        }
    }
    uint64_t contentLength = uint64_t{content.length} + (unusedOctet ? 1 : 0);
    if (contentLength > UINT32_MAX) return false;
    const uint32_t headerLength =
        tag == kDerTagMask ? 0 : 1 + LengthOctets(static_cast<uint32_t>(contentLength));

    uint8_t* at = nullptr;
    if (!Reserve(cursor, headerLength + contentLength, &at)) return false;
    if (at == nullptr) return true;
    if (headerLength) {
        at[0] = effective;
        PutLength(at + 1, static_cast<uint32_t>(contentLength));
        at += headerLength;
    }
    if (unusedOctet) *at++ = static_cast<uint8_t>(content.unusedBits);
    EmitContent(content, at);
    return true;
}

bool DerWriteConstructed(uint8_t identifier, void* context, DerContentWriter writeContent,
                         DerCursor& cursor) {
    if (writeContent == nullptr || (identifier & kDerTagMask) == kDerTagMask) return false;
    DerCursor measure = DerMeasuringCursor();
    if (!writeContent(context, measure)) return false;
    const uint32_t length = measure.remaining;
    const uint32_t headerLength = 1 + LengthOctets(length);
    uint8_t* at = nullptr;
    if (!Reserve(cursor, uint64_t{headerLength} + length, &at)) return false;
    if (at == nullptr) return true;
    at[0] = static_cast<uint8_t>(identifier | kDerConstructedFlag);
    PutLength(at + 1, length);
    // The content gets exactly the measured room: a callback that writes differently the second
    // time fails instead of leaving a wrong length or a gap.
    DerCursor inner{length, at + headerLength};
    return writeContent(context, inner) && inner.remaining == 0;
}

uint32_t DerLastError() { return t_lastError; }
void DerClearLastError() { t_lastError = 0; }

}  // namespace keymend
