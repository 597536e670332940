// DER reader: walks caller-owned bytes one element at a time, checking every length.
#include "asn1/der.h"

namespace keymend {

namespace {

void Consume(DerCursor& cursor, uint32_t count) {
    cursor.position += count;
    cursor.remaining -= count;
}

}  // namespace

bool DerReadLength(DerCursor& cursor, uint32_t* length) {
    if (cursor.position == nullptr || cursor.remaining == 0) return false;
    const uint8_t first = cursor.position[0];
    if (first < 0x80) {
        *length = first;
        Consume(cursor, 1);
        return true;
    }
    // 0x80 is the indefinite form, which DER forbids; it reads as an empty element.
    const uint32_t octets = first & 0x7Fu;
    if (octets > 4 || octets + 1 > cursor.remaining) return false;
    uint32_t value = 0;
    for (uint32_t i = 1; i <= octets; ++i) value = (value << 8) | cursor.position[i];
    *length = value;
    Consume(cursor, octets + 1);
    return true;
}

bool DerReadHeader(DerCursor& cursor, DerHeader* header) {
    if (cursor.position == nullptr || cursor.remaining == 0) return false;
    DerCursor at = cursor;
    const uint8_t identifier = at.position[0];
    Consume(at, 1);
    uint32_t length = 0;
    if (!DerReadLength(at, &length) || length > at.remaining) return false;
    header->content = DerBlob{length, at.position};
    header->unusedBits = 0;
    header->totalSize = cursor.remaining - at.remaining + length;
    header->start = cursor.position;
    header->tagNumber = identifier & kDerTagMask;
    header->classBits = identifier & kDerClassMask;
    Consume(at, length);
    cursor = at;
    return true;
}

bool DerReadPrimitive(DerCursor& cursor, uint8_t expected, DerBlob* content) {
    if (cursor.remaining == 0) {
        *content = DerBlob{};
        return true;
    }
    DerCursor at = cursor;
    DerHeader header;
    if (!DerReadHeader(at, &header)) return false;
    if (header.tagNumber != (expected & kDerTagMask)) return false;
    *content = header.content;
    cursor = at;
    return true;
}

bool DerReadConstructed(DerCursor& cursor, uint8_t expected, DerBlob* content,
                        uint32_t* childCount) {
    if (cursor.remaining == 0) {
        *content = DerBlob{};
        return true;
    }
    DerHeader header;
    if (!DerReadHeader(cursor, &header)) return false;
    const uint32_t want = expected | kDerConstructedFlag;
    if ((header.classBits | header.tagNumber) != want) return false;
    if (childCount != nullptr && !DerCountChildren(header.content, childCount)) return false;
    *content = header.content;
    return true;
}

bool DerCountChildren(DerBlob content, uint32_t* count) {
    DerCursor at = DerCursorOver(content);
    uint32_t found = 0;
    while (at.remaining > 0) {
        DerHeader header;
        if (!DerReadHeader(at, &header)) return false;
        ++found;
    }
    *count = found;
    return true;
}

bool DerPeekIdentifier(const DerCursor& cursor, uint32_t* tagNumber, uint32_t* classBits) {
    if (cursor.position == nullptr || cursor.remaining == 0) return false;
    const uint8_t first = cursor.position[0];
    uint32_t tag = first & kDerTagMask;
    if (tag == kDerTagMask) {
        // High tag number: base-128 groups, bit 7 set on every octet but the last.
        tag = 0;
        uint32_t i = 1;
        for (;; ++i) {
            if (i >= cursor.remaining) return false;
            if (tag > (UINT32_MAX >> 7)) return false;
            const uint8_t octet = cursor.position[i];
            tag = (tag << 7) | (octet & 0x7Fu);
            if ((octet & 0x80) == 0) break;
        }
    }
    *tagNumber = tag;
    *classBits = first & kDerClassMask;
    return true;
}

void BitStringView(DerBitString* bits, DerBlob blob) {
    bits->length = blob.data ? blob.length : 0;
    bits->data = blob.data;
    bits->unusedBits = 0;
    if (bits->length == 0) return;
    const uint8_t last = blob.data[blob.length - 1];
    // A zero last octet has no set bit to stop at; it is kept whole (no unused bits) rather
    // than reporting a count outside 0..7.
    if (last == 0) return;
    uint32_t unused = 0;
    while (((last >> unused) & 1u) == 0) ++unused;
    bits->unusedBits = unused;
}

uint64_t BeBytesToU64(const uint8_t* data, uint32_t length) {
    if (data == nullptr) return 0;
    uint64_t value = 0;
    for (uint32_t i = 0; i < length; ++i) value = (value << 8) | data[i];
    return value;
}

}  // namespace keymend
