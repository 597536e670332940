#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <string>

#include "asn1/der.h"
#include "asn1/oid.h"
#include "platform/last_error.h"
#include "support/test_support.h"

namespace keymend {
namespace {

using test::Bytes;
using test::FromHex;
using test::ToHex;

// File time of a UTC calendar moment, through the C library as an independent conversion.
uint64_t FileTimeOf(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    const int64_t unixSeconds = timegm(&t);
    return static_cast<uint64_t>(unixSeconds + 11644473600LL) * 10000000ULL;
}

std::string HexOf(const std::string& text) {
    return ToHex(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// One DerWriteValue call; `expected` empty with ok=false means the call must fail.
struct WriteCase {
    std::string name;
    std::function<bool(DerCursor&)> write;
    bool ok;
    std::string expected;
};

// Runs a write in both passes: measuring gives the size, writing into exactly that size gives
// the expected octets, and one octet less fails with last error 234.
void CheckWrite(const WriteCase& c) {
    SCOPED_TRACE(c.name);
    DerCursor measure = DerMeasuringCursor();
    ASSERT_EQ(c.write(measure), c.ok);
    if (!c.ok) return;
    const Bytes want = FromHex(c.expected);
    ASSERT_EQ(measure.remaining, want.size());

    Bytes out(want.size() + 1, 0xEE);
    DerCursor cursor = DerCursorOver(out.data(), static_cast<uint32_t>(want.size()));
    ASSERT_TRUE(c.write(cursor));
    EXPECT_EQ(cursor.remaining, 0u);
    EXPECT_EQ(out.back(), 0xEE);  // nothing written past the room given
    out.pop_back();
    EXPECT_EQ(ToHex(out), ToHex(want));

    if (!want.empty()) {
        SetLastErrorWord(0);
        Bytes small(want.size());
        DerCursor tight = DerCursorOver(small.data(), static_cast<uint32_t>(want.size() - 1));
        EXPECT_FALSE(c.write(tight));
        EXPECT_EQ(GetLastErrorWord(), kErrorInsufficientBuffer);
    }
}

template <typename T>
std::function<bool(DerCursor&)> Value(uint8_t identifier, DerKind kind, T value) {
    return [=](DerCursor& cursor) { return DerWriteValue(identifier, kind, &value, cursor); };
}
std::function<bool(DerCursor&)> Text(uint8_t identifier, DerKind kind, const char* text) {
    return [=](DerCursor& cursor) { return DerWriteValue(identifier, kind, text, cursor); };
}
DerBlob View(const Bytes& b) {
    return DerBlob{static_cast<uint32_t>(b.size()), b.data()};
}
// A DerBlob value whose octets live as long as the write function.
std::function<bool(DerCursor&)> Hex(uint8_t identifier, DerKind kind, const char* hex) {
    return [identifier, kind, bytes = FromHex(hex)](DerCursor& cursor) {
        const DerBlob view = View(bytes);
        return DerWriteValue(identifier, kind, &view, cursor);
    };
}

TEST(DerWriter, ValueKinds) {
    static const Bytes abc = FromHex("616263");
    static const Bytes ff80 = FromHex("FF80");
    static const Bytes element = FromHex("020105");
    static const Bytes nullElement = FromHex("0500");
    static const Bytes utf16 = FromHex("4100160416043DD800DE");  // "AЖЖ" and U+1F600
    static const Bytes highOnly = FromHex("41003DD8");
    static const Bytes lowOnly = FromHex("00DC4100");
    static const DerBlob pieces[] = {View(element), View(nullElement), DerBlob{}};
    constexpr uint8_t def = kDerDefaultIdentifier;
    using K = DerKind;
    const WriteCase cases[] = {
        {"octets", Value(def, K::kOctetString, View(abc)), true, "0403616263"},
        {"octets [0]", Value(0x80, K::kOctetString, View(abc)), true, "8003616263"},
        {"octets as IA5", Value(0x16, K::kOctetString, View(abc)), true, "1603616263"},
        {"absent octets", Value(0x8A, K::kOctetString, DerBlob{4, nullptr}), true, "8A00"},
        {"NULL drops content", Value(0x05, K::kOctetString, View(abc)), true, "0500"},
        {"SEQUENCE of pieces", Value(0x30, K::kOctetString, DerPieces(pieces, 3)), true,
         "30050201050500"},
        {"bits", Value(0x03, K::kBitString, DerBitString{2, ff80.data(), 7}), true, "030307FF80"},
        {"bits default", Value(def, K::kBitString, DerBitString{2, ff80.data(), 7}), true,
         "030307FF80"},
        {"bits [1] keep unused octet", Value(0x81, K::kBitString, DerBitString{2, ff80.data(), 7}),
         true, "810307FF80"},
        {"empty bits", Value(0x03, K::kBitString, DerBitString{}), true, "030100"},
        {"8 unused bits", Value(0x03, K::kBitString, DerBitString{2, ff80.data(), 8}), false, ""},
        {"unused bits of nothing", Value(0x03, K::kBitString, DerBitString{0, nullptr, 1}), false,
         ""},
        {"octets under BIT STRING", Value(0x03, K::kOctetString, View(abc)), true, "030400616263"},
        {"encoded", Value(def, K::kEncoded, View(element)), true, "020105"},
        {"encoded or null: element", Value(def, K::kEncodedOrNull, View(element)), true, "020105"},
        {"encoded or null: empty", Value(def, K::kEncodedOrNull, DerBlob{}), true, "0500"},
        {"encoded or null: empty, tagged", Value(0x80, K::kEncodedOrNull, DerBlob{}), true, "8000"},
        {"int 0", Value(def, K::kInteger, int32_t{0}), true, "020100"},
        {"int 127", Value(def, K::kInteger, int32_t{127}), true, "02017F"},
        {"int 128", Value(def, K::kInteger, int32_t{128}), true, "02020080"},
        {"int 256", Value(def, K::kInteger, int32_t{256}), true, "02020100"},
        {"int -1", Value(def, K::kInteger, int32_t{-1}), true, "0201FF"},
        {"int -128", Value(def, K::kInteger, int32_t{-128}), true, "020180"},
        {"int -129", Value(def, K::kInteger, int32_t{-129}), true, "0202FF7F"},
        {"int max", Value(def, K::kInteger, INT32_MAX), true, "02047FFFFFFF"},
        {"int min", Value(def, K::kInteger, INT32_MIN), true, "020480000000"},
        {"int alt tagged", Value(0x0A, K::kIntegerAlt, int32_t{128}), true, "0A020080"},
        {"le int 1", Hex(def, K::kLittleEndianInteger, "0100"), true, "020101"},
        {"le int 128", Hex(def, K::kLittleEndianInteger, "800000"), true, "02020080"},
        {"le int -128", Hex(def, K::kLittleEndianInteger, "80FF"), true, "020180"},
        {"le int -129", Hex(def, K::kLittleEndianInteger, "7FFFFF"), true, "0202FF7F"},
        {"le int zeros", Hex(def, K::kLittleEndianInteger, "000000"), true, "020100"},
        {"le int wide", Hex(def, K::kLittleEndianInteger, "01020304050607088000"), true,
         "020A00800807060504030201"},
        {"le int absent", Value(def, K::kLittleEndianInteger, DerBlob{}), true, "0200"},
        {"oid", Text(def, K::kOidText, "1.2.643.2.2.9"), true, "06062A8503020209"},
        {"oid 2.100", Text(def, K::kOidText, "2.100"), true, "06028134"},
        {"oid 1.40", Text(def, K::kOidText, "1.40"), false, ""},
        {"oid 3.1", Text(def, K::kOidText, "3.1"), false, ""},
        {"boolean false", Value(def, K::kBoolean, int32_t{0}), true, "010100"},
        {"boolean true", Value(def, K::kBoolean, int32_t{-5}), true, "0101FF"},
        {"string8", Text(0x13, K::kString8, "ab"), true, "13026162"},
        {"string8 absent", Text(0x13, K::kString8, nullptr), true, "1300"},
        {"string16", [](DerCursor& c) { return DerWriteValue(0x1E, K::kString16, u"A\u0416", c); },
         true, "1E0441001604"},
        {"utc 2049", Value(def, K::kUtcTime, FileTimeOf(2049, 12, 31, 23, 59, 59)), true,
         "170D" + HexOf("491231235959Z")},
        {"utc 1950", Value(def, K::kUtcTime, FileTimeOf(1950, 1, 1, 0, 0, 0)), true,
         "170D" + HexOf("500101000000Z")},
        {"utc 2050", Value(def, K::kUtcTime, FileTimeOf(2050, 1, 1, 0, 0, 0)), false, ""},
        {"utc 1949", Value(def, K::kUtcTime, FileTimeOf(1949, 12, 31, 23, 59, 59)), false, ""},
        {"generalized 2050", Value(def, K::kGeneralizedTime, FileTimeOf(2050, 1, 1, 0, 0, 0)), true,
         "180F" + HexOf("20500101000000Z")},
        {"generalized 1601", Value(def, K::kGeneralizedTime, uint64_t{9999999}), true,
         "180F" + HexOf("16010101000000Z")},
        {"generalized 9999",
         Value(def, K::kGeneralizedTime, FileTimeOf(9999, 12, 31, 23, 59, 59) + 9999999), true,
         "180F" + HexOf("99991231235959Z")},
        {"generalized 10000", Value(def, K::kGeneralizedTime, FileTimeOf(10000, 1, 1, 0, 0, 0)),
         false, ""},
        {"generalized 2^63", Value(def, K::kGeneralizedTime, uint64_t{1} << 63), false, ""},
        {"name: printable", Value(def, K::kNameValue, DerNameValue{4, 2, abc.data()}), true,
         "13026162"},
        {"name: octets", Value(def, K::kNameValue, DerNameValue{2, 3, abc.data()}), true,
         "0403616263"},
        {"name: encoded", Value(def, K::kNameValue, DerNameValue{1, 3, element.data()}), true,
         "020105"},
        {"name: BMP", Value(def, K::kNameValue, DerNameValue{12, 5, utf16.data()}), true,
         "1E0400410416"},
        {"name: universal", Value(def, K::kNameValue, DerNameValue{11, 8, utf16.data()}), true,
         "1C0804160041D83D0416"},
        {"name: UTF-8", Value(def, K::kNameValue, DerNameValue{13, 10, utf16.data()}), true,
         "0C0941D096D096F09F9880"},
        {"name: empty UTF-8", Value(def, K::kNameValue, DerNameValue{13, 0, nullptr}), true,
         "0C00"},
        {"name: lone high surrogate",
         Value(def, K::kNameValue, DerNameValue{13, 4, highOnly.data()}), false, ""},
        {"name: lone low surrogate", Value(def, K::kNameValue, DerNameValue{13, 4, lowOnly.data()}),
         false, ""},
        {"name: type 0", Value(def, K::kNameValue, DerNameValue{0, 3, abc.data()}), false, ""},
        {"name: type 14", Value(def, K::kNameValue, DerNameValue{14, 3, abc.data()}), false, ""},
        {"unknown kind", Value(def, static_cast<DerKind>(99), int32_t{1}), false, ""},
        {"null value", [](DerCursor& c) { return DerWriteValue(0x02, K::kInteger, nullptr, c); },
         false, ""},
    };
    for (const auto& c : cases) CheckWrite(c);
}

TEST(DerWriter, LengthsAndIdentifiers) {
    const struct {
        uint32_t length;
        const char* hex;
    } lengths[] = {{0, "00"},
                   {127, "7F"},
                   {128, "8180"},
                   {200, "81C8"},
                   {255, "81FF"},
                   {256, "820100"},
                   {70000, "83011170"},
                   {0x01000000, "8401000000"},
                   {0xFFFFFFFF, "84FFFFFFFF"}};
    for (const auto& c : lengths) {
        CheckWrite(
            {c.hex, [&](DerCursor& cur) { return DerWriteLength(c.length, cur); }, true, c.hex});
    }
    CheckWrite({"[0] constructed", [](DerCursor& c) { return DerWriteIdentifier(0, 0xA0, c); },
                true, "A0"});
    CheckWrite(
        {"SEQUENCE", [](DerCursor& c) { return DerWriteIdentifier(16, 0x20, c); }, true, "30"});
    CheckWrite({"tag 31", [](DerCursor& c) { return DerWriteIdentifier(31, 0, c); }, false, ""});
    CheckWrite(
        {"stray class bits", [](DerCursor& c) { return DerWriteIdentifier(5, 1, c); }, false, ""});

    // A long content keeps its length octets: 200 and 70000 octets.
    for (uint32_t size : {200u, 70000u}) {
        const Bytes content(size, 0x5A);
        Bytes out(size + 8);
        DerCursor cursor = DerCursorOver(out.data(), static_cast<uint32_t>(out.size()));
        const DerBlob view = View(content);
        ASSERT_TRUE(DerWriteValue(kDerDefaultIdentifier, DerKind::kOctetString, &view, cursor));
        EXPECT_EQ(ToHex(out.data(), size == 200 ? 3 : 5), size == 200 ? "0481c8" : "0483011170");
    }
}

struct Two {
    int32_t number;
    const char* oid;
    int extraOnSecondCall = 0;
    int calls = 0;
};

bool WriteInner(void* context, DerCursor& cursor) {
    auto* two = static_cast<Two*>(context);
    return DerWriteValue(kDerDefaultIdentifier, DerKind::kOidText, two->oid, cursor);
}

bool WriteOuter(void* context, DerCursor& cursor) {
    auto* two = static_cast<Two*>(context);
    const int32_t number = two->number + (two->calls++ ? two->extraOnSecondCall : 0);
    return DerWriteValue(kDerDefaultIdentifier, DerKind::kInteger, &number, cursor) &&
           DerWriteConstructed(0xA0, two, WriteInner, cursor);
}

TEST(DerWriter, ConstructedTwoPasses) {
    Two two{5, "1.2.643.2.2.9"};
    const std::string expected = "300D020105A00806062A8503020209";
    CheckWrite({"nested",
                [&](DerCursor& c) { return DerWriteConstructed(0x30, &two, WriteOuter, c); }, true,
                expected});
    CheckWrite({"0x10 becomes 0x30",
                [&](DerCursor& c) { return DerWriteConstructed(0x10, &two, WriteOuter, c); }, true,
                expected});

    Two badOid{5, "1.40"};
    CheckWrite({"callback failure",
                [&](DerCursor& c) { return DerWriteConstructed(0x30, &badOid, WriteOuter, c); },
                false, ""});

    // A callback that writes something else the second time must not leave a wrong length.
    Two unstable{5, "1.2.3", 1000};
    DerCursor measure = DerMeasuringCursor();
    ASSERT_TRUE(DerWriteConstructed(0x30, &unstable, WriteOuter, measure));
    Bytes out(measure.remaining + 16);
    DerCursor cursor = DerCursorOver(out.data(), static_cast<uint32_t>(out.size()));
    unstable.calls = 0;
    EXPECT_FALSE(DerWriteConstructed(0x30, &unstable, WriteOuter, cursor));
}

// Write-then-read for every identifier and kind the container records use.
TEST(DerWriter, RoundTripsOfRecordKinds) {
    const uint8_t identifiers[] = {0x04, 0x06, 0x16, 0x80, 0x82, 0x85, 0x86, 0x8A, 0x8B};
    for (uint8_t id : identifiers) {
        for (uint32_t size : {0u, 1u, 32u, 127u, 128u, 255u, 256u, 3075u, 70000u}) {
            SCOPED_TRACE(testing::Message() << std::hex << int{id} << " size " << std::dec << size);
            Bytes content(size);
            for (uint32_t i = 0; i < size; ++i) content[i] = static_cast<uint8_t>(i * 7 + id);
            const DerBlob view = View(content);
            DerCursor measure = DerMeasuringCursor();
            ASSERT_TRUE(DerWriteValue(id, DerKind::kOctetString, &view, measure));
            Bytes out(measure.remaining);
            DerCursor writer = DerCursorOver(out.data(), measure.remaining);
            ASSERT_TRUE(DerWriteValue(id, DerKind::kOctetString, &view, writer));
            DerCursor reader = DerCursorOver(out.data(), static_cast<uint32_t>(out.size()));
            DerBlob back;
            ASSERT_TRUE(DerReadPrimitive(reader, id, &back));
            EXPECT_EQ(reader.remaining, 0u);
            EXPECT_EQ(ToHex(back.data, back.length), ToHex(content));
        }
    }

    for (const char* flags : {"", "40", "80", "A0", "C0", "C080", "00"}) {
        SCOPED_TRACE(flags);
        const Bytes data = FromHex(flags);
        DerBitString bits;
        BitStringView(&bits, View(data));
        Bytes out(8);
        DerCursor writer = DerCursorOver(out.data(), 8);
        ASSERT_TRUE(DerWriteValue(0x03, DerKind::kBitString, &bits, writer));
        DerCursor reader = DerCursorOver(out.data(), 8 - writer.remaining);
        DerBlob back;
        ASSERT_TRUE(DerReadPrimitive(reader, 0x03, &back));
        ASSERT_GE(back.length, 1u);
        EXPECT_EQ(back.data[0], bits.unusedBits);
        EXPECT_EQ(ToHex(back.data + 1, back.length - 1), ToHex(data));
    }

    for (const char* oid : {"1.2.643.2.2.37.2.1", "1.2.643.7.1.2.5.1.1", "1.2.643.2.2.31.1",
                            "2.100.3", "0.39.2147483647"}) {
        SCOPED_TRACE(oid);
        Bytes out(64);
        DerCursor writer = DerCursorOver(out.data(), 64);
        ASSERT_TRUE(DerWriteValue(kDerDefaultIdentifier, DerKind::kOidText, oid, writer));
        DerCursor reader = DerCursorOver(out.data(), 64 - writer.remaining);
        DerBlob back;
        ASSERT_TRUE(DerReadPrimitive(reader, kDerObjectIdentifier, &back));
        char text[kOidTextBufferSize];
        ASSERT_TRUE(OidContentToText(text, sizeof text, back.data, back.length));
        EXPECT_STREQ(text, oid);
    }
}

}  // namespace
}  // namespace keymend
