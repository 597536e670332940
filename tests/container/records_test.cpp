#include "container/records.h"

#include <gtest/gtest.h>

#include "container/protection.h"
#include "support/test_support.h"

namespace keymend {
namespace {

using test::Bytes;
using test::FromHex;
using test::ToHex;
using test::Cat;
using test::Tlv;

Bytes ToBytes(const SecureBlob& b) {
    return Bytes(b.data(), b.data() + b.size());
}

void Fill(SecureBlob& blob, const std::string& hex) {
    const Bytes b = FromHex(hex);
    ASSERT_TRUE(blob.Assign(b.data(), static_cast<uint32_t>(b.size())));
}

const Bytes kOidAlg = FromHex("06082a85030701010101");      // 1.2.643.7.1.1.1.1
const Bytes kOidPk = FromHex("06072a850302022301");         // 1.2.643.2.2.35.1
const Bytes kOidDigest = FromHex("06082a85030701010202");   // 1.2.643.7.1.1.2.2
const Bytes kOidEnc = FromHex("06092a8503070102050101");    // 1.2.643.7.1.2.5.1.1
const Bytes kFormat = FromHex("a00a06082a85030202250201");  // [0] { 1.2.643.2.2.37.2.1 }

// A HeaderRecord with every field set, as the builders fill it.
void FullHeader(HeaderRecord& h, bool secondKey) {
    Fill(h.flags, "c0");
    Fill(h.passwordCheck, "01020304");
    for (KeyProperties* k : {&h.firstKey, &h.secondKey}) {
        if (k == &h.secondKey && !secondKey) break;
        Fill(k->flags, k == &h.firstKey ? "80" : "a0");
        ASSERT_TRUE(k->algorithm.Set(k == &h.firstKey ? "1.2.643.7.1.1.1.1" : "1.2.643.7.1.1.6.1"));
        ASSERT_TRUE(k->publicKeyParamSet.Set("1.2.643.2.2.35.1"));
        ASSERT_TRUE(k->digestParamSet.Set("1.2.643.7.1.1.2.2"));
        ASSERT_TRUE(k->encryptionParamSet.Set("1.2.643.7.1.2.5.1.1"));
        Fill(k->certificate, k == &h.firstKey ? "3003020101" : "3003020102");
        Fill(k->publicKeyCheck, k == &h.firstKey ? "1112131415161718" : "2122232425262728");
    }
}

void ExpectSameKey(const KeyProperties& a, const KeyProperties& b) {
    EXPECT_EQ(ToBytes(a.flags), ToBytes(b.flags));
    EXPECT_STREQ(a.algorithm.c_str(), b.algorithm.c_str());
    EXPECT_STREQ(a.publicKeyParamSet.c_str(), b.publicKeyParamSet.c_str());
    EXPECT_STREQ(a.digestParamSet.c_str(), b.digestParamSet.c_str());
    EXPECT_STREQ(a.encryptionParamSet.c_str(), b.encryptionParamSet.c_str());
    EXPECT_EQ(ToBytes(a.certificate), ToBytes(b.certificate));
    EXPECT_EQ(ToBytes(a.publicKeyCheck), ToBytes(b.publicKeyCheck));
}

TEST(ContainerRecords, SmallRecordsRoundTrip) {
    SecureBlob out;
    const std::string name(300, 'n');  // the name file keeps the full name, however long
    ASSERT_TRUE(EncodeNameFile(reinterpret_cast<const uint8_t*>(name.data()), 300, out));
    SecureBlob decodedName;
    ASSERT_TRUE(DecodeNameFile(out.data(), out.size(), decodedName));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(decodedName.data()), decodedName.size()),
              name);

    for (int keys = 1; keys <= 2; ++keys) {
        for (uint32_t width : {32u, 64u}) {
            KeyFileRecord record;
            Fill(record.firstKey, std::string(2 * width, 'a'));
            if (keys == 2) Fill(record.secondKey, std::string(2 * width, 'b'));
            ASSERT_TRUE(EncodeKeyFile(record, out));
            EXPECT_EQ(out[0], 0x30);
            KeyFileRecord decoded;
            ASSERT_TRUE(DecodeKeyFile(out.data(), out.size(), decoded));
            EXPECT_EQ(ToBytes(decoded.firstKey), ToBytes(record.firstKey));
            EXPECT_EQ(ToBytes(decoded.secondKey), ToBytes(record.secondKey));
        }
    }

    MaskFileRecord masks;
    Fill(masks.mask, std::string(128, 'c'));
    Fill(masks.salt, "000102030405060708090a0b");
    Fill(masks.maskCheck, "deadbeef");
    ASSERT_TRUE(EncodeMaskFile(masks, out));
    MaskFileRecord decodedMasks;
    ASSERT_TRUE(DecodeMaskFile(out.data(), out.size(), decodedMasks));
    EXPECT_EQ(ToBytes(decodedMasks.mask), ToBytes(masks.mask));
    EXPECT_EQ(ToBytes(decodedMasks.salt), ToBytes(masks.salt));
    EXPECT_EQ(ToBytes(decodedMasks.maskCheck), ToBytes(masks.maskCheck));
}

TEST(ContainerRecords, HeaderRoundTripAndMac) {
    for (bool second : {false, true}) {
        HeaderRecord header;
        FullHeader(header, second);
        SecureBlob out;
        ASSERT_TRUE(EncodeHeaderFile(header, false, out));
        HeaderRecord decoded;
        ASSERT_TRUE(DecodeHeaderFile(out.data(), out.size(), decoded));
        EXPECT_STREQ(decoded.formatOid.c_str(), kContainerFormatOid);
        EXPECT_EQ(ToBytes(decoded.flags), ToBytes(header.flags));
        EXPECT_EQ(ToBytes(decoded.passwordCheck), ToBytes(header.passwordCheck));
        EXPECT_EQ(ToBytes(decoded.headerMac), ToBytes(header.headerMac));
        ExpectSameKey(decoded.firstKey, header.firstKey);
        ExpectSameKey(decoded.secondKey, header.secondKey);
        // The MAC written is the MAC of the raw content that the reader keeps.
        uint8_t mac[4];
        ASSERT_TRUE(HeaderMac(decoded.rawContent.data(), decoded.rawContent.size(),
                              HeaderMacParamSet(decoded), mac));
        EXPECT_EQ(ToHex(mac, 4), ToHex(ToBytes(decoded.headerMac)));
        // Encoding what was decoded gives the same file.
        SecureBlob again;
        ASSERT_TRUE(EncodeHeaderFile(decoded, false, again));
        EXPECT_EQ(ToBytes(again), ToBytes(out));
    }
}

TEST(ContainerRecords, FlagsAsBitStrings) {
    const struct {
        const char* flags;
        const char* encoded;
    } cases[] = {{"40", "03020640"},
                 {"80", "03020780"},
                 {"a0", "030205a0"},
                 {"c0", "030206c0"},
                 {"", "030100"}};
    for (const auto& c : cases) {
        HeaderRecord header;
        FullHeader(header, false);
        Fill(header.flags, c.flags);
        SecureBlob out;
        ASSERT_TRUE(EncodeHeaderFile(header, false, out));
        const std::string hex = ToHex(ToBytes(out));
        // The flags follow the format OID, which is always written.
        EXPECT_NE(hex.find(ToHex(kFormat) + c.encoded), std::string::npos) << c.flags;
        HeaderRecord decoded;
        ASSERT_TRUE(DecodeHeaderFile(out.data(), out.size(), decoded));
        EXPECT_EQ(ToHex(ToBytes(decoded.flags)), c.flags);
    }
}

TEST(ContainerRecords, ExtendedHeaderIsPaddedTo3075Bytes) {
    HeaderRecord header;
    FullHeader(header, true);
    SecureBlob plain, extended;
    ASSERT_TRUE(EncodeHeaderFile(header, false, plain));
    ASSERT_TRUE(EncodeHeaderFile(header, true, extended));
    ASSERT_EQ(extended.size(), kExtendedHeaderSize);
    EXPECT_EQ(Bytes(extended.data(), extended.data() + plain.size()), ToBytes(plain));
    for (uint32_t i = plain.size(); i < extended.size(); ++i) ASSERT_EQ(extended[i], 0) << i;
    HeaderRecord decoded;
    ASSERT_TRUE(DecodeHeaderFile(extended.data(), extended.size(), decoded));
    ExpectSameKey(decoded.secondKey, header.secondKey);

    // An encoding of 3,075 bytes or more is not padded.
    Fill(header.firstKey.certificate, std::string(2 * 3100, 'e'));
    ASSERT_TRUE(EncodeHeaderFile(header, false, plain));
    ASSERT_TRUE(EncodeHeaderFile(header, true, extended));
    EXPECT_GT(plain.size(), kExtendedHeaderSize);
    EXPECT_EQ(ToBytes(extended), ToBytes(plain));
}

// Hand-built headers: optional fields, out-of-order and trailing elements.
Bytes KeyProps(const Bytes& flags, const Bytes& params) {
    return Tlv(0x30, Cat({flags, Tlv(0xA0, Cat({kOidAlg, Tlv(0x30, params)}))}));
}

Bytes HeaderFile(const Bytes& content, const char* paramSet) {
    const Bytes inner = Tlv(0x30, content);
    uint8_t mac[4];
    EXPECT_TRUE(HeaderMac(inner.data(), inner.size(), paramSet, mac));
    return Tlv(0x30, Cat({inner, Tlv(0x04, Bytes(mac, mac + 4))}));
}

TEST(ContainerRecords, HeaderOptionalFieldsAsRead) {
    const Bytes flags = FromHex("03020640");
    const Bytes check10 = Tlv(0x8A, FromHex("0102030405060708"));
    const Bytes pwd = Tlv(0x82, FromHex("aabbccdd"));
    const char* def = "1.2.643.7.1.2.5.1.1";

    // No format OID, two parameter OIDs: decodes with an empty encryption set.
    HeaderRecord h;
    Bytes file = HeaderFile(
        Cat({flags, KeyProps(FromHex("03020780"), Cat({kOidPk, kOidDigest})), check10}), def);
    ASSERT_TRUE(DecodeHeaderFile(file.data(), file.size(), h));
    EXPECT_TRUE(h.formatOid.empty());
    EXPECT_TRUE(h.firstKey.encryptionParamSet.empty());
    EXPECT_STREQ(h.firstKey.digestParamSet.c_str(), "1.2.643.7.1.1.2.2");
    EXPECT_EQ(ToHex(ToBytes(h.firstKey.publicKeyCheck)), "0102030405060708");

    // [2] after [10] is out of order: it stays unread but is covered by the MAC.
    HeaderRecord late;
    file = HeaderFile(
        Cat({kFormat, flags, KeyProps(flags, Cat({kOidPk, kOidDigest, kOidEnc})), check10, pwd}),
        def);
    ASSERT_TRUE(DecodeHeaderFile(file.data(), file.size(), late));
    EXPECT_TRUE(late.passwordCheck.empty());
    EXPECT_EQ(late.rawContent.size(), file.size() - 8);  // outer header (2) and MAC (6)

    // A trailing unknown element is dropped on writing, under a new MAC.
    HeaderRecord trailing;
    file = HeaderFile(Cat({kFormat, flags, KeyProps(flags, Cat({kOidPk, kOidDigest, kOidEnc})), pwd,
                           check10, Tlv(0x8C, FromHex("00"))}),
                      def);
    ASSERT_TRUE(DecodeHeaderFile(file.data(), file.size(), trailing));
    EXPECT_EQ(ToHex(ToBytes(trailing.passwordCheck)), "aabbccdd");
    const std::string oldMac = ToHex(ToBytes(trailing.headerMac));
    SecureBlob rewritten;
    ASSERT_TRUE(EncodeHeaderFile(trailing, false, rewritten));
    EXPECT_EQ(rewritten.size(), file.size() - 3);
    HeaderRecord again;
    ASSERT_TRUE(DecodeHeaderFile(rewritten.data(), rewritten.size(), again));
    uint8_t mac[4];
    ASSERT_TRUE(HeaderMac(again.rawContent.data(), again.rawContent.size(), def, mac));
    EXPECT_EQ(ToHex(mac, 4), ToHex(ToBytes(again.headerMac)));
    EXPECT_NE(ToHex(ToBytes(again.headerMac)), oldMac);
}

TEST(ContainerRecords, MalformedFilesAreRejected) {
    const Bytes o32 = Tlv(0x04, Bytes(32, 1));
    const Bytes flags = FromHex("03020640");
    const Bytes goodKey = KeyProps(flags, Cat({kOidPk, kOidDigest, kOidEnc}));
    const struct {
        const char* what;
        int kind;  // 0 key file, 1 masks file, 2 header, 3 name
        Bytes file;
    } cases[] = {
        {"key file with three elements", 0, Tlv(0x30, Cat({o32, Tlv(0x80, Bytes(32)), o32}))},
        {"second key not [0] IMPLICIT", 0, Tlv(0x30, Cat({o32, o32}))},
        {"key file that is not a SEQUENCE", 0, Tlv(0x31, o32)},
        {"key file cut short", 0, Bytes{0x30, 0x22, 0x04, 0x20, 1, 1}},
        {"empty key file", 0, Bytes{}},
        {"masks file with two elements", 1, Tlv(0x30, Cat({o32, o32}))},
        {"masks file with four elements", 1, Tlv(0x30, Cat({o32, o32, o32, o32}))},
        {"header with three elements", 2,
         Tlv(0x30, Cat({Tlv(0x30, Cat({flags, goodKey})), Tlv(0x04, Bytes(4)), Tlv(0x04, {})}))},
        {"format [0] holding two OIDs", 2,
         Tlv(0x30, Cat({Tlv(0x30, Cat({Tlv(0xA0, Cat({kOidPk, kOidPk})), flags, goodKey})),
                        Tlv(0x04, Bytes(4))}))},
        {"flags without content octets", 2,
         Tlv(0x30, Cat({Tlv(0x30, Cat({Tlv(0x03, {}), goodKey})), Tlv(0x04, Bytes(4))}))},
        {"key parameters with one OID", 2,
         Tlv(0x30, Cat({Tlv(0x30, Cat({flags, KeyProps(flags, kOidPk)})), Tlv(0x04, Bytes(4))}))},
        {"key parameters with four OIDs", 2,
         Tlv(0x30,
             Cat({Tlv(0x30, Cat({flags, KeyProps(flags, Cat({kOidPk, kOidPk, kOidPk, kOidPk}))})),
                  Tlv(0x04, Bytes(4))}))},
        {"missing first key", 2, Tlv(0x30, Cat({Tlv(0x30, flags), Tlv(0x04, Bytes(4))}))},
        {"name that is not IA5String", 3, Tlv(0x30, Tlv(0x0C, Bytes{'a'}))},
    };
    for (const auto& c : cases) {
        bool ok = false;
        switch (c.kind) {
            case 0: {
                KeyFileRecord r;
                ok = DecodeKeyFile(c.file.data(), c.file.size(), r);
                break;
            }
            case 1: {
                MaskFileRecord r;
                ok = DecodeMaskFile(c.file.data(), c.file.size(), r);
                break;
            }
            case 2: {
                HeaderRecord r;
                ok = DecodeHeaderFile(c.file.data(), c.file.size(), r);
                break;
            }
            default: {
                SecureBlob r;
                ok = DecodeNameFile(c.file.data(), c.file.size(), r);
                break;
            }
        }
        EXPECT_FALSE(ok) << c.what;
    }
}

TEST(ContainerRecords, HeaderWithUnknownParamSetIsNotWritten) {
    HeaderRecord header;
    FullHeader(header, false);
    ASSERT_TRUE(header.firstKey.encryptionParamSet.Set("1.2.643.2.2.31.99"));
    SecureBlob out;
    EXPECT_FALSE(EncodeHeaderFile(header, false, out));
    EXPECT_TRUE(out.empty());
    // Provider type 75 always MACs under 1.2.643.2.2.31.1, whatever the key's set.
    ASSERT_TRUE(header.firstKey.algorithm.Set("1.2.643.2.2.19"));
    EXPECT_TRUE(EncodeHeaderFile(header, false, out));
}

}  // namespace
}  // namespace keymend
