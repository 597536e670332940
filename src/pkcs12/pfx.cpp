// The PFX envelope, the choice of the key's certificate and the password integrity MAC.
#include <cstring>

#include "asn1/der_strict.h"
#include "crypto/context/secure_blob.h"
#include "crypto/hash/hash.h"
#include "pkcs12/pkcs12_internal.h"

namespace keymend {

namespace {

constexpr const char* kOidData = "1.2.840.113549.1.7.1";

bool Contains(const SecureBlob& haystack, const uint8_t* needle, size_t length) {
    if (haystack.size() < length) return false;
    for (size_t offset = 0; offset + length <= haystack.size(); ++offset) {
        if (std::memcmp(haystack.data() + offset, needle, length) == 0) return true;
    }
    return false;
}

}  // namespace

bool ChoosePkcs12Certificate(Pkcs12ReadState& state, SecureBlob& certificate) {
    certificate.Reset();
    if (state.certificates.empty()) return true;
    uint8_t publicKey[128];
    size_t length = 0;
    if (state.sink == nullptr || !state.sink->StoredPublicKey(publicKey, &length)) return false;
    for (const SecureBlob& candidate : state.certificates) {
        if (Contains(candidate, publicKey, length)) return certificate.Assign(candidate);
    }
    return false;
}

bool ReadPkcs12MacData(DerBlob macData, Pkcs12MacParameters* mac) {
    // The digests verified, by exact OID. A table so that more MAC families can join it.
    static constexpr Pkcs12MacAlgorithm kAlgorithms[] = {
        {"1.2.643.2.2.9", kPrfGostR341194, 3, kAlgHmacGostR341194, 32},      // GOST R 34.11-94
        {"1.2.643.7.1.1.2.3", kPrfStreebog512, 2, kAlgHmacStreebog512, 64},  // 34.11-2012, 512
    };
    DerCursor cursor = DerCursorOver(macData);
    DerBlob digestInfo, digestAlgorithm;
    uint32_t count = 0;
    if (!DerCountElements(macData, &count) || count != 3 ||
        !DerReadCounted(cursor, kDerSequence, &digestInfo, 2, 2))
        return false;
    DerCursor digestCursor = DerCursorOver(digestInfo);
    if (!DerReadCounted(digestCursor, kDerSequence, &digestAlgorithm, 1, 2) ||
        !DerReadExact(digestCursor, kDerOctetString, &mac->digest) ||
        !DerReadExact(cursor, kDerOctetString, &mac->salt) ||
        !DerReadUnsigned64(cursor, &mac->iterations))
        return false;
    DerCursor algorithmCursor = DerCursorOver(digestAlgorithm);
    OidText oid;
    if (!DerReadOid(algorithmCursor, oid) ||
        !ReadGostHashParameters(algorithmCursor))
        return false;
    mac->algorithm = nullptr;
    for (const Pkcs12MacAlgorithm& algorithm : kAlgorithms) {
        if (oid.Equals(algorithm.digestOid)) mac->algorithm = &algorithm;
    }
    return mac->algorithm != nullptr;
}

bool VerifyPkcs12Mac(const Pkcs12MacParameters& mac, DerBlob macInput, const char* password) {
    const Pkcs12MacAlgorithm* algorithm = mac.algorithm;
    if (algorithm == nullptr || password == nullptr || mac.iterations > kMaxPbkdf2Iterations)
        return false;
    SecureArray<kPbkdf2BlockOutput> key;
    SecureArray<kMaxDigestSize> computed;
    if (!Pkcs12DeriveKey(key.data(), algorithm->prfSelector, password, mac.salt, mac.iterations,
                         algorithm->blockIndex) ||
        !HmacById(macInput.data, macInput.length, computed.data(), algorithm->macLength, key.data(),
                  key.size(), algorithm->hmacId))
        return false;
    return mac.digest.length == algorithm->macLength &&
           ConstantTimeEqual(mac.digest.data, computed.data(), algorithm->macLength);
}

bool ReadPkcs12(DerBlob file, const char* password, bool noMacVerify, Pkcs12KeySink& sink,
                SecureBlob& certificate, Pkcs12Failure* failure) {
    if (failure != nullptr) *failure = Pkcs12Failure::kRejected;
    certificate.Reset();
    if (password == nullptr) return false;
    Pkcs12ReadState state;
    state.password = password;
    state.sink = &sink;

    bool ok = [&] {
        DerCursor cursor = DerCursorOver(file);
        DerBlob pfx, version, authSafe, wrapper, macInput, safes, macData;
        if (!DerReadCounted(cursor, kDerSequence, &pfx, 3, 3)) return false;
        DerCursor pfxCursor = DerCursorOver(pfx);
        if (!DerReadExact(pfxCursor, kDerInteger, &version) || version.length != 1 ||
            version.data[0] != 3)
            return false;
        if (!DerReadCounted(pfxCursor, kDerSequence, &authSafe, 2, 2)) return false;
        DerCursor authCursor = DerCursorOver(authSafe);
        if (!DerReadOidEquals(authCursor, kOidData) ||
            !DerReadCounted(authCursor, kDerContextConstructed | 0, &wrapper, 1, 1))
            return false;
        DerCursor wrapperCursor = DerCursorOver(wrapper);
        if (!DerReadExact(wrapperCursor, kDerOctetString, &macInput)) return false;

        // The MAC first: a file that fails it costs one derivation and is decrypted nowhere.
        uint64_t iterations = 0;
        if (!noMacVerify) {
            Pkcs12MacParameters mac;
            if (!DerReadExact(pfxCursor, kDerSequence, &macData) || !ReadPkcs12MacData(macData, &mac))
                return false;
            iterations = mac.iterations == 0 ? 1 : mac.iterations;
            if (iterations > kMaxPbkdf2Iterations) {
                state.failure = Pkcs12Failure::kTooMuchWork;
                return false;
            }
            if (!VerifyPkcs12Mac(mac, macInput, password)) return false;
        }

        DerCursor macInputCursor = DerCursorOver(macInput);
        if (!DerReadExact(macInputCursor, kDerSequence, &safes)) return false;
        // Everything the safes will ask for is counted before the first derivation runs.
        if (!AddSafesWork(safes, &iterations, &state.failure)) return false;
        if (iterations > kPkcs12IterationBudget) {
            state.failure = Pkcs12Failure::kTooMuchWork;
            return false;
        }
        DerCursor safesCursor = DerCursorOver(safes);
        while (safesCursor.remaining > 0) {
            DerBlob contentInfo;
            if (!DerReadExact(safesCursor, kDerSequence, &contentInfo) ||
                !ReadContentInfo(contentInfo, state))
                return false;
        }
        return ChoosePkcs12Certificate(state, certificate);
    }();
    if (failure != nullptr) {
        *failure =
            ok ? Pkcs12Failure::kNone
               : (state.failure == Pkcs12Failure::kNone ? Pkcs12Failure::kRejected : state.failure);
    }
    return ok;
}

}  // namespace keymend
