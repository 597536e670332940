#include "cli/check_report.h"

#include <cstdio>

#include "cli/messages.h"
#include "platform/console.h"

namespace keymend {

namespace {

struct Report {
    Language language;
    std::string text;

    std::string Choice(int id, int index) const {
        return std::string(MessageChoice(id, index, language));
    }
    std::string Format(std::string_view pattern, const std::vector<std::string>& parameters) const {
        return FormatText(pattern, parameters);
    }
    void Line(const std::string& line, int indent = 0) {
        text.append(static_cast<size_t>(indent), ' ');
        text += line;
        text += '\n';
    }
};

std::string Hex(int value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value & 0xFF);
    return text;
}

// Arguments of the -kvrepair line are quoted when a shell would split or expand them.
std::string Argument(const std::string& word) {
    for (char c : word) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') ||
                           std::string_view("._/-+,:=@\\").find(c) != std::string_view::npos ||
                           static_cast<unsigned char>(c) >= 0x80;
        if (!plain) return "\"" + word + "\"";
    }
    return word.empty() ? "\"\"" : word;
}

std::string CheckWord(const Report& r, CheckValue value) {
    return r.Choice(kMsgCheckValue, static_cast<int>(value));
}

void FileLines(Report& r, const ContainerCheck& check) {
    for (const FileCheck& file : check.files) {
        std::string line = file.name;
        line.resize(14, ' ');
        const int state = static_cast<int>(file.state);
        const std::string number = std::to_string(
            file.state == CheckedFile::kTooLarge ? file.size : static_cast<uint64_t>(file.offset));
        const bool decoded =
            file.state == CheckedFile::kOk || file.state == CheckedFile::kTrailingBytes;
        const std::string name = file.name;
        if (decoded && name == "header.key") {
            line += r.Format(MessageText(kMsgCheckHeader, r.language),
                             {CheckWord(r, check.headerMac), CheckWord(r, check.password),
                              check.headerFlags < 0 ? "-" : Hex(check.headerFlags)});
            if (file.state == CheckedFile::kOk) {
                r.Line(line, 2);
                continue;
            }
            line += "; ";
        } else if (decoded && (name == "masks.key" || name == "masks2.key")) {
            line += r.Format(MessageText(kMsgCheckMasks, r.language),
                             {CheckWord(r, check.maskChecks[name == "masks.key" ? 0 : 1])});
            if (file.state == CheckedFile::kOk) {
                r.Line(line, 2);
                continue;
            }
            line += "; ";
        }
        line += r.Format(r.Choice(kMsgCheckFileState, state), {number});
        r.Line(line, 2);
    }
}

std::string Algorithm(const Report& r, uint32_t providerType) {
    switch (providerType) {
        case 75:
            return r.Format(MessageText(kMsgCheckAlgorithm, r.language), {"2001", "256"});
        case 80:
            return r.Format(MessageText(kMsgCheckAlgorithm, r.language), {"2012", "256"});
        case 81:
            return r.Format(MessageText(kMsgCheckAlgorithm, r.language), {"2012", "512"});
        default:
            return "?";
    }
}

void CertificateLine(Report& r, const CertificateCheck& cert, int indent) {
    const std::string where =
        cert.path.empty() ? r.Choice(kMsgCheckCertificateWords, 0) : cert.path;
    if (!cert.readable) {
        r.Line(r.Format(MessageText(kMsgCheckCertificate, r.language),
                        {where, "?", "?", "?", "?", r.Choice(kMsgCheckCertificateWords, 4)}),
               indent);
        return;
    }
    int holds = 5;
    switch (cert.holds) {
        case CertificateHolds::kThisKey:
            holds = 1;
            break;
        case CertificateHolds::kNotThisKey:
            holds = 2;
            break;
        case CertificateHolds::kNoKey:
            holds = 3;
            break;
        case CertificateHolds::kUnknown:
            break;
    }
    const auto orUnknown = [](const std::string& s) { return s.empty() ? std::string("?") : s; };
    r.Line(
        r.Format(MessageText(kMsgCheckCertificate, r.language),
                 {where, orUnknown(cert.subject), orUnknown(cert.serial), orUnknown(cert.notBefore),
                  orUnknown(cert.notAfter), r.Choice(kMsgCheckCertificateWords, holds)}),
        indent);
}

void KeyLines(Report& r, const ContainerCheck& check) {
    for (size_t i = 0; i < check.keys.size(); ++i) {
        const KeyCheck& key = check.keys[i];
        const std::string number = std::to_string(i + 1);
        if (key.inHeader) {
            std::string flags;
            if (key.flags & 0x80) flags += ", " + r.Choice(kMsgCheckKeyFlags, 0);
            if (key.flags & 0x08) flags += ", " + r.Choice(kMsgCheckKeyFlags, 1);
            const auto orNone = [](const std::string& s) {
                return s.empty() ? std::string("-") : s;
            };
            r.Line(r.Format(MessageText(kMsgCheckKey, r.language),
                            {number, r.Choice(kMsgCheckPurpose, key.exchange ? 1 : 0),
                             Algorithm(r, key.providerType), key.algorithm, orNone(key.curve),
                             orNone(key.digest), orNone(key.encryption), flags}));
        } else {
            r.Line(r.Format(MessageText(kMsgCheckKeyUndescribed, r.language), {number}));
        }
        for (int c = 0; c < 2; ++c) {
            r.Line(r.Format(r.Choice(kMsgCheckCopy, static_cast<int>(key.copies[c])),
                            {std::to_string(c + 1)}),
                   2);
        }
        if (key.copiesAgree >= 0)
            r.Line(r.Choice(kMsgCheckCopiesAgree, key.copiesAgree ? 0 : 1), 2);
        for (const CertificateCheck& cert : key.certificates) CertificateLine(r, cert, 2);
    }
    // Certificates given that hold no key of the container stand on their own.
    for (const CertificateCheck& cert : check.unmatched) CertificateLine(r, cert, 0);
}

std::string RepairCommandLine(const Report& r, const ContainerCheck& check) {
    std::string line = "keymend -kvrepair -contfolder " + Argument(check.folder);
    const std::pair<const char*, const RepairCertificate*> certificates[] = {
        {" -certex ", &check.repairEx}, {" -certsg ", &check.repairSg}};
    for (const auto& [option, cert] : certificates) {
        if (!cert->needed) continue;
        line += option;
        line += cert->path.empty() ? r.Format(MessageText(kMsgCheckCertificateOfKey, r.language),
                                              {std::to_string(cert->key)})
                                   : Argument(cert->path);
    }
    if (check.exportableEx) line += " -exportableex";
    if (check.exportableSg) line += " -exportablesg";
    if (check.dhAllowed) line += " -dhallowed";
    if (check.passwordGiven) line += " -passkv ...";
    return line;
}

int VerdictMessage(CheckVerdict verdict) {
    switch (verdict) {
        case CheckVerdict::kHealthy:
            return kMsgCheckHealthy;
        case CheckVerdict::kRepairable:
            return kMsgCheckRepairable;
        case CheckVerdict::kNeedsCertificate:
            return kMsgCheckNeedsCertificate;
        case CheckVerdict::kNeedsExchangeCertificate:
            return kMsgCheckNeedsExchangeCertificate;
        case CheckVerdict::kNeedsSignatureCertificate:
            return kMsgCheckNeedsSignatureCertificate;
        case CheckVerdict::kCertificateUnusable:
            return kMsgCheckCertificateUnusable;
        case CheckVerdict::kNoCopyDecrypts:
            return kMsgCheckNoCopyDecrypts;
        case CheckVerdict::kWrongPassword:
            return kMsgCheckWrongPassword;
        case CheckVerdict::kPendingRewrite:
            return kMsgCheckPendingRewrite;
        case CheckVerdict::kFileBlocked:
            return kMsgCheckFileBlocked;
        case CheckVerdict::kNotContainer:
        case CheckVerdict::kBusy:
            return kMsgCheckNotContainer;
    }
    return kMsgCheckNotContainer;
}

}  // namespace

std::string CheckReportText(const ContainerCheck& check, Language language) {
    Report r{language, {}};
    r.Line(r.Format(MessageText(kMsgCheckContainer, language), {check.folder, check.name}));
    FileLines(r, check);
    KeyLines(r, check);
    r.Line(r.Choice(kMsgCheckPublicKeys, check.publicKeysRecoverable ? 0 : 1));
    if (check.verdict == CheckVerdict::kRepairable) {
        r.Line(r.Format(MessageText(kMsgCheckRepairSource, language),
                        {std::to_string(check.repairSource)}));
    }
    const int verdict = VerdictMessage(check.verdict);
    r.Line(r.Format(MessageText(verdict, language),
                    {check.verdict == CheckVerdict::kRepairable ? RepairCommandLine(r, check)
                                                                : std::string()}));
    return r.text;
}

CommandResult RunCheck(const Settings& settings) {
    CheckOptions options;
    options.contFolder = settings.contFolder;
    options.password = settings.containerPassword;
    options.certEx = settings.certEx;
    options.certSg = settings.certSg;
    ContainerCheck check;
    CheckContainer(options, check);
    if (check.verdict == CheckVerdict::kBusy) return {false, CommandFailure::kContainerBusy};
    const Language language = UserInterfaceIsRussian() ? Language::kRussian : Language::kEnglish;
    const std::string report = CheckReportText(check, language);
    ConsoleWrite(report.data(), report.size());
    return {check.verdict == CheckVerdict::kHealthy, CommandFailure::kNone};
}

}  // namespace keymend
