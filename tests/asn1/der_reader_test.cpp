#include "asn1/der.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace keymend {
namespace {

using test::Bytes;
using test::FromHex;
using test::ToHex;

struct LengthCase {
    const char* hex;
    bool ok;
    uint32_t length;
    uint32_t consumed;
};

TEST(DerReader, ReadLength) {
    const LengthCase cases[] = {
        {"05", true, 5, 1},
        {"7F", true, 127, 1},
        {"80", true, 0, 1},  // indefinite form reads as empty
        {"8105", true, 5, 2},
        {"81C8", true, 200, 2},
        {"83011170", true, 70000, 4},
        {"820005", true, 5, 3},  // non-minimal long form accepted
        {"84FFFFFFFF", true, 0xFFFFFFFFu, 5},
        {"", false, 0, 0},
        {"81", false, 0, 0},
        {"830111", false, 0, 0},
        {"850000000001", false, 0, 0},
        {"FF", false, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.hex);
        const Bytes in = FromHex(c.hex);
        DerCursor cursor = DerCursorOver(in.data(), static_cast<uint32_t>(in.size()));
        uint32_t length = 0xDEAD;
        ASSERT_EQ(DerReadLength(cursor, &length), c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(length, c.length);
        EXPECT_EQ(in.size() - cursor.remaining, c.consumed);
        EXPECT_EQ(cursor.position, in.data() + c.consumed);
    }
}

enum class ReadOp { kPrimitive, kConstructed, kConstructedCounted };

struct ReadCase {
    const char* name;
    const char* hex;
    ReadOp op;
    uint8_t expected;
    bool ok;
    const char* content;  // nullptr: an absent (null) view is expected
    uint32_t count;       // for kConstructedCounted; 99 means "left untouched"
    uint32_t remainingAfter;
};

TEST(DerReader, ReadElements) {
    using enum ReadOp;
    const ReadCase cases[] = {
        {"primitive from empty cursor", "", kPrimitive, 0x04, true, nullptr, 0, 0},
        {"octet string", "0403616263", kPrimitive, 0x04, true, "616263", 0, 0},
        {"same tag number, other class", "8203616263", kPrimitive, 0x02, true, "616263", 0, 0},
        {"leaves following element", "0201050500", kPrimitive, 0x02, true, "05", 0, 2},
        {"indefinite length reads empty", "0480", kPrimitive, 0x04, true, "", 0, 0},
        {"wrong tag keeps cursor", "0403616263", kPrimitive, 0x02, false, nullptr, 0, 5},
        {"content past end", "0404616263", kPrimitive, 0x04, false, nullptr, 0, 5},
        {"length octets past end", "0482", kPrimitive, 0x04, false, nullptr, 0, 2},
        {"identifier only", "04", kPrimitive, 0x04, false, nullptr, 0, 1},
        {"five length octets", "0485000000000100", kPrimitive, 0x04, false, nullptr, 0, 8},
        {"huge length", "0484FFFFFFFF00", kPrimitive, 0x04, false, nullptr, 0, 7},
        {"constructed from empty cursor", "", kConstructedCounted, 0x30, true, nullptr, 99, 0},
        {"two children", "3006020105020107", kConstructedCounted, 0x30, true, "020105020107", 2, 0},
        {"empty sequence", "3000", kConstructedCounted, 0x30, true, "", 0, 0},
        {"cut-off child", "300402010502", kConstructedCounted, 0x30, false, nullptr, 0, 0},
        {"leftover octet", "300402010500", kConstructedCounted, 0x30, false, nullptr, 0, 0},
        {"child past parent", "3003020205", kConstructedCounted, 0x30, false, nullptr, 0, 0},
        {"sequence past buffer", "3005020105", kConstructed, 0x30, false, nullptr, 0, 5},
        {"SET is not SEQUENCE", "31000500", kConstructed, 0x30, false, nullptr, 0, 2},
        {"primitive 0x10 is not SEQUENCE", "1000", kConstructed, 0x30, false, nullptr, 0, 0},
        {"context [0] constructed", "A003020105", kConstructedCounted, 0xA0, true, "020105", 1, 0},
        {"flag forced on expected", "A003020105", kConstructed, 0x80, true, "020105", 0, 0},
        {"[4] is not [0]", "A400", kConstructed, 0xA0, false, nullptr, 0, 0},
        {"uncounted keeps bad children", "300402010502", kConstructed, 0x30, true, "02010502", 0,
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes in = FromHex(c.hex);
        DerCursor cursor = DerCursorOver(in.data(), static_cast<uint32_t>(in.size()));
        DerBlob content{7, reinterpret_cast<const uint8_t*>("garbage")};
        uint32_t count = 99;
        bool ok = false;
        switch (c.op) {
            case kPrimitive:
                ok = DerReadPrimitive(cursor, c.expected, &content);
                break;
            case kConstructed:
                ok = DerReadConstructed(cursor, c.expected, &content);
                break;
            case kConstructedCounted:
                ok = DerReadConstructed(cursor, c.expected, &content, &count);
                break;
        }
        ASSERT_EQ(ok, c.ok);
        EXPECT_EQ(cursor.remaining, c.remainingAfter);
        if (!c.ok) continue;
        if (c.content == nullptr) {
            EXPECT_EQ(content.data, nullptr);
            EXPECT_EQ(content.length, 0u);
        } else {
            ASSERT_NE(content.data, nullptr);
            EXPECT_EQ(ToHex(content.data, content.length), ToHex(FromHex(c.content)));
            // Views point into the input, never into a copy.
            EXPECT_GE(content.data, in.data());
            EXPECT_LE(content.data + content.length, in.data() + in.size());
        }
        if (c.op == kConstructedCounted) {
            EXPECT_EQ(count, c.count);
        }
    }
}

TEST(DerReader, HeaderFields) {
    Bytes in = FromHex("A48180");
    in.resize(3 + 128, 0x55);
    in.push_back(0x05);
    DerCursor cursor = DerCursorOver(in.data(), static_cast<uint32_t>(in.size()));
    DerHeader header;
    ASSERT_TRUE(DerReadHeader(cursor, &header));
    EXPECT_EQ(header.start, in.data());
    EXPECT_EQ(header.totalSize, 131u);
    EXPECT_EQ(header.tagNumber, 4u);
    EXPECT_EQ(header.classBits, 0xA0u);
    EXPECT_EQ(header.unusedBits, 0u);
    EXPECT_EQ(header.content.data, in.data() + 3);
    EXPECT_EQ(header.content.length, 128u);
    EXPECT_EQ(cursor.remaining, 1u);

    DerCursor empty = DerCursorOver(in.data(), 0);
    EXPECT_FALSE(DerReadHeader(empty, &header));
}

TEST(DerReader, CountChildren) {
    const struct {
        const char* hex;
        bool ok;
        uint32_t count;
    } cases[] = {
        {"", true, 0},    {"0500", true, 1},  {"020105300302010104020000", true, 3},
        {"05", false, 0}, {"0501", false, 0}, {"050000", false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.hex);
        const Bytes in = FromHex(c.hex);
        uint32_t count = 77;
        ASSERT_EQ(DerCountChildren(DerBlob{static_cast<uint32_t>(in.size()), in.data()}, &count),
                  c.ok);
        if (c.ok) {
            EXPECT_EQ(count, c.count);
        }
    }
    uint32_t count = 77;
    EXPECT_TRUE(DerCountChildren(DerBlob{}, &count));
    EXPECT_EQ(count, 0u);
}

TEST(DerReader, PeekIdentifier) {
    const struct {
        const char* hex;
        bool ok;
        uint32_t tag;
        uint32_t classBits;
    } cases[] = {
        {"A003020105", true, 0, 0xA0},
        {"8B00", true, 11, 0x80},
        {"30", true, 16, 0x20},
        {"1F8148", true, 200, 0x00},
        {"BF8FFFFFFF7F", true, 0xFFFFFFFFu, 0xA0},
        {"1F81", false, 0, 0},
        {"1F", false, 0, 0},
        {"1F9080808000", false, 0, 0},  // more than 32 bits
        {"", false, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.hex);
        const Bytes in = FromHex(c.hex);
        const DerCursor cursor = DerCursorOver(in.data(), static_cast<uint32_t>(in.size()));
        uint32_t tag = 1234, classBits = 1234;
        ASSERT_EQ(DerPeekIdentifier(cursor, &tag, &classBits), c.ok);
        EXPECT_EQ(tag, c.ok ? c.tag : 1234u);
        EXPECT_EQ(classBits, c.ok ? c.classBits : 1234u);
    }
}

TEST(DerHelpers, BitStringViewAndBeBytes) {
    const struct {
        const char* hex;
        uint32_t unused;
    } bits[] = {{"40", 6}, {"80", 7},   {"A0", 5}, {"C0", 6},  {"", 0},
                {"01", 0}, {"FF80", 7}, {"00", 0}, {"0100", 0}};
    for (const auto& c : bits) {
        SCOPED_TRACE(c.hex);
        const Bytes in = FromHex(c.hex);
        DerBitString view;
        BitStringView(&view, DerBlob{static_cast<uint32_t>(in.size()), in.data()});
        EXPECT_EQ(view.unusedBits, c.unused);
        EXPECT_EQ(view.length, in.size());
        EXPECT_EQ(view.data, in.data());
    }
    DerBitString absent{5, nullptr, 5};
    BitStringView(&absent, DerBlob{3, nullptr});
    EXPECT_EQ(absent.length, 0u);
    EXPECT_EQ(absent.unusedBits, 0u);

    const struct {
        const char* hex;
        uint64_t value;
    } numbers[] = {{"", 0},
                   {"0800", 2048},
                   {"00FFFFFFFFFFFFFFFF", UINT64_MAX},
                   {"0102030405060708090A", 0x030405060708090AULL}};
    for (const auto& c : numbers) {
        const Bytes in = FromHex(c.hex);
        EXPECT_EQ(BeBytesToU64(in.data(), static_cast<uint32_t>(in.size())), c.value) << c.hex;
    }
}

}  // namespace
}  // namespace keymend
