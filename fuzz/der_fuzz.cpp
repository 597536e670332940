// Fuzz target for the DER reader, the OID conversions and a writer round trip.
// Built as a libFuzzer binary with KEYMEND_LIBFUZZER; the test suite also links it and replays
// the stored corpus (fuzz/corpus/der/) through DerFuzzOne.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "asn1/der.h"
#include "asn1/oid.h"

namespace keymend::fuzz {

namespace {

// Every invariant breach aborts, so the fuzzer and the replay test both report it.
void Check(bool condition) {
    if (!condition) std::abort();
}

struct Bounds {
    const uint8_t* begin;
    const uint8_t* end;
    bool Holds(DerBlob view) const {
        if (view.data == nullptr) return view.length == 0;
        return view.data >= begin && view.data <= end &&
               view.length <= static_cast<size_t>(end - view.data);
    }
};

// Walks every element, descending into constructed ones; checks that each view stays inside the
// input and that child counts agree with the walk.
void Walk(const Bounds& bounds, DerBlob view, int depth) {
    uint32_t expectedCount = 0;
    const bool countable = DerCountChildren(view, &expectedCount);
    DerCursor cursor = DerCursorOver(view);
    uint32_t walked = 0;
    while (cursor.remaining > 0) {
        uint32_t tag = 0, classBits = 0;
        const uint32_t before = cursor.remaining;
        if (DerPeekIdentifier(cursor, &tag, &classBits))
            Check(classBits == (cursor.position[0] & 0xE0u));
        Check(cursor.remaining == before);
        DerHeader header;
        if (!DerReadHeader(cursor, &header)) break;
        ++walked;
        Check(bounds.Holds(header.content));
        Check(header.totalSize == before - cursor.remaining);
        Check(header.content.data + header.content.length == cursor.position);
        if ((header.classBits & kDerConstructedFlag) && depth < 24) {
            Walk(bounds, header.content, depth + 1);
        }
    }
    Check(countable == (cursor.remaining == 0));
    if (countable) Check(walked == expectedCount);
}

// The typed reads must agree with the header reader and never move on failure.
void ReadTyped(const Bounds& bounds, const uint8_t* data, uint32_t size) {
    if (size == 0) return;
    DerCursor cursor = DerCursorOver(data, size);
    DerBlob content;
    if (DerReadPrimitive(cursor, data[0], &content)) {
        Check(bounds.Holds(content));
    } else {
        Check(cursor.remaining == size);
    }
    cursor = DerCursorOver(data, size);
    uint32_t count = 0;
    if (DerReadConstructed(cursor, data[0], &content, &count)) {
        Check(bounds.Holds(content));
        Check(count <= content.length / 2);
    }
}

void OidChecks(const uint8_t* data, uint32_t size) {
    OidObject oid;
    if (OidFromContent(&oid, data, 0, size)) {
        // Decoding accepts only minimal encodings, so the text encodes back to the same octets.
        DerBlob again;
        Check(OidTextToContent(oid.text.c_str(), &again));
        Check(again.length == size && std::memcmp(again.data, data, size) == 0);
        OidContentFree(&again);
        char buffer[kOidTextBufferSize];
        if (OidContentToText(buffer, sizeof buffer, data, size)) Check(oid.text == buffer);
    }
    // The same octets as dotted text.
    const std::string text(reinterpret_cast<const char*>(data), size < 256 ? size : 256);
    DerBlob content;
    if (OidTextToContent(text.c_str(), &content)) {
        OidObject decoded;
        if (OidFromContent(&decoded, content.data, 0, content.length)) {
            Check(decoded.encoded.size() == content.length);
        }
        OidContentFree(&content);
    }
    OidObject fromText;
    if (OidFromText(&fromText, text.c_str())) {
        Check(fromText.text.size() <= text.size());
        Check(OidEquals(fromText, fromText.text.c_str()));
    }
}

// Two-pass writing of the input as OCTET STRING, BIT STRING and integer, read back.
void WriterRoundTrip(const uint8_t* data, uint32_t size) {
    const DerBlob view{size, data};
    DerBitString bits;
    BitStringView(&bits, view);
    struct Item {
        DerKind kind;
        const void* value;
        uint8_t identifier;
    } items[] = {{DerKind::kOctetString, &view, 0x8A},
                 {DerKind::kBitString, &bits, 0x03},
                 {DerKind::kLittleEndianInteger, &view, 0x02}};
    for (const Item& item : items) {
        DerCursor measure = DerMeasuringCursor();
        Check(DerWriteValue(item.identifier, item.kind, item.value, measure));
        std::vector<uint8_t> out(measure.remaining);
        DerCursor writer = DerCursorOver(out.data(), measure.remaining);
        Check(DerWriteValue(item.identifier, item.kind, item.value, writer));
        Check(writer.remaining == 0);
        DerCursor reader = DerCursorOver(out.data(), measure.remaining);
        DerBlob back;
        Check(DerReadPrimitive(reader, item.identifier, &back) && reader.remaining == 0);
        if (item.kind == DerKind::kOctetString) {
            Check(back.length == size && (size == 0 || std::memcmp(back.data, data, size) == 0));
        } else if (item.kind == DerKind::kBitString) {
            Check(back.length == size + 1 && back.data[0] == bits.unusedBits);
        } else if (size > 0 && size <= 8) {
            // The integer comes back with the same value, sign-extended to 64 bits.
            uint64_t want = 0;
            for (uint32_t i = size; i-- > 0;) want = (want << 8) | data[i];
            if (size < 8 && (data[size - 1] & 0x80)) want |= ~uint64_t{0} << (8 * size);
            Check(back.length >= 1 && back.length <= 9);
            uint64_t got = BeBytesToU64(back.data, back.length);
            if (back.length < 8 && (back.data[0] & 0x80)) got |= ~uint64_t{0} << (8 * back.length);
            Check(got == want);
        }
    }
}

}  // namespace

int DerFuzzOne(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    const uint32_t length = static_cast<uint32_t>(size);
    // Copy so that an empty input still has a valid, distinct address range.
    std::vector<uint8_t> input(data, data + size);
    input.reserve(1);
    const Bounds bounds{input.data(), input.data() + size};
    Walk(bounds, DerBlob{length, input.data()}, 0);
    ReadTyped(bounds, input.data(), length);
    OidChecks(input.data(), length);
    WriterRoundTrip(input.data(), length);
    return 0;
}

}  // namespace keymend::fuzz

#ifdef KEYMEND_LIBFUZZER
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return keymend::fuzz::DerFuzzOne(data, size);
}
#endif
