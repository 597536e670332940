// -kvcheck: what is wrong with a container, found by the checks the other commands make (the
// record decoders, the strict open's MAC, password and key checks, the tolerant open, the
// repair's plan and the public-key export), without changing a byte of the folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace keymend {

struct CheckOptions {
    const char* contFolder = nullptr;
    const char16_t* password = nullptr;  // NUL-terminated; null = empty
    const char* certEx = nullptr;        // certificate files given, or null
    const char* certSg = nullptr;
};

enum class CheckedFile { kOk, kMissing, kUnreadable, kTooLarge, kNotDer, kTrailingBytes };
struct FileCheck {
    const char* name = nullptr;
    CheckedFile state = CheckedFile::kMissing;
    uint64_t size = 0;    // kTooLarge: the file's length
    uint32_t offset = 0;  // kNotDer, kTrailingBytes: the first byte that is wrong
};

// A check value compared: it matches, it does not, or there is none to compare.
enum class CheckValue { kCorrect, kWrong, kAbsent };

// The key in one copy: decrypts to the header's check value, to another one, there is no check
// value to compare with, or the copy does not give it (masks not verified, field missing).
enum class CopyKey { kMatches, kDiffers, kNoCheckValue, kUnreadable };

enum class CertificateHolds { kThisKey, kNotThisKey, kNoKey, kUnknown };
struct CertificateCheck {
    std::string path;  // empty: the certificate recorded in the header
    bool readable = false;
    std::string subject;              // RFC 4514, UTF-8, control characters escaped
    std::string serial;               // hexadecimal
    std::string notBefore, notAfter;  // YYYY-MM-DD, UTC
    CertificateHolds holds = CertificateHolds::kUnknown;
};

struct KeyCheck {
    bool inHeader = false;  // the header describes it (the fields below)
    bool exchange = false;
    uint32_t providerType = 0;  // 0: the algorithm is unknown
    std::string algorithm, curve, digest, encryption;
    int flags = 0;
    CopyKey copies[2] = {CopyKey::kUnreadable, CopyKey::kUnreadable};
    int copiesAgree = -1;                        // 1 the same key, 0 different keys, -1 not known
    std::vector<CertificateCheck> certificates;  // header's first, then those given
};

enum class CheckVerdict {
    kHealthy,
    kRepairable,
    kNeedsCertificate,          // no certificate known for the keys
    kNeedsExchangeCertificate,  // the repair cannot verify this key without its certificate
    kNeedsSignatureCertificate,
    kCertificateUnusable,  // a certificate (given or recorded) the repair cannot use
    kNoCopyDecrypts,       // no copy gives the certificates' keys
    kFileBlocked,          // a key file's name is taken by something that is not a file
    kWrongPassword,
    kNotContainer,
    kPendingRewrite,  // an interrupted rewrite waits to be completed or undone
    kBusy,            // another command holds the container
};

// A certificate the repair is to be given: the file named, or the certificate recorded in the
// header for key `key` (1 or 2).
struct RepairCertificate {
    bool needed = false;
    std::string path;
    int key = 0;
};

struct ContainerCheck {
    std::string folder;
    std::string name;    // from name.key when it decodes; control characters escaped
    FileCheck files[6];  // name, header, primary, masks, primary2, masks2
    bool headerDecoded = false;
    CheckValue headerMac = CheckValue::kAbsent;
    CheckValue password = CheckValue::kAbsent;
    int headerFlags = -1;  // -1: none
    CheckValue maskChecks[2] = {CheckValue::kAbsent, CheckValue::kAbsent};
    std::vector<KeyCheck> keys;
    std::vector<CertificateCheck> unmatched;  // given certificates that hold no key here
    bool publicKeysRecoverable = false;       // -kvpublic would succeed
    CheckVerdict verdict = CheckVerdict::kNotContainer;
    RepairCertificate repairEx, repairSg;  // kRepairable: what -kvrepair is to be given
    int repairSource = 0;                  // kRepairable: the copy (1, 2) it rebuilds from
    // The key flags the header records, which -kvrepair keeps only when told to.
    bool exportableEx = false, exportableSg = false, dhAllowed = false;
    bool passwordGiven = false;
};

// Diagnoses the container. Nothing in the folder changes: it is read under its shared lock, and a
// rewrite cut short is reported, not finished.
void CheckContainer(const CheckOptions& options, ContainerCheck& out);

}  // namespace keymend
