// Key masks: key = key * mask^(+-1) mod q, q the order of the key's curve.
#include "crypto/ec/key_mask.h"

#include <cstring>

#include "crypto/context/crypto_context.h"
#include "crypto/context/secure_blob.h"
#include "crypto/ec/curve.h"
#include "crypto/ec/mp.h"

namespace keymend {

namespace {

constexpr uint32_t kTempAllocFlags = 3;
constexpr size_t kMaxKeyLength = 64;

}  // namespace

bool ApplyMask(uint8_t* key, size_t keyLength, uint8_t* mask, size_t maskLength,
               const char* curveOid, MaskStep step, MaskDraw draw) {
    // Everything is checked before random bytes are drawn.
    const uint8_t* q = CurveOrderByOid(curveOid);
    if (q == nullptr || key == nullptr || mask == nullptr || keyLength != maskLength) return false;
    if (keyLength != 32 && keyLength != 64) return false;
    // A length other than the curve's would reduce modulo a truncated q.
    if (keyLength != CurveKeyLength(curveOid)) return false;
    if (draw == MaskDraw::kFresh && !RandomBytes(keyLength, mask)) return false;

    const size_t n = keyLength / sizeof(Digit);
    // Temporary: mask (then its inverse), key copy, q copy, product; wiped and freed on every path.
    LibraryAllocator& alloc = GlobalCryptoContext().allocator;
    auto* temp = static_cast<Digit*>(LibAlloc(alloc, 4 * keyLength, kTempAllocFlags));
    if (temp == nullptr) return false;
    Digit* factor = temp;
    Digit* keyCopy = factor + n;
    Digit* order = keyCopy + n;
    Digit* product = order + n;
    std::memcpy(factor, mask, keyLength);
    std::memcpy(keyCopy, key, keyLength);
    std::memcpy(order, q, keyLength);
    bool ok = true;
    if (step == MaskStep::kDivide) {
        ok = MpModInverseWords(reinterpret_cast<uint32_t*>(factor),
                               reinterpret_cast<const uint32_t*>(factor),
                               reinterpret_cast<const uint32_t*>(order), keyLength / 4);
    }
    ok = ok && MpModMul(product, keyCopy, factor, order, n);
    if (ok) std::memcpy(key, product, keyLength);
    SecureWipe(temp, 4 * keyLength);
    LibFree(alloc, temp, kTempAllocFlags);
    return ok;
}

bool ApplyStoredMask(uint8_t* key, size_t keyLength, const uint8_t* mask, size_t maskLength,
                     const char* curveOid, MaskStep step) {
    // A given mask is only read.
    return ApplyMask(key, keyLength, const_cast<uint8_t*>(mask), maskLength, curveOid, step,
                     MaskDraw::kGiven);
}

bool ReplaceMask(uint8_t* key, size_t keyLength, const uint8_t* secondMask, size_t maskLength,
                 uint8_t* firstMask, const char* curveOid, MaskDraw draw, MaskStep secondStep,
                 MaskStep firstStep) {
    if (key == nullptr || keyLength > kMaxKeyLength) return false;
    // Kept so that a failing second step does not leave the key multiplied by the first mask.
    SecureArray<kMaxKeyLength> before;
    std::memcpy(before.data(), key, keyLength);
    if (!ApplyMask(key, keyLength, firstMask, maskLength, curveOid, firstStep, draw)) return false;
    if (!ApplyStoredMask(key, keyLength, secondMask, maskLength, curveOid, secondStep)) {
        std::memcpy(key, before.data(), keyLength);
        return false;
    }
    return true;
}

}  // namespace keymend
