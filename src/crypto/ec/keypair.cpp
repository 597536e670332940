// Public keys and check values of masked private keys: Q = m^-1 * (k * P).
#include "crypto/ec/keypair.h"

#include <cstring>

#include "crypto/context/crypto_context.h"
#include "crypto/context/secure_blob.h"
#include "crypto/ec/ec_internal.h"

namespace keymend {

namespace {

constexpr uint32_t kTempAllocFlags = 3;

bool ValidLength(size_t length) { return length == 32 || length == 64; }

}  // namespace

bool PublicKeyFromPrivate(uint8_t* output, const uint8_t* key, size_t keyLength,
                          const uint8_t* mask, size_t maskLength, const char* curveOid,
                          MaskStep step) {
    if (!ValidLength(keyLength) || !ValidLength(maskLength) || keyLength != maskLength)
        return false;
    if (output == nullptr || key == nullptr || mask == nullptr) return false;
    LibraryAllocator& alloc = GlobalCryptoContext().allocator;
    // The scalar temporary: the key, then the (inverted) mask. Wiped and freed on every path.
    auto* scalar = static_cast<uint8_t*>(LibAlloc(alloc, keyLength, kTempAllocFlags));
    if (scalar == nullptr) return false;
    EcCurve* curve = nullptr;
    EcPoint* point = nullptr;
    ScopeExit cleanup([&] {
        PointDestroy(point);
        CurveDestroy(curve);
        SecureWipe(scalar, keyLength);
        LibFree(alloc, scalar, kTempAllocFlags);
    });
    std::memcpy(scalar, key, keyLength);

    int edwards = CurveEdwardsKind(curveOid);
    if (edwards < 0) return false;
    curve =
        CurveCreate(curveOid, edwards != 0 ? CurveForm::kEdwardsInverted : CurveForm::kWeierstrass);
    if (curve == nullptr || curve->width != keyLength) return false;
    const EcPoint* base = curve->basePoint;
    point = PointCreate(base->x, base->y, base->z, curve->width);
    if (point == nullptr) return false;
    point->form = curve->form;

    if (!ScalarMultiply(curve, point, nullptr, scalar, ScalarMethod::kSignedWindow)) return false;
    std::memcpy(scalar, mask, keyLength);
    if (step == MaskStep::kDivide) {
        auto* words = reinterpret_cast<uint32_t*>(scalar);
        if (!MpModInverseWords(words, words, reinterpret_cast<const uint32_t*>(curve->qCopy),
                               keyLength / 4))
            return false;
    }
    if (!ScalarMultiply(curve, point, nullptr, scalar, ScalarMethod::kSignedWindow)) return false;
    // Fails for the neutral element (k = 0 mod q) and for a point off the curve.
    if (!PointToAffine(curve, point)) return false;
    std::memcpy(output, point->x, keyLength);
    std::memcpy(output + keyLength, point->y, keyLength);
    return true;
}

bool PublicKeyCheckValue(uint8_t* output8, const uint8_t* key, size_t keyLength,
                         const uint8_t* mask, size_t maskLength, const char* curveOid,
                         MaskStep step) {
    if (!ValidLength(keyLength) || output8 == nullptr) return false;
    LibraryAllocator& alloc = GlobalCryptoContext().allocator;
    auto* publicKey = static_cast<uint8_t*>(LibAlloc(alloc, 2 * keyLength, kTempAllocFlags));
    if (publicKey == nullptr) return false;
    bool ok = PublicKeyFromPrivate(publicKey, key, keyLength, mask, maskLength, curveOid, step);
    if (ok) std::memcpy(output8, publicKey, kCheckValueSize);
    SecureWipe(publicKey, 2 * keyLength);
    LibFree(alloc, publicKey, kTempAllocFlags);
    return ok;
}

}  // namespace keymend
