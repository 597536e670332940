#include "pkcs12/der_tree.h"

#include <gtest/gtest.h>

#include <sstream>

namespace keymend::test {

namespace {

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
    size_t end = std::min(pos + len, b.size());
    if (d.id & 0x20) {
        while (pos < end) d.kids.push_back(ParseAt(b, pos));
    } else {
        d.content.assign(b.begin() + static_cast<long>(pos), b.begin() + static_cast<long>(end));
    }
    pos = end;
    return d;
}

}  // namespace

Der Der::Oid(const std::string& dotted) {
    std::vector<uint32_t> arcs;
    std::stringstream ss(dotted);
    std::string part;
    while (std::getline(ss, part, '.')) arcs.push_back(static_cast<uint32_t>(std::stoul(part)));
    Bytes out{static_cast<uint8_t>(arcs[0] * 40 + arcs[1])};
    for (size_t i = 2; i < arcs.size(); ++i) {
        Bytes rev;
        uint32_t v = arcs[i];
        do {
            rev.push_back(static_cast<uint8_t>((v & 0x7F) | (rev.empty() ? 0 : 0x80)));
            v >>= 7;
        } while (v != 0);
        out.insert(out.end(), rev.rbegin(), rev.rend());
    }
    return Prim(0x06, out);
}

Der Der::Parse(const Bytes& der) {
    size_t pos = 0;
    return ParseAt(der, pos);
}

Bytes Der::Encode() const {
    Bytes body;
    if (id & 0x20) {
        for (const auto& k : kids) {
            Bytes e = k.Encode();
            body.insert(body.end(), e.begin(), e.end());
        }
    } else {
        body = content;
    }
    Bytes out{id};
    if (body.size() < 128) {
        out.push_back(static_cast<uint8_t>(body.size()));
    } else {
        Bytes len;
        for (size_t n = body.size(); n != 0; n >>= 8)
            len.insert(len.begin(), static_cast<uint8_t>(n));
        out.push_back(static_cast<uint8_t>(0x80 | len.size()));
        out.insert(out.end(), len.begin(), len.end());
    }
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

}  // namespace keymend::test
