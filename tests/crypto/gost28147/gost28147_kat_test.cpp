// Known-answer tests of GOST 28147-89: parameter sets, ECB, CFB with and without key meshing, MAC.
#include <gtest/gtest.h>

#include <cstring>

#include "crypto/context/crypto_context.h"
#include "crypto/gost28147/gost28147.h"
#include "support/test_support.h"

namespace keymend {
namespace {

using test::Bytes;
using test::LoadVectors;
using test::ToHex;

// The message pattern of the CFB and MAC vectors: byte i = (7 * i + 3) mod 256.
Bytes Pattern(const test::VectorRecord& v) {
    Bytes b(std::stoul(v.Get("Length")));
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(7 * i + 3);
    return b;
}

int Index(const test::VectorRecord& v) { return std::stoi(v.Get("Index")); }

// Through a key object, so that meshing does not depend on the process-wide switch.
Bytes Cfb(const test::VectorRecord& v, Bytes data, bool decrypt, bool meshing) {
    Bytes key = v.Hex("Key"), iv = v.Hex("Iv");
    // A key object needs its set's table in the cache.
    EXPECT_EQ(ParamSetIndex(ParamSetOid(Index(v))), Index(v));
    Gost28147KeyPtr object(Gost28147CreateKey(key.data(), key.size(), Index(v), iv.data()));
    EXPECT_TRUE(object && Gost28147Process(*object, decrypt ? kModeCfbDecrypt : kModeCfbEncrypt,
                                           data.data(), data.size(), meshing));
    return data;
}

TEST(Gost28147Kat, ParamSets) {
    for (const auto& v : LoadVectors("gost28147/paramsets.vec",
                                     {"Index", "Oid", "Packed", "Table", "Entry", "Value"})) {
        int index = Index(v);
        if (v.section == "ParamSet") {
            ASSERT_NE(ParamSetOid(index), nullptr) << index;
            EXPECT_EQ(ParamSetOid(index), v.Get("Oid"));
            EXPECT_EQ(ParamSetIndex(v.Get("Oid").c_str()), index);
            EXPECT_EQ(ToHex(PackedParamSet(index), kGost28147PackedSize), v.Get("Packed"));
        } else {
            ASSERT_EQ(ParamSetIndex(ParamSetOid(index)), index);
            size_t entry = 256 * std::stoul(v.Get("Table")) + std::stoul(v.Get("Entry"));
            EXPECT_EQ(ExpandedParamSet(index)[entry], std::stoul(v.Get("Value"), nullptr, 16))
                << "set " << index << " T" << v.Get("Table") << "[" << v.Get("Entry") << "]";
        }
    }
    EXPECT_EQ(ParamSetOid(14), nullptr);
    EXPECT_EQ(ParamSetOid(-1), nullptr);
    // Indices 1 and 8 (the same boxes) fill separate cache slots with equal contents.
    ASSERT_NE(ExpandedParamSet(1), ExpandedParamSet(8));
    EXPECT_EQ(0, std::memcmp(ExpandedParamSet(1), ExpandedParamSet(8), kExpandedTableSize));
    // The RFC 4357 test set, a prefix, a longer arc, a trailing space, empty and null text.
    for (const char* oid : {"1.2.643.2.2.31.0", "1.2.643.2.2.31", "1.2.643.2.2.31.11",
                            "1.2.643.2.2.31.1 ", "", static_cast<const char*>(nullptr)})
        EXPECT_EQ(ParamSetIndex(oid), -1) << (oid ? oid : "(null)");
}

TEST(Gost28147Kat, Ecb) {
    for (const auto& v :
         LoadVectors("gost28147/ecb.vec", {"Index", "Key", "Plaintext", "Ciphertext"})) {
        SCOPED_TRACE(v.Get("Index") + " " + v.Get("Key") + " " + v.Get("Plaintext"));
        Bytes key = v.Hex("Key"), data = v.Hex("Plaintext");
        const char* oid = ParamSetOid(Index(v));
        ASSERT_TRUE(Gost28147Crypt(data.data(), data.size(), false, kGost28147Ecb, key.data(),
                                   key.size(), oid, nullptr));
        EXPECT_EQ(ToHex(data), v.Get("Ciphertext"));
        // Decryption into a separate buffer (the body key meshing uses).
        Gost28147KeyRecord record;
        Gost28147LoadKey(key.data(), record);
        Bytes out(data.size());
        Gost28147DecryptBlocks(ExpandedParamSet(Index(v)), record, data.data(), out.data(),
                               data.size() / 8);
        EXPECT_EQ(ToHex(out), v.Get("Plaintext"));
    }
}

TEST(Gost28147Kat, Cfb) {
    for (const auto& v : LoadVectors("gost28147/cfb.vec", {"Index", "Key", "Iv", "Length",
                                                           "Ciphertext", "Meshed", "Unmeshed"})) {
        SCOPED_TRACE(v.Get("Index") + " " + v.Get("Key") + " length " + v.Get("Length"));
        Bytes plain = Pattern(v);
        for (bool meshing : {true, false}) {
            // Up to 1,024 bytes there is one value for both.
            Bytes expected = v.Hex(v.Has("Ciphertext") ? "Ciphertext"
                                   : meshing           ? "Meshed"
                                                       : "Unmeshed");
            EXPECT_EQ(Cfb(v, plain, false, meshing), expected) << "meshing " << meshing;
            EXPECT_EQ(Cfb(v, expected, true, meshing), plain) << "meshing " << meshing;
        }
    }
}

TEST(Gost28147Kat, Mac) {
    for (const auto& v :
         LoadVectors("gost28147/mac.vec", {"Index", "Key", "Length", "Mac", "Meshed"})) {
        SCOPED_TRACE(v.Get("Index") + " " + v.Get("Key") + " length " + v.Get("Length"));
        Bytes key = v.Hex("Key"), data = Pattern(v);
        uint8_t zeroIv[8] = {}, mac[4];
        // An empty message still needs a non-null pointer (null means absent).
        ASSERT_TRUE(Gost28147Mac(data.empty() ? zeroIv : data.data(), data.size(), mac,
                                 key.data(), key.size(), ParamSetOid(Index(v)), zeroIv));
        EXPECT_EQ(ToHex(mac, 4), v.Get("Mac"));
        if (!v.Has("Meshed")) continue;
        // The same chaining with the key meshed after every 1,024 bytes (state kept) gives the
        // value of a MAC that meshes, such as OpenSSL's.
        Gost28147KeyPtr object(Gost28147CreateKey(key.data(), key.size(), Index(v), zeroIv));
        for (size_t done = 0; done < data.size(); done += 1024) {
            if (done != 0) Gost28147MeshKey(*object, false);
            ASSERT_TRUE(Gost28147MacUpdate(*object, data.data() + done,
                                           std::min<size_t>(1024, data.size() - done)));
        }
        Gost28147MacFinal(*object, mac);
        EXPECT_EQ(ToHex(mac, 4), v.Get("Meshed"));
    }
}

}  // namespace
}  // namespace keymend
