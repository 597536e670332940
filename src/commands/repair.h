// Container repair: rebuilds the header of a damaged container from the certificates of its keys
// and rewrites both key copies under fresh masks and salts.
#pragma once

#include <cstdint>
#include <string>

#include "cli/settings.h"

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

// Runs the repair. False on any failure; nothing is written unless the container was opened and
// its keys matched the certificates, and a failed rewrite leaves a recoverable container.
bool RepairContainer(const RepairOptions& options);

// The container name used when name.key is unreadable: the last component of the folder path
// (after the last separator, trailing separators ignored) without its last four characters
// ("abcdefgh.000" -> "abcdefgh"; shorter components give "").
std::string FolderFallbackName(const char* folder);

}  // namespace keymend
