// PKCS#12 files made by OpenSSL with the GOST engine, committed or generated at run time, and a
// small DER tree to derive structures from them: parse, change one element, encode again.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace keymend::test {

struct Pkcs12Fixture {
    std::string path;
    std::string name;
    std::string password;   // UTF-8 bytes
    std::string algorithm;  // PKCS#8 key algorithm OID
    std::string paramSet;
    std::string digestSet;  // what the header must record
    Bytes publicKey;        // x || y, little-endian halves
    int certificate = 0;    // 1-based index of the key's certificate in file order, 0: none
    std::string expect;     // ok, mac, meshing
};

std::vector<Pkcs12Fixture> CommittedPkcs12Fixtures();
// Generated once per run; empty when OpenSSL with the GOST engine or a C compiler is missing.
const std::vector<Pkcs12Fixture>& GeneratedPkcs12Fixtures();
const Pkcs12Fixture* FindFixture(const std::vector<Pkcs12Fixture>& all, const std::string& name);
// The certificates of a PKCS#12 file in file order, as OpenSSL lists them (empty without it).
std::vector<Bytes> OpenSslCertificates(const Pkcs12Fixture& fixture);

// Constructed elements (id & 0x20) hold children, primitive ones their content.
struct Der {
    uint8_t id = 0;
    Bytes content;
    std::vector<Der> kids;

    static Der Prim(uint8_t id, Bytes content) { return Der{id, std::move(content), {}}; }
    static Der Cons(uint8_t id, std::vector<Der> kids) { return Der{id, {}, std::move(kids)}; }
    static Der Oid(const std::string& dotted);
    static Der Parse(const Bytes& der);  // the first element; fails the test on bad input
    Bytes Encode() const;
    Der& operator[](size_t i) { return kids.at(i); }
    const Der& operator[](size_t i) const { return kids.at(i); }
};

}  // namespace keymend::test
