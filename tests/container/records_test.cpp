// The container records: header encoding edges, malformed files, and whole containers laid out
// byte by byte as another writer of the same format may produce them (optional fields left out,
// two-OID key parameters, a non-default cipher parameter set, trailing elements, padding), built
// from raw TLVs and the crypto primitives rather than the record encoders.
#include "container/records.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "commands/public_export.h"
#include "container/container_builder.h"
#include "container/protection.h"
#include "crypto/context/key_mask.h"
#include "crypto/gost28147/gost28147.h"
#include "pkcs12/pkcs12_fixtures.h"

namespace keymend::test {
namespace {

// The extended header is the plain encoding padded with zeros to 3,075 bytes, unless it is that
// long already. A key with an unknown cipher set cannot be MACed, so nothing is written;
// provider type 75 MACs under 1.2.643.2.2.31.1 whatever the key's set.
TEST(ContainerRecords, HeaderEncodingEdges) {
    TempDir dir;
    const std::string folder =
        MakeContainer(dir.path(), "h", Key("1.2.643.2.2.35.1"), SignatureAlgorithm(80), u"pw");
    ContainerImagePtr image = CreateContainerImage();
    ASSERT_TRUE(ReadWholeFile(folder + "/header.key", ContainerFile::kHeader, *image));
    HeaderRecord& h = image->header;
    for (uint32_t size : {5u, 3100u}) {
        const Bytes certificate(size, 0x30);
        ASSERT_TRUE(h.firstKey.certificate.Assign(certificate.data(), size));
        SecureBlob plain, extended;
        ASSERT_TRUE(EncodeHeaderFile(h, false, plain));
        ASSERT_TRUE(EncodeHeaderFile(h, true, extended));
        Bytes padded = BlobBytes(plain);
        padded.resize(std::max<size_t>(padded.size(), kExtendedHeaderSize), 0);
        EXPECT_EQ(BlobBytes(extended), padded) << size;
    }
    SecureBlob out;
    ASSERT_TRUE(h.firstKey.encryptionParamSet.Set("1.2.643.2.2.31.99"));
    EXPECT_FALSE(EncodeHeaderFile(h, false, out));
    EXPECT_TRUE(out.empty());
    ASSERT_TRUE(h.firstKey.algorithm.Set("1.2.643.2.2.19"));
    EXPECT_TRUE(EncodeHeaderFile(h, false, out));
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

std::u16string Password(const VectorRecord& c) {
    return std::u16string(c.Get("Password").begin(), c.Get("Password").end());
}

// The cipher set of a foreign.vec record: its own, or the provider's default.
std::string ParamSetOf(const VectorRecord& c) {
    if (c.Has("EncryptionSet")) return c.Get("EncryptionSet");
    return ProviderTypeOfOid(c.Get("Algorithm").c_str()) == 75 ? "1.2.643.2.2.31.1"
                                                               : "1.2.643.7.1.2.5.1.1";
}

Bytes KeyProperties(const VectorRecord& c, const std::string& algorithm) {
    const uint32_t type = ProviderTypeOfOid(algorithm.c_str());
    Bytes params = Cat({Oid(c.Get("Curve")), Oid(type == 75   ? "1.2.643.2.2.30.1"
                                                 : type == 80 ? "1.2.643.7.1.1.2.2"
                                                              : "1.2.643.7.1.1.2.3")});
    if (c.Has("EncryptionSet")) params = Cat({params, Oid(c.Get("EncryptionSet"))});
    const bool exchange = algorithm == ExchangeAlgorithm(type);
    const Bytes flags = exchange ? Bytes{0x05, 0xA0} : Bytes{0x07, 0x80};
    return Cat({Tlv(0x03, flags), Tlv(0xA0, Cat({Oid(algorithm), Tlv(0x30, params)}))});
}

// The six files, by name, of the container a foreign.vec record describes.
std::vector<std::pair<std::string, Bytes>> BuildForeign(const VectorRecord& c,
                                                        const CopySecrets (&copies)[2],
                                                        const std::string& name) {
    const std::string& curve = c.Get("Curve");
    const uint32_t type = ProviderTypeOfOid(c.Get("Algorithm").c_str());
    const std::string paramSet = ParamSetOf(c);
    const std::u16string password = Password(c);
    const bool secondKey = c.Get("SecondKey") == "yes";
    const size_t n = Key(curve).d.size();
    Bytes keys[2], masks[2];
    for (int i = 0; i < 2; ++i) {
        const Bytes& mask = copies[i].mask;
        const Bytes kek = Kek(password, copies[i].salt, type);
        auto encrypted = [&](Bytes k) {
            EXPECT_TRUE(ApplyStoredMask(k.data(), n, mask.data(), n, curve.c_str(), false));
            EXPECT_TRUE(Gost28147Crypt(k.data(), n, false, kGost28147Ecb, kek.data(), 32,
                                       paramSet.c_str(), nullptr));
            return k;
        };
        keys[i] = Tlv(0x04, encrypted(Key(curve, 0).d));
        if (secondKey) keys[i] = Cat({keys[i], Tlv(0x80, encrypted(Key(curve, 1).d))});
        const Bytes maskCheck = Mac(copies[i].salt, mask.data() + n - 32, paramSet.c_str());
        masks[i] =
            Tlv(0x30, Cat({Tlv(0x04, mask), Tlv(0x04, copies[i].salt), Tlv(0x04, maskCheck)}));
    }
    const Bytes check1(Key(curve, 0).publicKey.begin(), Key(curve, 0).publicKey.begin() + 8);
    const Bytes check2(Key(curve, 1).publicKey.begin(), Key(curve, 1).publicKey.begin() + 8);
    Bytes content = c.Get("FormatOid") == "yes" ? Tlv(0xA0, Oid("1.2.643.2.2.37.2.1")) : Bytes{};
    content = Cat({content, Tlv(0x03, {0x06, static_cast<uint8_t>(password.empty() ? 0x40 : 0xC0)}),
                   Tlv(0x30, KeyProperties(c, c.Get("Algorithm")))});
    if (!password.empty()) {
        const Bytes checkKey = Kek(password, check1, type);
        content = Cat({content, Tlv(0x82, Mac(Bytes(16, 0), checkKey.data(), paramSet.c_str()))});
    }
    if (secondKey) content = Cat({content, Tlv(0xA4, KeyProperties(c, ExchangeAlgorithm(type)))});
    content = Cat({content, Tlv(0x8A, check1)});
    if (secondKey) content = Cat({content, Tlv(0x8B, check2)});
    if (c.Has("ContentTail")) content = Cat({content, c.Hex("ContentTail")});
    const Bytes headerContent = Tlv(0x30, content);
    const uint8_t zeroKey[32] = {};
    const std::string macSet = type == 75 ? "1.2.643.2.2.31.1" : paramSet;
    Bytes header =
        Tlv(0x30, Cat({headerContent, Tlv(0x04, Mac(headerContent, zeroKey, macSet.c_str()))}));
    if (c.Has("FileTail")) header = Cat({header, c.Hex("FileTail")});
    return {{"header.key", header},
            {"masks.key", masks[0]},
            {"masks2.key", masks[1]},
            {"name.key", Tlv(0x30, Tlv(0x16, Bytes(name.begin(), name.end())))},
            {"primary.key", Tlv(0x30, keys[0])},
            {"primary2.key", Tlv(0x30, keys[1])}};
}

// Each hand-laid container opens strictly, and not under another password. Where it has one
// key, a key added by this tool keeps it openable: encrypted under the container's cipher set
// (the tolerant open needs that set), with the rewritten header dropping what it does not know
// (a late password check value is never read: it would fail the check). Both public keys are
// exported, also without a header and with the first copy's masks broken (the cipher set found
// by trial, the keys from the second copy, the curve and provider type given).
// The other direction: what the tool writes, with one key and after adding a second, is byte
// for byte the same layout (with a format OID and three-OID key parameters) for its own masks
// and salts, fresh for each copy; name.key keeps the full name however long.
TEST(ForeignContainer, ReadAndWrittenLayouts) {
    TempDir dir;
    int n = 0;
    for (const VectorRecord& c : LoadVectors(
             "container/foreign.vec", {"Case", "Curve", "Algorithm", "EncryptionSet", "FormatOid",
                                       "Password", "SecondKey", "ContentTail", "FileTail"})) {
        SCOPED_TRACE(c.Get("Case"));
        const std::string& curve = c.Get("Curve");
        const std::u16string password = Password(c);
        const uint32_t type = ProviderTypeOfOid(c.Get("Algorithm").c_str());
        const std::string paramSet = ParamSetOf(c);
        const std::string folder = dir / std::to_string(n++);
        const size_t length = Key(curve).d.size();
        CopySecrets fixed[2] = {{Bytes(length, 0x5B), Bytes(12, 0x21)},
                                {Bytes(length, 0x3D), Bytes(12, 0x42)}};
        for (CopySecrets& copy : fixed) copy.mask.back() = 0x01;  // below every q
        std::filesystem::create_directories(folder);
        for (const auto& [file, bytes] : BuildForeign(c, fixed, "for")) {
            ASSERT_TRUE(WriteFileBytes(folder + "/" + file, bytes));
        }
        EXPECT_FALSE(OpenContainerStrict(folder.c_str(), u"wrong"));
        ContainerImagePtr image = OpenContainerStrict(folder.c_str(), password.c_str());
        ASSERT_TRUE(image);
        EXPECT_EQ(image->primary2.secondKeyDecrypted.empty(), c.Get("SecondKey") == "no");
        if (c.Get("SecondKey") == "no") {
            ASSERT_TRUE(
                AddSecondKey(folder, Key(curve, 1), ExchangeAlgorithm(type), password.c_str()));
            image = OpenContainerStrict(folder.c_str(), password.c_str());
            ASSERT_TRUE(image);
            EXPECT_EQ(image->header.secondKey.encryptionParamSet.c_str(), paramSet);
            for (const std::string set : {"1.2.643.2.2.31.1", "1.2.643.7.1.2.5.1.1"}) {
                EXPECT_EQ(OpenContainerTolerant(folder.c_str(), password.c_str(), set.c_str(), 0,
                                                true) != nullptr,
                          set == paramSet);
            }
            const std::string header = ToHex(ReadFileBytes(folder + "/header.key"));
            EXPECT_TRUE(!c.Has("ContentTail") || header.find(c.Get("ContentTail")) == header.npos);
        }
        for (bool damaged : {false, true}) {
            if (damaged) {
                ASSERT_TRUE(std::filesystem::remove(folder + "/header.key"));
                FlipByteFromEnd(folder + "/masks.key", 1);
            }
            SecureBlob pub1, pub2;
            EXPECT_TRUE(ExportPublicKeys(folder.c_str(), password.c_str(),
                                         damaged ? curve.c_str() : "", damaged ? curve.c_str() : "",
                                         damaged ? type : 0, pub1, pub2));
            EXPECT_EQ(BlobBytes(pub1), Key(curve).publicKey) << damaged;
            EXPECT_EQ(BlobBytes(pub2), Key(curve, 1).publicKey) << damaged;
        }

        // The same keys as this tool writes them: format OID, three key parameter OIDs.
        VectorRecord own;
        own.fields = {{"Curve", curve}, {"Algorithm", c.Get("Algorithm")}, {"FormatOid", "yes"}};
        own.fields["Password"] = c.Get("Password");
        own.fields["EncryptionSet"] = ParamSetOf(own);
        const std::string name(300, 'n');
        const std::string written = MakeContainer(dir.path(), name, Key(curve),
                                                  c.Get("Algorithm").c_str(), password.c_str());
        ASSERT_FALSE(written.empty());
        for (bool second : {false, true}) {
            if (second) {
                ASSERT_TRUE(AddSecondKey(written, Key(curve, 1), ExchangeAlgorithm(type),
                                         password.c_str()));
            }
            own.fields["SecondKey"] = second ? "yes" : "no";
            CopySecrets copies[2];
            for (int i = 0; i < 2; ++i) {
                MaskFileRecord masks;
                const Bytes file = ReadFileBytes(written + (i == 0 ? "/masks.key" : "/masks2.key"));
                ASSERT_TRUE(DecodeMaskFile(file.data(), file.size(), masks));
                copies[i] = {BlobBytes(masks.mask), BlobBytes(masks.salt)};
            }
            ASSERT_EQ(copies[0].mask.size(), length);
            EXPECT_NE(copies[0].mask, copies[1].mask);
            EXPECT_NE(copies[0].salt, copies[1].salt);
            for (const auto& [file, bytes] : BuildForeign(own, copies, name)) {
                EXPECT_EQ(ToHex(ReadFileBytes(written + "/" + file)), ToHex(bytes)) << file;
            }
        }
    }
}

}  // namespace
}  // namespace keymend::test
