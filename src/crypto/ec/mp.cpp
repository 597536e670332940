// Multi-precision arithmetic on 64-bit digits with 128-bit intermediate products.
#include "crypto/ec/mp.h"

#include <cstring>

#include "crypto/context/crypto_context.h"
#include "crypto/ec/mp_inline.h"
#include "crypto/ec/scratch_block.h"

namespace keymend {

// ---- GuardedBuffer ----

uint32_t GuardedChecksum(const uint8_t* data, size_t words) {
    auto word = [data](size_t i) {
        uint32_t w;
        std::memcpy(&w, data + 4 * i, 4);
        return static_cast<uint64_t>(w);
    };
    uint64_t a = 0x123456789ABCDEF0ull;
    uint64_t b = 0xEEEEEEEEEEEEEEECull;
    size_t i = 0;
    for (; i + 4 <= words; i += 4) {
        a += word(i) | (word(i + 1) << 32);
        b += word(i + 2) | (word(i + 3) << 32);
    }
    if (words - i >= 2) {
        uint64_t v = word(i) | (word(i + 1) << 32);
        a += v;
        b += v;
        i += 2;
    }
    if (words - i == 1) {
        a += word(i);
        b += word(i);
    }
    return static_cast<uint32_t>(b >> 32) ^ static_cast<uint32_t>(a >> 32) ^
           static_cast<uint32_t>(a) ^ static_cast<uint32_t>(b);
}

GuardedBuffer* GuardedBufferCreate(const uint8_t* data, uint32_t length, uint32_t flags, bool own,
                                   bool checksumWanted) {
    if (length == 0 || (data == nullptr && !own)) return nullptr;
    LibraryAllocator& alloc = GlobalCryptoContext().allocator;
    uint32_t allocFlags = flags & 0xF;
    auto* buffer = static_cast<GuardedBuffer*>(LibAlloc(alloc, sizeof(GuardedBuffer), allocFlags));
    if (buffer == nullptr) return nullptr;
    buffer->length = length;
    buffer->flags = allocFlags;
    if (own) {
        buffer->data = static_cast<uint8_t*>(LibAlloc(alloc, length, allocFlags));
        if (buffer->data == nullptr) {
            LibFree(alloc, buffer, allocFlags);
            return nullptr;
        }
        if (data != nullptr) std::memcpy(buffer->data, data, length);
        buffer->flags |= kGuardedOwns;
    } else {
        buffer->data = const_cast<uint8_t*>(data);
    }
    if (checksumWanted) buffer->checksum = GuardedChecksum(buffer->data, length / 4);
    return buffer;
}

GuardedBuffer* GuardedBufferClone(const GuardedBuffer* source) {
    if (source == nullptr) {
        GlobalCryptoContext().allocator.lastError = kStatusBadData;
        return nullptr;
    }
    LibraryAllocator& alloc = GlobalCryptoContext().allocator;
    uint32_t allocFlags = source->flags & 0xF;
    auto* copy = static_cast<GuardedBuffer*>(LibAlloc(alloc, sizeof(GuardedBuffer), allocFlags));
    if (copy == nullptr) return nullptr;
    *copy = *source;
    if ((source->flags & kGuardedOwns) != 0) {
        copy->data = static_cast<uint8_t*>(LibAlloc(alloc, source->length, allocFlags | kAllocNoZero));
        if (copy->data == nullptr) {
            LibFree(alloc, copy, allocFlags);
            return nullptr;
        }
        std::memcpy(copy->data, source->data, source->length);
    }
    return copy;
}

void GuardedBufferDestroy(GuardedBuffer* buffer) {
    if (buffer == nullptr) return;
    LibraryAllocator& alloc = GlobalCryptoContext().allocator;
    if ((buffer->flags & kGuardedOwns) != 0 && buffer->data != nullptr) {
        std::memset(buffer->data, kGuardedDestroyFill, buffer->length);
        NotifyRelease(buffer->data, buffer->length);
        LibFree(alloc, buffer->data, buffer->flags & 0xF);
    }
    LibFree(alloc, buffer, buffer->flags & 0xF);
}

bool GuardedBufferVerify(const GuardedBuffer* buffer, uint32_t checksum) {
    return buffer != nullptr && buffer->data != nullptr &&
           GuardedChecksum(buffer->data, buffer->length / 4) == checksum;
}

// ---- Fixed-width primitives ----

Digit Add64(Digit& r, Digit a, Digit b, Digit carryIn) {
    U128 s = static_cast<U128>(a) + b + carryIn;
    r = static_cast<Digit>(s);
    return static_cast<Digit>(s >> 64);
}

Digit Sub64(Digit& r, Digit a, Digit b, Digit borrowIn) {
    U128 d = static_cast<U128>(a) - b - borrowIn;
    r = static_cast<Digit>(d);
    return static_cast<Digit>(d >> 64) & 1;
}

Digit Add256(Digit* r, const Digit* a, const Digit* b) { return AddN<4>(r, a, b); }
Digit Add512(Digit* r, const Digit* a, const Digit* b) { return AddN<8>(r, a, b); }
Digit Sub256(Digit* r, const Digit* a, const Digit* b) { return SubN<4>(r, a, b); }
Digit Sub512(Digit* r, const Digit* a, const Digit* b) { return SubN<8>(r, a, b); }

namespace {

int CompareWords(const Digit* a, const Digit* b, size_t words) {
    for (size_t i = words; i-- > 0;) {
        uint32_t wa = static_cast<uint32_t>(a[i / 2] >> (32 * (i & 1)));
        uint32_t wb = static_cast<uint32_t>(b[i / 2] >> (32 * (i & 1)));
        if (wa != wb) return wa < wb ? -1 : 1;
    }
    return 0;
}

}  // namespace

int Cmp256(const Digit* a, const Digit* b) { return CompareWords(a, b, 8); }
int Cmp320(const Digit* a, const Digit* b) { return CompareWords(a, b, 10); }
void Mul256(Digit* r8, const Digit* a4, const Digit* b4) { MulN<4>(r8, a4, b4); }
void Mul512(Digit* r16, const Digit* a8, const Digit* b8) { MulN<8>(r16, a8, b8); }
void Sqr256(Digit* r8, const Digit* a4) { SqrN<4>(r8, a4); }
void Sqr512(Digit* r16, const Digit* a8) { SqrN<8>(r16, a8); }

// ---- Digit vectors ----

Digit MpAdd(Digit* r, const Digit* a, const Digit* b, size_t n) {
    Digit c = 0;
    for (size_t i = 0; i < n; ++i) c = Add64(r[i], a[i], b[i], c);
    return c;
}

Digit MpSub(Digit* r, const Digit* a, const Digit* b, size_t n) {
    Digit c = 0;
    for (size_t i = 0; i < n; ++i) c = Sub64(r[i], a[i], b[i], c);
    return c;
}

Digit MpAddTo(Digit* a, const Digit* b, size_t n) { return MpAdd(a, a, b, n); }
Digit MpSubFrom(Digit* a, const Digit* b, size_t n) { return MpSub(a, a, b, n); }

int MpCmp(const Digit* a, const Digit* b, size_t n) {
    for (size_t i = n; i-- > 0;) {
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    }
    return 0;
}

bool MpIsZero(const Digit* a, size_t n) {
    Digit acc = 0;
    for (size_t i = 0; i < n; ++i) acc |= a[i];
    return acc == 0;
}

int MpTopDigit(const Digit* a, size_t n) {
    for (size_t i = n; i-- > 0;) {
        if (a[i] != 0) return static_cast<int>(i);
    }
    return -1;
}

Digit MpInc(Digit* a, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (++a[i] != 0) return 0;
    }
    return 1;
}

Digit MpDec(Digit* a, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (a[i]-- != 0) return 0;
    }
    return 1;
}

void MpMul(Digit* r, const Digit* a, size_t n, const Digit* b, size_t m) {
    std::memset(r, 0, (n + m) * sizeof(Digit));
    for (size_t j = 0; j < m; ++j) {
        Digit carry = 0;
        for (size_t i = 0; i < n; ++i) {
            U128 t = static_cast<U128>(a[i]) * b[j] + r[i + j] + carry;
            r[i + j] = static_cast<Digit>(t);
            carry = static_cast<Digit>(t >> 64);
        }
        r[j + n] = carry;
    }
}

int BitIndex(Digit d) { return d == 0 ? -1 : 63 - __builtin_clzll(d); }

// ---- Modular operations ----

bool MpMod(Digit* r, const Digit* a, size_t la, const Digit* m, size_t lm) {
    WipedScratch scratch(24 * (la + 2) + 16 * lm);
    if (!scratch.ok() || lm == 0) return false;
    int topM = MpTopDigit(m, lm);
    if (topM < 0) return false;
    size_t n = static_cast<size_t>(topM) + 1;      // significant digits of m
    size_t na = static_cast<size_t>(MpTopDigit(a, la) + 1);
    Digit* un = scratch.digits();  // na + 1 digits: the shifted numerator, then the remainder
    Digit* vn = un + la + 2;       // n digits: the shifted divisor

    if (na < n) {
        // Already reduced: copy (r may alias a) and zero-extend.
        std::memmove(r, a, na * sizeof(Digit));
        std::memset(r + na, 0, (lm - na) * sizeof(Digit));
        return true;
    }
    unsigned shift = static_cast<unsigned>(63 - BitIndex(m[n - 1]));
    for (size_t i = n; i-- > 0;) {
        vn[i] = (m[i] << shift) | (shift != 0 && i > 0 ? m[i - 1] >> (64 - shift) : 0);
    }
    un[na] = shift != 0 ? a[na - 1] >> (64 - shift) : 0;
    for (size_t i = na; i-- > 0;) {
        un[i] = (a[i] << shift) | (shift != 0 && i > 0 ? a[i - 1] >> (64 - shift) : 0);
    }
    Digit vTop = vn[n - 1];
    Digit vInv = Reciprocal(vTop);
    for (size_t j = na - n + 1; j-- > 0;) {
        Digit u1 = un[j + n];
        Digit u0 = un[j + n - 1];
        Digit qhat = u1 >= vTop ? ~Digit{0} : DivPreinv(u1, u0, vTop, vInv);
        // un[j .. j+n] -= qhat * vn
        Digit mulCarry = 0;
        Digit borrow = 0;
        for (size_t i = 0; i < n; ++i) {
            U128 prod = static_cast<U128>(qhat) * vn[i] + mulCarry;
            mulCarry = static_cast<Digit>(prod >> 64);
            borrow = Sub64(un[j + i], un[j + i], static_cast<Digit>(prod), borrow);
        }
        borrow = Sub64(un[j + n], un[j + n], mulCarry, borrow);
        while (borrow != 0) {  // qhat was one or two too large
            Digit carry = 0;
            for (size_t i = 0; i < n; ++i) carry = Add64(un[j + i], un[j + i], vn[i], carry);
            borrow = Add64(un[j + n], un[j + n], 0, carry) != 0 ? 0 : 1;
        }
    }
    for (size_t i = 0; i < n; ++i) {
        Digit hi = (shift != 0 && i + 1 < n) ? un[i + 1] << (64 - shift) : 0;
        if (shift != 0 && i + 1 == n) hi = un[n] << (64 - shift);
        r[i] = (un[i] >> shift) | hi;
    }
    std::memset(r + n, 0, (lm - n) * sizeof(Digit));
    return true;
}

bool MpModMul(Digit* r, const Digit* a, const Digit* b, const Digit* m, size_t n) {
    WipedScratch scratch(16 * n);
    if (!scratch.ok()) return false;
    Digit* product = scratch.digits();
    MpMul(product, a, n, b, n);
    return MpMod(r, product, 2 * n, m, n);
}

namespace {

// x = x / 2 mod m for odd m (x < m).
void HalveMod(Digit* x, const Digit* m, size_t n) {
    Digit top = 0;
    if ((x[0] & 1) != 0) top = MpAdd(x, x, m, n);
    for (size_t i = 0; i + 1 < n; ++i) x[i] = (x[i] >> 1) | (x[i + 1] << 63);
    x[n - 1] = (x[n - 1] >> 1) | (top << 63);
}

void ShiftRight1(Digit* x, size_t n) {
    for (size_t i = 0; i + 1 < n; ++i) x[i] = (x[i] >> 1) | (x[i + 1] << 63);
    x[n - 1] >>= 1;
}

// x = x - y mod m (x, y < m).
void SubMod(Digit* x, const Digit* y, const Digit* m, size_t n) {
    if (MpSub(x, x, y, n) != 0) MpAdd(x, x, m, n);
}

bool IsOne(const Digit* x, size_t n) { return x[0] == 1 && MpIsZero(x + 1, n - 1); }

}  // namespace

// Binary extended Euclid on (a mod m, m), keeping the Bezout coefficients of a reduced mod m:
// x1 * a = u and x2 * a = v (mod m) throughout.
bool MpModInverse(Digit* r, const Digit* a, const Digit* m, size_t n) {
    WipedScratch scratch(24 * n + 8);
    if (!scratch.ok() || n == 0) return false;
    if ((m[0] & 1) == 0) return false;  // every modulus here is an odd prime
    Digit* u = scratch.digits();
    Digit* v = u + n;
    Digit* x2 = v + n;
    if (!MpMod(u, a, n, m, n)) return false;
    if (MpIsZero(u, n)) return false;
    std::memcpy(v, m, n * sizeof(Digit));
    Digit* x1 = r;  // r may alias a: a has been read
    std::memset(x1, 0, n * sizeof(Digit));
    x1[0] = 1;
    std::memset(x2, 0, n * sizeof(Digit));
    while (!IsOne(u, n) && !IsOne(v, n)) {
        while ((u[0] & 1) == 0) {
            ShiftRight1(u, n);
            HalveMod(x1, m, n);
        }
        while ((v[0] & 1) == 0) {
            ShiftRight1(v, n);
            HalveMod(x2, m, n);
        }
        if (MpCmp(u, v, n) >= 0) {
            MpSub(u, u, v, n);
            SubMod(x1, x2, m, n);
            if (MpIsZero(u, n)) return false;  // gcd = v > 1
        } else {
            MpSub(v, v, u, n);
            SubMod(x2, x1, m, n);
        }
    }
    if (!IsOne(u, n)) std::memcpy(r, x2, n * sizeof(Digit));
    return true;
}

bool MpModInverseChecked(Digit* r, const Digit* a, const Digit* m, size_t n) {
    WipedScratch scratch(16 * n);
    if (!scratch.ok()) return false;
    if (!MpModInverse(r, a, m, n)) return false;
    Digit* product = scratch.digits();
    MpMul(product, a, n, r, n);
    if (!MpMod(product, product, 2 * n, m, n)) return false;
    return IsOne(product, n);
}

bool MpModInverseWords(uint32_t* r, const uint32_t* a, const uint32_t* m, size_t words) {
    if (words == 0 || (words & 1) != 0) return false;
    size_t n = words / 2;
    WipedScratch scratch(12 * words);
    if (!scratch.ok()) return false;
    Digit* aCopy = scratch.digits();
    Digit* mCopy = aCopy + n;
    Digit* result = mCopy + n;
    std::memcpy(aCopy, a, 4 * words);
    std::memcpy(mCopy, m, 4 * words);
    if (!MpModInverseChecked(result, aCopy, mCopy, n)) return false;
    std::memcpy(r, result, 4 * words);
    return true;
}

}  // namespace keymend
