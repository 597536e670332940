// Password conversion from the locale's codeset, UTF-16 to UTF-8, language choice and console
// output conversion.
#include "platform/text.h"

#include <gtest/gtest.h>

#include <string>

#include "cli/command_line.h"
#include "platform/console.h"

namespace keymend {
namespace {

class LocaleCodeset : public ::testing::Test {
  protected:
    void TearDown() override { SetLocaleCodesetForTesting(nullptr); }
};

bool ParseHelpWith(const char* option, const std::string& value, Settings& s) {
    std::string a0 = "keymend", a1 = "-help", a2 = option, a3 = value;
    char* argv[] = {a0.data(), a1.data(), a2.data(), a3.data()};
    return ParseCommandLine(s, 4, argv);
}

TEST_F(LocaleCodeset, SingleByteCodesetPasswordsAreConverted) {
    SetLocaleCodesetForTesting("CP1251");
    Settings s;
    ASSERT_TRUE(ParseHelpWith("-passkv", "\xCF\xE0\xF0\xEE\xEB\xFC", s));  // "Пароль"
    EXPECT_EQ(std::u16string(s.containerPassword), u"Пароль");
    ASSERT_TRUE(ParseHelpWith("-passp12", "\xCF\xE0\xF0\xEE\xEB\xFC", s));
    EXPECT_STREQ(s.p12Password, "Пароль");
    // 0x98 is undefined in this codeset.
    EXPECT_FALSE(ParseHelpWith("-passkv", "a\x98", s));
    EXPECT_FALSE(ParseHelpWith("-passp12", "a\x98", s));
    // 255 and 256 one-byte characters: the UTF-16 room is 255 units.
    EXPECT_TRUE(ParseHelpWith("-passkv", std::string(255, '\xE0'), s));
    EXPECT_FALSE(ParseHelpWith("-passkv", std::string(256, '\xE0'), s));
    // Each of these needs two UTF-8 bytes: 127 fit in 255 bytes, 128 and 255 do not.
    EXPECT_TRUE(ParseHelpWith("-passp12", std::string(127, '\xE0'), s));
    EXPECT_EQ(std::string(s.p12Password).size(), 254u);
    EXPECT_FALSE(ParseHelpWith("-passp12", std::string(128, '\xE0'), s));
    EXPECT_FALSE(ParseHelpWith("-passp12", std::string(255, '\xE0'), s));
}

TEST(TextConversion, Utf16ToUtf8IsStrictAndBounded) {
    char out[8];
    size_t n = 0;
    ASSERT_TRUE(Utf16ToUtf8(u"\U0001F511a", out, sizeof out, &n));
    EXPECT_EQ(std::string(out, n),
              "\xF0\x9F\x94\x91"
              "a");
    const char16_t loneHigh[] = {0xD83D, u'a', 0};
    const char16_t loneLow[] = {u'a', 0xDD11, 0};
    EXPECT_FALSE(Utf16ToUtf8(loneHigh, out, sizeof out, &n));
    EXPECT_FALSE(Utf16ToUtf8(loneLow, out, sizeof out, &n));
    EXPECT_TRUE(Utf16ToUtf8(u"1234567", out, sizeof out, &n));  // 7 bytes + terminator
    EXPECT_FALSE(Utf16ToUtf8(u"12345678", out, sizeof out, &n));
    EXPECT_FALSE(Utf16ToUtf8(u"123456Ж", out, sizeof out, &n));  // 8 bytes + terminator
}

TEST(Language, FirstNonEmptyVariableDecides) {
    struct Row {
        const char* lcAll;
        const char* lcMessages;
        const char* lang;
        bool russian;
    };
    const Row rows[] = {
        {nullptr, nullptr, nullptr, false},
        {nullptr, nullptr, "ru_RU.UTF-8", true},
        {"", "", "ru_RU.KOI8-R", true},
        {"C", nullptr, "ru_RU.UTF-8", false},
        {"", "en_US.UTF-8", "ru_RU.UTF-8", false},
        {"", "ru_UA", "en_US", true},
        {"ru_RU", "en_US", "en_US", true},
        {nullptr, nullptr, "en_RU.UTF-8", false},
        {nullptr, nullptr, "r", false},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(LanguageIsRussian(r.lcAll, r.lcMessages, r.lang), r.russian)
            << (r.lcAll ? r.lcAll : "-") << " " << (r.lcMessages ? r.lcMessages : "-") << " "
            << (r.lang ? r.lang : "-");
    }
}

TEST_F(LocaleCodeset, OutputIsConvertedOnlyForAnotherCodeset) {
    const std::string text = "Привет ok\n";
    testing::internal::CaptureStdout();
    SetLocaleCodesetForTesting("KOI8-R");
    ASSERT_TRUE(ConsoleWrite(text.data(), text.size()));
    SetLocaleCodesetForTesting(nullptr);
    ASSERT_TRUE(ConsoleWrite(text.data(), text.size()));
    ConsoleFlush();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\xF0\xD2\xC9\xD7\xC5\xD4 ok\n" + text);
}

}  // namespace
}  // namespace keymend
