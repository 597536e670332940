// Known-answer tests of GOST 28147-89: parameter sets, ECB, CFB with and without key meshing, MAC.
#include <gtest/gtest.h>

#include <cstring>

#include "crypto/context/crypto_context.h"
#include "crypto/gost28147/gost28147.h"
#include "support/test_support.h"

namespace keymend {
namespace {

using test::Bytes;
using test::FromHex;
using test::LoadVectors;
using test::ToHex;

// The message pattern of the CFB and MAC vectors: byte i = (7 * i + 3) mod 256.
Bytes Pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(7 * i + 3);
    return b;
}

const char* Oid(const test::VectorRecord& v) { return ParamSetOid(std::stoi(v.Get("Index"))); }

// Runs the block through a key object directly, so the key-meshing choice does not depend on the
// process-wide switch.
Bytes RunMode(int modeCode, Bytes data, const Bytes& key, const char* oid, const Bytes& iv,
              bool meshing) {
    Gost28147KeyPtr object(Gost28147CreateKey(key.data(), key.size(), ParamSetIndex(oid),
                                              iv.empty() ? nullptr : iv.data()));
    EXPECT_TRUE(object);
    if (!object) return {};
    EXPECT_TRUE(Gost28147Process(*object, modeCode, data.data(), data.size(), meshing));
    return data;
}

TEST(Gost28147Kat, ParamSetTableMatchesReference) {
    int seen = 0;
    for (const auto& v : LoadVectors("gost28147/paramsets.vec",
                                     {"Index", "Oid", "Packed", "Table", "Entry", "Value"})) {
        if (v.section == "ParamSet") {
            int index = std::stoi(v.Get("Index"));
            SCOPED_TRACE(index);
            ASSERT_NE(ParamSetOid(index), nullptr);
            EXPECT_EQ(ParamSetOid(index), v.Get("Oid"));
            EXPECT_EQ(ParamSetIndex(v.Get("Oid").c_str()), index);
            EXPECT_EQ(ToHex(PackedParamSet(index), kGost28147PackedSize), v.Get("Packed"));
            ++seen;
        } else if (v.section == "Expanded") {
            int index = std::stoi(v.Get("Index"));
            ASSERT_GE(ParamSetIndex(ParamSetOid(index)), 0);
            const uint32_t* table = ExpandedParamSet(index);
            ASSERT_NE(table, nullptr);
            size_t entry = 256 * std::stoul(v.Get("Table")) + std::stoul(v.Get("Entry"));
            EXPECT_EQ(table[entry], std::stoul(v.Get("Value"), nullptr, 16))
                << "set " << index << " T" << v.Get("Table") << "[" << v.Get("Entry") << "]";
        } else {
            ASSERT_EQ(v.section, "MeshingConstant");
            // Meshing replaces the key by the decryption of this constant under the old key.
            Bytes key = FromHex("546d203368656c326973652073736e62206167796967747473656865202c3d73");
            Gost28147KeyPtr object(Gost28147CreateKey(key.data(), 32, ParamSetIndex(ParamSetOid(0)),
                                                      nullptr));
            ASSERT_TRUE(object);
            Gost28147MeshKey(*object, false);
            Bytes expected = v.Hex("Value");
            ASSERT_TRUE(Gost28147Crypt(expected.data(), 32, true, kGost28147Ecb, key.data(), 32,
                                       ParamSetOid(0), nullptr));
            Gost28147KeyRecord record;
            Gost28147LoadKey(expected.data(), record);
            EXPECT_EQ(0, std::memcmp(record.words, object->key->words, sizeof(record.words)));
        }
    }
    EXPECT_EQ(seen, 14);
    EXPECT_EQ(ParamSetOid(14), nullptr);
    EXPECT_EQ(ParamSetOid(-1), nullptr);
}

TEST(Gost28147Kat, UnknownOidsAreRefused) {
    // The RFC 4357 test set, a prefix, a longer arc, a trailing space, empty and null text.
    for (const char* oid : {"1.2.643.2.2.31.0", "1.2.643.2.2.31", "1.2.643.2.2.31.11",
                            "1.2.643.2.2.31.1 ", "", static_cast<const char*>(nullptr)}) {
        EXPECT_EQ(ParamSetIndex(oid), -1) << (oid ? oid : "(null)");
        uint8_t data[8] = {}, key[32] = {}, mac[4];
        EXPECT_FALSE(Gost28147Crypt(data, 8, false, kGost28147Ecb, key, 32, oid, nullptr));
        EXPECT_FALSE(Gost28147Mac(data, 8, mac, key, 32, oid, data));
    }
}

TEST(Gost28147Kat, Ecb) {
    for (const auto& v :
         LoadVectors("gost28147/ecb.vec", {"Index", "Key", "Plaintext", "Ciphertext"})) {
        SCOPED_TRACE(v.Get("Index") + " " + v.Get("Key") + " " + v.Get("Plaintext"));
        Bytes key = v.Hex("Key"), data = v.Hex("Plaintext");
        ASSERT_TRUE(Gost28147Crypt(data.data(), data.size(), false, kGost28147Ecb, key.data(),
                                   key.size(), Oid(v), nullptr));
        EXPECT_EQ(ToHex(data), v.Get("Ciphertext"));
        ASSERT_TRUE(Gost28147Crypt(data.data(), data.size(), true, kGost28147Ecb, key.data(),
                                   key.size(), Oid(v), nullptr));
        EXPECT_EQ(ToHex(data), v.Get("Plaintext"));
        // Block function and separate output buffer (the body used by key meshing).
        Gost28147KeyRecord record;
        Gost28147LoadKey(key.data(), record);
        Bytes ct = v.Hex("Ciphertext"), out(ct.size());
        Gost28147DecryptBlocks(ExpandedParamSet(ParamSetIndex(Oid(v))), record, ct.data(),
                               out.data(), ct.size() / 8);
        EXPECT_EQ(ToHex(out), v.Get("Plaintext"));
    }
}

TEST(Gost28147Kat, Cfb) {
    for (const auto& v : LoadVectors("gost28147/cfb.vec", {"Index", "Key", "Iv", "Length",
                                                           "Ciphertext", "Meshed", "Unmeshed"})) {
        SCOPED_TRACE(v.Get("Index") + " " + v.Get("Key") + " length " + v.Get("Length"));
        Bytes key = v.Hex("Key"), iv = v.Hex("Iv"), plain = Pattern(std::stoul(v.Get("Length")));
        std::string meshed = v.Has("Ciphertext") ? v.Get("Ciphertext") : v.Get("Meshed");
        std::string unmeshed = v.Has("Ciphertext") ? v.Get("Ciphertext") : v.Get("Unmeshed");
        for (bool meshing : {true, false}) {
            const std::string& expected = meshing ? meshed : unmeshed;
            Bytes ct = RunMode(kModeCfbEncrypt, plain, key, Oid(v), iv, meshing);
            EXPECT_EQ(ToHex(ct), expected) << "meshing " << meshing;
            EXPECT_EQ(RunMode(kModeCfbDecrypt, FromHex(expected), key, Oid(v), iv, meshing),
                      plain)
                << "meshing " << meshing;
        }
        // The one-shot entry point follows the process-wide switch (on in the tests).
        ASSERT_EQ(KeyMeshingSwitch(), 1u);
        Bytes data = plain;
        ASSERT_TRUE(Gost28147Crypt(data.data(), data.size(), false, kGost28147Cfb, key.data(),
                                   key.size(), Oid(v), iv.data()));
        EXPECT_EQ(ToHex(data), meshed);
    }
}

TEST(Gost28147Kat, Mac) {
    for (const auto& v :
         LoadVectors("gost28147/mac.vec", {"Index", "Key", "Length", "Mac", "Meshed"})) {
        SCOPED_TRACE(v.Get("Index") + " " + v.Get("Key") + " length " + v.Get("Length"));
        Bytes key = v.Hex("Key"), data = Pattern(std::stoul(v.Get("Length")));
        uint8_t zeroIv[8] = {}, mac[4];
        // An empty message still needs a non-null pointer (null means absent).
        ASSERT_TRUE(Gost28147Mac(data.empty() ? zeroIv : data.data(), data.size(), mac, key.data(), key.size(), Oid(v),
                                 zeroIv));
        EXPECT_EQ(ToHex(mac, 4), v.Get("Mac"));
        if (v.Has("Meshed")) {
            // The same chaining with the key meshed after every 1,024 bytes (state kept) must
            // give the meshing MAC's value: checks the long chaining against that oracle.
            Gost28147KeyPtr object(
                Gost28147CreateKey(key.data(), key.size(), ParamSetIndex(Oid(v)), zeroIv));
            ASSERT_TRUE(object);
            for (size_t done = 0; done < data.size(); done += 1024) {
                if (done != 0) Gost28147MeshKey(*object, false);
                size_t n = std::min<size_t>(1024, data.size() - done);
                ASSERT_TRUE(Gost28147MacUpdate(*object, data.data() + done, n));
            }
            Gost28147MacFinal(*object, mac);
            EXPECT_EQ(ToHex(mac, 4), v.Get("Meshed"));
        }
    }
}

TEST(Gost28147Kat, EveryParamSetRoundTripsAndZEqualsItsCopy) {
    Bytes key(32), block(64);
    for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(i * 37 + 1);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 11 + 5);
    Bytes ciphertexts[14];
    for (int index = 0; index < 14; ++index) {
        Bytes data = block;
        ASSERT_TRUE(Gost28147Crypt(data.data(), data.size(), false, kGost28147Ecb, key.data(), 32,
                                   ParamSetOid(index), nullptr));
        ciphertexts[index] = data;
        ASSERT_TRUE(Gost28147Crypt(data.data(), data.size(), true, kGost28147Ecb, key.data(), 32,
                                   ParamSetOid(index), nullptr));
        EXPECT_EQ(data, block) << index;
    }
    EXPECT_EQ(ciphertexts[1], ciphertexts[8]);
    EXPECT_NE(ciphertexts[0], ciphertexts[1]);
    // Indices 1 and 8 fill separate cache slots with equal contents.
    EXPECT_NE(ExpandedParamSet(1), ExpandedParamSet(8));
    EXPECT_EQ(0, std::memcmp(ExpandedParamSet(1), ExpandedParamSet(8), kExpandedTableSize));
}

}  // namespace
}  // namespace keymend
