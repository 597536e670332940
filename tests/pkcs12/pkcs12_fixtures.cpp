#include "pkcs12/pkcs12_fixtures.h"

#include <gtest/gtest.h>

#include <memory>

#include "pkcs12/der_tree.h"

namespace keymend::test {

std::vector<Pkcs12Fixture> LoadPkcs12Fixtures(const std::string& folder) {
    std::vector<Pkcs12Fixture> out;
    for (const auto& r : LoadVectorFile(folder + "/manifest.vec",
                                        {"File", "Password", "Algorithm", "ParamSet", "DigestSet",
                                         "PublicKey", "Certificate", "Expect"})) {
        Pkcs12Fixture f;
        f.name = r.Get("File");
        f.path = folder + "/" + f.name;
        Bytes pw = r.Hex("Password");
        f.password.assign(pw.begin(), pw.end());
        f.algorithm = r.Get("Algorithm");
        f.paramSet = r.Get("ParamSet");
        f.digestSet = r.Get("DigestSet");
        f.publicKey = r.Hex("PublicKey");
        f.certificate = std::stoi(r.Get("Certificate"));
        f.expect = r.Get("Expect");
        out.push_back(f);
    }
    return out;
}

std::vector<Pkcs12Fixture> CommittedPkcs12Fixtures() {
    return LoadPkcs12Fixtures(DataPath("pkcs12"));
}

const std::vector<Pkcs12Fixture>& GeneratedPkcs12Fixtures() {
    static std::unique_ptr<TempDir> dir;
    static std::vector<Pkcs12Fixture> fixtures;
    static bool tried = false;
    if (!tried) {
        tried = true;
        if (OpenSslGostAvailable()) {
            dir = std::make_unique<TempDir>();
            RunResult r = RunShell("KEYMEND_FIXTURE_ITER=64 " + std::string(KEYMEND_SOURCE_DIR) +
                                   "/scripts/make-fixtures.sh " + dir->path());
            if (r.exitCode == 0)
                fixtures = LoadPkcs12Fixtures(dir->path());
            else
                ADD_FAILURE() << "make-fixtures.sh failed although OpenSSL is present";
        }
    }
    return fixtures;
}

const Pkcs12Fixture* FindFixture(const std::vector<Pkcs12Fixture>& all, const std::string& name) {
    for (const auto& f : all)
        if (f.name == name) return &f;
    ADD_FAILURE() << "no fixture " << name;
    return nullptr;
}

std::vector<Bytes> OpenSslCertificates(const Pkcs12Fixture& fixture) {
    std::vector<Bytes> out;
    if (!OpenSslGostAvailable()) return out;
    // All certificates in file order, as one PKCS#7 bundle: SignedData's [0] certificates.
    RunResult r = RunShell("openssl pkcs12 -engine gost -in '" + fixture.path +
                           "' -passin 'pass:" + fixture.password +
                           "' -nokeys -nomacver 2>/dev/null | openssl crl2pkcs7 "
                           "-nocrl -certfile /dev/stdin -outform DER | xxd -p | tr -d '\\n'");
    Der p7 = Der::Parse(FromHex(r.out));
    if (p7.kids.size() < 2) return out;
    for (const Der& c : p7[1][0][3].kids) out.push_back(c.Encode());
    return out;
}

}  // namespace keymend::test
