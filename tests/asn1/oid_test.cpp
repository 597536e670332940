// Object identifier conversions over the cases of oid.vec, and file times against the C library.
#include "asn1/oid.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <random>
#include <string>

#include "asn1/file_time.h"
#include "support/test_support.h"

namespace keymend {
namespace {

using test::Bytes;
using test::ToHex;

// Expands "{unit*N}" into N copies of unit, so that long inputs stay readable in the vector file.
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

// A filled object must agree with itself: dotted arcs equal the text.
std::string TextOf(const OidObject& oid) {
    std::string dotted;
    for (uint32_t arc : oid.arcs) dotted += (dotted.empty() ? "" : ".") + std::to_string(arc);
    EXPECT_EQ(dotted, oid.text);
    return oid.text;
}

// What the conversion of the record's section gave for `in`, in the notation of oid.vec.
std::string Convert(const std::string& section, const std::string& in) {
    OidObject oid;
    DerBlob content{3, reinterpret_cast<const uint8_t*>("xyz")};
    if (section == "TextToContent") {
        if (!OidTextToContent(in.c_str(), &content)) {
            return content.data == nullptr && content.length == 0 ? "fail" : "fail, kept content";
        }
        const std::string hex = ToHex(content.data, content.length);
        OidContentFree(&content);
        EXPECT_EQ(content.data, nullptr);
        return hex;
    }
    if (section == "FromText") {
        if (!OidFromText(&oid, in.c_str())) return oid.Empty() ? "fail" : "fail, not empty";
        // The strict reading gives the content of the lenient one.
        EXPECT_TRUE(OidTextToContent(in.c_str(), &content));
        EXPECT_EQ(ToHex(oid.encoded), ToHex(content.data, content.length));
        OidContentFree(&content);
        return TextOf(oid);
    }
    const Bytes octets = test::FromHex(in);
    if (!OidFromContent(&oid, octets.data(), 0, octets.size())) {
        return oid.Empty() && oid.arcs.empty() ? "fail" : "fail, not empty";
    }
    EXPECT_EQ(ToHex(oid.encoded), ToHex(octets));
    char text[1024];
    EXPECT_TRUE(
        OidContentToText(text, sizeof text, octets.data(), static_cast<uint32_t>(octets.size())));
    EXPECT_EQ(text, oid.text);
    return TextOf(oid);
}

TEST(Oid, Vectors) {
    for (const auto& r : test::LoadVectors("asn1/oid.vec", {"In", "Out"})) {
        SCOPED_TRACE(r.section + " " + r.Get("In"));
        EXPECT_EQ(Convert(r.section, Expand(r.Get("In"))), Expand(r.Get("Out")));
    }
    DerBlob content;
    EXPECT_FALSE(OidTextToContent(nullptr, &content));
}

TEST(Oid, OffsetsEqualityAndRoomForText) {
    // The start offset selects the content inside a larger buffer.
    const Bytes element = test::FromHex("06028134");
    OidObject oid;
    ASSERT_TRUE(OidFromContent(&oid, element.data(), 2, 2));
    EXPECT_TRUE(OidEquals(oid, "2.100"));
    EXPECT_FALSE(OidEquals(oid, "2.10"));
    EXPECT_FALSE(OidEquals(OidObject{}, ""));

    const Bytes in = test::FromHex("2A8503020209");  // "1.2.643.2.2.9": 13 characters
    char buffer[32];
    ASSERT_TRUE(OidContentToText(buffer, 14, in.data(), 6));
    EXPECT_STREQ(buffer, "1.2.643.2.2.9");
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_FALSE(OidContentToText(buffer, 13, in.data(), 6));
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(buffer[12], 0);
    EXPECT_FALSE(OidContentToText(buffer, sizeof buffer, in.data(), 0));
    EXPECT_FALSE(OidContentToText(buffer, sizeof buffer, in.data(), 2));  // cut off
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
        const int wantFields[] = {want.tm_year + 1900,
                                  want.tm_mon + 1,
                                  want.tm_mday,
                                  want.tm_hour,
                                  want.tm_min,
                                  want.tm_sec,
                                  static_cast<int>(fileTime % 10000000 / 10000)};
        const int gotFields[] = {got.year,   got.month,  got.day,        got.hour,
                                 got.minute, got.second, got.millisecond};
        ASSERT_TRUE(std::equal(gotFields, gotFields + 7, wantFields)) << fileTime;
    }
    CalendarTime t;
    EXPECT_FALSE(FileTimeToCalendar(uint64_t{1} << 63, &t));
}

}  // namespace
}  // namespace keymend
