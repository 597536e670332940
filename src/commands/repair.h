// Container repair: rebuilds the header of a damaged container from the certificates of its keys
// and rewrites both key copies under fresh masks and salts.
#pragma once

#include <cstdint>
#include <string>

#include "crypto/context/secure_blob.h"
#include "platform/folder.h"
#include "settings/settings.h"
#include "x509/certificate.h"

namespace keymend {

struct RepairOptions {
    const char* certEx = nullptr;  // certificate file of the key-exchange key, or null
    const char* certSg = nullptr;  // certificate file of the signature key, or null
    const char* contFolder = nullptr;
    const char16_t* password = nullptr;  // container password, NUL-terminated; null = empty
    bool dhAllowed = false;
    bool exportableEx = false;
    bool exportableSg = false;
    bool extendHeader = false;
};

// Why a repair ended as it did, and the parameters it assumed for the key without certificate
// (empty when the old header confirmed them, or every key was certified).
enum class RepairResult {
    kRepaired,
    kFailed,
    kBusy,                    // another command holds the container
    kExchangeKeyUnverified,   // its certificate would settle which copy to trust
    kSignatureKeyUnverified,
};
struct RepairReport {
    RepairResult result = RepairResult::kFailed;
    std::string assumedCurve, assumedDigest;
};

// Runs the repair under the folder's exclusive lock. A copy is the source only when each of its
// keys is verified: by its certificate, else by the old header's check value (which also
// confirms its curve and digest parameters), else by both copies holding the same key. False
// on any failure; nothing is written unless the container was opened and a source found, and a
// failed rewrite leaves the old container.
bool RepairContainer(const RepairOptions& options, RepairReport* report = nullptr);

// A certificate for the repair: a file, or the DER bytes of one (as a header records it).
struct CertificateSource {
    const char* path = nullptr;
    const uint8_t* data = nullptr;
    size_t size = 0;
    bool Given() const { return path != nullptr || data != nullptr; }
};

// What the repair would do with these certificates and password, decided as RepairContainer
// decides it (the same steps, up to the choice of the source copy) and without changing
// anything. The folder is read through `folder`, opened by the caller under any lock.
enum class RepairPlanResult {
    kRepairable,
    kNoCertificate,        // neither certificate given
    kCertificateUnusable,  // one cannot be read, is not a key certificate of the accepted
                           // curves, or the two belong to different provider types
    kNoCopyOpens,          // no copy opens under any parameter set
    kNoCopyMatches,        // no copy holds the certificates' keys in either order
    kExchangeKeyUnverified,   // a copy matches, but its key exchange key has no certificate
    kSignatureKeyUnverified,  // and nothing else confirms it (see RepairContainer)
    kFileBlocked,  // something other than a file holds a key file's name: it cannot be rewritten
};
struct RepairPlan {
    RepairPlanResult result = RepairPlanResult::kNoCertificate;
    bool firstCopyIsSource = true;  // primary.key with masks.key, else the second copy
};
RepairPlan PlanRepair(const FolderHandle& folder, const char16_t* password,
                      const CertificateSource& ex, const CertificateSource& sg);

// Whether the certificate's public key (on its curve, one of the accepted sets) is the one of
// the masked key (key, mask), as the repair matches keys to certificates.
bool CertificateHoldsKey(const CertificateInfo& cert, const SecureBlob& key,
                         const SecureBlob& mask);

// The container name used when name.key is unreadable: the last component of the folder path
// (after the last separator, trailing separators ignored) without its last four characters
// ("abcdefgh.000" -> "abcdefgh"; shorter components give "").
std::string FolderFallbackName(const char* folder);

}  // namespace keymend
