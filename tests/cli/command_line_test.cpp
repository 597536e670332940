// Command-line rules: acceptance of whole lines, and the fields each accepted line fills.
#include "cli/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/console.h"

namespace keymend {
namespace {

// Keeps the argument strings alive as long as the Settings that point into them.
struct Line {
    std::vector<std::string> args;
    std::vector<char*> argv;
    Settings settings;

    explicit Line(std::vector<std::string> a) : args(std::move(a)) {
        args.insert(args.begin(), "keymend");
        for (auto& s : args) argv.push_back(s.data());
    }
    bool Parse() { return ParseCommandLine(settings, static_cast<int>(argv.size()), argv.data()); }
};

bool Accepts(const std::vector<std::string>& args) {
    return Line(args).Parse();
}

std::string Repeat(const std::string& unit, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += unit;
    return s;
}

const std::string kCyr = "\xD0\x96";  // U+0416, two UTF-8 bytes

struct Case {
    std::vector<std::string> args;
    bool accepted;
};

TEST(CommandLine, AcceptsOrRefusesWholeLines) {
    SetLocaleCodesetForTesting(nullptr);
    const std::vector<Case> cases = {
        {{}, false},  // no command
        {{"-help"}, true},
        {{"-help", "-help"}, false},
        {{"-help", "-kvpublic", "-contfolder", "c"}, false},
        {{"-help", "-contfolder", "c"}, true},
        {{"-help", "-contfolder"}, true},  // value option standing last: not given
        {{"-help", "bogus"}, false},
        {{"-HELP"}, false},
        {{"-help", "-nomacverify"}, false},
        {{"-help", "-noMACVerify", "-noKVKM", "-ex", "-sg", "-dhallowed"}, true},
        {{"-kvpublic"}, false},
        {{"-kvpublic", "-contfolder"}, false},
        {{"-kvpublic", "-contfolder", "c"}, true},
        {{"-kvpublic", "-contfolder", "a", "-contfolder", "b"}, false},
        {{"-kvpublic", "-contfolder", "c", "-passkv", "-kvpublic"}, true},
        {{"-kvrepair", "-contfolder", "d"}, false},
        {{"-kvrepair", "-certex", "a"}, false},
        {{"-kvrepair", "-contfolder", "d", "-certsg", "s"}, true},
        {{"-kvrepair", "-contfolder", "d", "-certex", "e", "-certsg", "s"}, true},
        {{"-kvrepair", "-contfolder", "d", "-certex", "a", "-certex", "b"}, false},
        {{"-p12tokv", "-rdrfolder", "r", "-contname", "n", "-infile", "f"}, false},
        {{"-p12tokv", "-rdrfolder", "r", "-contname", "n", "-infile", "f", "-ex"}, true},
        {{"-p12tokv", "-contname", "n", "-infile", "f", "-sg"}, false},
        {{"-p12tokv", "-rdrfolder", "r", "-infile", "f", "-sg"}, false},
        {{"-p12tokv", "-rdrfolder", "r", "-contname", "n", "-sg"}, false},
        {{"-p12tokv", "-rdrfolder", "r", "-contname", "n", "-contname", "m", "-infile", "f", "-sg"},
         false},
        {{"-p12addtokv", "-ex", "-infile", "f", "-contfolder", "c"}, true},
        {{"-p12addtokv", "-infile", "f", "-contfolder", "c"}, false},
        {{"-p12addtokv", "-ex", "-contfolder", "c"}, false},
        {{"-p12addtokv", "-ex", "-infile", "f"}, false},
        // An option the command does not read is still checked.
        {{"-p12addtokv", "-sg", "-infile", "f", "-contfolder", "c", "-rdrfolder", "a", "-rdrfolder",
          "b"},
         false},
        {{"-kvpublic", "-p12tokv", "-contfolder", "c"}, false},
        // -provtype: digits spelling 75, 80 or 81 only.
        {{"-kvpublic", "-contfolder", "c", "-provtype", "75"}, true},
        {{"-kvpublic", "-contfolder", "c", "-provtype", "80"}, true},
        {{"-kvpublic", "-contfolder", "c", "-provtype", "81"}, true},
        {{"-kvpublic", "-contfolder", "c", "-provtype", "075"}, true},
        {{"-kvpublic", "-contfolder", "c", "-provtype", "+75"}, false},
        {{"-kvpublic", "-contfolder", "c", "-provtype", "75a"}, false},
        {{"-kvpublic", "-contfolder", "c", "-provtype", " 75"}, false},
        {{"-kvpublic", "-contfolder", "c", "-provtype", "76"}, false},
        {{"-kvpublic", "-contfolder", "c", "-provtype", ""}, false},
        {{"-kvpublic", "-contfolder", "c", "-provtype", "4294967371"}, false},  // 2^32 + 75
        // Length limits: OIDs and the PKCS#12 password 255 bytes, the container password 255
        // UTF-16 units.
        {{"-kvpublic", "-contfolder", "c", "-oid", std::string(255, '1')}, true},
        {{"-kvpublic", "-contfolder", "c", "-oid", std::string(256, '1')}, false},
        {{"-kvpublic", "-contfolder", "c", "-oid2", std::string(255, '1')}, true},
        {{"-help", "-passp12", std::string(255, 'p')}, true},
        {{"-help", "-passp12", std::string(256, 'p')}, false},
        {{"-help", "-passp12", Repeat(kCyr, 127)}, true},
        {{"-help", "-passp12", Repeat(kCyr, 128)}, false},
        {{"-help", "-passp12", Repeat(kCyr, 255)}, false},
        {{"-help", "-passkv", std::string(255, 'p')}, true},
        {{"-help", "-passkv", std::string(256, 'p')}, false},
        {{"-help", "-passkv", Repeat(kCyr, 255)}, true},
        {{"-help", "-passkv", Repeat(kCyr, 256)}, false},
        {{"-help", "-passkv", Repeat("\xF0\x9F\x94\x91", 127)}, true},  // 254 units
        {{"-help", "-passkv", Repeat("\xF0\x9F\x94\x91", 128)}, false},
        {{"-help", "-passkv", ""}, true},
        // Invalid UTF-8: truncated, overlong, surrogate, above U+10FFFF, stray continuation.
        {{"-help", "-passkv", "ab\xD0"}, false},
        {{"-help", "-passkv", "\xC0\xAF"}, false},
        {{"-help", "-passkv", "\xED\xA0\x80"}, false},
        {{"-help", "-passkv", "\xF4\x90\x80\x80"}, false},
        {{"-help", "-passkv", "\x80"}, false},
        {{"-help", "-passp12", "ab\xD0"}, false},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const auto& a : c.args) line += " [" + a.substr(0, 20) + "]";
        EXPECT_EQ(Accepts(c.args), c.accepted) << line;
    }
}

TEST(CommandLine, NoArgumentsAtAllIsWrong) {
    Settings s;
    char* none[] = {nullptr};
    EXPECT_FALSE(ParseCommandLine(s, 0, none));
}

TEST(CommandLine, FillsFieldsLastPasswordAndOidWin) {
    SetLocaleCodesetForTesting(nullptr);
    Line line({"-kvpublic",
               "-contfolder",
               "-ex",
               "-passkv",
               "first-password",
               "-passkv",
               "\xD0\xBF\xD0\xB0\xD1\x80\xD0\xBE\xD0\xBB\xD1\x8C",
               "-oid",
               "1.2.643.7.1.2.1.1.1",
               "-oid",
               "1.2",
               "-oid2",
               "1.2.643.2.2.35.1",
               "-provtype",
               "081",
               "-passp12",
               "\xD0\x96z",
               "-noKVKM",
               "-exportableex",
               "-dhallowed"});
    ASSERT_TRUE(line.Parse());
    const Settings& s = line.settings;
    EXPECT_STREQ(s.command, "-kvpublic");
    EXPECT_STREQ(s.contFolder, "-ex");
    EXPECT_EQ(s.keySpec, kKeySpecNone);
    EXPECT_EQ(std::u16string(s.containerPassword), u"пароль");
    EXPECT_STREQ(s.p12Password, "\xD0\x96z");
    EXPECT_STREQ(s.primaryOid, "1.2");
    EXPECT_STREQ(s.secondaryOid, "1.2.643.2.2.35.1");
    EXPECT_EQ(s.provType, 81u);
    EXPECT_EQ(s.useKeyMeshing, 0u);
    EXPECT_EQ(s.exportableEx, 1u);
    EXPECT_EQ(s.dhAllowed, 1u);
    EXPECT_EQ(s.exportableSg, 0u);
    EXPECT_EQ(s.extendHeader, 0u);
    EXPECT_EQ(s.noMacVerify, 0u);
    EXPECT_EQ(s.rdrFolder, nullptr);

    // A second parse into the same record starts again from the defaults.
    line.args = {"keymend",      "-p12tokv", "-rdrfolder", "r",   "-contname",    "n",
                 "-infile",      "f",        "-ex",        "-sg", "-noMACVerify", "-exportablesg",
                 "-extendheader"};
    line.argv.clear();
    for (auto& a : line.args) line.argv.push_back(a.data());
    ASSERT_TRUE(line.Parse());
    EXPECT_EQ(s.keySpec, kKeySpecSignature);
    EXPECT_EQ(s.contFolder, nullptr);
    EXPECT_STREQ(s.rdrFolder, "r");
    EXPECT_STREQ(s.contName, "n");
    EXPECT_STREQ(s.inFile, "f");
    EXPECT_EQ(s.containerPassword[0], u'\0');
    EXPECT_EQ(s.p12Password[0], '\0');
    EXPECT_EQ(s.primaryOid[0], '\0');
    EXPECT_EQ(s.provType, 0u);
    EXPECT_EQ(s.useKeyMeshing, 1u);
    EXPECT_EQ(s.noMacVerify, 1u);
    EXPECT_EQ(s.exportableSg, 1u);
    EXPECT_EQ(s.extendHeader, 1u);
    EXPECT_EQ(s.exportableEx, 0u);
}

TEST(CommandLine, LastOfExAndSgDecides) {
    Line sgLast({"-p12addtokv", "-infile", "f", "-contfolder", "c", "-ex", "-sg"});
    ASSERT_TRUE(sgLast.Parse());
    EXPECT_EQ(sgLast.settings.keySpec, kKeySpecSignature);
    Line exLast({"-p12addtokv", "-sg", "-infile", "f", "-contfolder", "c", "-ex", "-ex"});
    ASSERT_TRUE(exLast.Parse());
    EXPECT_EQ(exLast.settings.keySpec, kKeySpecExchange);
}

}  // namespace
}  // namespace keymend
