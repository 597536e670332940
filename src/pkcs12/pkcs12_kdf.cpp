#include "pkcs12/pkcs12_kdf.h"

#include <cstring>

namespace keymend {

namespace {

// Decodes one strict UTF-8 character at text[*i], advancing *i; -1 when malformed.
int32_t NextCharacter(const uint8_t* text, size_t length, size_t& i) {
    const uint8_t lead = text[i++];
    if (lead < 0x80) return lead;
    int extra;
    int32_t value, minimum;
    if (lead >= 0xC0 && lead < 0xE0) {
        extra = 1, value = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead < 0xF0) {
        extra = 2, value = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead < 0xF8) {
        extra = 3, value = lead & 0x07, minimum = 0x10000;
    } else {
        return -1;
    }
    for (; extra > 0; --extra) {
        if (i >= length || (text[i] & 0xC0) != 0x80) return -1;
        value = value << 6 | (text[i++] & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value < 0xE000)) return -1;
    return value;
}

}  // namespace

bool Pkcs12PasswordFromUtf8(const uint8_t* utf8, size_t length, SecureBlob& out) {
    out.Reset();
    if (utf8 == nullptr && length != 0) return false;
    // First pass: validate and count the code units.
    size_t units = 0;
    for (size_t i = 0; i < length;) {
        const int32_t c = NextCharacter(utf8, length, i);
        if (c < 0) return false;
        units += c > 0xFFFF ? 2 : 1;
    }
    if (units > (0xFFFFFFFFu - 2) / 2 || !out.Allocate(static_cast<uint32_t>(2 * units + 2))) {
        return false;
    }
    size_t at = 0;
    auto put = [&out, &at](uint32_t unit) {
        out[at++] = static_cast<uint8_t>(unit >> 8);
        out[at++] = static_cast<uint8_t>(unit);
    };
    for (size_t i = 0; i < length;) {
        const uint32_t c = static_cast<uint32_t>(NextCharacter(utf8, length, i));
        if (c > 0xFFFF) {
            put(0xD800 + ((c - 0x10000) >> 10));
            put(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            put(c);
        }
    }
    return true;  // the terminator: Allocate zeroed the last two octets
}

bool Pkcs12DeriveKey(ShaAlgorithm hash, const uint8_t* password, size_t passwordLength,
                     const uint8_t* salt, size_t saltLength, uint8_t id, uint64_t iterations,
                     uint8_t* out, size_t outLength) {
    const size_t u = ShaDigestSize(hash), v = ShaBlockSize(hash);
    if (u == 0 || iterations == 0 || out == nullptr || outLength == 0) return false;
    if ((password == nullptr && passwordLength != 0) || (salt == nullptr && saltLength != 0)) {
        return false;
    }
    // I = S || P: the salt and the password each repeated to a whole number of v-octet blocks.
    constexpr size_t kMaxInput = 0xFFFFFF00u;
    if (saltLength > kMaxInput / 2 || passwordLength > kMaxInput / 2) return false;
    const size_t saltPart = (saltLength + v - 1) / v * v;
    const size_t passwordPart = (passwordLength + v - 1) / v * v;
    SecureBlob input;
    if (!input.Allocate(static_cast<uint32_t>(saltPart + passwordPart))) return false;
    for (size_t k = 0; k < saltPart; ++k) input[k] = salt[k % saltLength];
    for (size_t k = 0; k < passwordPart; ++k) input[saltPart + k] = password[k % passwordLength];

    uint8_t diversifier[kShaMaxBlockSize];
    std::memset(diversifier, id, v);
    SecureArray<kShaMaxDigestSize> first, a;
    SecureArray<kShaMaxBlockSize> b;
    for (size_t done = 0;;) {
        // A = H^iterations(D || I).
        ShaState state;
        ShaInit(state, hash);
        ShaUpdate(state, diversifier, v);
        ShaUpdate(state, input.data(), input.size());
        ShaFinish(state, first.data());
        if (iterations == 1) {
            std::memcpy(a.data(), first.data(), u);
        } else {
            ShaHashRepeated(hash, first.data(), u, iterations - 1, a.data());
        }
        const size_t take = outLength - done < u ? outLength - done : u;
        std::memcpy(out + done, a.data(), take);
        done += take;
        if (done == outLength) return true;
        // Each v-octet block of I becomes (I_j + B + 1) mod 2^(8v), B being A repeated to v octets.
        for (size_t k = 0; k < v; ++k) b[k] = a[k % u];
        for (size_t block = 0; block < input.size(); block += v) {
            uint32_t carry = 1;
            for (size_t k = v; k-- > 0;) {
                carry += input[block + k] + b[k];
                input[block + k] = static_cast<uint8_t>(carry);
                carry >>= 8;
            }
        }
    }
}

}  // namespace keymend
