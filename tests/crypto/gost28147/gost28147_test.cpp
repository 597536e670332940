// GOST 28147-89: known answers, OpenSSL's results on random data, refused arguments, data fed in
// pieces, key meshing points and the meshing switch.
#include "crypto/gost28147/gost28147.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "crypto/context/crypto_context.h"
#include "support/test_support.h"

namespace keymend {
namespace {

CipherDirection Direction(bool decrypt) {
    return decrypt ? CipherDirection::kDecrypt : CipherDirection::kEncrypt;
}

using test::Bytes;
using test::LoadVectors;
using test::ToHex;

constexpr const char* kSetA = "1.2.643.2.2.31.1";
constexpr const char* kSetZ = "1.2.643.7.1.2.5.1.1";
const uint8_t kZeroIv[8] = {};

Bytes RandomData(std::mt19937& rng, size_t n) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    return b;
}

Bytes Head(const Bytes& b, size_t n) {
    return Bytes(b.begin(), b.begin() + static_cast<long>(n));
}

// The first n bytes of data through Gost28147Crypt (ECB or CFB), the rest unchanged.
Bytes Crypt(Bytes data, size_t n, bool decrypt, int mode, const Bytes& key, const char* oid,
            const uint8_t* iv) {
    EXPECT_TRUE(
        Gost28147Crypt(data.data(), n, Direction(decrypt), mode, key.data(), key.size(), oid, iv));
    return data;
}

// The MAC of the first n bytes in one call; an empty message still needs a non-null pointer (null
// means absent).
std::string Mac(const Bytes& data, size_t n, const Bytes& key, const char* oid) {
    uint8_t mac[4] = {};
    EXPECT_TRUE(Gost28147Mac(n ? data.data() : kZeroIv, n, mac, key.data(), 32, oid, kZeroIv));
    return ToHex(mac, 4);
}

// A key object; ParamSetIndex puts the set's table in the cache first.
Gost28147KeyPtr KeyObject(const Bytes& key, const char* oid, const uint8_t* iv) {
    return Gost28147KeyPtr(Gost28147CreateKey(key.data(), key.size(), ParamSetIndex(oid), iv));
}

// Data run through one key object in the given pieces, then the rest (whatever the switch says).
Bytes Through(const Bytes& key, const char* oid, const Bytes& iv, int mode, Bytes data,
              bool meshing, const std::vector<size_t>& pieces = {}) {
    Gost28147KeyPtr object = KeyObject(key, oid, iv.data());
    if (!object) return {};
    size_t done = 0;
    for (size_t piece : pieces) {
        EXPECT_TRUE(Gost28147Process(*object, mode, data.data() + done, piece, meshing));
        done += piece;
    }
    EXPECT_TRUE(Gost28147Process(*object, mode, data.data() + done, data.size() - done, meshing));
    return data;
}

// The MAC of the first n bytes fed in pieces of `split` bytes, the key meshed after every 1,024
// bytes when asked (state kept), as OpenSSL's MAC does. Finishing twice gives the same value.
std::string MacInPieces(const Bytes& key, const char* oid, const Bytes& data, size_t n,
                        size_t split, bool meshing) {
    Gost28147KeyPtr object = KeyObject(key, oid, kZeroIv);
    for (size_t done = 0; done < n; done += split) {
        if (meshing && done != 0 && done % 1024 == 0) Gost28147MeshKey(*object, false);
        EXPECT_TRUE(Gost28147MacUpdate(*object, data.data() + done, std::min(split, n - done)));
    }
    uint8_t mac[4], again[4];
    Gost28147MacFinal(*object, mac);
    Gost28147MacFinal(*object, again);
    EXPECT_EQ(ToHex(mac, 4), ToHex(again, 4));
    return ToHex(mac, 4);
}

// Byte i of the CFB and MAC vector messages is (7 * i + 3) mod 256.
Bytes Pattern(const test::VectorRecord& v) {
    Bytes b(std::stoul(v.Get("Length")));
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(7 * i + 3);
    return b;
}

const char* Oid(const test::VectorRecord& v) {
    return v.Has("Index") ? ParamSetOid(std::stoi(v.Get("Index"))) : v.Get("Oid").c_str();
}

TEST(Gost28147Kat, ParamSets) {
    for (const auto& v : LoadVectors("gost28147/paramsets.vec",
                                     {"Index", "Oid", "Packed", "Table", "Entry", "Value"})) {
        const int index = std::stoi(v.Get("Index"));
        if (Oid(v) == nullptr) {
            ADD_FAILURE() << "no parameter set " << index;
            continue;
        }
        EXPECT_EQ(ParamSetIndex(Oid(v)), index);
        if (v.section == "ParamSet") {
            EXPECT_EQ(Oid(v), v.Get("Oid"));
            EXPECT_EQ(ToHex(PackedParamSet(index), kGost28147PackedSize), v.Get("Packed"));
            continue;
        }
        const size_t entry = 256 * std::stoul(v.Get("Table")) + std::stoul(v.Get("Entry"));
        EXPECT_EQ(ExpandedParamSet(index)[entry], std::stoul(v.Get("Value"), nullptr, 16))
            << "set " << index << " T" << v.Get("Table") << "[" << v.Get("Entry") << "]";
    }
    EXPECT_EQ(ParamSetOid(14), nullptr);
    EXPECT_EQ(ParamSetOid(-1), nullptr);
    // Indices 1 and 8 (the same boxes) fill separate cache slots with equal contents.
    ASSERT_NE(ExpandedParamSet(1), ExpandedParamSet(8));
    EXPECT_EQ(0, std::memcmp(ExpandedParamSet(1), ExpandedParamSet(8), kExpandedTableSize));
    // The RFC 4357 test set, a prefix, a longer arc, a trailing space, empty and null text.
    for (const char* oid : {"1.2.643.2.2.31.0", "1.2.643.2.2.31", "1.2.643.2.2.31.11",
                            "1.2.643.2.2.31.1 ", "", static_cast<const char*>(nullptr)}) {
        EXPECT_EQ(ParamSetIndex(oid), -1) << (oid ? oid : "(null)");
    }
}

TEST(Gost28147Kat, Ecb) {
    for (const auto& v :
         LoadVectors("gost28147/ecb.vec", {"Index", "Key", "Plaintext", "Ciphertext"})) {
        SCOPED_TRACE(v.Get("Index") + " " + v.Get("Key") + " " + v.Get("Plaintext"));
        const Bytes key = v.Hex("Key"), plain = v.Hex("Plaintext");
        const Bytes data = Crypt(plain, plain.size(), false, kGost28147Ecb, key, Oid(v), nullptr);
        EXPECT_EQ(ToHex(data), v.Get("Ciphertext"));
        Bytes out(data.size());
        // Decryption into a separate buffer (the body key meshing uses).
        Gost28147KeyRecord record;
        Gost28147LoadKey(key.data(), record);
        Gost28147DecryptBlocks(ExpandedParamSet(ParamSetIndex(Oid(v))), record, data.data(),
                               out.data(), data.size() / 8);
        EXPECT_EQ(ToHex(out), v.Get("Plaintext"));
    }
}

// The 2,100-byte messages also go through one key object in pieces, some ending exactly on a
// meshing point: the result must be that of one call.
TEST(Gost28147Kat, CfbAndMac) {
    for (const auto& v : LoadVectors("gost28147/cfb.vec", {"Index", "Key", "Iv", "Length",
                                                           "Ciphertext", "Meshed", "Unmeshed"})) {
        SCOPED_TRACE(v.Get("Index") + " " + v.Get("Key") + " length " + v.Get("Length"));
        const Bytes key = v.Hex("Key"), iv = v.Hex("Iv"), plain = Pattern(v);
        const char* oid = Oid(v);
        for (bool meshing : {true, false}) {
            // Up to 1,024 bytes there is one value for both.
            const Bytes want = v.Hex(v.Has("Ciphertext") ? "Ciphertext"
                                     : meshing           ? "Meshed"
                                                         : "Unmeshed");
            EXPECT_EQ(Through(key, oid, iv, kModeCfbEncrypt, plain, meshing), want) << meshing;
            EXPECT_EQ(Through(key, oid, iv, kModeCfbDecrypt, want, meshing), plain) << meshing;
            for (size_t first = 0; plain.size() == 2100 && first <= 24; ++first) {
                for (std::vector<size_t> pieces : std::vector<std::vector<size_t>>{
                         {1}, {3, 5}, {7, 1000 - first}, {1024 - first}, {1030 - first, 1018}}) {
                    pieces.insert(pieces.begin(), first);
                    SCOPED_TRACE(testing::Message() << first << " then " << pieces[1]);
                    ASSERT_EQ(Through(key, oid, iv, kModeCfbEncrypt, plain, meshing, pieces), want);
                    ASSERT_EQ(Through(key, oid, iv, kModeCfbDecrypt, want, meshing, pieces), plain);
                }
            }
        }
    }
    for (const auto& v :
         LoadVectors("gost28147/mac.vec", {"Index", "Key", "Length", "Mac", "Meshed"})) {
        SCOPED_TRACE(v.Get("Index") + " " + v.Get("Key") + " length " + v.Get("Length"));
        const Bytes key = v.Hex("Key"), data = Pattern(v);
        EXPECT_EQ(Mac(data, data.size(), key, Oid(v)), v.Get("Mac"));
        for (size_t split : {1, 5, 8, 9, 1023, 1024, 1031}) {
            if (split > data.size() && split != 1) continue;
            EXPECT_EQ(MacInPieces(key, Oid(v), data, data.size(), split, false), v.Get("Mac"))
                << split;
        }
        if (v.Has("Meshed")) {
            EXPECT_EQ(MacInPieces(key, Oid(v), data, data.size(), 1024, true), v.Get("Meshed"));
        }
    }
}

// Per set OpenSSL's CBC (ECB decryption of c[i] gives p[i] ^ c[i-1]) and, for each prefix length
// of the Mac records, its CFB and its MAC, which meshes; the plain MAC agrees up to 1,024 bytes.
TEST(Gost28147OpenSsl, CfbEcbAndMacOnRandomData) {
    Bytes key, iv, plain, meshed, unmeshed;
    for (const auto& v :
         LoadVectors("gost28147/openssl.vec",
                     {"Oid", "Key", "Iv", "Plain", "Meshed", "Unmeshed", "Cbc", "Length", "Mac"})) {
        SCOPED_TRACE(v.Get("Oid"));
        if (v.section == "Set") {
            key = v.Hex("Key"), iv = v.Hex("Iv"), plain = v.Hex("Plain"), meshed = v.Hex("Meshed");
            unmeshed = v.Has("Unmeshed") ? v.Hex("Unmeshed") : Bytes();
            const Bytes cbc = v.Hex("Cbc");
            Bytes chained = Head(plain, cbc.size());
            for (size_t i = 8; i < chained.size(); ++i) chained[i] ^= cbc[i - 8];
            EXPECT_EQ(Crypt(cbc, cbc.size(), true, kGost28147Ecb, key, Oid(v), nullptr), chained);
            EXPECT_EQ(Crypt(chained, cbc.size(), false, kGost28147Ecb, key, Oid(v), nullptr), cbc);
            continue;
        }
        const size_t n = std::stoul(v.Get("Length"));
        const Bytes head = Head(plain, n);
        EXPECT_EQ(Crypt(head, n, false, kGost28147Cfb, key, Oid(v), iv.data()), Head(meshed, n));
        EXPECT_EQ(Crypt(Head(meshed, n), n, true, kGost28147Cfb, key, Oid(v), iv.data()), head);
        if (!unmeshed.empty()) {
            EXPECT_EQ(Through(key, Oid(v), iv, kModeCfbEncrypt, head, false), Head(unmeshed, n));
        }
        EXPECT_EQ(Mac(plain, n, key, Oid(v)) == v.Get("Mac"), n <= 1024) << n;
        EXPECT_EQ(MacInPieces(key, Oid(v), plain, n, 1024, true), v.Get("Mac")) << n;
    }
}

TEST(Gost28147Modes, RefusedArgumentsLeaveDataUnchanged) {
    std::mt19937 rng(1);
    const Bytes key = RandomData(rng, 32), iv = RandomData(rng, 8), original = RandomData(rng, 16);
    Bytes data = original;
    uint8_t* d = data.data();
    const uint8_t *k = key.data(), *i = iv.data();
    uint8_t mac[4] = {1, 2, 3, 4};
    EXPECT_TRUE(
        Gost28147Crypt(d, 0, CipherDirection::kEncrypt, kGost28147Ecb, k, 32, kSetA, nullptr));
    const bool refused[] = {
        Gost28147Crypt(d, 12, CipherDirection::kEncrypt, kGost28147Ecb, k, 32, kSetA, nullptr),
        Gost28147Crypt(d, 16, CipherDirection::kEncrypt, kGost28147Cfb, k, 32, kSetA,
                       nullptr),                                               // CFB without IV
        Gost28147Crypt(d, 16, CipherDirection::kEncrypt, 3, k, 32, kSetA, i),  // unknown mode
        Gost28147Crypt(d, 16, CipherDirection::kEncrypt, kGost28147Cfb, k, 31, kSetA, i),
        Gost28147Crypt(d, 16, CipherDirection::kEncrypt, kGost28147Cfb, nullptr, 32, kSetA, i),
        Gost28147Crypt(nullptr, 16, CipherDirection::kEncrypt, kGost28147Cfb, k, 32, kSetA, i),
        Gost28147Crypt(d, 16, CipherDirection::kEncrypt, kGost28147Cfb, k, 32, "1.2.643.2.2.31.0",
                       i),
        Gost28147Mac(d, 16, mac, k, 32, kSetA, nullptr),
        Gost28147Mac(d, 16, nullptr, k, 32, kSetA, i),
        Gost28147Mac(nullptr, 0, mac, k, 32, kSetA, i),
        Gost28147Mac(d, 16, mac, k, 33, kSetA, i),
        Gost28147Mac(d, 16, mac, k, 32, "", i),
    };
    for (size_t n = 0; n < std::size(refused); ++n) EXPECT_FALSE(refused[n]) << "case " << n;
    EXPECT_EQ(data, original);
    EXPECT_EQ(mac[0], 1);
    EXPECT_EQ(GlobalCryptoContext().allocator.lastError, kStatusBadData);
}

// The key after n bytes against meshings of the RFC 4357 section 2.3.1 constant (a call that ends
// exactly on a meshing point meshes before it returns); Gost28147Crypt meshes exactly while the
// switch (-noKVKM turns it off) is on, the MAC never.
TEST(Gost28147Modes, KeyMeshing) {
    std::mt19937 rng(7);
    const Bytes key = RandomData(rng, 32), iv = RandomData(rng, 8), plain = RandomData(rng, 1496);
    Bytes keys[4] = {key};
    for (int m = 1; m < 4; ++m) {  // the key after m meshings
        const Bytes c =
            test::FromHex("6900722264c904238d3adb9646e92ac418feac9400ed0712c086dcc2ef4ca92b");
        keys[m] = Crypt(c, 32, true, kGost28147Ecb, keys[m - 1], kSetA, nullptr);
    }
    const struct {
        size_t length;
        int mode, meshings;
    } cases[] = {{1023, kModeCfbDecrypt, 0}, {1024, kModeCfbEncrypt, 1}, {1025, kModeCfbEncrypt, 1},
                 {2047, kModeCfbDecrypt, 1}, {2048, kModeCfbEncrypt, 2}, {3072, kModeEcbEncrypt, 3},
                 {1016, kModeEcbDecrypt, 0}};
    for (const auto& c : cases) {
        Gost28147KeyPtr object = KeyObject(key, kSetA, iv.data());
        Bytes data = RandomData(rng, c.length);
        ASSERT_TRUE(Gost28147Process(*object, c.mode, data.data(), data.size(), true));
        const auto* words = reinterpret_cast<const uint8_t*>(object->key->words);
        EXPECT_EQ(ToHex(words, 32), ToHex(keys[c.meshings])) << c.length;
    }
    const std::string unmeshedMac =
        MacInPieces(key, kSetZ, plain, plain.size(), plain.size(), false);
    for (uint32_t meshing : {0u, 1u}) {
        ASSERT_TRUE(CryptoContextInit(meshing));
        for (int code : {kModeCfbEncrypt, kModeEcbEncrypt}) {
            const int selector = code == kModeCfbEncrypt ? kGost28147Cfb : kGost28147Ecb;
            const Bytes data = Crypt(plain, plain.size(), false, selector, key, kSetZ, iv.data());
            EXPECT_EQ(data, Through(key, kSetZ, iv, code, plain, meshing == 1)) << meshing << code;
            EXPECT_NE(data, Through(key, kSetZ, iv, code, plain, meshing == 0)) << meshing << code;
        }
        EXPECT_EQ(Mac(plain, plain.size(), key, kSetZ), unmeshedMac) << meshing;
    }
}

// Runs one operation in a frame of its own, so that what it leaves on the stack lies below.
__attribute__((noinline)) void RunCipher(uint8_t* data, size_t n, bool decrypt, int mode) {
    const Bytes key(32, 0x5C);
    EXPECT_TRUE(
        Gost28147Crypt(data, n, Direction(decrypt), mode, key.data(), key.size(), kSetA, kZeroIv));
}

// How many 4-octet words of the stack below the caller, as earlier calls left it, are in `words`.
__attribute__((noinline)) size_t WordsLeftOnStack(const std::vector<uint32_t>& words) {
    uint32_t area[2048];
    asm volatile("" : "=m"(area));  // taken as it is, not as the compiler would assume
    size_t found = 0;
    for (uint32_t v : area) found += std::find(words.begin(), words.end(), v) != words.end();
    return found;
}

// The cipher's working words do not outlive a call: the plaintext of an encryption or a
// decryption is nowhere on the stack below the caller afterwards.
TEST(Gost28147Modes, WorkingWordsDoNotOutliveACall) {
    std::vector<uint32_t> words(64);
    for (size_t i = 0; i < words.size(); ++i) words[i] = 0xA5000000u + static_cast<uint32_t>(i);
    for (const int mode : {kGost28147Ecb, kGost28147Cfb}) {
        for (const bool decrypt : {false, true}) {
            Bytes data(words.size() * 4);
            std::memcpy(data.data(), words.data(), data.size());
            if (decrypt) RunCipher(data.data(), data.size(), false, mode);
            RunCipher(data.data(), data.size(), decrypt, mode);
            EXPECT_EQ(WordsLeftOnStack(words), 0u) << mode << (decrypt ? " decrypt" : " encrypt");
        }
    }
}

}  // namespace
}  // namespace keymend
