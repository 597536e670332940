// The container records: the encoders and decoders on their own, and whole containers laid out
// byte by byte as another writer of the same format may produce them (optional fields left out,
// two-OID key parameters, a non-default cipher parameter set, trailing elements, padding), built
// from raw TLVs and the crypto primitives rather than the record encoders.
#include "container/records.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "container/container_builder.h"
#include "container/protection.h"
#include "crypto/context/key_mask.h"
#include "crypto/gost28147/gost28147.h"
#include "pkcs12/pkcs12_fixtures.h"

namespace keymend::test {
namespace {

void Fill(SecureBlob& blob, const Bytes& bytes) {
    ASSERT_TRUE(blob.Assign(bytes.data(), static_cast<uint32_t>(bytes.size())));
}

// A header with every field set; key i holds a certificate of `certificateSize` bytes.
void FullHeader(HeaderRecord& h, const char* flags, bool secondKey, size_t certificateSize) {
    Fill(h.flags, FromHex(flags));
    Fill(h.passwordCheck, {1, 2, 3, 4});
    for (int i = 0; i < (secondKey ? 2 : 1); ++i) {
        KeyProperties& k = i == 0 ? h.firstKey : h.secondKey;
        Fill(k.flags, {static_cast<uint8_t>(i == 0 ? 0x80 : 0xA0)});
        ASSERT_TRUE(k.algorithm.Set(i == 0 ? "1.2.643.7.1.1.1.1" : "1.2.643.7.1.1.6.1"));
        ASSERT_TRUE(k.publicKeyParamSet.Set("1.2.643.2.2.35.1"));
        ASSERT_TRUE(k.digestParamSet.Set("1.2.643.7.1.1.2.2"));
        ASSERT_TRUE(k.encryptionParamSet.Set("1.2.643.7.1.2.5.1.1"));
        Fill(k.certificate, Bytes(certificateSize, static_cast<uint8_t>(0x30 + i)));
        Fill(k.publicKeyCheck, Bytes(8, static_cast<uint8_t>(0x11 * (i + 1))));
    }
}

std::string Describe(const KeyProperties& k) {
    return ToHex(BlobBytes(k.flags)) + " " + k.algorithm.c_str() + " " +
           k.publicKeyParamSet.c_str() + " " + k.digestParamSet.c_str() + " " +
           k.encryptionParamSet.c_str() + " " + ToHex(BlobBytes(k.certificate)) + " " +
           ToHex(BlobBytes(k.publicKeyCheck));
}

// Every field survives encoding and decoding; encoding what was decoded gives the same file,
// whose MAC is the MAC of the raw content the reader keeps. The extended form is padded with
// zeros to 3,075 bytes unless the encoding is that long already.
TEST(ContainerRecords, HeaderRoundTrip) {
    const struct {
        const char* flags;
        bool secondKey;
        size_t certificateSize;
    } cases[] = {{"", false, 5}, {"c0", true, 5}, {"40", true, 3100}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.flags) + " " + std::to_string(c.certificateSize));
        HeaderRecord header, decoded, fromExtended;
        FullHeader(header, c.flags, c.secondKey, c.certificateSize);
        SecureBlob plain, extended, again;
        ASSERT_TRUE(EncodeHeaderFile(header, false, plain));
        ASSERT_TRUE(EncodeHeaderFile(header, true, extended));
        ASSERT_TRUE(DecodeHeaderFile(plain.data(), plain.size(), decoded));
        EXPECT_STREQ(decoded.formatOid.c_str(), kContainerFormatOid);
        EXPECT_EQ(ToHex(BlobBytes(decoded.flags)), c.flags);
        EXPECT_EQ(BlobBytes(decoded.passwordCheck), BlobBytes(header.passwordCheck));
        EXPECT_EQ(Describe(decoded.firstKey), Describe(header.firstKey));
        EXPECT_EQ(Describe(decoded.secondKey), Describe(header.secondKey));
        uint8_t mac[4];
        ASSERT_TRUE(HeaderMac(decoded.rawContent.data(), decoded.rawContent.size(),
                              HeaderMacParamSet(decoded), mac));
        EXPECT_EQ(Bytes(mac, mac + 4), BlobBytes(decoded.headerMac));
        ASSERT_TRUE(EncodeHeaderFile(decoded, false, again));
        EXPECT_EQ(BlobBytes(again), BlobBytes(plain));
        Bytes padded = BlobBytes(plain);
        padded.resize(std::max<size_t>(padded.size(), kExtendedHeaderSize), 0);
        EXPECT_EQ(BlobBytes(extended), padded);
        ASSERT_TRUE(DecodeHeaderFile(extended.data(), extended.size(), fromExtended));
        EXPECT_EQ(Describe(fromExtended.secondKey), Describe(header.secondKey));
    }
}

TEST(ContainerRecords, HeaderWithUnknownParamSetIsNotWritten) {
    HeaderRecord header;
    FullHeader(header, "40", false, 5);
    ASSERT_TRUE(header.firstKey.encryptionParamSet.Set("1.2.643.2.2.31.99"));
    SecureBlob out;
    EXPECT_FALSE(EncodeHeaderFile(header, false, out));
    EXPECT_TRUE(out.empty());
    // Provider type 75 always MACs under 1.2.643.2.2.31.1, whatever the key's set.
    ASSERT_TRUE(header.firstKey.algorithm.Set("1.2.643.2.2.19"));
    EXPECT_TRUE(EncodeHeaderFile(header, false, out));
}

TEST(ContainerRecords, MalformedFilesAreRejected) {
    for (const VectorRecord& r : LoadVectors("container/malformed.vec", {"Case", "File", "Data"})) {
        SCOPED_TRACE(r.Get("Case"));
        const Bytes d = r.Hex("Data");
        const std::string& file = r.Get("File");
        KeyFileRecord key;
        MaskFileRecord masks;
        HeaderRecord header;
        SecureBlob name;
        ASSERT_TRUE(file == "Key" || file == "Masks" || file == "Header" || file == "Name");
        EXPECT_FALSE(file == "Key"      ? DecodeKeyFile(d.data(), d.size(), key)
                     : file == "Masks"  ? DecodeMaskFile(d.data(), d.size(), masks)
                     : file == "Header" ? DecodeHeaderFile(d.data(), d.size(), header)
                                        : DecodeNameFile(d.data(), d.size(), name));
    }
}

// ---- Containers laid out byte by byte ----------------------------------------------------------

struct ForeignCase {
    const char* what;
    const char* curve;
    const char* algorithm;
    const char* encryptionSet;  // null: KeyParameters of two OIDs (the provider's default set)
    bool formatOid;
    std::u16string password;
    bool secondKey;
    Bytes contentTail;  // appended inside HeaderContent
    Bytes fileTail;     // appended after the header SEQUENCE
};

// Mask and salt of one copy.
struct CopySecrets {
    Bytes mask;
    Bytes salt;
};

Bytes Oid(const std::string& dotted) {
    return Der::Oid(dotted).Encode();
}

Bytes Mac(const Bytes& data, const uint8_t* key, const char* paramSet) {
    const uint8_t iv[8] = {};
    Bytes mac(4);
    EXPECT_TRUE(Gost28147Mac(data.data(), data.size(), mac.data(), key, 32, paramSet, iv));
    return mac;
}

Bytes Kek(const std::u16string& password, const Bytes& salt, uint32_t providerType) {
    Bytes kek(32);
    EXPECT_TRUE(
        DerivePasswordKey(kek.data(), password.c_str(), salt.data(), salt.size(), providerType));
    return kek;
}

const char* ParamSetOf(const ForeignCase& c) {
    if (c.encryptionSet != nullptr) return c.encryptionSet;
    return ProviderTypeOfOid(c.algorithm) == 75 ? "1.2.643.2.2.31.1" : "1.2.643.7.1.2.5.1.1";
}

Bytes KeyProperties(const ForeignCase& c, const char* algorithm) {
    const uint32_t type = ProviderTypeOfOid(algorithm);
    const bool exchange = std::strcmp(algorithm, ExchangeAlgorithm(type)) == 0;
    Bytes params = Cat({Oid(c.curve), Oid(type == 75   ? "1.2.643.2.2.30.1"
                                          : type == 80 ? "1.2.643.7.1.1.2.2"
                                                       : "1.2.643.7.1.1.2.3")});
    if (c.encryptionSet != nullptr) params = Cat({params, Oid(c.encryptionSet)});
    const Bytes flags = exchange ? Bytes{0x05, 0xA0} : Bytes{0x07, 0x80};
    return Cat({Tlv(0x03, flags),
                Tlv(0xA0, Cat({Oid(algorithm), Tlv(0x30, params)}))});
}

// The six files, by name.
std::vector<std::pair<std::string, Bytes>> BuildForeign(const ForeignCase& c,
                                                        const CopySecrets (&copies)[2],
                                                        const std::string& name) {
    const uint32_t type = ProviderTypeOfOid(c.algorithm);
    const char* paramSet = ParamSetOf(c);
    const size_t n = Key(c.curve).d.size();
    Bytes keyFiles[2], maskFiles[2];
    for (int i = 0; i < 2; ++i) {
        const Bytes& mask = copies[i].mask;
        const Bytes kek = Kek(c.password, copies[i].salt, type);
        auto encrypted = [&](Bytes k) {
            EXPECT_TRUE(ApplyStoredMask(k.data(), n, mask.data(), n, c.curve, false));
            EXPECT_TRUE(Gost28147Crypt(k.data(), n, false, kGost28147Ecb, kek.data(), 32,
                                       paramSet, nullptr));
            return k;
        };
        keyFiles[i] = Tlv(0x04, encrypted(Key(c.curve, 0).d));
        if (c.secondKey) keyFiles[i] = Cat({keyFiles[i], Tlv(0x80, encrypted(Key(c.curve, 1).d))});
        const Bytes maskCheck = Mac(copies[i].salt, mask.data() + n - 32, paramSet);
        maskFiles[i] =
            Tlv(0x30, Cat({Tlv(0x04, mask), Tlv(0x04, copies[i].salt), Tlv(0x04, maskCheck)}));
    }
    const Bytes check1(Key(c.curve, 0).publicKey.begin(), Key(c.curve, 0).publicKey.begin() + 8);
    const Bytes check2(Key(c.curve, 1).publicKey.begin(), Key(c.curve, 1).publicKey.begin() + 8);
    const bool password = !c.password.empty();
    Bytes content = c.formatOid ? Tlv(0xA0, Oid("1.2.643.2.2.37.2.1")) : Bytes{};
    content = Cat({content, Tlv(0x03, {0x06, static_cast<uint8_t>(password ? 0xC0 : 0x40)}),
                   Tlv(0x30, KeyProperties(c, c.algorithm))});
    if (password) {
        const Bytes checkKey = Kek(c.password, check1, type);
        content = Cat({content, Tlv(0x82, Mac(Bytes(16, 0), checkKey.data(), paramSet))});
    }
    if (c.secondKey) content = Cat({content, Tlv(0xA4, KeyProperties(c, ExchangeAlgorithm(type)))});
    content = Cat({content, Tlv(0x8A, check1)});
    if (c.secondKey) content = Cat({content, Tlv(0x8B, check2)});
    const Bytes headerContent = Tlv(0x30, Cat({content, c.contentTail}));
    const uint8_t zeroKey[32] = {};
    const char* macSet = type == 75 ? "1.2.643.2.2.31.1" : paramSet;
    const Bytes header =
        Cat({Tlv(0x30, Cat({headerContent, Tlv(0x04, Mac(headerContent, zeroKey, macSet))})),
             c.fileTail});
    return {{"header.key", header},
            {"masks.key", maskFiles[0]},
            {"masks2.key", maskFiles[1]},
            {"name.key", Tlv(0x30, Tlv(0x16, Bytes(name.begin(), name.end())))},
            {"primary.key", Tlv(0x30, keyFiles[0])},
            {"primary2.key", Tlv(0x30, keyFiles[1])}};
}

// Writes the container of `c` under fixed masks (below every q) and salts.
void WriteForeign(const ForeignCase& c, const std::string& folder) {
    const size_t n = Key(c.curve).d.size();
    CopySecrets copies[2] = {{Bytes(n, 0x5B), Bytes(12, 0x21)}, {Bytes(n, 0x3D), Bytes(12, 0x42)}};
    for (CopySecrets& copy : copies) copy.mask.back() = 0x01;
    std::filesystem::create_directories(folder);
    for (const auto& [file, bytes] : BuildForeign(c, copies, "for")) {
        ASSERT_TRUE(WriteFileBytes(folder + "/" + file, bytes));
    }
}

Bytes PublicFile(const TestKey& key) {
    return Cat({{0x04, static_cast<uint8_t>(key.publicKey.size())}, key.publicKey});
}

// Each opens strictly (and not under another password) and exports its public keys through the
// binary. Where there is one key, a key added by this tool keeps the container openable: the
// new key is encrypted under the container's cipher set, and the rewritten header drops what
// it does not know (a late password check value is never read: it would fail the check).
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
         "1.2.643.7.1.2.5.1.1", true, u"", false, Tlv(0x8C, {1, 2, 3}), Bytes(40, 0)},
        {"2012-512 Edwards curve, set 31.1, late password check", "1.2.643.7.1.2.1.2.3",
         "1.2.643.7.1.1.6.2", "1.2.643.2.2.31.1", true, u"pw", false, Tlv(0x82, {9, 9, 9, 9}),
         {}},
    };
    TempDir dir;
    int n = 0;
    for (const ForeignCase& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string folder = dir / ("c" + std::to_string(n++));
        WriteForeign(c, folder);
        const char16_t* password = c.password.c_str();
        EXPECT_FALSE(OpenContainerStrict(folder.c_str(), u"wrong"));
        ContainerImagePtr image = OpenContainerStrict(folder.c_str(), password);
        ASSERT_TRUE(image);
        EXPECT_EQ(PublicOf(image->primary.firstKeyDecrypted, image->masks.mask, c.curve),
                  Key(c.curve).publicKey);
        EXPECT_EQ(image->primary2.secondKeyDecrypted.empty(), !c.secondKey);

        std::vector<std::string> args{"-kvpublic", "-contfolder", folder};
        if (!c.password.empty()) {
            args.insert(args.end(), {"-passkv", std::string(c.password.begin(), c.password.end())});
        }
        const RunResult run = RunKeymend(args);
        EXPECT_EQ(run.exitCode, 0) << run.out;
        EXPECT_EQ(ReadFileBytes(folder + "/public1"), PublicFile(Key(c.curve)));
        EXPECT_EQ(FileExists(folder + "/public2"), c.secondKey);
        if (c.secondKey) {
            EXPECT_EQ(ReadFileBytes(folder + "/public2"), PublicFile(Key(c.curve, 1)));
            continue;
        }
        const uint32_t type = ProviderTypeOfOid(c.algorithm);
        ASSERT_TRUE(AddSecondKey(folder, Key(c.curve, 1), ExchangeAlgorithm(type), password));
        image = OpenContainerStrict(folder.c_str(), password);
        ASSERT_TRUE(image);
        EXPECT_EQ(PublicOf(image->primary2.secondKeyDecrypted, image->masks2.mask, c.curve),
                  Key(c.curve, 1).publicKey);
        const char* paramSet = ParamSetOf(c);
        EXPECT_STREQ(image->header.secondKey.encryptionParamSet.c_str(), paramSet);
        const bool set311 = std::strcmp(paramSet, "1.2.643.2.2.31.1") == 0;
        EXPECT_TRUE(OpenContainerTolerant(folder.c_str(), password, paramSet, 0, true));
        EXPECT_FALSE(OpenContainerTolerant(folder.c_str(), password,
                                           set311 ? "1.2.643.7.1.2.5.1.1" : "1.2.643.2.2.31.1",
                                           0, true));
        if (!c.contentTail.empty()) {
            const std::string header = ToHex(ReadFileBytes(folder + "/header.key"));
            EXPECT_EQ(header.find(ToHex(c.contentTail)), std::string::npos);
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
    WriteForeign(c, folder);
    ASSERT_TRUE(std::filesystem::remove(folder + "/header.key"));
    FlipByteFromEnd(folder + "/masks.key", 1);
    const RunResult run = RunKeymend({"-kvpublic", "-contfolder", folder, "-passkv", "secret",
                                      "-provtype", "80", "-oid", c.curve, "-oid2", c.curve});
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_EQ(ReadFileBytes(folder + "/public1"), PublicFile(Key(c.curve, 0)));
    EXPECT_EQ(ReadFileBytes(folder + "/public2"), PublicFile(Key(c.curve, 1)));
}

// The other direction: what the tool writes is, byte for byte, the layout above (format OID,
// three-OID key parameters, optional fields under their conditions) for its own masks and
// salts, which are fresh for each copy; name.key keeps the full name however long.
TEST(ForeignContainer, WrittenFilesFollowTheLayout) {
    const ForeignCase cases[] = {
        {"2001, one key, password", "1.2.643.2.2.35.1", "1.2.643.2.2.19", "1.2.643.2.2.31.1", true,
         u"pw", false, {}, {}},
        {"2001 exchange key, two keys, Cyrillic password", "1.2.643.2.2.36.0", "1.2.643.2.2.98",
         "1.2.643.2.2.31.1", true, u"\u043f\u0430\u0440\u043e\u043b\u044c", true, {}, {}},
        {"2012-256 exchange key, two keys", "1.2.643.2.2.36.0", "1.2.643.7.1.1.6.1",
         "1.2.643.7.1.2.5.1.1", true, u"", true, {}, {}},
        {"2012-512, two keys, password", "1.2.643.7.1.2.1.2.2", "1.2.643.7.1.1.1.2",
         "1.2.643.7.1.2.5.1.1", true, u"pw", true, {}, {}},
        {"2012-512 Edwards curve, one key", "1.2.643.7.1.2.1.2.3", "1.2.643.7.1.1.6.2",
         "1.2.643.7.1.2.5.1.1", true, u"", false, {}, {}},
    };
    TempDir dir;
    const std::string name(300, 'n');
    for (const ForeignCase& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string folder =
            MakeContainer(dir.path(), name, Key(c.curve), c.algorithm, c.password.c_str());
        ASSERT_FALSE(folder.empty());
        if (c.secondKey) {
            ASSERT_TRUE(AddSecondKey(folder, Key(c.curve, 1),
                                     ExchangeAlgorithm(ProviderTypeOfOid(c.algorithm)),
                                     c.password.c_str()));
        }
        CopySecrets copies[2];
        for (int i = 0; i < 2; ++i) {
            MaskFileRecord masks;
            const Bytes file = ReadFileBytes(folder + (i == 0 ? "/masks.key" : "/masks2.key"));
            ASSERT_TRUE(DecodeMaskFile(file.data(), file.size(), masks));
            copies[i] = {BlobBytes(masks.mask), BlobBytes(masks.salt)};
        }
        ASSERT_EQ(copies[0].mask.size(), Key(c.curve).d.size());
        EXPECT_NE(copies[0].mask, copies[1].mask);
        EXPECT_NE(copies[0].salt, copies[1].salt);
        for (const auto& [file, bytes] : BuildForeign(c, copies, name)) {
            EXPECT_EQ(ToHex(ReadFileBytes(folder + "/" + file)), ToHex(bytes)) << file;
        }
    }
}

}  // namespace
}  // namespace keymend::test
