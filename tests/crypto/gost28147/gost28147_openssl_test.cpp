// GOST 28147-89 against OpenSSL with the GOST engine on random data: CFB with key meshing
// (`enc -gost89`), CFB without meshing (chained 1,024-byte `enc -gost89` runs), ECB (through
// `enc -gost89-cbc` with a zero IV) and the MAC (`dgst -mac gost-mac`, which meshes after 1,024
// bytes; beyond that it is matched by meshing a MAC key object by hand).
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "crypto/gost28147/gost28147.h"
#include "support/test_support.h"

namespace keymend {
namespace {

using test::Bytes;
using test::ToHex;

// The sets OpenSSL knows (all four RFC 4357 sets and Z).
const char* const kOpenSslSets[] = {"1.2.643.2.2.31.1", "1.2.643.7.1.2.5.1.1", "1.2.643.2.2.31.2",
                                    "1.2.643.2.2.31.3", "1.2.643.2.2.31.4"};

Bytes RandomData(size_t n, std::mt19937& rng) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    return b;
}

Bytes Prefix(const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + static_cast<long>(n)); }

// Runs openssl with the GOST engine whose encryption S-box is the given set (the engine takes
// the `enc` S-box only from its configuration).
class OpenSslGost {
public:
    explicit OpenSslGost(const char* oid) {
        std::string conf =
            "openssl_conf = openssl_def\n[openssl_def]\nengines = engine_section\n"
            "[engine_section]\ngost = gost_section\n[gost_section]\nengine_id = gost\n"
            "default_algorithms = ALL\nCRYPT_PARAMS = " +
            std::string(oid) + "\n";
        test::WriteFileBytes(dir_ / "openssl.cnf", Bytes(conf.begin(), conf.end()));
    }
    std::string File(const std::string& name) const { return dir_ / name; }
    // `openssl enc -<cipher>` of data; empty with a test failure when openssl fails.
    Bytes Enc(const std::string& cipher, const Bytes& data, const Bytes& key, const Bytes& iv) {
        test::WriteFileBytes(File("in"), data);
        test::RunResult r = Run("enc -" + cipher + " -nopad -K " + ToHex(key) + " -iv " +
                                ToHex(iv) + " -in " + File("in") + " -out " + File("out"));
        EXPECT_EQ(r.exitCode, 0) << cipher;
        return test::ReadFileBytes(File("out"));
    }
    test::RunResult Run(const std::string& args) {
        return test::RunShell("OPENSSL_CONF=" + File("openssl.cnf") + " openssl " + args);
    }

private:
    test::TempDir dir_;
};

class Gost28147OpenSsl : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::OpenSslGostAvailable()) GTEST_SKIP() << "OpenSSL GOST engine not available";
    }
    std::mt19937 rng_{20261206};
};

// Prefix lengths: short tails of every size, and both sides of each meshing point.
std::vector<size_t> CheckedLengths(size_t total) {
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 40; ++n) lengths.push_back(n);
    for (size_t boundary = 1024; boundary <= total; boundary += 1024)
        for (size_t n = boundary - 9; n <= boundary + 9 && n <= total; ++n) lengths.push_back(n);
    lengths.push_back(total);
    return lengths;
}

// A CFB ciphertext prefix is the ciphertext of the plaintext prefix, so one openssl run over
// 4,200 bytes checks every shorter length. Without meshing, CFB equals 1,024-byte pieces each
// started afresh (so never meshed) with the last ciphertext block as IV (checked for A and Z).
TEST_F(Gost28147OpenSsl, Cfb) {
    for (const char* oid : kOpenSslSets) {
        OpenSslGost openssl(oid);
        Bytes key = RandomData(32, rng_), iv = RandomData(8, rng_), plain = RandomData(4200, rng_);
        Bytes meshed = openssl.Enc("gost89", plain, key, iv), unmeshed, chainIv = iv;
        ASSERT_EQ(meshed.size(), plain.size()) << oid;
        const bool checkUnmeshed = oid == kOpenSslSets[0] || oid == kOpenSslSets[1];
        for (size_t done = 0; checkUnmeshed && done < plain.size(); done += 1024) {
            Bytes piece = Prefix(Bytes(plain.begin() + static_cast<long>(done), plain.end()),
                                 std::min<size_t>(1024, plain.size() - done));
            Bytes out = openssl.Enc("gost89", piece, key, chainIv);
            ASSERT_EQ(out.size(), piece.size()) << oid;
            unmeshed.insert(unmeshed.end(), out.begin(), out.end());
            chainIv.assign(out.end() - 8, out.end());
        }
        for (size_t n : CheckedLengths(plain.size())) {
            Bytes data = Prefix(plain, n);
            ASSERT_TRUE(Gost28147Crypt(data.data(), n, false, kGost28147Cfb, key.data(), 32, oid,
                                       iv.data()));
            ASSERT_EQ(data, Prefix(meshed, n)) << oid << " length " << n;
            ASSERT_TRUE(Gost28147Crypt(data.data(), n, true, kGost28147Cfb, key.data(), 32, oid,
                                       iv.data()));
            ASSERT_EQ(data, Prefix(plain, n)) << oid << " length " << n;
            if (!checkUnmeshed) continue;
            Gost28147KeyPtr object(Gost28147CreateKey(key.data(), 32, ParamSetIndex(oid), iv.data()));
            ASSERT_TRUE(Gost28147Process(*object, kModeCfbEncrypt, data.data(), n, false));
            ASSERT_EQ(data, Prefix(unmeshed, n)) << oid << " length " << n << " unmeshed";
        }
    }
}

// CBC with a zero IV: c[i] = E(p[i] ^ c[i-1]), so ECB decryption of c[i] must give
// p[i] ^ c[i-1] and ECB encryption of that must give c[i] back (1,024 bytes, below any meshing).
TEST_F(Gost28147OpenSsl, Ecb) {
    for (const char* oid : kOpenSslSets) {
        OpenSslGost openssl(oid);
        Bytes key = RandomData(32, rng_), plain = RandomData(1024, rng_);
        Bytes cbc = openssl.Enc("gost89-cbc", plain, key, Bytes(8, 0));
        ASSERT_EQ(cbc.size(), plain.size()) << oid;
        Bytes chained = plain;
        for (size_t i = 8; i < chained.size(); ++i) chained[i] ^= cbc[i - 8];
        Bytes data = cbc;
        ASSERT_TRUE(Gost28147Crypt(data.data(), data.size(), true, kGost28147Ecb, key.data(), 32,
                                   oid, nullptr));
        EXPECT_EQ(data, chained) << oid;
        ASSERT_TRUE(Gost28147Crypt(data.data(), data.size(), false, kGost28147Ecb, key.data(), 32,
                                   oid, nullptr));
        EXPECT_EQ(data, cbc) << oid;
    }
}

// One openssl run MACs every length; over 1,024 bytes openssl meshes its key, which we
// reproduce by meshing a MAC key object at the same points (the plain MAC never does).
TEST_F(Gost28147OpenSsl, Mac) {
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 40; ++n) lengths.push_back(n);
    for (size_t n : {63, 64, 65, 100, 255, 256, 1000, 1015, 1016, 1017, 1023, 1024, 1025, 1032,
                     1033, 2047, 2048, 2049, 3000, 4096})
        lengths.push_back(n);
    for (const char* oid : kOpenSslSets) {
        OpenSslGost openssl(oid);
        Bytes key = RandomData(32, rng_), data = RandomData(4096, rng_);
        std::string files;
        for (size_t n : lengths) {
            std::string name = openssl.File("m" + std::to_string(n));
            test::WriteFileBytes(name, Prefix(data, n));
            files += " " + name;
        }
        test::RunResult r = openssl.Run("dgst -mac gost-mac -macopt hexkey:" + ToHex(key) +
                                        " -macopt paramset:" + oid + files);
        ASSERT_EQ(r.exitCode, 0) << oid;
        for (size_t n : lengths) {
            std::string tag = "(" + openssl.File("m" + std::to_string(n)) + ")= ";
            size_t at = r.out.find(tag);
            ASSERT_NE(at, std::string::npos) << oid << " length " << n;
            std::string expected = r.out.substr(at + tag.size(), 8);

            uint8_t zeroIv[8] = {}, mac[4];
            Gost28147KeyPtr object(Gost28147CreateKey(key.data(), 32, ParamSetIndex(oid), zeroIv));
            for (size_t done = 0; done < n; done += 1024) {
                if (done != 0) Gost28147MeshKey(*object, false);
                ASSERT_TRUE(Gost28147MacUpdate(*object, data.data() + done,
                                               std::min<size_t>(1024, n - done)));
            }
            Gost28147MacFinal(*object, mac);
            EXPECT_EQ(ToHex(mac, 4), expected) << oid << " length " << n;
            if (n <= 1024) {
                ASSERT_TRUE(Gost28147Mac(n ? data.data() : zeroIv, n, mac, key.data(), 32, oid,
                                         zeroIv));
                EXPECT_EQ(ToHex(mac, 4), expected) << oid << " length " << n;
            }
        }
    }
}

}  // namespace
}  // namespace keymend
