// Random bytes on Windows: CryptGenRandom on a verify-only provider context, the GOST provider
// (type 75) if it is installed, else the system's strong RSA provider (type 1).
#include "platform/random.h"
#include "platform/seams.h"

#include <windows.h>
#include <wincrypt.h>

namespace keymend {

namespace {

HCRYPTPROV g_provider = 0;

constexpr DWORD kProvTypeGost2001 = 75;

// Acquired once, on first use, and held until the process ends.
bool AcquireProvider() {
    if (g_provider != 0) return true;
    if (CryptAcquireContextW(&g_provider, nullptr,
                             L"Kalvion GOST R 34.10-2001 Cryptographic Service Provider",
                             kProvTypeGost2001, CRYPT_VERIFYCONTEXT))
        return true;
    g_provider = 0;
    if (CryptAcquireContextW(&g_provider, nullptr, L"Microsoft Strong Cryptographic Provider",
                             PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
        return true;
    g_provider = 0;
    return false;
}

bool SystemRandom(uint8_t* buffer, size_t n) {
    if (!AcquireProvider()) return false;
    // CryptGenRandom takes a 32-bit length.
    while (n > 0) {
        const DWORD chunk = n > 0x10000000 ? 0x10000000 : static_cast<DWORD>(n);
        if (!CryptGenRandom(g_provider, chunk, buffer)) return false;
        buffer += chunk;
        n -= chunk;
    }
    return true;
}

}  // namespace

bool PlatformRandomBytes(uint8_t* buffer, size_t n) {
    if (n == 0) return true;
    if (buffer == nullptr) return false;
    bool ok = false;
    return TestRandomBytes(buffer, n, &ok) ? ok : SystemRandom(buffer, n);
}


}  // namespace keymend
