// DER reading: every reader call over the cases of der_read.vec, the header fields, and the
// stored fuzz corpus replayed through the fuzz target's checks.
#include "asn1/der.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>

#include "support/test_support.h"

namespace keymend::fuzz {
int DerFuzzOne(const uint8_t* data, size_t size);
}

namespace keymend {
namespace {

using test::Bytes;
using test::ToHex;

// What one reader call gave for `in`, in the notation of der_read.vec.
std::string ReadOutcome(const test::VectorRecord& r, const Bytes& in) {
    const uint32_t size = static_cast<uint32_t>(in.size());
    DerCursor cursor = DerCursorOver(in.data(), size);
    const DerBlob blob{size, in.data()};
    uint32_t number = 99;
    uint32_t classBits = 99;
    if (r.section == "Length") {
        if (!DerReadLength(cursor, &number)) return "fail";
        EXPECT_EQ(cursor.position, in.data() + (size - cursor.remaining));
        return std::to_string(number) + " " + std::to_string(size - cursor.remaining);
    }
    if (r.section == "Children") {
        return DerCountChildren(blob, &number) ? std::to_string(number) : "fail";
    }
    if (r.section == "Peek") {
        if (DerPeekIdentifier(cursor, &number, &classBits)) {
            return (std::ostringstream() << number << " " << std::hex << classBits).str();
        }
        return number == 99 && classBits == 99 ? "fail" : "fail, but wrote the fields";
    }
    if (r.section == "BitString") {
        DerBitString bits{5, nullptr, 5};
        BitStringView(&bits, blob);
        EXPECT_EQ(bits.data, in.data());
        EXPECT_EQ(bits.length, size);
        return std::to_string(bits.unusedBits);
    }
    if (r.section == "BeBytes") return std::to_string(BeBytesToU64(in.data(), size));

    std::istringstream how(r.Get("Read"));
    std::string op;
    unsigned expected = 0;
    how >> op >> std::hex >> expected;
    DerBlob content{7, reinterpret_cast<const uint8_t*>("garbage")};
    const uint8_t id = static_cast<uint8_t>(expected);
    const bool ok = op == "primitive" ? DerReadPrimitive(cursor, id, &content)
                                      : DerReadConstructed(cursor, id, &content,
                                                           op == "counted" ? &number : nullptr);
    std::string out = "fail";
    if (ok && content.data == nullptr) {
        out = content.length == 0 ? "ok absent" : "ok absent with a length";
    } else if (ok) {
        out = "ok [" + ToHex(content.data, content.length) + "]";
        // Views point into the input, never into a copy.
        EXPECT_GE(content.data, in.data());
        EXPECT_LE(content.data + content.length, in.data() + size);
    }
    if (ok && op == "counted") out += " count " + std::to_string(number);
    return out + " rest " + std::to_string(cursor.remaining);
}

TEST(DerReader, Vectors) {
    const auto records = test::LoadVectors("asn1/der_read.vec", {"In", "Read", "Out"});
    for (const auto& r : records) {
        SCOPED_TRACE(r.section + " " + r.Get("In") + (r.Has("Read") ? " " + r.Get("Read") : ""));
        EXPECT_EQ(ReadOutcome(r, r.Hex("In")), r.Get("Out"));
    }
    // An absent view: no bits, no unused bits.
    DerBitString absent{5, nullptr, 5};
    BitStringView(&absent, DerBlob{3, nullptr});
    EXPECT_EQ(absent.length, 0u);
    EXPECT_EQ(absent.unusedBits, 0u);
    uint32_t count = 77;
    EXPECT_TRUE(DerCountChildren(DerBlob{}, &count));
    EXPECT_EQ(count, 0u);
}

TEST(DerReader, HeaderFields) {
    Bytes in = test::FromHex("A48180");
    in.resize(3 + 128, 0x55);
    in.push_back(0x05);
    DerCursor cursor = DerCursorOver(in.data(), static_cast<uint32_t>(in.size()));
    DerHeader h;
    ASSERT_TRUE(DerReadHeader(cursor, &h));
    EXPECT_EQ(h.start, in.data());
    EXPECT_EQ(h.content.data, in.data() + 3);
    const uint32_t fields[] = {h.totalSize,  h.tagNumber,      h.classBits,
                               h.unusedBits, h.content.length, cursor.remaining};
    EXPECT_EQ(std::vector<uint32_t>(std::begin(fields), std::end(fields)),
              (std::vector<uint32_t>{131, 4, 0xA0, 0, 128, 1}));
    DerCursor empty = DerCursorOver(in.data(), 0);
    EXPECT_FALSE(DerReadHeader(empty, &h));
}

TEST(DerFuzzCorpus, ReplaysEverySeed) {
    const auto dir = std::filesystem::path(KEYMEND_SOURCE_DIR) / "fuzz/corpus/der";
    size_t seeds = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (!entry.is_regular_file()) continue;
        SCOPED_TRACE(entry.path().filename().string());
        const Bytes input = test::ReadFileBytes(entry.path().string());
        EXPECT_EQ(fuzz::DerFuzzOne(input.data(), input.size()), 0);
        ++seeds;
    }
    EXPECT_GE(seeds, 10u);
}

}  // namespace
}  // namespace keymend
