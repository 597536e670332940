// Hash by algorithm identifier, HMAC (RFC 2104) and one PBKDF2 block (RFC 8018) over the GOST
// hashes. Working states live on the stack and are wiped before return; nothing is allocated.
#include <cstring>

#include "crypto/context/secure_blob.h"
#include "crypto/hash/hash.h"

namespace keymend {

namespace {

// A hash state of either standard, chosen by the hash identifier.
struct AnyHashState {
    uint32_t hashId;
    union {
        GostR341194State gost94;
        StreebogState streebog;
    };
};

bool HashStart(AnyHashState& state, uint32_t hashId) {
    state.hashId = hashId;
    if (hashId == kAlgGostR341194) {
        GostR341194Reset(state.gost94);
        return true;
    }
    return StreebogInit(state.streebog, hashId);
}

bool HashAbsorb(AnyHashState& state, const uint8_t* data, size_t length) {
    return state.hashId == kAlgGostR341194 ? GostR341194Update(state.gost94, data, length)
                                            : StreebogUpdate(state.streebog, data, length);
}

bool HashEmit(const AnyHashState& state, uint8_t* out) {
    return state.hashId == kAlgGostR341194 ? GostR341194Finish(state.gost94, out)
                                            : StreebogFinish(state.streebog, out);
}

struct HmacParams {
    uint32_t hashId;
    size_t blockSize;
    size_t macSize;
};

// 0x8027 and 0x8034 as listed; every other identifier is computed as 0x8035.
HmacParams SelectHmac(uint32_t hmacIdentifier) {
    switch (hmacIdentifier) {
        case kAlgHmacGostR341194:
            return {kAlgGostR341194, kGostR341194BlockSize, 32};
        case kAlgHmacStreebog256:
            return {kAlgStreebog256, kStreebogBlockSize, 32};
        default:
            return {kAlgStreebog512, kStreebogBlockSize, 64};
    }
}

// HMAC with the pads already absorbed: each message costs only the message and the final blocks.
struct HmacKeyed {
    AnyHashState inner;
    AnyHashState outer;
    size_t macSize;
    HmacKeyed() {}
    HmacKeyed(const HmacKeyed&) = delete;
    HmacKeyed& operator=(const HmacKeyed&) = delete;
    ~HmacKeyed() { SecureWipe(this, sizeof *this); }
};

bool HmacSetKey(HmacKeyed& hmac, const HmacParams& params, const uint8_t* key,
                size_t keyLength) {
    if (key == nullptr) return false;
    hmac.macSize = params.macSize;
    SecureArray<kStreebogBlockSize> pad;
    if (keyLength > params.blockSize) {
        // Long keys are replaced by their hash (RFC 2104); the digest never exceeds the block.
        AnyHashState keyHash;
        bool ok = HashStart(keyHash, params.hashId) && HashAbsorb(keyHash, key, keyLength) &&
                  HashEmit(keyHash, pad.data());
        SecureWipe(&keyHash, sizeof keyHash);
        if (!ok) return false;
    } else {
        std::memcpy(pad.data(), key, keyLength);
    }
    for (size_t i = 0; i < params.blockSize; ++i) pad[i] ^= 0x36;
    if (!HashStart(hmac.inner, params.hashId) ||
        !HashAbsorb(hmac.inner, pad.data(), params.blockSize)) {
        return false;
    }
    for (size_t i = 0; i < params.blockSize; ++i) pad[i] ^= 0x36 ^ 0x5C;
    return HashStart(hmac.outer, params.hashId) &&
           HashAbsorb(hmac.outer, pad.data(), params.blockSize);
}

// MAC of the concatenation of two parts (the second may be empty).
bool HmacCompute(const HmacKeyed& hmac, const uint8_t* data, size_t length, const uint8_t* data2,
                 size_t length2, uint8_t* out) {
    AnyHashState state = hmac.inner;
    SecureArray<kMaxDigestSize> innerHash;
    bool ok = HashAbsorb(state, data, length) && HashAbsorb(state, data2, length2) &&
              HashEmit(state, innerHash.data());
    if (ok) {
        state = hmac.outer;
        ok = HashAbsorb(state, innerHash.data(), hmac.macSize) && HashEmit(state, out);
    }
    SecureWipe(&state, sizeof state);
    return ok;
}

}  // namespace

bool HashById(const uint8_t* data, size_t length, uint8_t* out, size_t outLength,
              uint32_t identifier) {
    size_t expected = identifier == kAlgGostR341194   ? 32
                      : identifier == kAlgStreebog256 ? 32
                      : identifier == kAlgStreebog512 ? 64
                                                      : 0;
    if (expected == 0 || outLength != expected || out == nullptr) return false;
    if (data == nullptr && length != 0) return false;
    AnyHashState state;
    bool ok = HashStart(state, identifier) && HashAbsorb(state, data, length) &&
              HashEmit(state, out);
    SecureWipe(&state, sizeof state);
    return ok;
}

bool HmacById(const uint8_t* data, size_t length, uint8_t* out, size_t outLength,
              const uint8_t* key, size_t keyLength, uint32_t hmacIdentifier) {
    HmacParams params = SelectHmac(hmacIdentifier);
    if (outLength != params.macSize || out == nullptr) return false;
    if (data == nullptr && length != 0) return false;
    HmacKeyed hmac;
    return HmacSetKey(hmac, params, key, keyLength) &&
           HmacCompute(hmac, data, length, nullptr, 0, out);
}

bool Pbkdf2Block(uint8_t* out, size_t outLength, uint32_t prfSelector, const uint8_t* password,
                 size_t passwordLength, const uint8_t* salt, size_t saltLength,
                 uint64_t iterations, uint32_t blockIndex) {
    if (out == nullptr || outLength != kPbkdf2BlockOutput) return false;
    if (salt == nullptr && saltLength != 0) return false;
    HmacParams params =
        SelectHmac(prfSelector == kPrfGostR341194 ? kAlgHmacGostR341194 : kAlgHmacStreebog512);
    HmacKeyed hmac;
    if (!HmacSetKey(hmac, params, password, passwordLength)) return false;

    const uint8_t index[4] = {static_cast<uint8_t>(blockIndex >> 24),
                              static_cast<uint8_t>(blockIndex >> 16),
                              static_cast<uint8_t>(blockIndex >> 8),
                              static_cast<uint8_t>(blockIndex)};
    SecureArray<kMaxDigestSize> u, t;
    if (!HmacCompute(hmac, salt, saltLength, index, sizeof index, u.data())) return false;
    std::memcpy(t.data(), u.data(), params.macSize);
    for (uint64_t done = 1; done < iterations; ++done) {
        if (!HmacCompute(hmac, u.data(), params.macSize, nullptr, 0, u.data())) return false;
        for (size_t i = 0; i < params.macSize; ++i) t[i] ^= u[i];
    }
    std::memcpy(out, t.data(), kPbkdf2BlockOutput);
    return true;
}

bool Pbkdf2Block(uint8_t* out, size_t outLength, uint32_t prfSelector, const char* password,
                 const uint8_t* salt, size_t saltLength, uint64_t iterations,
                 uint32_t blockIndex) {
    if (password == nullptr) return false;
    return Pbkdf2Block(out, outLength, prfSelector, reinterpret_cast<const uint8_t*>(password),
                       std::strlen(password), salt, saltLength, iterations, blockIndex);
}

}  // namespace keymend
