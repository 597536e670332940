#include "pkcs12/pkcs12_fixtures.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>

namespace keymend::test {

namespace {

std::vector<Pkcs12Fixture> LoadPkcs12Fixtures(const std::string& folder) {
    std::vector<Pkcs12Fixture> out;
    for (const auto& r : LoadVectorFile(folder + "/manifest.vec",
                                        {"File", "Password", "Algorithm", "ParamSet", "DigestSet",
                                         "PublicKey", "Certificate", "Expect"})) {
        const Bytes pw = r.Hex("Password");
        out.push_back({folder + "/" + r.Get("File"), r.Get("File"),
                       std::string(pw.begin(), pw.end()), r.Get("Algorithm"), r.Get("ParamSet"),
                       r.Get("DigestSet"), r.Hex("PublicKey"), std::stoi(r.Get("Certificate")),
                       r.Get("Expect")});
    }
    return out;
}

Der ParseAt(const Bytes& b, size_t& pos) {
    Der d;
    if (pos + 2 > b.size()) {
        ADD_FAILURE() << "truncated DER";
        pos = b.size();
        return d;
    }
    d.id = b[pos++];
    size_t len = b[pos++];
    if (len & 0x80) {
        size_t n = len & 0x7F;
        len = 0;
        while (n-- > 0 && pos < b.size()) len = len * 256 + b[pos++];
    }
    const size_t end = std::min(pos + len, b.size());
    if (d.id & 0x20) {
        while (pos < end) d.kids.push_back(ParseAt(b, pos));
    } else {
        d.content.assign(b.begin() + static_cast<long>(pos), b.begin() + static_cast<long>(end));
    }
    pos = end;
    return d;
}

}  // namespace

std::vector<Pkcs12Fixture> CommittedPkcs12Fixtures() {
    return LoadPkcs12Fixtures(DataPath("pkcs12"));
}

const std::vector<Pkcs12Fixture>& GeneratedPkcs12Fixtures() {
    static std::unique_ptr<TempDir> dir;
    static const std::vector<Pkcs12Fixture> fixtures = [] {
        if (!OpenSslGostAvailable()) return std::vector<Pkcs12Fixture>{};
        dir = std::make_unique<TempDir>();
        const RunResult r = RunShell("KEYMEND_FIXTURE_ITER=64 " + std::string(KEYMEND_SOURCE_DIR) +
                                     "/scripts/make-fixtures.sh " + dir->path());
        if (r.exitCode == 0) return LoadPkcs12Fixtures(dir->path());
        ADD_FAILURE() << "make-fixtures.sh failed although OpenSSL is present";
        return std::vector<Pkcs12Fixture>{};
    }();
    return fixtures;
}

const Pkcs12Fixture* FindFixture(const std::vector<Pkcs12Fixture>& all, const std::string& name) {
    for (const auto& f : all) {
        if (f.name == name) return &f;
    }
    ADD_FAILURE() << "no fixture " << name;
    return nullptr;
}

std::vector<Bytes> OpenSslCertificates(const Pkcs12Fixture& fixture) {
    std::vector<Bytes> out;
    if (!OpenSslGostAvailable()) return out;
    // All certificates in file order, as one PKCS#7 bundle: SignedData's [0] certificates.
    // Files with RC2 need OpenSSL's legacy provider.
    const std::string list = "openssl pkcs12 -engine gost -in '" + fixture.path +
                             "' -passin 'pass:" + fixture.password + "' -nokeys -nomacver";
    const RunResult r = RunShell("{ " + list + " || " + list + " -legacy; } 2>/dev/null | "
                                 "openssl crl2pkcs7 -nocrl -certfile /dev/stdin -outform DER | "
                                 "xxd -p | tr -d '\\n'");
    Der p7 = Der::Parse(FromHex(r.out));
    if (p7.kids.size() < 2) return out;
    for (const Der& c : p7[1][0][3].kids) out.push_back(c.Encode());
    return out;
}

Der Der::Oid(const std::string& dotted) {
    std::vector<uint64_t> arcs;
    std::stringstream ss(dotted);
    for (std::string part; std::getline(ss, part, '.');) arcs.push_back(std::stoull(part));
    Bytes out{static_cast<uint8_t>(arcs[0] * 40 + arcs[1])};
    for (size_t i = 2; i < arcs.size(); ++i) {
        Bytes rev;
        for (uint64_t v = arcs[i]; v != 0 || rev.empty(); v >>= 7) {
            rev.push_back(static_cast<uint8_t>((v & 0x7F) | (rev.empty() ? 0 : 0x80)));
        }
        out.insert(out.end(), rev.rbegin(), rev.rend());
    }
    return Prim(0x06, out);
}

Der Der::Parse(const Bytes& der) {
    size_t pos = 0;
    return ParseAt(der, pos);
}

Bytes Der::Encode() const {
    if (!(id & 0x20)) return Tlv(id, content);
    Bytes body;
    for (const Der& k : kids) body = Cat({body, k.Encode()});
    return Tlv(id, body);
}

}  // namespace keymend::test
