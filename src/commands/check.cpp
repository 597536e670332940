#include "commands/check.h"

#include <cstdio>

#include "commands/certificate_file.h"
#include "commands/public_export.h"
#include "commands/repair.h"
#include "container/container.h"
#include "container/protection.h"
#include "crypto/context/crypto_context.h"
#include "crypto/ec/curve.h"
#include "crypto/ec/keypair.h"
#include "unicode/utf8.h"
#include "x509/certificate.h"

namespace keymend {

namespace {

constexpr ContainerFile kFiles[6] = {ContainerFile::kName,     ContainerFile::kHeader,
                                     ContainerFile::kPrimary,  ContainerFile::kMasks,
                                     ContainerFile::kPrimary2, ContainerFile::kMasks2};

CheckedFile Checked(FileState state) {
    switch (state) {
        case FileState::kOk:
            return CheckedFile::kOk;
        case FileState::kMissing:
            return CheckedFile::kMissing;
        case FileState::kUnreadable:
            return CheckedFile::kUnreadable;
        case FileState::kTooLarge:
            return CheckedFile::kTooLarge;
        case FileState::kNotDer:
            return CheckedFile::kNotDer;
        case FileState::kTrailingBytes:
            return CheckedFile::kTrailingBytes;
    }
    return CheckedFile::kUnreadable;
}

CheckValue Compared(bool matches) {
    return matches ? CheckValue::kCorrect : CheckValue::kWrong;
}

// The container name as text to print: UTF-8 characters as they are; control characters, the
// backslash and bytes that are not UTF-8 as a backslash and two hex digits.
std::string PrintableName(const SecureBlob& name) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < name.size();) {
        uint32_t code = 0;
        const size_t n = Utf8Decode(name.data() + i, name.size() - i, &code);
        const bool printable =
            code >= 0x20 && code != 0x7F && code != '\\' && (code < 0x80 || code > 0x9F);
        if (n != 0 && printable) {
            out.append(reinterpret_cast<const char*>(name.data() + i), n);
            i += n;
        } else {
            out += '\\';
            out += kHex[name[i] >> 4];
            out += kHex[name[i] & 15];
            ++i;
        }
    }
    return out;
}

std::string Date(const CalendarTime& t) {
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u", t.year, t.month, t.day);
    return text;
}

// A certificate's descriptive fields; `holds` is left for the caller.
void Describe(const CertificateInfo& info, CertificateCheck& out) {
    out.readable = true;
    if (!info.described) return;
    out.subject = info.subject;
    static const char kHex[] = "0123456789ABCDEF";
    for (uint8_t b : info.serialNumber) {
        out.serial += kHex[b >> 4];
        out.serial += kHex[b & 15];
    }
    out.notBefore = Date(info.notBefore);
    out.notAfter = Date(info.notAfter);
}

// The copies' view of one key slot: its masked key and mask in each copy (null when the copy
// does not give it).
struct SlotKeys {
    const SecureBlob* key[2] = {nullptr, nullptr};
    const SecureBlob* mask[2] = {nullptr, nullptr};
};

SlotKeys KeysOfSlot(const ContainerImage* image, int slot) {
    SlotKeys keys;
    if (image == nullptr) return keys;
    const KeyFileRecord* files[2] = {&image->primary, &image->primary2};
    const MaskFileRecord* masks[2] = {&image->masks, &image->masks2};
    for (int c = 0; c < 2; ++c) {
        const SecureBlob& key =
            slot == 0 ? files[c]->firstKeyDecrypted : files[c]->secondKeyDecrypted;
        if (!key.empty() && !masks[c]->mask.empty()) {
            keys.key[c] = &key;
            keys.mask[c] = &masks[c]->mask;
        }
    }
    return keys;
}

// Whether the certificate holds the slot's key as one of the copies gives it (a copy confirmed
// by the header first).
CertificateHolds Holds(const CertificateInfo& info, const SlotKeys& keys, const KeyCheck& key) {
    bool any = false;
    for (int pass = 0; pass < 2; ++pass) {
        for (int c = 0; c < 2; ++c) {
            if (keys.key[c] == nullptr || (pass == 0) != (key.copies[c] == CopyKey::kMatches)) {
                continue;
            }
            any = true;
            if (CertificateHoldsKey(info, *keys.key[c], *keys.mask[c])) {
                return CertificateHolds::kThisKey;
            }
            if (pass == 0) return CertificateHolds::kNotThisKey;  // the confirmed key decides
        }
    }
    return any ? CertificateHolds::kNotThisKey : CertificateHolds::kUnknown;
}

// Per copy: does it give the key, and does the key have the header's check value (the strict
// open's KeyMatchesCheck); then whether both copies hold the same key on the key's curve.
void CheckCopies(const KeyProperties* entry, const SlotKeys& keys, KeyCheck& out) {
    const char* curve =
        entry != nullptr ? ParamSetCanonicalOidText(entry->publicKeyParamSet.c_str()) : nullptr;
    const bool checkable = curve != nullptr && entry->publicKeyCheck.size() == kPublicKeyCheckSize;
    for (int c = 0; c < 2; ++c) {
        if (keys.key[c] == nullptr) {
            out.copies[c] = CopyKey::kUnreadable;
        } else if (!checkable) {
            out.copies[c] = CopyKey::kNoCheckValue;
        } else {
            out.copies[c] = KeyMatchesCheck(*keys.key[c], *keys.mask[c], *entry)
                                ? CopyKey::kMatches
                                : CopyKey::kDiffers;
        }
    }
    if (out.copies[0] == CopyKey::kMatches && out.copies[1] == CopyKey::kMatches) {
        out.copiesAgree = 1;
    } else if (curve != nullptr && keys.key[0] != nullptr && keys.key[1] != nullptr) {
        SecureArray<kPublicKeyCheckSize> check[2];
        bool computed = true;
        for (int c = 0; c < 2; ++c) {
            computed =
                computed && PublicKeyCheckValue(check[c].data(), keys.key[c]->data(),
                                                keys.key[c]->size(), keys.mask[c]->data(),
                                                keys.mask[c]->size(), curve, MaskStep::kDivide);
        }
        if (computed) {
            out.copiesAgree =
                ConstantTimeEqual(check[0].data(), check[1].data(), kPublicKeyCheckSize) ? 1 : 0;
        }
    }
}

void DescribeEntry(const KeyProperties& entry, KeyCheck& out) {
    out.inHeader = true;
    out.exchange = IsKeyAgreementOid(entry.algorithm.c_str());
    out.providerType = ProviderTypeOfOid(entry.algorithm);
    out.algorithm = entry.algorithm.c_str();
    out.curve = entry.publicKeyParamSet.c_str();
    out.digest = entry.digestParamSet.c_str();
    out.encryption = entry.encryptionParamSet.c_str();
    out.flags = entry.flags.empty() ? 0 : entry.flags[0];
}

// A certificate given on the command line, read once.
struct GivenCertificate {
    const char* path = nullptr;
    bool loaded = false;
    CertificateInfo info;
};

// What -kvrepair is to be given for one purpose: the file given to -kvcheck, else the
// certificate the header records for the key of that purpose.
CertificateSource RepairSource(const GivenCertificate& given, const ContainerImage& image,
                               bool exchange, RepairCertificate& named) {
    CertificateSource source;
    if (given.path != nullptr) {
        source.path = given.path;
        named = {true, given.path, 0};
        return source;
    }
    const KeyProperties* entries[2] = {&image.header.firstKey, &image.header.secondKey};
    for (int slot = 0; slot < 2; ++slot) {
        const KeyProperties& entry = *entries[slot];
        if (entry.certificate.empty() || entry.algorithm.empty() ||
            IsKeyAgreementOid(entry.algorithm.c_str()) != exchange) {
            continue;
        }
        source.data = entry.certificate.data();
        source.size = entry.certificate.size();
        named = {true, std::string(), slot + 1};
        return source;
    }
    return source;
}

CheckVerdict VerdictOfPlan(RepairPlanResult result) {
    switch (result) {
        case RepairPlanResult::kRepairable:
            return CheckVerdict::kRepairable;
        case RepairPlanResult::kNoCertificate:
            return CheckVerdict::kNeedsCertificate;
        case RepairPlanResult::kCertificateUnusable:
            return CheckVerdict::kCertificateUnusable;
        case RepairPlanResult::kNoCopyOpens:
        case RepairPlanResult::kNoCopyMatches:
            return CheckVerdict::kNoCopyDecrypts;
        case RepairPlanResult::kExchangeKeyUnverified:
            return CheckVerdict::kNeedsExchangeCertificate;
        case RepairPlanResult::kSignatureKeyUnverified:
            return CheckVerdict::kNeedsSignatureCertificate;
        case RepairPlanResult::kFileBlocked:
            return CheckVerdict::kFileBlocked;
    }
    return CheckVerdict::kNoCopyDecrypts;
}

// What the steps of one check share: the folder, the image its files decoded into, the copies
// as the tolerant open gives them, and what the header and the given certificates tell.
struct CheckRun {
    const CheckOptions& options;
    ContainerCheck& out;
    FolderHandle folder = {};
    ContainerImagePtr image = {};
    ContainerImagePtr copies = {};
    GivenCertificate given[2] = {};  // exchange, signature
    uint32_t providerType = 0;
    const char* paramSet = nullptr;
    bool anyDecoded = false;
    bool allOk = true;
};

bool Decoded(CheckedFile state) {
    return state == CheckedFile::kOk || state == CheckedFile::kTrailingBytes;
}

void InspectFiles(CheckRun& run) {
    for (int i = 0; i < 6; ++i) {
        const FileInspection found = InspectContainerFile(run.folder, kFiles[i], *run.image);
        run.out.files[i].state = Checked(found.state);
        run.out.files[i].size = found.size;
        run.out.files[i].offset = found.offset;
        run.anyDecoded = run.anyDecoded || found.decoded;
        run.allOk = run.allOk && found.state == FileState::kOk;
    }
    if (Decoded(run.out.files[0].state)) run.out.name = PrintableName(run.image->name);
}

// The header, with the strict open's own checks.
void CheckHeader(CheckRun& run) {
    const HeaderRecord& header = run.image->header;
    run.out.headerDecoded = Decoded(run.out.files[1].state);
    if (!run.out.headerDecoded) return;
    run.providerType = ProviderTypeOfOid(header.firstKey.algorithm);
    run.paramSet = ContainerParamSet(header.firstKey.encryptionParamSet, run.providerType);
    run.out.headerMac = Compared(HeaderMacPasses(header));
    if (HasPasswordCheck(header)) {
        run.out.password = Compared(run.paramSet != nullptr &&
                                    PasswordCheckPasses(header, run.options.password,
                                                        run.providerType, run.paramSet));
    }
    run.out.headerFlags = header.flags.empty() ? -1 : header.flags[0];
}

void LoadGivenCertificates(CheckRun& run) {
    run.given[0].path = run.options.certEx;
    run.given[1].path = run.options.certSg;
    for (GivenCertificate& cert : run.given) {
        cert.loaded = cert.path != nullptr && LoadCertificateFile(cert.path, cert.info);
        if (run.providerType == 0 && cert.loaded) {
            run.providerType = ProviderTypeOfOid(cert.info.algorithmOid.c_str());
        }
    }
}

// The copies as the tolerant open (-kvpublic's) gives them; the mask checks under the parameter
// set they open under.
void OpenCopies(CheckRun& run) {
    const char* openedSet = nullptr;
    run.copies = OpenContainerAnyParamSet(run.folder, run.options.password, run.providerType,
                                          TolerantHeader::kRead, run.paramSet, &openedSet);
    const char* maskSet = openedSet != nullptr ? openedSet : run.paramSet;
    const MaskFileRecord* masks[2] = {&run.image->masks, &run.image->masks2};
    for (int c = 0; c < 2; ++c) {
        if (!Decoded(run.out.files[c == 0 ? 3 : 5].state)) continue;
        run.out.maskChecks[c] =
            Compared(maskSet != nullptr && MaskCheckPasses(*masks[c], maskSet));
    }
}

// The keys: those the header describes and those the copies hold.
void CheckKeys(CheckRun& run) {
    const HeaderRecord& header = run.image->header;
    const KeyProperties* entries[2] = {&header.firstKey, &header.secondKey};
    for (int slot = 0; slot < 2; ++slot) {
        const SlotKeys keys = KeysOfSlot(run.copies.get(), slot);
        const bool described = run.out.headerDecoded && !entries[slot]->algorithm.empty();
        if (!described && keys.key[0] == nullptr && keys.key[1] == nullptr) continue;
        KeyCheck key;
        if (described) DescribeEntry(*entries[slot], key);
        CheckCopies(run.out.headerDecoded ? entries[slot] : nullptr, keys, key);
        if (described && !entries[slot]->certificate.empty()) {
            CertificateCheck cert;
            CertificateInfo info;
            if (ParseCertificateFile(entries[slot]->certificate.data(),
                                     entries[slot]->certificate.size(), info)) {
                Describe(info, cert);
                cert.holds = Holds(info, keys, key);
            }
            key.certificates.push_back(cert);
        }
        if (described) {
            const bool exportable = (key.flags & kKeyFlagExportable) != 0;
            (key.exchange ? run.out.exportableEx : run.out.exportableSg) |= exportable;
            run.out.dhAllowed |= !key.exchange && (key.flags & kKeyFlagDhAllowed) != 0;
        }
        run.out.keys.push_back(std::move(key));
    }
}

// Each given certificate goes to the key whose public key it holds, else to the unmatched ones.
void MatchGivenCertificates(CheckRun& run) {
    for (const GivenCertificate& cert : run.given) {
        if (cert.path == nullptr) continue;
        CertificateCheck check;
        check.path = cert.path;
        if (cert.loaded) Describe(cert.info, check);
        KeyCheck* owner = nullptr;
        for (size_t slot = 0; cert.loaded && slot < run.out.keys.size() && owner == nullptr;
             ++slot) {
            const SlotKeys keys = KeysOfSlot(run.copies.get(), static_cast<int>(slot));
            if (Holds(cert.info, keys, run.out.keys[slot]) == CertificateHolds::kThisKey) {
                owner = &run.out.keys[slot];
            }
        }
        check.holds = owner != nullptr ? CertificateHolds::kThisKey : CertificateHolds::kNoKey;
        (owner != nullptr ? owner->certificates : run.out.unmatched).push_back(check);
    }
}

// What the other commands make of it, each by its own function.
void Judge(CheckRun& run, bool pendingRewrite) {
    ContainerCheck& out = run.out;
    OpenFailure strictFailure = OpenFailure::kNone;
    const bool strictOk =
        OpenContainerStrict(run.folder, run.options.password, &strictFailure) != nullptr;
    SecureBlob primary, secondary;
    out.publicKeysRecoverable =
        ExportPublicKeys(run.folder, run.options.password, nullptr, nullptr, 0, primary, secondary);

    if (pendingRewrite) {
        out.verdict = CheckVerdict::kPendingRewrite;
    } else if (!run.anyDecoded) {
        out.verdict = CheckVerdict::kNotContainer;
    } else if (strictOk && run.allOk) {
        out.verdict = CheckVerdict::kHealthy;
    } else if (out.headerMac == CheckValue::kCorrect && out.password == CheckValue::kWrong) {
        out.verdict = CheckVerdict::kWrongPassword;
    } else {
        const CertificateSource ex = RepairSource(run.given[0], *run.image, true, out.repairEx);
        const CertificateSource sg = RepairSource(run.given[1], *run.image, false, out.repairSg);
        const RepairPlan plan = PlanRepair(run.folder, run.options.password, ex, sg);
        out.verdict = VerdictOfPlan(plan.result);
        out.repairSource = plan.firstCopyIsSource ? 1 : 2;
        if (out.verdict != CheckVerdict::kRepairable) out.repairEx = out.repairSg = {};
    }
}

}  // namespace

void CheckContainer(const CheckOptions& options, ContainerCheck& out) {
    out = ContainerCheck();
    out.folder = NormalizeFolder(options.contFolder);
    out.passwordGiven = options.password != nullptr && options.password[0] != u'\0';
    for (int i = 0; i < 6; ++i) out.files[i].name = ContainerFileName(kFiles[i]);

    CheckRun run{options, out};
    bool pendingRewrite = false;
    const FolderStatus opened =
        OpenContainerFolderUnchanged(options.contFolder, run.folder, &pendingRewrite);
    if (opened != FolderStatus::kOpened) {
        out.verdict =
            opened == FolderStatus::kBusy ? CheckVerdict::kBusy : CheckVerdict::kNotContainer;
        return;
    }
    run.image = CreateContainerImage();
    if (!run.image) return;
    InspectFiles(run);
    CheckHeader(run);
    LoadGivenCertificates(run);
    OpenCopies(run);
    CheckKeys(run);
    MatchGivenCertificates(run);
    Judge(run, pendingRewrite);
}

}  // namespace keymend
