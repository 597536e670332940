// Command lines over the cases of command_line.vec (acceptance, the fields filled, passwords from
// the locale's codeset, what the built binary prints), UTF-16 to UTF-8, the interface language and
// console output conversion.
#include "asn1/utf.h"
#include "cli/command_line.h"

#include <gtest/gtest.h>

#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/text.h"
#include "support/test_support.h"
#include "platform/seams.h"

namespace keymend {
namespace {

std::string Text(const char* p) {
    return p ? p : "-";
}
std::string Text(uint32_t n) {
    return std::to_string(n);
}
std::string Text(const char16_t* p) {
    char out[1024];
    size_t n = 0;
    return Utf16TextToUtf8(p, out, sizeof out, &n) ? std::string(out, n) : "not UTF-16";
}

// Every Settings field as text: '-' for a null reference, passwords in UTF-8.
std::map<std::string, std::string> FieldsOf(const Settings& s) {
#define FIELD(name) \
    { #name, Text(s.name) }
    return {FIELD(command),     FIELD(contFolder),    FIELD(rdrFolder),    FIELD(inFile),
            FIELD(contName),    FIELD(certEx),        FIELD(certSg),       FIELD(containerPassword),
            FIELD(p12Password), FIELD(primaryOid),    FIELD(secondaryOid), FIELD(keySpec),
            FIELD(provType),    FIELD(useKeyMeshing), FIELD(exportableEx), FIELD(exportableSg),
            FIELD(dhAllowed),   FIELD(extendHeader),  FIELD(noMacVerify),  FIELD(outDir)};
#undef FIELD
}

TEST(CommandLine, Vectors) {
    Settings settings;
    std::vector<std::string> keys = {"Args", "Arg", "Times", "Codeset", "Out", "Env", "Prints"};
    for (const auto& [field, value] : FieldsOf(settings)) keys.push_back(field);
    for (const auto& r : test::LoadVectors("cli/command_line.vec", keys)) {
        std::istringstream words("keymend " + (r.Has("Args") ? r.Get("Args") : ""));
        std::vector<std::string> args{std::istream_iterator<std::string>(words), {}};
        if (r.Has("Arg")) {
            const test::Bytes unit = r.Hex("Arg");
            args.emplace_back();
            for (int i = r.Has("Times") ? std::stoi(r.Get("Times")) : 1; i > 0; --i) {
                args.back().append(unit.begin(), unit.end());
            }
        }
        // The parser overwrites the passwords in the vector it is given: it gets a copy.
        std::vector<std::string> copies = args;
        std::vector<char*> argv;
        std::string line;
        for (auto& a : copies) {
            argv.push_back(a.data());
            line += " [" + a.substr(0, 20) + "]";
        }
        SCOPED_TRACE(line);
        SetLocaleCodesetForTesting(r.Has("Codeset") ? r.Get("Codeset").c_str() : nullptr);
        const bool ok = ParseCommandLine(settings, static_cast<int>(argv.size()), argv.data());
        SetLocaleCodesetForTesting(nullptr);
        ASSERT_EQ(ok ? "accepted" : "refused", r.Get("Out"));
        for (const auto& [field, value] : FieldsOf(settings)) {
            if (r.Has(field)) {
                EXPECT_EQ(value, r.Get(field)) << field;
            }
        }
        if (r.Has("Prints")) {  // the built binary prints that file, byte for byte
            std::istringstream vars(r.Get("Env"));
            const std::vector<std::string> env{std::istream_iterator<std::string>(vars), {}};
            const test::RunResult run = test::RunKeymend({args.begin() + 1, args.end()}, env);
            const test::Bytes golden =
                test::ReadFileBytes(test::DataPath("cli/" + r.Get("Prints")));
            EXPECT_EQ(run.exitCode, ok ? 0 : 2);
            EXPECT_EQ(run.out, std::string(golden.begin(), golden.end())) << r.Get("Prints");
        }
    }
    char* none[] = {nullptr};
    EXPECT_FALSE(ParseCommandLine(settings, 0, none));
}

TEST(TextConversion, Utf16ToUtf8IsStrictAndBounded) {
    char out[8];
    size_t n = 0;
    ASSERT_TRUE(Utf16TextToUtf8(u"\U0001F511a", out, sizeof out, &n));
    EXPECT_EQ(std::string(out, n),
              "\xF0\x9F\x94\x91"
              "a");
    const char16_t loneHigh[] = {0xD83D, u'a', 0};
    const char16_t loneLow[] = {u'a', 0xDD11, 0};
    EXPECT_FALSE(Utf16TextToUtf8(loneHigh, out, sizeof out, &n));
    EXPECT_FALSE(Utf16TextToUtf8(loneLow, out, sizeof out, &n));
    EXPECT_TRUE(Utf16TextToUtf8(u"1234567", out, sizeof out, &n));  // 7 bytes + terminator
    EXPECT_FALSE(Utf16TextToUtf8(u"12345678", out, sizeof out, &n));
    EXPECT_FALSE(Utf16TextToUtf8(u"123456Ж", out, sizeof out, &n));  // 8 bytes + terminator
}

TEST(Language, FirstNonEmptyVariableDecides) {
    for (const auto& r :
         test::LoadVectors("cli/language.vec", {"LcAll", "LcMessages", "Lang", "Russian"})) {
        auto var = [&](const char* key) { return r.Has(key) ? r.Get(key).c_str() : nullptr; };
        const bool russian = LanguageIsRussian(var("LcAll"), var("LcMessages"), var("Lang"));
        EXPECT_EQ(russian ? "yes" : "no", r.Get("Russian")) << var("Lang");
    }
}

TEST(Console, OutputIsConvertedOnlyForAnotherCodeset) {
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
