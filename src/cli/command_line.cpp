#include "cli/command_line.h"

#include <cstring>
#include <utility>

#include "asn1/utf.h"
#include "crypto/context/secure_blob.h"
#include "platform/password_source.h"
#include "platform/text.h"

namespace keymend {

namespace {

constexpr size_t kMaxValueBytes = 255;  // -passp12, -oid, -oid2: longer values are refused

enum class Kind { kCommand, kFlag, kValue };

enum class Target {
    kNone,
    kKeyExchange,
    kSignature,
    kNoMacVerify,
    kNoKeyMeshing,
    kExportableEx,
    kExtendHeader,
    kExportableSg,
    kDhAllowed,
    kContFolder,
    kRdrFolder,
    kInFile,
    kContName,
    kCertEx,
    kCertSg,
    kContainerPassword,
    kP12Password,
    kContainerPasswordSource,
    kP12PasswordSource,
    kPrimaryOid,
    kSecondaryOid,
    kProvType,
    kOutDir,
};

struct Word {
    const char* text;
    Kind kind;
    Target target;
};

// Matched byte for byte against the whole argument; nothing is abbreviated.
constexpr Word kWords[] = {
    {kCommandImportNew, Kind::kCommand, Target::kNone},
    {kCommandImportAdd, Kind::kCommand, Target::kNone},
    {kCommandRepair, Kind::kCommand, Target::kNone},
    {kCommandPublicExport, Kind::kCommand, Target::kNone},
    {kCommandKeyExport, Kind::kCommand, Target::kNone},
    {kCommandCheck, Kind::kCommand, Target::kNone},
    {kCommandHelp, Kind::kCommand, Target::kNone},
    {kCommandVersion, Kind::kCommand, Target::kNone},
    {"-ex", Kind::kFlag, Target::kKeyExchange},
    {"-sg", Kind::kFlag, Target::kSignature},
    {"-noMACVerify", Kind::kFlag, Target::kNoMacVerify},
    {"-noKVKM", Kind::kFlag, Target::kNoKeyMeshing},
    {"-exportableex", Kind::kFlag, Target::kExportableEx},
    {"-extendheader", Kind::kFlag, Target::kExtendHeader},
    {"-exportablesg", Kind::kFlag, Target::kExportableSg},
    {"-dhallowed", Kind::kFlag, Target::kDhAllowed},
    {"-contfolder", Kind::kValue, Target::kContFolder},
    {"-rdrfolder", Kind::kValue, Target::kRdrFolder},
    {"-infile", Kind::kValue, Target::kInFile},
    {"-contname", Kind::kValue, Target::kContName},
    {"-certex", Kind::kValue, Target::kCertEx},
    {"-certsg", Kind::kValue, Target::kCertSg},
    {"-passkv", Kind::kValue, Target::kContainerPassword},
    {"-passp12", Kind::kValue, Target::kP12Password},
    {"-passkvin", Kind::kValue, Target::kContainerPasswordSource},
    {"-passp12in", Kind::kValue, Target::kP12PasswordSource},
    {"-oid", Kind::kValue, Target::kPrimaryOid},
    {"-oid2", Kind::kValue, Target::kSecondaryOid},
    {"-provtype", Kind::kValue, Target::kProvType},
    {"-outdir", Kind::kValue, Target::kOutDir},
};

const Word* FindWord(const char* arg) {
    for (const Word& word : kWords) {
        if (std::strcmp(arg, word.text) == 0) return &word;
    }
    return nullptr;
}

void ResetSettings(Settings& s) {
    SecureWipe(s.containerPassword, sizeof s.containerPassword);
    SecureWipe(s.p12Password, sizeof s.p12Password);
    std::memset(s.primaryOid, 0, sizeof s.primaryOid);
    std::memset(s.secondaryOid, 0, sizeof s.secondaryOid);
    s.command = s.contFolder = s.rdrFolder = s.inFile = s.contName = s.certEx = s.certSg = nullptr;
    s.outDir = nullptr;
    s.exportableEx = s.exportableSg = s.dhAllowed = 0;
    s.keySpec = kKeySpecNone;
    s.provType = 0;
    s.extendHeader = s.noMacVerify = 0;
    s.useKeyMeshing = 1;
}

void SetFlag(Settings& s, Target target) {
    switch (target) {
        case Target::kKeyExchange:
            s.keySpec = kKeySpecExchange;
            break;
        case Target::kSignature:
            s.keySpec = kKeySpecSignature;
            break;
        case Target::kNoMacVerify:
            s.noMacVerify = 1;
            break;
        case Target::kNoKeyMeshing:
            s.useKeyMeshing = 0;
            break;
        case Target::kExportableEx:
            s.exportableEx = 1;
            break;
        case Target::kExtendHeader:
            s.extendHeader = 1;
            break;
        case Target::kExportableSg:
            s.exportableSg = 1;
            break;
        case Target::kDhAllowed:
            s.dhAllowed = 1;
            break;
        default:
            break;
    }
}

// Path and name options may each be given once.
bool SetOnce(const char*& field, const char* value) {
    if (field != nullptr) return false;
    field = value;
    return true;
}

bool SetOid(char (&field)[256], const char* value) {
    size_t n = std::strlen(value);
    if (n > kMaxValueBytes) return false;
    std::memcpy(field, value, n + 1);
    return true;
}

// Digits only, spelling 75, 80 or 81 (leading zeros allowed; empty spells 0).
bool SetProvType(uint32_t& field, const char* value) {
    uint32_t number = 0;
    for (const char* p = value; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
        if (number < 1000) number = number * 10 + static_cast<uint32_t>(*p - '0');
    }
    if (number != kProvTypeGost2001 && number != kProvTypeGost2012_256 &&
        number != kProvTypeGost2012_512) {
        return false;
    }
    field = number;
    return true;
}

bool SetContainerPassword(Settings& s, const char* value) {
    SecureWipe(s.containerPassword, sizeof s.containerPassword);
    return ArgumentToUtf16(value, s.containerPassword,
                           sizeof s.containerPassword / sizeof(char16_t));
}

// Locale codeset to UTF-16, then to UTF-8; the input and the result are each at most 255 bytes.
bool SetP12Password(Settings& s, const char* value) {
    if (ArgumentLength(value) > kMaxValueBytes) return false;
    char16_t wide[256];
    ScopeExit wipeWide([&wide] { SecureWipe(wide, sizeof wide); });
    SecureWipe(s.p12Password, sizeof s.p12Password);
    return ArgumentToUtf16(value, wide, sizeof wide / sizeof(char16_t)) &&
           Utf16TextToUtf8(wide, s.p12Password, sizeof s.p12Password, nullptr);
}

bool SetValue(Settings& s, Target target, const char* value) {
    switch (target) {
        case Target::kContFolder:
            return SetOnce(s.contFolder, value);
        case Target::kRdrFolder:
            return SetOnce(s.rdrFolder, value);
        case Target::kInFile:
            return SetOnce(s.inFile, value);
        case Target::kContName:
            return SetOnce(s.contName, value);
        case Target::kCertEx:
            return SetOnce(s.certEx, value);
        case Target::kCertSg:
            return SetOnce(s.certSg, value);
        case Target::kOutDir:
            return SetOnce(s.outDir, value);
        case Target::kPrimaryOid:
            return SetOid(s.primaryOid, value);
        case Target::kSecondaryOid:
            return SetOid(s.secondaryOid, value);
        case Target::kProvType:
            return SetProvType(s.provType, value);
        default:
            return false;
    }
}

bool IsPassword(Target target) {
    return target == Target::kContainerPassword || target == Target::kP12Password ||
           target == Target::kContainerPasswordSource || target == Target::kP12PasswordSource;
}

bool IsSource(Target target) {
    return target == Target::kContainerPasswordSource || target == Target::kP12PasswordSource;
}

constexpr char kTextSource[] = "pass:";

bool StartsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// A password source: "pass:TEXT", or where ReadPasswordSource finds the text.
struct Source {
    bool text = false;
    PasswordSourceKind kind = PasswordSourceKind::kStandardInput;
    const char* argument = nullptr;  // TEXT, NAME, PATH or N
};

bool ParseSource(const char* value, Source* source) {
    static constexpr struct {
        const char* prefix;
        PasswordSourceKind kind;
    } kPrefixes[] = {{"env:", PasswordSourceKind::kEnvironment},
                     {"file:", PasswordSourceKind::kFile},
                     {"fd:", PasswordSourceKind::kDescriptor}};
    if (StartsWith(value, kTextSource)) {
        source->text = true;
        source->argument = value + std::strlen(kTextSource);
        return true;
    }
    for (const auto& p : kPrefixes) {
        if (StartsWith(value, p.prefix)) {
            *source = {false, p.kind, value + std::strlen(p.prefix)};
            return true;
        }
    }
    *source = {};
    return std::strcmp(value, "stdin") == 0;
}

// One password of the line: given as a value, or the argument index of its source.
struct PasswordOption {
    bool given = false;
    int sourceIndex = 0;
    Source source;
};

// The two passwords: -passkv / -passkvin and -passp12 / -passp12in.
struct PasswordOptions {
    PasswordOption container, p12;
};

bool SetPassword(Settings& s, bool container, const char* text) {
    return container ? SetContainerPassword(s, text) : SetP12Password(s, text);
}

// A value given again overwrites the earlier one; a source is one of a kind, and never beside a
// value.
bool TakePassword(Settings& s, PasswordOptions& options, Target target, int index,
                  const char* value) {
    const bool container =
        target == Target::kContainerPassword || target == Target::kContainerPasswordSource;
    PasswordOption& option = container ? options.container : options.p12;
    if (option.sourceIndex != 0 || (IsSource(target) && option.given)) return false;
    option.given = true;
    if (!IsSource(target)) return SetPassword(s, container, value);
    option.sourceIndex = index;
    return ParseSource(value, &option.source);
}

// Converts the text of a source exactly as the same text given as the option's value.
bool ReadSource(Settings& s, const PasswordOption& option, bool container) {
    if (option.source.text) return SetPassword(s, container, option.source.argument);
    SecureArray<kPasswordSourceRoom> text;
    char* chars = reinterpret_cast<char*>(text.data());
    return ReadPasswordSource(option.source.kind, option.source.argument, chars, text.size()) &&
           SetPassword(s, container, chars);
}

// Reads the sources that are not "pass:" texts, in the order the line gives them (two of them
// may take two lines of standard input).
bool ReadOtherSources(Settings& s, const PasswordOptions& options) {
    const PasswordOption* order[2] = {&options.container, &options.p12};
    if (options.p12.sourceIndex < options.container.sourceIndex) std::swap(order[0], order[1]);
    for (const PasswordOption* option : order) {
        if (option->sourceIndex != 0 && !option->source.text &&
            !ReadSource(s, *option, option == &options.container))
            return false;
    }
    return true;
}

// Overwrites, in the argument vector itself, the passwords given as values and as "pass:" texts.
// The walk is the parser's, but it goes on past words it does not know.
void HidePasswordArguments(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const Word* word = FindWord(argv[i]);
        if (word == nullptr || word->kind != Kind::kValue || i + 1 >= argc) continue;
        char* value = argv[++i];
        if (IsPassword(word->target) && (!IsSource(word->target) || StartsWith(value, kTextSource)))
            SecureWipe(value, std::strlen(value));
    }
}

bool IsCommand(const Settings& s, const char* word) {
    return std::strcmp(s.command, word) == 0;
}

bool MeetsRequirements(const Settings& s) {
    if (s.command == nullptr) return false;
    if (IsCommand(s, kCommandImportAdd)) {
        return s.keySpec != kKeySpecNone && s.inFile != nullptr && s.contFolder != nullptr;
    }
    if (IsCommand(s, kCommandImportNew)) {
        return s.keySpec != kKeySpecNone && s.inFile != nullptr && s.contName != nullptr &&
               s.rdrFolder != nullptr;
    }
    if (IsCommand(s, kCommandRepair)) {
        return s.contFolder != nullptr && (s.certEx != nullptr || s.certSg != nullptr);
    }
    if (IsCommand(s, kCommandPublicExport) || IsCommand(s, kCommandKeyExport) ||
        IsCommand(s, kCommandCheck)) {
        return s.contFolder != nullptr;
    }
    return IsCommand(s, kCommandHelp) || IsCommand(s, kCommandVersion);
}

// The walk itself: the first wrong argument ends it. Sources are only noted.
bool WalkArguments(Settings& settings, PasswordOptions& passwords, int argc, char** argv) {
    for (int i = 1; i < argc;) {
        const Word* word = FindWord(argv[i]);
        if (word == nullptr) return false;
        switch (word->kind) {
            case Kind::kCommand:
                if (settings.command != nullptr) return false;
                settings.command = argv[i];
                ++i;
                break;
            case Kind::kFlag:
                SetFlag(settings, word->target);
                ++i;
                break;
            case Kind::kValue:
                // Standing last, the option has no value: it counts as not given, except that a
                // password forgotten is a slip, not the empty password.
                if (i + 1 >= argc) return !IsPassword(word->target);
                if (IsPassword(word->target)
                        ? !TakePassword(settings, passwords, word->target, i + 1, argv[i + 1])
                        : !SetValue(settings, word->target, argv[i + 1]))
                    return false;
                i += 2;
                break;
        }
    }
    return true;
}

}  // namespace

bool ParseCommandLine(Settings& settings, int argc, char** argv) {
    ResetSettings(settings);
    if (argc <= 0 || argv == nullptr) return false;
    PasswordOptions passwords;
    const bool ok =
        WalkArguments(settings, passwords, argc, argv) && MeetsRequirements(settings) &&
        (!passwords.container.source.text || ReadSource(settings, passwords.container, true)) &&
        (!passwords.p12.source.text || ReadSource(settings, passwords.p12, false));
    // Hidden before any source is read that may keep the process waiting.
    HidePasswordArguments(argc, argv);
    return ok && ReadOtherSources(settings, passwords);
}

}  // namespace keymend
