// DER writing: every value kind, length and identifier over the cases of der_write.vec, nested
// constructed elements, and write-then-read of the octet strings the container records use.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <sstream>
#include <string>

#include "asn1/der.h"
#include "platform/last_error.h"
#include "support/test_support.h"

namespace keymend {
namespace {

using test::Bytes;
using test::ToHex;
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

    SetLastErrorWord(0);
    DerCursor tight = DerCursorOver(out.data(), static_cast<uint32_t>(want.size() - 1));
    EXPECT_FALSE(write(tight));
    EXPECT_EQ(GetLastErrorWord(), kErrorInsufficientBuffer);
}

const std::map<std::string, DerKind> kKinds = {{"octets", DerKind::kOctetString},
                                               {"bits", DerKind::kBitString},
                                               {"int", DerKind::kInteger},
                                               {"int-alt", DerKind::kIntegerAlt},
                                               {"le-int", DerKind::kLittleEndianInteger},
                                               {"encoded", DerKind::kEncoded},
                                               {"encoded-or-null", DerKind::kEncodedOrNull},
                                               {"oid", DerKind::kOidText},
                                               {"boolean", DerKind::kBoolean},
                                               {"string8", DerKind::kString8},
                                               {"string16", DerKind::kString16},
                                               {"utc", DerKind::kUtcTime},
                                               {"generalized", DerKind::kGeneralizedTime},
                                               {"name", DerKind::kNameValue},
                                               {"unknown", static_cast<DerKind>(99)}};

uint64_t Num(const test::VectorRecord& r, const char* key) {
    return r.Has(key) ? std::stoull(r.Get(key), nullptr, 0) : 0;
}

// Everything the value of one case points to, alive as long as its writer.
struct Value {
    Bytes bytes;
    std::vector<DerBlob> pieces;
    std::u16string utf16;
    DerBlob blob;
    DerBitString bits;
    DerNameValue name;
    int32_t number = 0;
    uint64_t ticks = 0;
    const void* pointer = nullptr;
};

// Builds the value a record describes (see the head of der_write.vec).
void Build(const test::VectorRecord& r, DerKind kind, Value& v) {
    v.bytes = r.Has("In") ? r.Hex("In") : Bytes{};
    v.blob = {static_cast<uint32_t>(v.bytes.size()), r.Has("In") ? v.bytes.data() : nullptr};
    if (r.Has("Length")) v.blob.length = static_cast<uint32_t>(Num(r, "Length"));
    std::istringstream sizes(r.Has("Pieces") ? r.Get("Pieces") : "");
    uint32_t offset = 0;
    for (std::string size; sizes >> size;) {
        const uint32_t n = size == "-" ? 0 : static_cast<uint32_t>(std::stoul(size));
        v.pieces.push_back(size == "-" ? DerBlob{} : DerBlob{n, v.bytes.data() + offset});
        offset += n;
    }
    if (r.Has("Pieces"))
        v.blob = DerPieces(v.pieces.data(), static_cast<uint32_t>(v.pieces.size()));
    v.pointer = &v.blob;
    const uint32_t arg = static_cast<uint32_t>(Num(r, "Arg"));
    switch (kind) {
        case DerKind::kBitString:
            v.bits = {v.blob.length, v.blob.data, arg};
            v.pointer = &v.bits;
            break;
        case DerKind::kNameValue:
            v.name = {arg, v.blob.length, v.blob.data};
            v.pointer = &v.name;
            break;
        case DerKind::kString16:
            v.utf16.assign(reinterpret_cast<const char16_t*>(v.bytes.data()), v.bytes.size() / 2);
            v.pointer = v.utf16.c_str();
            break;
        case DerKind::kUtcTime:
        case DerKind::kGeneralizedTime:
            v.ticks = Num(r, "Num");
            v.pointer = &v.ticks;
            break;
        case DerKind::kOidText:
        case DerKind::kString8:
            v.pointer = r.Has("Text") ? r.Get("Text").c_str() : nullptr;
            break;
        case DerKind::kInteger:
        case DerKind::kIntegerAlt:
        case DerKind::kBoolean:
        default:
            v.number = static_cast<int32_t>(std::stol(r.Has("Num") ? r.Get("Num") : "0"));
            v.pointer = r.Has("Num") ? &v.number : nullptr;
            break;
        case DerKind::kOctetString:
        case DerKind::kLittleEndianInteger:
        case DerKind::kEncoded:
        case DerKind::kEncodedOrNull:
            break;
    }
}

TEST(DerWriter, Vectors) {
    const auto records = test::LoadVectors(
        "asn1/der_write.vec",
        {"Name", "Id", "Kind", "In", "Length", "Pieces", "Num", "Arg", "Text", "Out"});
    for (const auto& r : records) {
        SCOPED_TRACE(r.Get("Name"));
        const std::string& kind = r.Get("Kind");
        const uint32_t num = static_cast<uint32_t>(Num(r, "Num"));
        const uint32_t arg = static_cast<uint32_t>(Num(r, "Arg"));
        Value v;
        Writer write = [&](DerCursor& c) { return DerWriteLength(num, c); };
        if (kind == "identifier") {
            write = [&](DerCursor& c) { return DerWriteIdentifier(num, arg, c); };
        } else if (kind != "length") {
            const uint8_t id = r.Has("Id") ? r.Hex("Id").at(0) : kDerDefaultIdentifier;
            Build(r, kKinds.at(kind), v);
            write = [&, id](DerCursor& c) {
                return DerWriteValue(id, kKinds.at(kind), v.pointer, c);
            };
        }
        CheckWrite(write, r.Get("Out"));
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
    Two badOid{5, "1.40"};
    for (const uint8_t id : {uint8_t{0x30}, uint8_t{0x10}}) {  // 0x10 becomes 0x30
        CheckWrite([&](DerCursor& c) { return DerWriteConstructed(id, &two, WriteOuter, c); },
                   "300D020105A00806062A8503020209");
        CheckWrite([&](DerCursor& c) { return DerWriteConstructed(id, &badOid, WriteOuter, c); },
                   "fail");
    }
    // A callback that writes something else the second time must not leave a wrong length.
    Two unstable{5, "1.2.3", 1000};
    DerCursor measure = DerMeasuringCursor();
    ASSERT_TRUE(DerWriteConstructed(0x30, &unstable, WriteOuter, measure));
    Bytes out(measure.remaining + 16);
    DerCursor cursor = DerCursorOver(out.data(), static_cast<uint32_t>(out.size()));
    unstable.calls = 0;
    EXPECT_FALSE(DerWriteConstructed(0x30, &unstable, WriteOuter, cursor));
}

// Write-then-read for every identifier the container records use, over every length form.
TEST(DerWriter, RoundTripsOfRecordKinds) {
    const uint8_t identifiers[] = {0x04, 0x06, 0x16, 0x80, 0x82, 0x85, 0x86, 0x8A, 0x8B};
    for (uint8_t id : identifiers) {
        for (uint32_t size : {0u, 1u, 127u, 128u, 200u, 255u, 256u, 3075u, 65535u, 70000u}) {
            SCOPED_TRACE(testing::Message() << std::hex << int{id} << " size " << std::dec << size);
            Bytes content(size);
            for (uint32_t i = 0; i < size; ++i) content[i] = static_cast<uint8_t>(i * 7 + id);
            const DerBlob view{size, content.data()};
            DerCursor measure = DerMeasuringCursor();
            ASSERT_TRUE(DerWriteValue(id, DerKind::kOctetString, &view, measure));
            // The shortest length form: 1, 2, 3 or 4 length octets.
            EXPECT_EQ(measure.remaining, size + 2 + (size > 127) + (size > 255) + (size > 65535));
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
}

}  // namespace
}  // namespace keymend
