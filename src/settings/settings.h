// The settings record: filled by the command line (cli), read by the commands.
#pragma once

#include <cstdint>

#include "crypto/context/secure_blob.h"

namespace keymend {

enum KeySpec : uint32_t { kKeySpecNone = 0, kKeySpecExchange = 1, kKeySpecSignature = 2 };

constexpr uint32_t kProvTypeGost2001 = 75;
constexpr uint32_t kProvTypeGost2012_256 = 80;
constexpr uint32_t kProvTypeGost2012_512 = 81;

// Field order and sizes as the command line defines them. The container store reads only
// containerPassword. References point into the argument vector, which outlives every command.
struct Settings {
    char16_t containerPassword[256] = {};  // UTF-16, NUL-terminated
    char p12Password[256] = {};            // UTF-8, NUL-terminated
    char primaryOid[256] = {};
    char secondaryOid[256] = {};
    const char* command = nullptr;
    const char* contFolder = nullptr;
    const char* rdrFolder = nullptr;
    const char* inFile = nullptr;
    const char* contName = nullptr;
    const char* certEx = nullptr;
    const char* certSg = nullptr;
    const char* outDir = nullptr;  // -outdir: where -kvtop12 writes (current folder when null)
    uint32_t exportableEx = 0;
    uint32_t exportableSg = 0;
    uint32_t dhAllowed = 0;
    uint32_t keySpec = kKeySpecNone;
    uint32_t provType = 0;
    uint32_t extendHeader = 0;
    uint32_t noMacVerify = 0;
    uint32_t useKeyMeshing = 1;

    ~Settings() {  // wipes both passwords
        SecureWipe(containerPassword, sizeof containerPassword);
        SecureWipe(p12Password, sizeof p12Password);
    }
};

}  // namespace keymend
