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
using test::FromHex;
using test::ToHex;

std::string Repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

TEST(Oid, TextToContent) {
    const struct {
        const char* text;
        const char* content;  // nullptr: must fail
    } cases[] = {
        {"1.2.643.2.2.9", "2A8503020209"},
        {"2.100", "8134"},
        {"0.39", "27"},
        {"1.2.0", "2A00"},
        {"1.2.128", "2A8100"},
        {"1 2 643", "2A8503"},  // blanks separate arcs too
        {"1.2.", "2A"},         // a trailing separator is accepted
        {"1.2..3", "2A0003"},   // an empty arc counts as 0
        {"2.2147483647", "888080804F"},
        {"1.40", nullptr},
        {"3.1", nullptr},
        {"12.3", nullptr},
        {"1", nullptr},
        {"1.", nullptr},
        {"", nullptr},
        {"1.2a", nullptr},
        {"1.-2", nullptr},
        {"1.2.2147483648", nullptr},
        {"1.2.4294967296", nullptr},
        {"1.2.99999999999999999999", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        DerBlob content{3, reinterpret_cast<const uint8_t*>("xyz")};
        ASSERT_EQ(OidTextToContent(c.text, &content), c.content != nullptr);
        if (c.content == nullptr) {
            EXPECT_EQ(content.data, nullptr);
            EXPECT_EQ(content.length, 0u);
            continue;
        }
        EXPECT_EQ(ToHex(content.data, content.length), ToHex(FromHex(c.content)));
        OidContentFree(&content);
        EXPECT_EQ(content.data, nullptr);
    }
    DerBlob content;
    EXPECT_FALSE(OidTextToContent(nullptr, &content));
}

TEST(Oid, FromContent) {
    const std::string longest = "2A" + Repeat("87FFFFFF7F", 50);  // 251 octets, 51 subidentifiers
    const struct {
        std::string content;
        bool ok;
        const char* text;  // checked when not null
    } cases[] = {
        {"8134", true, "2.100"},
        {"2A8503020209", true, "1.2.643.2.2.9"},
        {"27", true, "0.39"},
        {"28", true, "1.0"},
        {"4F", true, "1.39"},
        {"50", true, "2.0"},
        {"2A" + Repeat("01", 63), true, nullptr},  // 64 subidentifiers
        {"2A" + Repeat("01", 64), false, nullptr},
        {longest, true, nullptr},
        {Repeat("01", 256), false, nullptr},
        {"", false, nullptr},
        {"2A85", false, nullptr},          // cut-off subidentifier
        {"2A808503", false, nullptr},      // leading zero group
        {"8FFFFFFF7F", false, nullptr},    // 2 and 2^32 - 81: at or above 2^31
        {"2A8880808000", false, nullptr},  // arc of 2^31
        {"2A9080808000", false, nullptr},  // more than 32 bits
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        const Bytes in = FromHex(c.content);
        OidObject oid;
        ASSERT_EQ(OidFromContent(&oid, in.data(), 0, in.size()), c.ok);
        if (!c.ok) {
            EXPECT_TRUE(oid.Empty());
            EXPECT_TRUE(oid.arcs.empty());
            continue;
        }
        EXPECT_EQ(ToHex(oid.encoded), ToHex(in));
        if (c.text) {
            EXPECT_EQ(oid.text, c.text);
        }
    }

    // Arcs of 2^31 - 1 survive; the arc count is the subidentifier count plus one.
    const Bytes in = FromHex(longest);
    OidObject oid;
    ASSERT_TRUE(OidFromContent(&oid, in.data(), 0, in.size()));
    ASSERT_EQ(oid.arcs.size(), 52u);
    EXPECT_EQ(oid.arcs[51], 0x7FFFFFFFu);

    // The start offset selects the content inside a larger buffer.
    const Bytes element = FromHex("06028134");
    ASSERT_TRUE(OidFromContent(&oid, element.data(), 2, 2));
    EXPECT_TRUE(OidEquals(oid, "2.100"));
    EXPECT_FALSE(OidEquals(oid, "2.10"));
    EXPECT_FALSE(OidEquals(OidObject{}, ""));
}

TEST(Oid, FromText) {
    const std::string maxArcs = "1.2" + Repeat(".5", 41);           // 43 arcs
    const std::string fitting = "1.2" + Repeat(".2147483647", 12);  // 61 octets
    const struct {
        std::string text;
        bool ok;
    } cases[] = {
        {"1.2.643.2.2.9", true}, {"2.100.3", true},         {"1.02.3", true},
        {maxArcs, true},         {maxArcs + ".5", false},   {fitting, true},
        {fitting + ".1", true},  {fitting + ".128", false},  // 62 fits, 63 does not
        {"1.2", false},          {"1.2.3abc", false},       {"1..2.3", false},
        {"1.2.-3", false},       {".1.2.3", false},         {"1.2.3.", false},
        {"3.2.3", false},        {"1.40.3", false},         {"1.2.2147483648", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        OidObject oid;
        ASSERT_EQ(OidFromText(&oid, c.text.c_str()), c.ok);
        if (!c.ok) {
            EXPECT_TRUE(oid.Empty());
            continue;
        }
        // Text and content agree with the other conversions.
        DerBlob content;
        ASSERT_TRUE(OidTextToContent(c.text.c_str(), &content));
        EXPECT_EQ(ToHex(oid.encoded), ToHex(content.data, content.length));
        OidContentFree(&content);
    }
    OidObject oid;
    ASSERT_TRUE(OidFromText(&oid, "1.2.643.2.2.9"));
    EXPECT_EQ(oid.text, "1.2.643.2.2.9");
    EXPECT_EQ((oid.arcs), (std::vector<uint32_t>{1, 2, 643, 2, 2, 9}));
}

TEST(Oid, ContentToTextNeedsRoom) {
    const Bytes in = FromHex("2A8503020209");  // "1.2.643.2.2.9": 13 characters
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

// The calendar conversion against the C library over the whole range, and at its ends.
TEST(FileTime, MatchesCalendarOfCLibrary) {
    std::mt19937_64 random(20261206);
    for (int i = 0; i < 20000; ++i) {
        const uint64_t fileTime = random() >> (1 + i % 40);
        CalendarTime got;
        ASSERT_TRUE(FileTimeToCalendar(fileTime, &got));
        const time_t unixSeconds =
            static_cast<time_t>(static_cast<int64_t>(fileTime / 10000000) - 11644473600LL);
        std::tm want{};
        ASSERT_NE(gmtime_r(&unixSeconds, &want), nullptr);
        ASSERT_EQ(got.year, want.tm_year + 1900) << fileTime;
        ASSERT_EQ(got.month, want.tm_mon + 1) << fileTime;
        ASSERT_EQ(got.day, want.tm_mday) << fileTime;
        ASSERT_EQ(got.hour, want.tm_hour) << fileTime;
        ASSERT_EQ(got.minute, want.tm_min) << fileTime;
        ASSERT_EQ(got.second, want.tm_sec) << fileTime;
        ASSERT_EQ(got.millisecond, fileTime % 10000000 / 10000) << fileTime;
    }
    CalendarTime t;
    ASSERT_TRUE(FileTimeToCalendar(0, &t));
    EXPECT_EQ((std::vector<int>{t.year, t.month, t.day, t.hour}),
              (std::vector<int>{1601, 1, 1, 0}));
    ASSERT_TRUE(FileTimeToCalendar(INT64_MAX, &t));
    EXPECT_EQ((std::vector<int>{t.year, t.month, t.day, t.hour, t.minute, t.second, t.millisecond}),
              (std::vector<int>{30828, 9, 14, 2, 48, 5, 477}));
    EXPECT_FALSE(FileTimeToCalendar(uint64_t{1} << 63, &t));
}

}  // namespace
}  // namespace keymend
