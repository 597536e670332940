// Container repair: rebuilds the header of a damaged container from the certificates of its keys
// and rewrites both key copies under fresh masks and salts.
#pragma once

#include <cstdint>
#include <string>

#include "settings/settings.h"

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

// The container name used when name.key is unreadable: the last component of the folder path
// (after the last separator, trailing separators ignored) without its last four characters
// ("abcdefgh.000" -> "abcdefgh"; shorter components give "").
std::string FolderFallbackName(const char* folder);

}  // namespace keymend
