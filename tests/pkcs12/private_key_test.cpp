// StorePrivateKey on PrivateKeyInfo structures built here: key blob forms, parameters, versions.
#include <gtest/gtest.h>

#include "crypto/ec/keypair.h"
#include "pkcs12/der_tree.h"
#include "pkcs12/pkcs12.h"

namespace keymend::test {
namespace {

constexpr const char* kCurve = "1.2.643.2.2.35.1";
constexpr const char* kCurve2012 = "1.2.643.7.1.2.1.1.1";

Bytes Key(uint8_t first) {
    Bytes k(32);
    for (size_t i = 0; i < 32; ++i) k[i] = static_cast<uint8_t>(0x11 * i + 5);
    k[0] = first;
    k[31] = 0x01;  // below every q
    return k;
}

// Q = mask * (key * P), computed directly.
Bytes Public(const Bytes& key, const Bytes& factor, const char* curve) {
    Bytes out(64);
    EXPECT_TRUE(PublicKeyFromPrivate(out.data(), key.data(), 32, factor.data(), 32, curve, false));
    return out;
}

Bytes One() {
    Bytes one(32, 0);
    one[0] = 1;
    return one;
}

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes Pkcs8(const Bytes& blob, const std::vector<std::string>& params,
            const std::string& algorithm = "1.2.643.2.2.19", Bytes version = {0}) {
    std::vector<Der> p;
    for (const auto& o : params) p.push_back(Der::Oid(o));
    return Der::Cons(0x30, {Der::Prim(0x02, version),
                            Der::Cons(0x30, {Der::Oid(algorithm), Der::Cons(0x30, p)}),
                            Der::Prim(0x04, blob)})
        .Encode();
}

struct Stored {
    bool ok = false;
    Bytes publicKey;
    std::string algorithm, digest;
};

Stored Store(const Bytes& pkcs8, uint32_t keySpec = 2) {
    ContainerImagePtr image = CreateContainerImage();
    Pkcs12ReadState state;
    state.image = image.get();
    state.keySpec = keySpec;
    Stored s;
    Bytes withTrailer = Concat(pkcs8, {0x00, 0x00});  // trailing octets are ignored
    s.ok = StorePrivateKey(DerBlob{static_cast<uint32_t>(withTrailer.size()), withTrailer.data()},
                           state);
    if (!s.ok) return s;
    const KeyProperties& p = image->header.firstKey;
    const SecureBlob& k = image->primary.firstKey;
    const SecureBlob& m = image->masks.mask;
    s.publicKey.resize(2 * k.size());
    EXPECT_TRUE(PublicKeyFromPrivate(s.publicKey.data(), k.data(), k.size(), m.data(), m.size(),
                                     p.publicKeyParamSet.c_str(), true));
    EXPECT_EQ(ToHex(p.publicKeyCheck.data(), p.publicKeyCheck.size()),
              ToHex(s.publicKey.data(), 8));
    s.algorithm = p.algorithm.c_str();
    s.digest = p.digestParamSet.c_str();
    return s;
}

const std::vector<std::string> kParams = {kCurve, "1.2.643.2.2.30.1"};

TEST(StorePrivateKey, KeyBlobForms) {
    const Bytes d = Key(0x5A), pub = Public(d, One(), kCurve);
    Bytes factor = Key(0x33);
    Bytes badPub = pub;
    badPub[40] ^= 1;
    // A raw key that parses exactly as an OCTET STRING of 30 octets is still a raw key.
    Bytes lookalike = Key(0x04);
    lookalike[1] = 30;
    struct Case {
        const char* what;
        Bytes blob;
        bool ok;
        Bytes expected;
    } cases[] = {
        {"raw", d, true, pub},
        {"raw 04", Key(0x04), true, Public(Key(0x04), One(), kCurve)},
        {"raw 24", Key(0x24), true, Public(Key(0x24), One(), kCurve)},
        {"raw 84", Key(0x84), true, Public(Key(0x84), One(), kCurve)},
        {"raw 30", Key(0x30), true, Public(Key(0x30), One(), kCurve)},
        {"raw parsing as OCTET STRING", lookalike, true, Public(lookalike, One(), kCurve)},
        {"OCTET STRING", Der::Prim(0x04, d).Encode(), true, pub},
        // The wrapper is told by its tag number alone.
        {"context-class wrapper", Der::Prim(0x84, d).Encode(), true, pub},
        {"constructed-form wrapper", Concat({0x24, 0x20}, d), true, pub},
        {"key and public key", Der::Cons(0x30, {Der::Prim(0x04, d), Der::Prim(0x04, pub)}).Encode(),
         true, pub},
        {"key and 8 octets of the public key",
         Der::Cons(0x30, {Der::Prim(0x04, d), Der::Prim(0x04, Bytes(pub.begin(), pub.begin() + 8))})
             .Encode(),
         true, pub},
        {"key and a wrong public key",
         Der::Cons(0x30, {Der::Prim(0x04, d), Der::Prim(0x04, badPub)}).Encode(),
         false,
         {}},
        {"key and 7 octets of the public key",
         Der::Cons(0x30, {Der::Prim(0x04, d), Der::Prim(0x04, Bytes(pub.begin(), pub.begin() + 7))})
             .Encode(),
         false,
         {}},
        {"key and a mask factor", Concat(d, factor), true, Public(d, factor, kCurve)},
        {"48 octets", Concat(d, Bytes(16, 1)), false, {}},
        {"INTEGER", Der::Prim(0x02, d).Encode(), false, {}},
        {"empty", {}, false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Stored s = Store(Pkcs8(c.blob, kParams));
        EXPECT_EQ(s.ok, c.ok);
        if (c.ok) {
            EXPECT_EQ(ToHex(s.publicKey), ToHex(c.expected));
        }
    }
}

TEST(StorePrivateKey, AlgorithmParametersAndVersion) {
    const Bytes d = Key(0x77);
    struct Case {
        const char* what;
        Bytes pkcs8;
        uint32_t keySpec;
        bool ok;
        const char* algorithm;
        const char* digest;
    } cases[] = {
        {"2001 signature", Pkcs8(d, kParams), 2, true, "1.2.643.2.2.19", "1.2.643.2.2.30.1"},
        {"2001 exchange", Pkcs8(d, kParams), 1, true, "1.2.643.2.2.98", "1.2.643.2.2.30.1"},
        {"2012 curve only", Pkcs8(d, {kCurve2012}, "1.2.643.7.1.1.1.1"), 1, true,
         "1.2.643.7.1.1.6.1", "1.2.643.7.1.1.2.2"},
        {"2012 with digest", Pkcs8(d, {kCurve, "1.2.643.7.1.1.2.2"}, "1.2.643.7.1.1.1.1"), 2, true,
         "1.2.643.7.1.1.1.1", "1.2.643.7.1.1.2.2"},
        {"three parameter OIDs", Pkcs8(d, {kCurve, "1.2.643.2.2.30.1", "1.2.643.2.2.31.1"}), 2,
         false, "", ""},
        {"signature-with-digest OID", Pkcs8(d, kParams, "1.2.643.2.2.3"), 2, false, "", ""},
        {"unaccepted curve", Pkcs8(d, {"1.2.643.2.2.35.0", "1.2.643.2.2.30.1"}), 2, false, "", ""},
        {"512-bit algorithm on a 256-bit curve", Pkcs8(d, kParams, "1.2.643.7.1.1.1.2"), 2, false,
         "", ""},
        {"version 1", Pkcs8(d, kParams, "1.2.643.2.2.19", {1}), 2, true, "1.2.643.2.2.19",
         "1.2.643.2.2.30.1"},
        {"version 00 01", Pkcs8(d, kParams, "1.2.643.2.2.19", {0, 1}), 2, true, "1.2.643.2.2.19",
         "1.2.643.2.2.30.1"},
        {"version 01 00", Pkcs8(d, kParams, "1.2.643.2.2.19", {1, 0}), 2, false, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Stored s = Store(c.pkcs8, c.keySpec);
        EXPECT_EQ(s.ok, c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(s.algorithm, c.algorithm);
        EXPECT_EQ(s.digest, c.digest);
    }
}

}  // namespace
}  // namespace keymend::test
