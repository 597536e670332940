// The PFX envelope, the choice of the key's certificate and the password integrity MAC.
#include <cstring>

#include "asn1/der_strict.h"
#include "crypto/context/secure_blob.h"
#include "crypto/hash/hash.h"
#include "pkcs12/pkcs12_internal.h"
#include "pkcs12/pkcs12_kdf.h"
#include "pkcs12/oids.h"

namespace keymend {

namespace {

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
    // The digests verified, by exact OID.
    static constexpr Pkcs12MacAlgorithm kAlgorithms[] = {
        {"1.2.643.2.2.9", kPrfGostR341194, 3, kAlgHmacGostR341194, 32},      // GOST R 34.11-94
        {"1.2.643.7.1.1.2.3", kPrfStreebog512, 2, kAlgHmacStreebog512, 64},  // 34.11-2012, 512
        // FIPS 180-4 digests (RFC 3279 section 2.2.1, RFC 5754 section 2).
        {"1.3.14.3.2.26", 0, 0, 0, 20, true, ShaAlgorithm::kSha1},
        {"2.16.840.1.101.3.4.2.4", 0, 0, 0, 28, true, ShaAlgorithm::kSha224},
        {"2.16.840.1.101.3.4.2.1", 0, 0, 0, 32, true, ShaAlgorithm::kSha256},
        {"2.16.840.1.101.3.4.2.2", 0, 0, 0, 48, true, ShaAlgorithm::kSha384},
        {"2.16.840.1.101.3.4.2.3", 0, 0, 0, 64, true, ShaAlgorithm::kSha512},
    };
    mac->unsupported.Clear();
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
    if (!DerReadOid(algorithmCursor, oid)) return false;
    mac->algorithm = nullptr;
    for (const Pkcs12MacAlgorithm& algorithm : kAlgorithms) {
        if (oid.Equals(algorithm.digestOid)) mac->algorithm = &algorithm;
    }
    if (mac->algorithm == nullptr) {
        mac->unsupported = oid;
        return false;
    }
    // SHA digests take no parameters or NULL (RFC 5754 section 2).
    if (!mac->algorithm->sha) return ReadGostHashParameters(algorithmCursor);
    DerBlob null;
    return DerAtEnd(algorithmCursor) || (DerReadExact(algorithmCursor, kDerNull, &null) &&
                                         null.length == 0 && DerAtEnd(algorithmCursor));
}

namespace {

// RFC 7292 appendix B MAC: key ID 3 of the digest's length, HMAC over the same hash, under each
// password form in turn.
bool VerifyShaMac(const Pkcs12MacParameters& mac, DerBlob macInput, const char* password,
                  Pkcs12EmptyPassword* verified) {
    const Pkcs12MacAlgorithm& algorithm = *mac.algorithm;
    Pkcs12PasswordForms forms;
    if (mac.digest.length != algorithm.macLength ||
        !MakePkcs12PasswordForms(password, Pkcs12EmptyPassword::kUndecided, forms))
        return false;
    SecureArray<kShaMaxDigestSize> key, computed;
    const uint64_t iterations = mac.iterations == 0 ? 1 : mac.iterations;
    for (uint32_t i = 0; i < forms.count; ++i) {
        CountPkcs12Derivation();
        if (!Pkcs12DeriveKey(algorithm.hash, forms.form[i].data, forms.form[i].length,
                             mac.salt.data, mac.salt.length, kPkcs12IdMac, iterations, key.data(),
                             algorithm.macLength) ||
            !ShaHmac(algorithm.hash, key.data(), algorithm.macLength, macInput.data,
                     macInput.length, computed.data()))
            return false;
        if (ConstantTimeEqual(mac.digest.data, computed.data(), algorithm.macLength)) {
            if (verified != nullptr && password[0] == '\0') {
                *verified = i == 0 ? Pkcs12EmptyPassword::kTerminator : Pkcs12EmptyPassword::kNoOctets;
            }
            return true;
        }
    }
    return false;
}

}  // namespace

bool VerifyPkcs12Mac(const Pkcs12MacParameters& mac, DerBlob macInput, const char* password,
                     Pkcs12EmptyPassword* verified) {
    const Pkcs12MacAlgorithm* algorithm = mac.algorithm;
    if (algorithm == nullptr || password == nullptr || mac.iterations > kMaxPbkdf2Iterations)
        return false;
    if (algorithm->sha) return VerifyShaMac(mac, macInput, password, verified);
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
                SecureBlob& certificate, Pkcs12Failure* failure, OidText* algorithm) {
    if (failure != nullptr) *failure = Pkcs12Failure::kRejected;
    if (algorithm != nullptr) algorithm->Clear();
    certificate.Reset();
    if (password == nullptr) return false;
    Pkcs12ReadState state;
    state.password = password;
    state.sink = &sink;

    bool ok = [&] {
        DerCursor cursor = DerCursorOver(file);
        DerBlob pfx, version, authSafe, wrapper, macInput, safes, macData{};
        // macData is optional in RFC 7292; a file without it is read only with the MAC skipped,
        // and only when it is a standard file (checked below).
        if (!DerReadCounted(cursor, kDerSequence, &pfx, 2, 3)) return false;
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
        const bool haveMac = pfxCursor.remaining > 0;
        if (!haveMac && !noMacVerify) return false;

        // The MAC first: a file that fails it costs one derivation (two for the empty password
        // under a SHA MAC) and is decrypted nowhere.
        uint64_t iterations = 0;
        bool gostMac = false;
        Pkcs12MacParameters mac;
        if (!noMacVerify) {
            if (!DerReadExact(pfxCursor, kDerSequence, &macData)) return false;
            if (!ReadPkcs12MacData(macData, &mac)) {
                if (!mac.unsupported.empty()) {
                    state.unsupported = mac.unsupported;
                    state.failure = Pkcs12Failure::kUnsupportedAlgorithm;
                }
                return false;
            }
            iterations = mac.iterations == 0 ? 1 : mac.iterations;
            if (iterations > kMaxPbkdf2Iterations) {
                state.failure = Pkcs12Failure::kTooMuchWork;
                return false;
            }
            if (mac.algorithm->sha)
                iterations *= Pkcs12PasswordFormCount(password, Pkcs12EmptyPassword::kUndecided);
            if (!VerifyPkcs12Mac(mac, macInput, password, &state.emptyPassword)) return false;
            gostMac = !mac.algorithm->sha;
        } else if (haveMac && DerReadExact(pfxCursor, kDerSequence, &macData) &&
                   ReadPkcs12MacData(macData, &mac)) {
            gostMac = !mac.algorithm->sha;  // looked at, not verified (nor required to read)
        }

        DerCursor macInputCursor = DerCursorOver(macInput);
        if (!DerReadExact(macInputCursor, kDerSequence, &safes)) return false;
        state.standard = !gostMac && !SafesUseGostProtection(safes);
        if (!haveMac && !state.standard) return false;
        // Everything the safes will ask for is counted before the first derivation runs.
        if (!AddSafesWork(safes, &iterations, &state.failure, state.standard,
                          Pkcs12PasswordFormCount(password, state.emptyPassword),
                          &state.unsupported))
            return false;
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
    if (!ok && algorithm != nullptr && state.failure == Pkcs12Failure::kUnsupportedAlgorithm)
        *algorithm = state.unsupported;
    return ok;
}

}  // namespace keymend
