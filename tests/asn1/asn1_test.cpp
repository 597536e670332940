// DER reading and writing, object identifiers and file times: the cases of der_read.vec, oid.vec
// and der_write.vec, nested constructed elements, and the calendar conversion.
#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <tuple>

#include "asn1/der.h"
#include "asn1/der_strict.h"
#include "asn1/file_time.h"
#include "asn1/oid.h"
#include "support/test_support.h"

namespace keymend {
namespace {

using test::Bytes;
using test::ToHex;

// Expands "{unit*N}" into N copies of unit, so that long inputs stay readable in vector files.
std::string Expand(const std::string& s) {
    const size_t open = s.find('{');
    if (open == std::string::npos) return s;
    const size_t star = s.find('*', open);
    const size_t close = s.find('}', star);
    std::string out = s.substr(0, open);
    for (int n = std::stoi(s.substr(star + 1, close - star - 1)); n > 0; --n) {
        out += s.substr(open + 1, star - open - 1);
    }
    return out + Expand(s.substr(close + 1));
}

// A filled object must agree with itself: its arcs spell its text, and it equals only that text.
std::string TextOf(const OidObject& oid) {
    std::string dotted;
    for (uint32_t arc : oid.arcs) {
        if (!dotted.empty()) dotted += '.';
        dotted += std::to_string(arc);
    }
    EXPECT_EQ(dotted, oid.text);
    EXPECT_TRUE(OidEquals(oid, oid.text.c_str()));
    EXPECT_FALSE(OidEquals(oid, oid.text.substr(0, oid.text.size() - 1).c_str()));
    return oid.text;
}

// What the reader call or OID conversion named by the record's section gave for `in`.
std::string Outcome(const test::VectorRecord& r, const std::string& in) {
    OidObject oid;
    DerBlob content{7, reinterpret_cast<const uint8_t*>("garbage")};
    if (r.section == "TextToContent") {
        if (!OidTextToContent(in.c_str(), &content)) {
            return content.data == nullptr && content.length == 0 ? "fail" : "fail, kept content";
        }
        const std::string hex = ToHex(content.data, content.length);
        OidContentFree(&content);
        EXPECT_EQ(content.data, nullptr);
        return hex;
    }
    if (r.section == "FromText") {
        if (!OidFromText(&oid, in.c_str())) return oid.Empty() ? "fail" : "fail, not empty";
        // The strict reading gives the content of the lenient one.
        EXPECT_TRUE(OidTextToContent(in.c_str(), &content));
        EXPECT_EQ(ToHex(oid.encoded), ToHex(content.data, content.length));
        OidContentFree(&content);
        return TextOf(oid);
    }
    const Bytes bytes = test::FromHex(in);
    const uint32_t size = static_cast<uint32_t>(bytes.size());
    const DerBlob blob{size, bytes.data()};
    DerCursor cursor = DerCursorOver(bytes.data(), size);
    uint32_t number = 99;
    uint32_t classBits = 99;
    std::ostringstream out;
    if (r.section == "FromContent") {
        const Bytes padded = test::Cat({{0xEE, 0xEE}, bytes});
        if (!OidFromContent(&oid, padded.data(), 2, size)) {
            return oid.Empty() && oid.arcs.empty() ? "fail" : "fail, not empty";
        }
        EXPECT_EQ(ToHex(oid.encoded), ToHex(bytes));
        return TextOf(oid);
    }
    if (r.section == "ContentToText") {
        std::string buffer(std::stoul(r.Get("Room")), 'x');
        const uint32_t room = static_cast<uint32_t>(buffer.size());
        if (OidContentToText(buffer.data(), room, bytes.data(), size)) return buffer.c_str();
        return buffer.front() == 0 && buffer.back() == 0 ? "fail" : "fail, not cleared";
    }
    if (r.section == "Length") {
        if (!DerReadLength(cursor, &number)) return "fail";
        EXPECT_EQ(cursor.position, bytes.data() + (size - cursor.remaining));
        out << number << " " << size - cursor.remaining;
    } else if (r.section == "Header") {
        DerHeader h;
        if (!DerReadHeader(cursor, &h)) return "fail";
        EXPECT_EQ(h.start, bytes.data());
        out << "tag " << h.tagNumber << " class " << std::hex << h.classBits << std::dec
            << " unused " << h.unusedBits << " content " << h.content.data - bytes.data() << "+"
            << h.content.length << " total " << h.totalSize << " rest " << cursor.remaining;
    } else if (r.section == "Children") {
        if (!DerCountChildren(blob, &number)) return "fail";
        out << number;
    } else if (r.section == "Peek") {
        if (!DerPeekIdentifier(cursor, &number, &classBits)) {
            return number == 99 && classBits == 99 ? "fail" : "fail, but wrote the fields";
        }
        out << number << " " << std::hex << classBits;
    } else if (r.section == "BitString") {
        DerBitString bits{5, nullptr, 5};
        BitStringView(&bits, blob);
        EXPECT_EQ(bits.data, bytes.data());
        EXPECT_EQ(bits.length, size);
        out << bits.unusedBits;
    } else if (r.section == "BeBytes") {
        out << BeBytesToU64(bytes.data(), size);
    } else {
        std::istringstream how(r.Get("Read"));
        std::string op;
        unsigned expected = 0;
        how >> op >> std::hex >> expected;
        const uint8_t id = static_cast<uint8_t>(expected);
        const bool ok = op == "primitive" ? DerReadPrimitive(cursor, id, &content)
                                          : DerReadConstructed(cursor, id, &content,
                                                               op == "counted" ? &number : nullptr);
        if (!ok) {
            out << "fail";
        } else if (content.data == nullptr) {
            out << (content.length == 0 ? "ok absent" : "ok absent with a length");
        } else {
            out << "ok [" << ToHex(content.data, content.length) << "]";
            // Views point into the input, never into a copy.
            EXPECT_GE(content.data, bytes.data());
            EXPECT_LE(content.data + content.length, bytes.data() + size);
        }
        if (ok && op == "counted") out << " count " << number;
        out << " rest " << cursor.remaining;
    }
    return out.str();
}

TEST(Asn1, ReaderAndOidVectors) {
    for (const char* file : {"asn1/der_read.vec", "asn1/oid.vec"}) {
        for (const auto& r : test::LoadVectors(file, {"In", "Read", "Room", "Out"})) {
            SCOPED_TRACE(r.section + " " + r.Get("In").substr(0, 40) +
                         (r.Has("Read") ? " " + r.Get("Read") : ""));
            EXPECT_EQ(Outcome(r, Expand(r.Get("In"))), Expand(r.Get("Out")));
        }
    }
    // Absent views: no bits, no children; a null text and an empty object convert to nothing.
    DerBitString absent{5, nullptr, 5};
    BitStringView(&absent, DerBlob{3, nullptr});
    EXPECT_EQ(absent.length + absent.unusedBits, 0u);
    uint32_t count = 77;
    EXPECT_TRUE(DerCountChildren(DerBlob{}, &count));
    EXPECT_EQ(count, 0u);
    DerBlob content;
    EXPECT_FALSE(OidTextToContent(nullptr, &content));
    EXPECT_FALSE(OidEquals(OidObject{}, ""));
}

using Writer = std::function<bool(DerCursor&)>;

// Runs a write in both passes: measuring gives the size, writing into exactly that size gives
// the expected octets ("fail": the measuring pass fails), one octet less fails with error 234.
void CheckWrite(const Writer& write, const std::string& expected) {
    DerCursor measure = DerMeasuringCursor();
    ASSERT_EQ(write(measure), expected != "fail");
    if (expected == "fail") return;
    const Bytes want = test::FromHex(expected);
    ASSERT_EQ(measure.remaining, want.size());

    Bytes out(want.size() + 1, 0xEE);
    DerCursor cursor = DerCursorOver(out.data(), static_cast<uint32_t>(want.size()));
    ASSERT_TRUE(write(cursor));
    EXPECT_EQ(cursor.remaining, 0u);
    EXPECT_EQ(out.back(), 0xEE);  // nothing written past the room given
    out.pop_back();
    EXPECT_EQ(ToHex(out), ToHex(want));

    DerClearLastError();
    DerCursor tight = DerCursorOver(out.data(), static_cast<uint32_t>(want.size() - 1));
    EXPECT_FALSE(write(tight));
    EXPECT_EQ(DerLastError(), kErrorInsufficientBuffer);
}

uint64_t Num(const test::VectorRecord& r, const char* key) {
    return r.Has(key) ? std::stoull(r.Get(key), nullptr, 0) : 0;
}

// Everything the value of one write case points to, alive as long as its writer.
struct Value {
    Bytes bytes;
    std::vector<DerBlob> pieces;
    std::u16string utf16;
    DerBlob blob;
    DerBitString bits;
    DerNameValue name;
    uint64_t ticks = 0;
    int32_t number = 0;
};

// The kind and value a record describes (see the head of der_write.vec).
std::pair<DerKind, const void*> Build(const test::VectorRecord& r, Value& v) {
    v.bytes = test::FromHex(Expand(r.Has("In") ? r.Get("In") : ""));
    v.blob = {static_cast<uint32_t>(v.bytes.size()), r.Has("In") ? v.bytes.data() : nullptr};
    if (r.Has("Length")) v.blob.length = static_cast<uint32_t>(Num(r, "Length"));
    std::istringstream sizes(r.Has("Pieces") ? r.Get("Pieces") : "");
    uint32_t offset = 0;
    for (std::string size; sizes >> size; offset += v.pieces.back().length) {
        const uint32_t n = size == "-" ? 0 : static_cast<uint32_t>(std::stoul(size));
        v.pieces.push_back(size == "-" ? DerBlob{} : DerBlob{n, v.bytes.data() + offset});
    }
    if (r.Has("Pieces"))
        v.blob = DerPieces(v.pieces.data(), static_cast<uint32_t>(v.pieces.size()));
    const uint32_t arg = static_cast<uint32_t>(Num(r, "Arg"));
    v.bits = {v.blob.length, v.blob.data, arg};
    v.name = {arg, v.blob.length, v.blob.data};
    v.utf16.assign(reinterpret_cast<const char16_t*>(v.bytes.data()), v.bytes.size() / 2);
    v.ticks = Num(r, "Num");
    v.number = static_cast<int32_t>(v.ticks);  // wraps back to the signed value written
    const void* number = r.Has("Num") ? &v.number : nullptr;
    const char* text = r.Has("Text") ? r.Get("Text").c_str() : nullptr;
    const std::map<std::string, std::pair<DerKind, const void*>> kinds = {
        {"octets", {DerKind::kOctetString, &v.blob}},
        {"bits", {DerKind::kBitString, &v.bits}},
        {"int", {DerKind::kInteger, number}},
        {"int-alt", {DerKind::kIntegerAlt, number}},
        {"boolean", {DerKind::kBoolean, number}},
        {"unknown", {static_cast<DerKind>(99), number}},
        {"le-int", {DerKind::kLittleEndianInteger, &v.blob}},
        {"encoded", {DerKind::kEncoded, &v.blob}},
        {"encoded-or-null", {DerKind::kEncodedOrNull, &v.blob}},
        {"oid", {DerKind::kOidText, text}},
        {"string8", {DerKind::kString8, text}},
        {"string16", {DerKind::kString16, v.utf16.c_str()}},
        {"utc", {DerKind::kUtcTime, &v.ticks}},
        {"generalized", {DerKind::kGeneralizedTime, &v.ticks}},
        {"name", {DerKind::kNameValue, &v.name}}};
    return kinds.at(r.Get("Kind"));
}

// The first failure noted is the innermost element that could not be taken; acceptance is
// unchanged (each input is refused).
TEST(DerStrict, FailurePositionIsTheFirstElementRefused) {
    const struct {
        std::vector<uint8_t> der;
        int offset;  // where the failure is noted
    } cases[] = {
        {{0x31, 0x00}, 0},                                // wrong identifier
        {{0x30, 0x05, 0x04, 0x01, 0xAA, 0x04, 0x05}, 5},  // a child longer than its parent
        {{0x30, 0x02, 0x04, 0x00}, 0},                    // one element where two are needed
        {{0x30, 0x04, 0x04, 0x00, 0x06, 0x00}, 4},        // an empty OBJECT IDENTIFIER
        {{0x30, 0x80, 0x00, 0x00}, 0},                    // indefinite length
    };
    for (const auto& c : cases) {
        DerResetFailure();
        DerCursor cursor = DerCursorOver(c.der.data(), static_cast<uint32_t>(c.der.size()));
        DerBlob content;
        OidText oid;
        bool read = DerReadCounted(cursor, kDerSequence, &content, 2, 2);
        if (read) {
            DerCursor inner = DerCursorOver(content);
            read = DerReadExact(inner, kDerOctetString, &content) && DerReadOid(inner, oid);
        }
        EXPECT_FALSE(read);
        ASSERT_NE(DerFailurePosition(), nullptr) << c.offset;
        EXPECT_EQ(DerFailurePosition() - c.der.data(), c.offset);
    }
}

TEST(DerWriter, Vectors) {
    const auto records = test::LoadVectors(
        "asn1/der_write.vec",
        {"Name", "Id", "Kind", "In", "Length", "Pieces", "Num", "Arg", "Text", "Out"});
    for (const auto& r : records) {
        SCOPED_TRACE(r.Get("Name"));
        const uint32_t num = static_cast<uint32_t>(Num(r, "Num"));
        const uint32_t arg = static_cast<uint32_t>(Num(r, "Arg"));
        const uint8_t id = r.Has("Id") ? r.Hex("Id").at(0) : kDerDefaultIdentifier;
        Value v;
        Writer write;
        if (r.Get("Kind") == "length") {
            write = [&](DerCursor& c) { return DerWriteLength(num, c); };
        } else if (r.Get("Kind") == "identifier") {
            write = [&](DerCursor& c) { return DerWriteIdentifier(num, arg, c); };
        } else {
            const auto built = Build(r, v);  // points into v, which outlives the writer
            write = [id, built](DerCursor& c) {
                return DerWriteValue(id, built.first, built.second, c);
            };
        }
        CheckWrite(write, Expand(r.Get("Out")));
    }
}

// SEQUENCE { INTEGER 5, [0] { OID } }; `drift` is added to the integer from the second call on.
struct Nested {
    const char* oid;
    int32_t drift = 0;
    int calls = 0;
};

bool WriteOid(void* context, DerCursor& cursor) {
    const char* oid = static_cast<Nested*>(context)->oid;
    return DerWriteValue(kDerDefaultIdentifier, DerKind::kOidText, oid, cursor);
}

bool WriteNested(void* context, DerCursor& cursor) {
    auto* nested = static_cast<Nested*>(context);
    const int32_t number = 5 + (nested->calls++ ? nested->drift : 0);
    return DerWriteValue(kDerDefaultIdentifier, DerKind::kInteger, &number, cursor) &&
           DerWriteConstructed(0xA0, nested, WriteOid, cursor);
}

TEST(DerWriter, ConstructedTwoPasses) {
    Nested good{"1.2.643.2.2.9"};
    Nested badOid{"1.40"};
    for (const uint8_t id : {uint8_t{0x30}, uint8_t{0x10}}) {  // 0x10 becomes 0x30
        CheckWrite([&](DerCursor& c) { return DerWriteConstructed(id, &good, WriteNested, c); },
                   "300D020105A00806062A8503020209");
        CheckWrite([&](DerCursor& c) { return DerWriteConstructed(id, &badOid, WriteNested, c); },
                   "fail");
    }
    // A callback that writes something else the second time must not leave a wrong length.
    Nested unstable{"1.2.3", 1000};
    DerCursor measure = DerMeasuringCursor();
    ASSERT_TRUE(DerWriteConstructed(0x30, &unstable, WriteNested, measure));
    Bytes out(measure.remaining + 16);
    DerCursor cursor = DerCursorOver(out.data(), static_cast<uint32_t>(out.size()));
    unstable.calls = 0;
    EXPECT_FALSE(DerWriteConstructed(0x30, &unstable, WriteNested, cursor));
}

// The calendar conversion against the C library over the whole range and at both ends.
TEST(FileTime, MatchesCalendarOfCLibrary) {
    std::mt19937_64 random(20261206);
    for (int i = 0; i < 20002; ++i) {
        const uint64_t fileTime = i == 0 ? 0 : i == 1 ? INT64_MAX : random() >> (1 + i % 40);
        CalendarTime got;
        ASSERT_TRUE(FileTimeToCalendar(fileTime, &got));
        const time_t unixSeconds =
            static_cast<time_t>(static_cast<int64_t>(fileTime / 10000000) - 11644473600LL);
        std::tm want{};
        ASSERT_NE(gmtime_r(&unixSeconds, &want), nullptr);
        ASSERT_EQ(std::tie(got.year, got.month, got.day, got.hour, got.minute, got.second,
                           got.millisecond),
                  std::make_tuple(want.tm_year + 1900, want.tm_mon + 1, want.tm_mday, want.tm_hour,
                                  want.tm_min, want.tm_sec,
                                  static_cast<int>(fileTime % 10000000 / 10000)))
            << fileTime;
    }
    CalendarTime t;
    EXPECT_FALSE(FileTimeToCalendar(uint64_t{1} << 63, &t));
}

}  // namespace
}  // namespace keymend
