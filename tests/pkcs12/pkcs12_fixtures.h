// PKCS#12 files made by OpenSSL with the GOST engine, described by their manifest: the committed
// ones in tests/data/pkcs12, and a fresh set generated at run time when OpenSSL is present.
#pragma once

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

std::vector<Pkcs12Fixture> LoadPkcs12Fixtures(const std::string& folder);
std::vector<Pkcs12Fixture> CommittedPkcs12Fixtures();
// Generated once per test run into a temporary folder; empty when OpenSSL with the GOST engine
// or a C compiler is missing.
const std::vector<Pkcs12Fixture>& GeneratedPkcs12Fixtures();
const Pkcs12Fixture* FindFixture(const std::vector<Pkcs12Fixture>& all, const std::string& name);

// The certificates of a PKCS#12 file in file order, as OpenSSL lists them (empty without
// OpenSSL).
std::vector<Bytes> OpenSslCertificates(const Pkcs12Fixture& fixture);

}  // namespace keymend::test
