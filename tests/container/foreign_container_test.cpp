// Containers laid out byte by byte, as another writer of the same format may produce them
// (optional fields left out, two-OID key parameters, a non-default cipher parameter set, trailing
// elements, padding), built from raw TLVs and the crypto primitives rather than the record
// encoders. They must open strictly and export the public keys of the known private keys.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "commands/public_export.h"
#include "container/container_builder.h"
#include "container/protection.h"
#include "crypto/context/key_mask.h"
#include "crypto/ec/keypair.h"
#include "crypto/gost28147/gost28147.h"

namespace keymend {
namespace {

using namespace keymend::test;

// OBJECT IDENTIFIER element of a dotted text.
Bytes Oid(const std::string& text) {
    std::vector<uint64_t> arcs;
    size_t at = 0;
    while (at <= text.size()) {
        const size_t dot = text.find('.', at);
        arcs.push_back(std::stoull(text.substr(at, dot - at)));
        if (dot == std::string::npos) break;
        at = dot + 1;
    }
    Bytes content;
    arcs[1] += 40 * arcs[0];
    for (size_t i = 1; i < arcs.size(); ++i) {
        Bytes arc{static_cast<uint8_t>(arcs[i] & 0x7F)};
        for (uint64_t v = arcs[i] >> 7; v != 0; v >>= 7) {
            arc.insert(arc.begin(), static_cast<uint8_t>(0x80 | (v & 0x7F)));
        }
        content.insert(content.end(), arc.begin(), arc.end());
    }
    return Tlv(0x06, content);
}

Bytes Mac(const Bytes& data, const uint8_t* key, const char* paramSet) {
    const uint8_t iv[8] = {};
    Bytes mac(4);
    EXPECT_TRUE(Gost28147Mac(data.data(), data.size(), mac.data(), key, 32, paramSet, iv));
    return mac;
}

Bytes Kek(const std::u16string& password, const Bytes& salt, uint32_t providerType) {
    Bytes kek(32);
    EXPECT_TRUE(DerivePasswordKey(kek.data(), password.c_str(), salt.data(), salt.size(),
                                  providerType));
    return kek;
}

struct ForeignCase {
    const char* what;
    const char* curve;
    const char* algorithm;
    const char* encryptionSet;  // null: KeyParameters of two OIDs
    bool formatOid;
    std::u16string password;
    bool secondKey;
    Bytes contentTail;  // appended inside HeaderContent
    Bytes fileTail;     // appended after the header SEQUENCE
};

// One copy: masked keys under `mask`, encrypted under the copy's KEK; its masks file.
struct Copy {
    Bytes keyFile;
    Bytes masksFile;
};

// Mask and salt of one copy.
struct CopySecrets {
    Bytes mask;
    Bytes salt;
};

CopySecrets FixedSecrets(const ForeignCase& c, uint8_t seed) {
    const size_t n = Key(c.curve, 0).d.size();
    CopySecrets s{Bytes(n), Bytes(12)};
    for (size_t i = 0; i < n; ++i) s.mask[i] = static_cast<uint8_t>(seed * 31 + i * 7 + 1);
    s.mask[n - 1] = 0x01;  // below q
    for (size_t i = 0; i < s.salt.size(); ++i) s.salt[i] = static_cast<uint8_t>(seed + 3 * i);
    return s;
}

Copy BuildCopy(const ForeignCase& c, uint32_t providerType, const char* paramSet,
               const CopySecrets& secrets) {
    const size_t n = Key(c.curve, 0).d.size();
    Bytes mask = secrets.mask;
    const Bytes& salt = secrets.salt;
    const Bytes kek = Kek(c.password, salt, providerType);
    auto encrypted = [&](const Bytes& d) {
        Bytes k = d;
        EXPECT_TRUE(ApplyStoredMask(k.data(), n, mask.data(), n, c.curve, false));
        EXPECT_TRUE(Gost28147Crypt(k.data(), n, false, kGost28147Ecb, kek.data(), 32, paramSet,
                                   nullptr));
        return k;
    };
    Bytes keys = Tlv(0x04, encrypted(Key(c.curve, 0).d));
    if (c.secondKey) keys = Cat({keys, Tlv(0x80, encrypted(Key(c.curve, 1).d))});
    const Bytes maskCheck = Mac(salt, mask.data() + n - 32, paramSet);
    return {Tlv(0x30, keys),
            Tlv(0x30, Cat({Tlv(0x04, mask), Tlv(0x04, salt), Tlv(0x04, maskCheck)}))};
}

Bytes KeyPropertiesContent(const ForeignCase& c, const char* algorithm) {
    const uint8_t flags = IsKeyAgreementOid(algorithm) ? 0xA0 : 0x80;
    const uint32_t type = ProviderTypeOfOid(algorithm);
    Bytes params = Cat({Oid(c.curve), Oid(type == 75   ? "1.2.643.2.2.30.1"
                                          : type == 80 ? "1.2.643.7.1.1.2.2"
                                                       : "1.2.643.7.1.1.2.3")});
    if (c.encryptionSet != nullptr) params = Cat({params, Oid(c.encryptionSet)});
    return Cat({Tlv(0x03, {static_cast<uint8_t>(flags == 0xA0 ? 5 : 7), flags}),
                Tlv(0xA0, Cat({Oid(algorithm), Tlv(0x30, params)}))});
}

// The six files, by name.
using Files = std::vector<std::pair<std::string, Bytes>>;

Files BuildForeign(const ForeignCase& c, const CopySecrets& copy1, const CopySecrets& copy2,
                   const std::string& name) {
    const uint32_t providerType = ProviderTypeOfOid(c.algorithm);
    const char* paramSet =
        c.encryptionSet != nullptr ? c.encryptionSet : DefaultParamSet(providerType);
    const Copy first = BuildCopy(c, providerType, paramSet, copy1);
    const Copy second = BuildCopy(c, providerType, paramSet, copy2);

    const Bytes check1(Key(c.curve, 0).publicKey.begin(), Key(c.curve, 0).publicKey.begin() + 8);
    const Bytes check2(Key(c.curve, 1).publicKey.begin(), Key(c.curve, 1).publicKey.begin() + 8);
    Bytes content;
    if (c.formatOid) content = Tlv(0xA0, Oid("1.2.643.2.2.37.2.1"));
    const bool password = !c.password.empty();
    content = Cat({content, Tlv(0x03, {0x06, static_cast<uint8_t>(password ? 0xC0 : 0x40)}),
                   Tlv(0x30, KeyPropertiesContent(c, c.algorithm))});
    if (password) {
        const Bytes checkKey = Kek(c.password, check1, providerType);
        content = Cat({content, Tlv(0x82, Mac(Bytes(16, 0), checkKey.data(), paramSet))});
    }
    if (c.secondKey) {
        const char* exchange = KeyAlgorithmOid(KeyAlgorithmIndex(c.algorithm) % 3 + 3);
        content = Cat({content, Tlv(0xA4, KeyPropertiesContent(c, exchange))});
    }
    content = Cat({content, Tlv(0x8A, check1)});
    if (c.secondKey) content = Cat({content, Tlv(0x8B, check2)});
    const Bytes headerContent = Tlv(0x30, Cat({content, c.contentTail}));
    const uint8_t zeroKey[32] = {};
    const char* macSet = providerType == 75 ? "1.2.643.2.2.31.1" : paramSet;
    const Bytes header =
        Cat({Tlv(0x30, Cat({headerContent, Tlv(0x04, Mac(headerContent, zeroKey, macSet))})),
             c.fileTail});

    return {{"header.key", header},
            {"masks.key", first.masksFile},
            {"masks2.key", second.masksFile},
            {"name.key", Tlv(0x30, Tlv(0x16, Bytes(name.begin(), name.end())))},
            {"primary.key", first.keyFile},
            {"primary2.key", second.keyFile}};
}

void WriteForeignContainer(const ForeignCase& c, const std::string& folder) {
    std::filesystem::create_directories(folder);
    for (const auto& [file, bytes] :
         BuildForeign(c, FixedSecrets(c, 1), FixedSecrets(c, 2), "for")) {
        ASSERT_TRUE(WriteFileBytes(folder + "/" + file, bytes));
    }
}

Bytes PublicOf(const SecureBlob& key, const SecureBlob& mask, const char* curve) {
    Bytes out(2 * key.size());
    EXPECT_TRUE(
        PublicKeyFromPrivate(out.data(), key.data(), key.size(), mask.data(), mask.size(), curve,
                             true));
    return out;
}

TEST(ForeignContainer, OpensStrictlyAndExports) {
    const ForeignCase cases[] = {
        {"2012-256, no format OID, empty password", "1.2.643.2.2.35.1", "1.2.643.7.1.1.1.1",
         "1.2.643.7.1.2.5.1.1", false, u"", false, {}, {}},
        {"2012-256, two-OID key parameters, two keys", "1.2.643.2.2.36.0", "1.2.643.7.1.1.1.1",
         nullptr, true, u"", true, {}, {}},
        {"2012-256, non-default parameter set, password", "1.2.643.2.2.35.2",
         "1.2.643.7.1.1.6.1", "1.2.643.2.2.31.3", true, u"secret", true, {}, {}},
        {"2001, parameter set 31.2 (header MAC under 31.1)", "1.2.643.2.2.35.3",
         "1.2.643.2.2.19", "1.2.643.2.2.31.2", true, u"", true, {}, {}},
        {"2001 with password, two-OID parameters", "1.2.643.2.2.36.1", "1.2.643.2.2.98", nullptr,
         false, u"pw", false, {}, {}},
        {"2012-512, trailing element and padding", "1.2.643.7.1.2.1.2.1", "1.2.643.7.1.1.1.2",
         "1.2.643.7.1.2.5.1.1", true, u"", true, Tlv(0x8C, {1, 2, 3}), Bytes(40, 0)},
        {"2012-512 Edwards curve, unordered tail", "1.2.643.7.1.2.1.2.3", "1.2.643.7.1.1.6.2",
         "1.2.643.2.2.31.1", true, u"", false, Tlv(0x82, {9, 9, 9, 9}), {}},
    };
    TempDir dir;
    int n = 0;
    for (const ForeignCase& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string folder = dir / ("c" + std::to_string(n++));
        WriteForeignContainer(c, folder);

        ContainerImagePtr image = OpenContainerStrict(folder.c_str(), c.password.c_str());
        ASSERT_TRUE(image);
        EXPECT_EQ(ToHex(PublicOf(image->primary.firstKeyDecrypted, image->masks.mask, c.curve)),
                  ToHex(Key(c.curve, 0).publicKey));
        EXPECT_EQ(image->primary2.secondKeyDecrypted.empty(), !c.secondKey);

        std::vector<std::string> args{"-kvpublic", "-contfolder", folder};
        if (!c.password.empty()) {
            args.insert(args.end(), {"-passkv", std::string(c.password.begin(), c.password.end())});
        }
        const RunResult run = RunKeymend(args);
        EXPECT_EQ(run.exitCode, 0) << run.out;
        const Bytes pub1 = Key(c.curve, 0).publicKey;
        Bytes expected{0x04, static_cast<uint8_t>(pub1.size())};
        expected.insert(expected.end(), pub1.begin(), pub1.end());
        EXPECT_EQ(ToHex(ReadFileBytes(folder + "/public1")), ToHex(expected));
        EXPECT_EQ(FileExists(folder + "/public2"), c.secondKey);
        if (c.secondKey) {
            const Bytes pub2 = Key(c.curve, 1).publicKey;
            expected.resize(2);
            expected.insert(expected.end(), pub2.begin(), pub2.end());
            EXPECT_EQ(ToHex(ReadFileBytes(folder + "/public2")), ToHex(expected));
        } else {
            // A key added by this tool keeps the container openable, whatever its layout.
            const char* exchange = KeyAlgorithmOid(KeyAlgorithmIndex(c.algorithm) % 3 + 3);
            ASSERT_TRUE(AddSecondKey(folder, Key(c.curve, 1), exchange, c.password.c_str()));
            image = OpenContainerStrict(folder.c_str(), c.password.c_str());
            ASSERT_TRUE(image);
            EXPECT_EQ(
                ToHex(PublicOf(image->primary2.secondKeyDecrypted, image->masks2.mask, c.curve)),
                ToHex(Key(c.curve, 1).publicKey));
        }
    }
}

// Damaged: no header and a broken masks.key. The parameter set is found by trial, the key comes
// from the second copy and the curve from the command line.
TEST(ForeignContainer, ExportsFromTheBackupCopyWithoutHeader) {
    const ForeignCase c{"2012-256, parameter set 31.3", "1.2.643.2.2.35.2", "1.2.643.7.1.1.1.1",
                        "1.2.643.2.2.31.3", true, u"secret", true, {}, {}};
    TempDir dir;
    const std::string folder = dir / "c";
    WriteForeignContainer(c, folder);
    ASSERT_EQ(std::remove((folder + "/header.key").c_str()), 0);
    FlipByteFromEnd(folder + "/masks.key", 1);
    const RunResult run = RunKeymend({"-kvpublic", "-contfolder", folder, "-passkv", "secret",
                                      "-provtype", "80", "-oid", c.curve, "-oid2", c.curve});
    EXPECT_EQ(run.exitCode, 0) << run.out;
    for (int i = 0; i < 2; ++i) {
        Bytes expected{0x04, 0x40};
        const Bytes& pub = Key(c.curve, i).publicKey;
        expected.insert(expected.end(), pub.begin(), pub.end());
        EXPECT_EQ(ToHex(ReadFileBytes(folder + (i == 0 ? "/public1" : "/public2"))),
                  ToHex(expected));
    }
}

// The other direction: what the tool writes is, byte for byte, the layout above (format OID,
// three-OID key parameters, optional fields under their conditions) for its own masks and salts.
TEST(ForeignContainer, WrittenFilesFollowTheLayout) {
    const ForeignCase cases[] = {
        {"2001, one key, password", "1.2.643.2.2.35.1", "1.2.643.2.2.19", "1.2.643.2.2.31.1", true,
         u"pw", false, {}, {}},
        {"2012-256 exchange key, two keys", "1.2.643.2.2.36.0", "1.2.643.7.1.1.6.1",
         "1.2.643.7.1.2.5.1.1", true, u"", true, {}, {}},
        {"2012-512, two keys, password", "1.2.643.7.1.2.1.2.2", "1.2.643.7.1.1.1.2",
         "1.2.643.7.1.2.5.1.1", true, u"pw", true, {}, {}},
    };
    TempDir dir;
    for (const ForeignCase& c : cases) {
        SCOPED_TRACE(c.what);
        const uint32_t type = ProviderTypeOfOid(c.algorithm);
        const std::string name = "a longer container name";
        const std::string folder = MakeContainer(dir.path(), name, Key(c.curve, 0), c.algorithm,
                                                 c.password.c_str());
        ASSERT_FALSE(folder.empty());
        if (c.secondKey) {
            const char* second = KeyAlgorithmOid(KeyAlgorithmIndex(c.algorithm) % 3 + 3);
            ASSERT_TRUE(AddSecondKey(folder, Key(c.curve, 1), second, c.password.c_str()));
        }
        CopySecrets copies[2];
        for (int i = 0; i < 2; ++i) {
            MaskFileRecord masks;
            const Bytes file = ReadFileBytes(folder + (i == 0 ? "/masks.key" : "/masks2.key"));
            ASSERT_TRUE(DecodeMaskFile(file.data(), file.size(), masks));
            copies[i].mask.assign(masks.mask.data(), masks.mask.data() + masks.mask.size());
            copies[i].salt.assign(masks.salt.data(), masks.salt.data() + masks.salt.size());
        }
        ASSERT_EQ(copies[0].mask.size(), KeyLengthOfProviderType(type));
        for (const auto& [file, bytes] : BuildForeign(c, copies[0], copies[1], name)) {
            EXPECT_EQ(ToHex(ReadFileBytes(folder + "/" + file)), ToHex(bytes)) << file;
        }
    }
}

}  // namespace
}  // namespace keymend
