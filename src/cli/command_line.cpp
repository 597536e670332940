#include "cli/command_line.h"

#include <cstring>

#include "crypto/context/secure_blob.h"
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
    kPrimaryOid,
    kSecondaryOid,
    kProvType,
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
    {kCommandHelp, Kind::kCommand, Target::kNone},
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
    {"-oid", Kind::kValue, Target::kPrimaryOid},
    {"-oid2", Kind::kValue, Target::kSecondaryOid},
    {"-provtype", Kind::kValue, Target::kProvType},
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
           Utf16ToUtf8(wide, s.p12Password, sizeof s.p12Password, nullptr);
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
        case Target::kContainerPassword:
            return SetContainerPassword(s, value);
        case Target::kP12Password:
            return SetP12Password(s, value);
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
    if (IsCommand(s, kCommandPublicExport)) return s.contFolder != nullptr;
    return IsCommand(s, kCommandHelp);
}

}  // namespace

bool ParseCommandLine(Settings& settings, int argc, char** argv) {
    ResetSettings(settings);
    if (argc <= 0 || argv == nullptr) return false;

    // The first wrong argument ends the walk.
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
                // Standing last, the option has no value: it counts as not given.
                if (i + 1 >= argc) return MeetsRequirements(settings);
                if (!SetValue(settings, word->target, argv[i + 1])) return false;
                i += 2;
                break;
        }
    }
    return MeetsRequirements(settings);
}

}  // namespace keymend
