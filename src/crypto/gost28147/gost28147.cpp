// GOST 28147-89: parameter-set cache, block function, key objects, ECB/CFB with key meshing, MAC.
#include "crypto/gost28147/gost28147.h"

#include <cstdlib>
#include <cstring>

#include "crypto/context/crypto_context.h"
#include "crypto/context/secure_blob.h"
#include "crypto/gost28147/gost28147_tables.h"

#define KM_ALWAYS_INLINE __attribute__((always_inline)) inline
#define KM_ALWAYS_INLINE_LAMBDA __attribute__((always_inline))

namespace keymend {

namespace {

using gost28147_detail::kKeyMeshingConstant;
using gost28147_detail::kParamSets;
using gost28147_detail::kParamSetTableSize;

static_assert(kParamSetTableSize == kParamSetCount);
static_assert(kGost28147ExpandedWords * sizeof(uint32_t) == kExpandedTableSize);

// Byte-wise little-endian access; compilers turn these into single loads and stores.
KM_ALWAYS_INLINE uint32_t Load32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

KM_ALWAYS_INLINE void Store32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// Round function: substitution and the rotation by 11, both folded into T0..T3.
KM_ALWAYS_INLINE uint32_t F(const uint32_t* t, uint32_t x) {
    size_t i0 = x & 0xFF, i1 = (x >> 8) & 0xFF, i2 = (x >> 16) & 0xFF, i3 = x >> 24;
    return t[i0] ^ t[256 + i1] ^ t[512 + i2] ^ t[768 + i3];
}

// The rounds work on W independent blocks at once ("lanes"), so that ECB and CFB decryption keep
// several table lookups in flight; W = 1 is the plain serial cipher.
template <size_t W>
KM_ALWAYS_INLINE void Round(const uint32_t* t, const uint32_t (&a)[W], uint32_t (&b)[W],
                            uint32_t key) {
#pragma GCC unroll 8
    for (size_t i = 0; i < W; ++i) b[i] ^= F(t, a[i] + key);
}

// The serial chains (CFB encryption, MAC) are bound by the latency of a round, so their round
// is tuned for it: the two lookups whose index takes one operation to extract (bytes 0 and 3)
// are folded into b first, the two that take longer (bytes 1 and 2) are combined with each
// other, and the two halves meet last. On x86-64 the round is written out so that byte 1 comes
// from the high-byte register in one operation; elsewhere the compiler's code is used, with
// empty asm statements (GCC, Clang) keeping the tree from being reassociated into a chain.
KM_ALWAYS_INLINE void SerialRound(const uint32_t* t, uint32_t a, uint32_t& b, uint32_t key) {
#if defined(__x86_64__) && defined(__GNUC__)
    uint32_t x, i1, i2, i3, u, v;
    asm("movl %[a], %[x]\n\t"
        "addl %[key], %[x]\n\t"
        "movzbl %h[x], %[i1]\n\t"
        "movl %[x], %[i2]\n\t"
        "shrl $16, %[i2]\n\t"
        "movl %[x], %[i3]\n\t"
        "shrl $24, %[i3]\n\t"
        "movzbl %b[x], %[x]\n\t"
        "movzbl %b[i2], %[i2]\n\t"
        "movl %[b], %[u]\n\t"
        "xorl (%[t],%q[x],4), %[u]\n\t"
        "xorl 3072(%[t],%q[i3],4), %[u]\n\t"
        "movl 1024(%[t],%q[i1],4), %[v]\n\t"
        "xorl 2048(%[t],%q[i2],4), %[v]\n\t"
        "xorl %[v], %[u]"
        : [x] "=&Q"(x), [i1] "=&R"(i1), [i2] "=&r"(i2), [i3] "=&r"(i3), [u] "=&r"(u),
          [v] "=&r"(v)
        : [a] "r"(a), [b] "r"(b), [key] "rm"(key), [t] "r"(t),
          "m"(*reinterpret_cast<const uint32_t(*)[1024]>(t)));
    b = u;
#else
    uint32_t x = a + key;
    uint32_t u = b ^ t[x & 0xFF] ^ t[768 + (x >> 24)];
    uint32_t v = t[256 + ((x >> 8) & 0xFF)] ^ t[512 + ((x >> 16) & 0xFF)];
#if defined(__GNUC__)
    asm("" : "+r"(u), "+r"(v));
#endif
    b = u ^ v;
#endif
}

// Eight rounds with K0..K7, or K7..K0 when reversed: even rounds change N2 from N1, odd rounds
// N1 from N2. `toN2(key)` and `toN1(key)` run one round in each direction.
template <bool kReversed, typename ToN2, typename ToN1>
KM_ALWAYS_INLINE void EightRounds(const uint32_t* k, ToN2 toN2, ToN1 toN1) {
#pragma GCC unroll 4
    for (int i = 0; i < 8; i += 2) {
        toN2(k[kReversed ? 7 - i : i]);
        toN1(k[kReversed ? 6 - i : i + 1]);
    }
}

// kForwardPasses times the rounds K0..K7, then, if asked, the rounds K7..K0: 3 + 1 passes make
// an encryption, 2 + 0 the MAC step.
template <int kForwardPasses, bool kBackwardPass>
KM_ALWAYS_INLINE void SerialRounds(const uint32_t* t, const uint32_t* k, uint32_t& n1,
                                   uint32_t& n2) {
    auto toN2 = [&](uint32_t key) KM_ALWAYS_INLINE_LAMBDA { SerialRound(t, n1, n2, key); };
    auto toN1 = [&](uint32_t key) KM_ALWAYS_INLINE_LAMBDA { SerialRound(t, n2, n1, key); };
#pragma GCC unroll 4
    for (int pass = 0; pass < kForwardPasses; ++pass) EightRounds<false>(k, toN2, toN1);
    if constexpr (kBackwardPass) EightRounds<true>(k, toN2, toN1);
}

// Eight rounds on W lanes.
template <size_t W, bool kReversed>
KM_ALWAYS_INLINE void Pass8(const uint32_t* t, const uint32_t* k, uint32_t (&n1)[W],
                            uint32_t (&n2)[W]) {
    EightRounds<kReversed>(
        k, [&](uint32_t key) KM_ALWAYS_INLINE_LAMBDA { Round<W>(t, n1, n2, key); },
        [&](uint32_t key) KM_ALWAYS_INLINE_LAMBDA { Round<W>(t, n2, n1, key); });
}

template <size_t W>
KM_ALWAYS_INLINE void EncryptLanes(const uint32_t* t, const uint32_t* k, uint32_t (&n1)[W],
                                   uint32_t (&n2)[W]) {
    Pass8<W, false>(t, k, n1, n2);
    Pass8<W, false>(t, k, n1, n2);
    Pass8<W, false>(t, k, n1, n2);
    Pass8<W, true>(t, k, n1, n2);
}

template <size_t W>
KM_ALWAYS_INLINE void DecryptLanes(const uint32_t* t, const uint32_t* k, uint32_t (&n1)[W],
                                   uint32_t (&n2)[W]) {
    Pass8<W, false>(t, k, n1, n2);
    Pass8<W, true>(t, k, n1, n2);
    Pass8<W, true>(t, k, n1, n2);
    Pass8<W, true>(t, k, n1, n2);
}

// W blocks from in to out (in == out allowed: all blocks are read before any is written).
template <size_t W, bool kDecrypt>
KM_ALWAYS_INLINE void EcbLanes(const uint32_t* t, const uint32_t* k, const uint8_t* in,
                               uint8_t* out) {
    uint32_t n1[W], n2[W];
    for (size_t i = 0; i < W; ++i) {
        n1[i] = Load32(in + 8 * i);
        n2[i] = Load32(in + 8 * i + 4);
    }
    if constexpr (kDecrypt) {
        DecryptLanes<W>(t, k, n1, n2);
    } else {
        EncryptLanes<W>(t, k, n1, n2);
    }
    for (size_t i = 0; i < W; ++i) {  // an output block is N2 then N1
        Store32(out + 8 * i, n2[i]);
        Store32(out + 8 * i + 4, n1[i]);
    }
}

constexpr size_t kLanes = 4;

template <bool kDecrypt>
void EcbBlocks(const uint32_t* t, const uint32_t* k, const uint8_t* in, uint8_t* out,
               size_t blocks) {
    for (; blocks >= kLanes; blocks -= kLanes, in += 8 * kLanes, out += 8 * kLanes)
        EcbLanes<kLanes, kDecrypt>(t, k, in, out);
    for (; blocks > 0; --blocks, in += 8, out += 8) EcbLanes<1, kDecrypt>(t, k, in, out);
}

// CFB encryption of whole segments: each gamma depends on the previous ciphertext, so serial.
void CfbEncryptBlocks(const uint32_t* t, const uint32_t* k, uint8_t* feedback, uint8_t* data,
                      size_t blocks) {
    uint32_t f1 = Load32(feedback), f2 = Load32(feedback + 4);
    for (; blocks > 0; --blocks, data += 8) {
        uint32_t n1 = f1, n2 = f2;
        SerialRounds<3, true>(t, k, n1, n2);
        f1 = Load32(data) ^ n2;
        f2 = Load32(data + 4) ^ n1;
        Store32(data, f1);
        Store32(data + 4, f2);
    }
    Store32(feedback, f1);
    Store32(feedback + 4, f2);
}

// CFB decryption of whole segments: every gamma comes from known ciphertext, so W at a time.
void CfbDecryptBlocks(const uint32_t* t, const uint32_t* k, uint8_t* feedback, uint8_t* data,
                      size_t blocks) {
    uint32_t f1 = Load32(feedback), f2 = Load32(feedback + 4);
    for (; blocks >= kLanes; blocks -= kLanes, data += 8 * kLanes) {
        uint32_t c1[kLanes], c2[kLanes], n1[kLanes], n2[kLanes];
        for (size_t i = 0; i < kLanes; ++i) {
            c1[i] = Load32(data + 8 * i);
            c2[i] = Load32(data + 8 * i + 4);
            n1[i] = i == 0 ? f1 : c1[i - 1];
            n2[i] = i == 0 ? f2 : c2[i - 1];
        }
        EncryptLanes<kLanes>(t, k, n1, n2);
        for (size_t i = 0; i < kLanes; ++i) {
            Store32(data + 8 * i, c1[i] ^ n2[i]);
            Store32(data + 8 * i + 4, c2[i] ^ n1[i]);
        }
        f1 = c1[kLanes - 1];
        f2 = c2[kLanes - 1];
    }
    for (; blocks > 0; --blocks, data += 8) {
        uint32_t n1[1] = {f1}, n2[1] = {f2};
        EncryptLanes<1>(t, k, n1, n2);
        f1 = Load32(data);
        f2 = Load32(data + 4);
        Store32(data, f1 ^ n2[0]);
        Store32(data + 4, f2 ^ n1[0]);
    }
    Store32(feedback, f1);
    Store32(feedback + 4, f2);
}

// MAC chaining over whole blocks: value = step(value XOR block).
void MacBlocks(const uint32_t* t, const uint32_t* k, uint8_t* value, const uint8_t* data,
               size_t blocks) {
    uint32_t n1 = Load32(value), n2 = Load32(value + 4);
    for (; blocks > 0; --blocks, data += 8) {
        n1 ^= Load32(data);
        n2 ^= Load32(data + 4);
        SerialRounds<2, false>(t, k, n1, n2);
    }
    Store32(value, n1);  // N1 then N2: the MAC step does not swap the halves
    Store32(value + 4, n2);
}

// CFB over any length, continuing the object's current segment.
void CfbRun(Gost28147KeyObject& object, uint8_t* data, size_t length, bool decrypt) {
    uint8_t* feedback = object.state;
    uint8_t* gamma = object.shiftRegister;
    uint32_t& position = object.segmentPosition;
    const uint32_t* k = object.key->words;
    // A partial segment builds the next feedback block byte by byte from the ciphertext.
    auto bytewise = [&](size_t n) {
        for (size_t i = 0; i < n; ++i) {
            uint8_t in = data[i];
            uint8_t out = static_cast<uint8_t>(in ^ gamma[position]);
            data[i] = out;
            feedback[position] = decrypt ? in : out;
            position = (position + 1) & 7;
        }
        data += n;
        length -= n;
    };
    if (position != 0) bytewise(length < 8 - position ? length : 8 - position);
    size_t blocks = length / 8;
    if (blocks > 0) {
        if (decrypt) {
            CfbDecryptBlocks(object.table, k, feedback, data, blocks);
        } else {
            CfbEncryptBlocks(object.table, k, feedback, data, blocks);
        }
        data += 8 * blocks;
        length -= 8 * blocks;
    }
    if (length > 0) {
        EcbBlocks<false>(object.table, k, feedback, gamma, 1);
        bytewise(length);
    }
}

// The block functions keep their working words (plaintext, key stream, running MAC values) in
// registers and, where registers run short, in their stack frames. Every entry point that ran
// them overwrites, before it returns, the stack just below its own frame, where those frames
// were: the hash routines wipe their working copies the same way, by SecureWipe.
constexpr size_t kCipherStackDepth = 2048;  // well above the deepest frame of the block functions

__attribute__((noinline)) void WipeCipherStack() {
    uint8_t area[kCipherStackDepth];
    SecureWipe(area, sizeof area);
}

LibraryAllocator& Allocator() { return GlobalCryptoContext().allocator; }

bool Fail(uint32_t status) {
    Allocator().lastError = status;
    return false;
}

}  // namespace

// ---- Parameter sets -------------------------------------------------------------------------

int ParamSetIndex(const char* oid) {
    if (oid == nullptr) return -1;
    for (size_t i = 0; i < kParamSetTableSize; ++i) {
        if (std::strcmp(oid, kParamSets[i].oid) != 0) continue;
        uint32_t*& slot = GlobalCryptoContext().expandedTables[i];
        if (slot == nullptr) {
            slot = static_cast<uint32_t*>(std::malloc(kExpandedTableSize));
            if (slot == nullptr) {
                Fail(kStatusNoMemory);
                return -1;
            }
            ExpandParamSet(kParamSets[i].packed, slot);
        }
        return static_cast<int>(i);
    }
    return -1;
}

const char* ParamSetOid(int index) {
    if (index < 0 || static_cast<size_t>(index) >= kParamSetTableSize) return nullptr;
    return kParamSets[index].oid;
}

const uint8_t* PackedParamSet(int index) {
    if (index < 0 || static_cast<size_t>(index) >= kParamSetTableSize) return nullptr;
    return kParamSets[index].packed;
}

bool ExpandParamSet(const uint8_t* packed, uint32_t* out) {
    if (packed == nullptr || out == nullptr) return false;
    uint8_t box[8][16];  // box[n] is K(n+1)
    for (size_t r = 0; r < 16; ++r) {
        for (size_t c = 0; c < 4; ++c) {
            box[2 * c][r] = static_cast<uint8_t>(packed[4 * r + c] >> 4);
            box[2 * c + 1][r] = static_cast<uint8_t>(packed[4 * r + c] & 0x0F);
        }
    }
    for (size_t j = 0; j < 4; ++j) {
        for (uint32_t x = 0; x < 256; ++x) {
            uint32_t v = static_cast<uint32_t>(box[2 * j][x & 15] | box[2 * j + 1][x >> 4] << 4)
                         << (8 * j);
            out[256 * j + x] = v << 11 | v >> 21;
        }
    }
    return true;
}

const uint32_t* ExpandedParamSet(int index) {
    if (index < 0 || static_cast<size_t>(index) >= kParamSetTableSize) return nullptr;
    return GlobalCryptoContext().expandedTables[index];
}

// ---- Block function -------------------------------------------------------------------------

void Gost28147LoadKey(const uint8_t* key32, Gost28147KeyRecord& record) {
    for (size_t i = 0; i < 8; ++i) record.words[i] = Load32(key32 + 4 * i);
}

void Gost28147EncryptBlocks(const uint32_t* table, const Gost28147KeyRecord& key,
                            const uint8_t* in, uint8_t* out, size_t blocks) {
    EcbBlocks<false>(table, key.words, in, out, blocks);
    WipeCipherStack();
}

void Gost28147DecryptBlocks(const uint32_t* table, const Gost28147KeyRecord& key,
                            const uint8_t* in, uint8_t* out, size_t blocks) {
    EcbBlocks<true>(table, key.words, in, out, blocks);
    WipeCipherStack();
}

void Gost28147MacStep(const uint32_t* table, const Gost28147KeyRecord& key, uint8_t* value8) {
    static constexpr uint8_t kZero[8] = {};
    MacBlocks(table, key.words, value8, kZero, 1);
    WipeCipherStack();
}

// ---- Key objects ----------------------------------------------------------------------------

Gost28147KeyObject* Gost28147CreateKey(const uint8_t* key, size_t keyLength, int paramSetIndex,
                                       const uint8_t* iv) {
    if (key == nullptr || keyLength != kGost28147KeySize) {
        Fail(kStatusBadData);
        return nullptr;
    }
    const uint32_t* table = ExpandedParamSet(paramSetIndex);
    if (table == nullptr) return nullptr;
    auto* object = static_cast<Gost28147KeyObject*>(
        LibAlloc(Allocator(), sizeof(Gost28147KeyObject), kAllocScratch));
    if (object == nullptr) return nullptr;
    std::memset(object, 0, sizeof(*object));
    object->algorithmId = kGost28147AlgorithmId;
    object->blockLength = kGost28147BlockSize;
    object->registerLength = kGost28147BlockSize;
    object->segmentLength = kGost28147BlockSize;
    object->key = &object->keyStorage;
    object->table = table;
    Gost28147LoadKey(key, object->keyStorage);
    if (iv != nullptr) std::memcpy(object->state, iv, kGost28147BlockSize);
    return object;
}

void Gost28147DestroyKey(Gost28147KeyObject* object) {
    if (object == nullptr) return;
    SecureWipe(object, sizeof(*object));
    LibFree(Allocator(), object, 0);
}

void Gost28147MeshKey(Gost28147KeyObject& object, bool cfb) {
    SecureArray<kGost28147KeySize> newKey;
    Gost28147DecryptBlocks(object.table, *object.key, kKeyMeshingConstant, newKey.data(), 4);
    Gost28147LoadKey(newKey.data(), *object.key);
    if (cfb) Gost28147EncryptBlocks(object.table, *object.key, object.state, object.state, 1);
}

bool Gost28147Process(Gost28147KeyObject& object, int modeCode, uint8_t* data, size_t length,
                      bool keyMeshing) {
    bool cfb = modeCode == kModeCfbEncrypt || modeCode == kModeCfbDecrypt;
    bool ecb = modeCode == kModeEcbEncrypt || modeCode == kModeEcbDecrypt;
    if (!cfb && !ecb) return Fail(kStatusBadData);
    if (length == 0) return true;
    if (data == nullptr) return Fail(kStatusBadData);
    // ECB also needs the object on a block boundary, or a meshing section would split a block.
    if (ecb && (length % 8 != 0 || object.processed % 8 != 0)) return Fail(kStatusBadData);
    while (length > 0) {
        size_t chunk = length;
        if (keyMeshing) {
            size_t used = static_cast<size_t>(object.processed % kKeyMeshingSection);
            if (chunk > kKeyMeshingSection - used) chunk = kKeyMeshingSection - used;
        }
        switch (modeCode) {
            case kModeEcbEncrypt:
                Gost28147EncryptBlocks(object.table, *object.key, data, data, chunk / 8);
                break;
            case kModeEcbDecrypt:
                Gost28147DecryptBlocks(object.table, *object.key, data, data, chunk / 8);
                break;
            default:
                CfbRun(object, data, chunk, modeCode == kModeCfbDecrypt);
                break;
        }
        object.processed += chunk;
        data += chunk;
        length -= chunk;
        if (keyMeshing && object.processed % kKeyMeshingSection == 0) Gost28147MeshKey(object, cfb);
    }
    WipeCipherStack();
    return true;
}

bool Gost28147MacUpdate(Gost28147KeyObject& object, const uint8_t* data, size_t length) {
    if (length == 0) return true;
    if (data == nullptr) return Fail(kStatusBadData);
    uint8_t* value = object.state;
    size_t position = static_cast<size_t>(object.processed % 8);
    object.processed += length;
    if (position != 0) {  // complete the pending block first
        while (position < 8 && length > 0) {
            value[position++] ^= *data++;
            --length;
        }
        if (position < 8) return true;
        Gost28147MacStep(object.table, *object.key, value);
    }
    size_t blocks = length / 8;
    MacBlocks(object.table, object.key->words, value, data, blocks);
    WipeCipherStack();
    data += 8 * blocks;
    length -= 8 * blocks;
    for (size_t i = 0; i < length; ++i) value[i] ^= data[i];  // pending partial block
    return true;
}

void Gost28147MacFinal(const Gost28147KeyObject& object, uint8_t* mac4) {
    uint64_t n = object.processed;
    if (n == 0) {
        std::memset(mac4, 0, kGost28147MacSize);
        return;
    }
    SecureArray<kGost28147BlockSize> value;
    std::memcpy(value.data(), object.state, kGost28147BlockSize);
    if (n % 8 != 0 || n == 8) {
        // The zero-padded last block (already XORed in), or the extra zero block after one block.
        Gost28147MacStep(object.table, *object.key, value.data());
        // A message shorter than a block is extended by one more all-zero block.
        if (n < 8) Gost28147MacStep(object.table, *object.key, value.data());
    }
    std::memcpy(mac4, value.data(), kGost28147MacSize);
}

// ---- One-shot entry points ------------------------------------------------------------------

bool Gost28147Crypt(uint8_t* data, size_t length, CipherDirection direction, int modeSelector,
                    const uint8_t* key, size_t keyLength, const char* paramSetOid,
                    const uint8_t* iv) {
    const bool decrypt = direction == CipherDirection::kDecrypt;
    int index = ParamSetIndex(paramSetOid);
    if (index < 0) return false;
    if (modeSelector != kGost28147Ecb && modeSelector != kGost28147Cfb)
        return Fail(kStatusBadData);
    if (modeSelector == kGost28147Cfb && iv == nullptr) return Fail(kStatusBadData);
    if (modeSelector == kGost28147Ecb && length % 8 != 0) return Fail(kStatusBadData);
    if (data == nullptr && length != 0) return Fail(kStatusBadData);
    Gost28147KeyPtr object(Gost28147CreateKey(key, keyLength, index, iv));
    if (!object) return false;
    int modeCode = modeSelector == kGost28147Ecb ? (decrypt ? kModeEcbDecrypt : kModeEcbEncrypt)
                                                 : (decrypt ? kModeCfbDecrypt : kModeCfbEncrypt);
    return Gost28147Process(*object, modeCode, data, length, KeyMeshingSwitch() != 0);
}

bool Gost28147Mac(const uint8_t* data, size_t length, uint8_t* mac4, const uint8_t* key,
                  size_t keyLength, const char* paramSetOid, const uint8_t* iv) {
    int index = ParamSetIndex(paramSetOid);
    if (index < 0) return false;
    if (data == nullptr || mac4 == nullptr || iv == nullptr) return Fail(kStatusBadData);
    Gost28147KeyPtr object(Gost28147CreateKey(key, keyLength, index, iv));
    if (!object) return false;
    if (!Gost28147MacUpdate(*object, data, length)) return false;
    Gost28147MacFinal(*object, mac4);
    return true;
}

}  // namespace keymend
