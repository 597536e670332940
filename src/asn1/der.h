// DER (ITU-T X.690) reader and writer over caller-owned buffers.
//
// Reading: wrap the encoded bytes in a cursor (DerCursorOver) and ask for the elements you expect,
// one at a time, in order. Every result is a view into the caller's buffer: nothing is copied or
// allocated, and a view lives exactly as long as that buffer. Every length is checked against
// the octets that remain, so a read never goes past the buffer.
//
//     DerCursor file = DerCursorOver(bytes, size);
//     DerBlob body;  uint32_t count = 0;
//     if (!DerReadConstructed(file, kDerSequence, &body, &count) || count != 2) return false;
//     DerCursor inner = DerCursorOver(body);
//     DerBlob salt;
//     if (!DerReadPrimitive(inner, kDerOctetString, &salt)) return false;
//
// Writing: the same calls serve two passes. A measuring cursor (DerMeasuringCursor(), null
// position) stores nothing and adds the size of every element to `remaining`; a real cursor
// stores octets. Measure the whole structure, allocate exactly `remaining` octets, then run the
// same calls again into that buffer:
//
//     DerCursor measure = DerMeasuringCursor();
//     if (!DerWriteConstructed(kDerSequence, &record, WriteBody, measure)) return false;
//     buffer.resize(measure.remaining);
//     DerCursor out = DerCursorOver(buffer.data(), measure.remaining);
//     if (!DerWriteConstructed(kDerSequence, &record, WriteBody, out)) return false;
//     // out.remaining == 0 now
//
// where WriteBody(context, cursor) is built from DerWriteValue/DerWriteConstructed calls and
// must write the same octets every time it is called (it is called twice per pass that writes).
//
// Every call returns true on success and false on failure. A writer that lacks room in a real
// cursor sets the thread's DER error word (DerLastError) to 234 (kErrorInsufficientBuffer) and
// fails; after any writer failure the rest of the caller's buffer
// is undefined and should be discarded. Nothing here prints or throws.
#pragma once

#include <cstdint>

namespace keymend {

// A borrowed view: `data` null means absent, non-null with length 0 means present but empty.
struct DerBlob {
    uint32_t length = 0;
    const uint8_t* data = nullptr;
};

// Position in a buffer being read or written. Reads and writes consume octets at `position`,
// advance it and subtract from `remaining`. A null `position` makes a measuring cursor: writers
// then add the size of what they would write to `remaining` instead. Readers need a position.
struct DerCursor {
    uint32_t remaining = 0;
    uint8_t* position = nullptr;
};

// A reading or writing cursor over `length` octets at `data`. The reader never writes through
// the cursor, so a cursor over const bytes is safe to read from.
inline DerCursor DerCursorOver(const uint8_t* data, uint32_t length) {
    return DerCursor{data ? length : 0, const_cast<uint8_t*>(data)};
}
inline DerCursor DerCursorOver(DerBlob blob) {
    return DerCursorOver(blob.data, blob.length);
}
// The cursor for the first (measuring) pass of a write: {0, null}.
inline DerCursor DerMeasuringCursor() {
    return DerCursor{};
}
inline bool DerIsMeasuring(const DerCursor& cursor) {
    return cursor.position == nullptr;
}

// What DerReadHeader reports about one element.
struct DerHeader {
    DerBlob content;                 // the content octets
    uint32_t unusedBits = 0;         // always 0 on reading
    uint32_t totalSize = 0;          // identifier, length and content octets together
    const uint8_t* start = nullptr;  // the identifier octet
    uint32_t tagNumber = 0;          // identifier & 0x1F
    // identifier & 0xE0: class (bits 7..6) and constructed flag 0x20
    uint32_t classBits = 0;
};

// A BIT STRING value: the data octets and how many low bits of the last octet are unused (0..7).
struct DerBitString {
    uint32_t length = 0;
    const uint8_t* data = nullptr;
    uint32_t unusedBits = 0;
};

// Value of kind kNameValue: a string of one of the value types below.
struct DerNameValue {
    uint32_t valueType = 0;  // kDerValue...
    uint32_t length = 0;     // octets at `data`
    const uint8_t* data = nullptr;
};

// Identifier octets: class bits | constructed flag 0x20 | tag number 0..30 (single octet only).
constexpr uint8_t kDerBoolean = 0x01;
constexpr uint8_t kDerInteger = 0x02;
constexpr uint8_t kDerBitStringId = 0x03;
constexpr uint8_t kDerOctetString = 0x04;
constexpr uint8_t kDerNull = 0x05;
constexpr uint8_t kDerObjectIdentifier = 0x06;
constexpr uint8_t kDerUtf8String = 0x0C;
constexpr uint8_t kDerIa5String = 0x16;
constexpr uint8_t kDerUtcTimeId = 0x17;
constexpr uint8_t kDerGeneralizedTimeId = 0x18;
constexpr uint8_t kDerSequence = 0x30;
constexpr uint8_t kDerSet = 0x31;
constexpr uint8_t kDerConstructedFlag = 0x20;
constexpr uint8_t kDerClassMask = 0xE0;  // class bits and constructed flag
constexpr uint8_t kDerTagMask = 0x1F;
constexpr uint8_t kDerContextSpecific = 0x80;     // 0x80 + n: [n] IMPLICIT primitive
constexpr uint8_t kDerContextConstructed = 0xA0;  // 0xA0 + n: [n] constructed
// Passed as the identifier to DerWriteValue: use the kind's default identifier. As the tag
// number of an effective identifier it means "content only, no identifier and no length".
constexpr uint8_t kDerDefaultIdentifier = 31;

// Value kinds for DerWriteValue: how the caller's `value` pointer becomes content octets.
// Each comment gives what `value` must point to, the default identifier, and the content.
enum class DerKind : uint32_t {
    // const DerNameValue*; identifier by value type (kDerValue... below).
    kNameValue = 6,
    // const uint64_t* file time (100 ns since 1601-01-01 UTC); 0x17; "YYMMDDhhmmssZ", only
    // years 1950..2049.
    kUtcTime = 17,
    // const DerBlob*; 0x04; the data unchanged, null data = empty. Under 0x30/0x31 the data is
    // an array of `length` DerBlob pieces (see DerPieces), and the content their concatenation.
    kOctetString = 25,
    // const DerBitString*; 0x03; the unused-bit octet, then the data. Under a context-specific
    // identifier (0x80 + n) the unused-bit octet is kept inside the implicit tag.
    kBitString = 26,
    // const int32_t*; 0x02; shortest big-endian two's complement, 1..4 octets.
    kInteger = 27,
    // const DerBlob* holding a signed integer, least significant octet first; 0x02; the same
    // number in shortest big-endian two's complement (absent data: empty content).
    kLittleEndianInteger = 28,
    // As kInteger.
    kIntegerAlt = 29,
    // const DerBlob* of an already encoded element; content only (no identifier or length).
    kEncoded = 0x1000,
    // As kEncoded, but an empty or absent view under the default identifier becomes NULL (05 00).
    kEncodedOrNull = 0x1001,
    // const char* NUL-terminated dotted OID text (see OidTextToContent); 0x06.
    kOidText = 0x1003,
    // const int32_t*; 0x01; FF for non-zero, 00 for zero.
    kBoolean = 0x1004,
    // const char* NUL-terminated 8-bit string (null = empty), without the terminator; the caller
    // gives the identifier.
    kString8 = 0x1005,
    // const char16_t* NUL-terminated (null = empty); the code units little-endian, without the
    // terminator; the caller gives the identifier.
    kString16 = 0x100E,
    // const uint64_t* file time; 0x18; "YYYYMMDDhhmmssZ", years 1601..9999.
    kGeneralizedTime = 0x1010,
};

// Value types of DerKind::kNameValue and their universal identifiers.
constexpr uint32_t kDerValueEncoded = 1;     // data is a complete element, written unchanged
constexpr uint32_t kDerValueOctets = 2;      // 0x04
constexpr uint32_t kDerValueNumeric = 3;     // 0x12
constexpr uint32_t kDerValuePrintable = 4;   // 0x13
constexpr uint32_t kDerValueTeletex = 5;     // 0x14
constexpr uint32_t kDerValueVideotex = 6;    // 0x15
constexpr uint32_t kDerValueIa5 = 7;         // 0x16
constexpr uint32_t kDerValueGraphic = 8;     // 0x19
constexpr uint32_t kDerValueVisible = 9;     // 0x1A
constexpr uint32_t kDerValueGeneral = 10;    // 0x1B
constexpr uint32_t kDerValueUniversal = 11;  // 0x1C: length/4 32-bit units (little-endian in
                                             //   data), each written big-endian
constexpr uint32_t kDerValueBmp = 12;        // 0x1E: length/2 16-bit units, big-endian
constexpr uint32_t kDerValueUtf8 = 13;       // 0x0C: length/2 UTF-16LE units converted to
                                             //   UTF-8; an unpaired surrogate fails

// ---- Reader --------------------------------------------------------------------------------

// Reads a length and consumes its octets. 0x00..0x7F: that value; 0x80 (indefinite form, not
// supported): 0; 0x81..0x84: the 1..4 big-endian octets that follow (non-minimal forms are
// accepted). Fails on an empty cursor, more than 4 length octets, or octets past the buffer.
bool DerReadLength(DerCursor& cursor, uint32_t* length);

// Reads one whole element (single-octet identifier, length, content) and moves past it. Fails on
// an empty cursor or when the content runs past the buffer.
bool DerReadHeader(DerCursor& cursor, DerHeader* header);

// Reads the next element when its tag number (identifier & 0x1F) equals that of `expected`;
// class and constructed bits are not compared (expected 0x02 also takes 0x82). On a mismatch or
// a malformed element the call fails and the cursor does not move. An exhausted cursor gives an
// empty view with null data and succeeds: an absent trailing optional element reads as empty,
// so callers test `content->data`.
bool DerReadPrimitive(DerCursor& cursor, uint8_t expected, DerBlob* content);

// Reads the next element, whose identifier must equal `expected | 0x20` exactly (class, form and
// tag number), and gives its content. With `childCount` non-null, the content must also consist
// of whole elements, and their number is stored there. An exhausted cursor gives an empty view
// with null data, succeeds and leaves *childCount unchanged. On a mismatch the cursor has
// already moved past the element.
bool DerReadConstructed(DerCursor& cursor, uint8_t expected, DerBlob* content,
                        uint32_t* childCount = nullptr);

// Counts the elements that make up `content` exactly; fails when one runs past the end. An empty
// or absent view counts 0.
bool DerCountChildren(DerBlob content, uint32_t* count);

// Looks at the next identifier without consuming anything: *classBits = octet & 0xE0 and
// *tagNumber = octet & 0x1F, or for tag number 31 the base-128 number in the octets that follow.
// Fails, writing nothing, when the cursor is exhausted or a long tag number is cut off or does
// not fit 32 bits. Typical use: `if (DerPeekIdentifier(c, &tag, &cls) && cls == 0xA0 && tag == 0)`.
bool DerPeekIdentifier(const DerCursor& cursor, uint32_t* tagNumber, uint32_t* classBits);

// ---- Writer --------------------------------------------------------------------------------

// Writes one identifier octet: classBits | tagNumber (tag number 0..30).
bool DerWriteIdentifier(uint32_t tagNumber, uint32_t classBits, DerCursor& cursor);

// Writes a length in the shortest form: one octet up to 127, else 0x80 + k and k big-endian
// octets (k = 1..4).
bool DerWriteLength(uint32_t length, DerCursor& cursor);

// Writes one complete element: `value` (see DerKind for what it points to) becomes the content,
// under `identifier`, or under the kind's default when `identifier` is kDerDefaultIdentifier.
// Length rules: universal tag 3 (BIT STRING) counts the unused-bit octet; universal tag 5 (NULL)
// is written as 05 00 whatever the value; universal 0x30/0x31 with kOctetString/kEncoded
// content join DerBlob pieces. Fails on an unknown kind or value type, a failed conversion (bad
// OID text, time out of range, unpaired surrogate), and lack of room (last error 234).
bool DerWriteValue(uint8_t identifier, DerKind kind, const void* value, DerCursor& cursor);

// Content writer for DerWriteConstructed: writes the content of one constructed element into
// `cursor` and returns true on success. It must write the same octets on every call.
using DerContentWriter = bool (*)(void* context, DerCursor& cursor);

// Writes one constructed element (identifier with 0x20 forced on, so 0x10 gives 0x30) whose
// content `writeContent(context, ...)` produces. The callback first runs with a measuring cursor
// to learn the content length, and, when `cursor` is real, once more into exactly that many
// octets; writing a different number of octets then fails the call.
bool DerWriteConstructed(uint8_t identifier, void* context, DerContentWriter writeContent,
                         DerCursor& cursor);

// The value for DerWriteValue(0x30 or 0x31, kOctetString or kEncoded, ...) that joins `count`
// already encoded elements into one SEQUENCE or SET.
inline DerBlob DerPieces(const DerBlob* pieces, uint32_t count) {
    return DerBlob{count, reinterpret_cast<const uint8_t*>(pieces)};
}

// The thread's DER error word: 234 after a writer lacked room, until DerClearLastError.
constexpr uint32_t kErrorInsufficientBuffer = 234;  // "more data is available"
uint32_t DerLastError();
void DerClearLastError();

// ---- Helpers -------------------------------------------------------------------------------

// The bit string for writing `blob`: its data, and as unused bits the number of trailing zero
// bits of its last octet (0 when that octet is odd or zero, or when the blob is empty/absent).
void BitStringView(DerBitString* bits, DerBlob blob);

// `length` octets read as one big-endian unsigned number, modulo 2^64; 0 for no octets.
uint64_t BeBytesToU64(const uint8_t* data, uint32_t length);

}  // namespace keymend
