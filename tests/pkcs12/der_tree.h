// A small DER tree for tests: parse a structure, change one element, encode it again with
// correct lengths. Constructed elements hold children; primitive ones hold their content.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace keymend::test {

struct Der {
    uint8_t id = 0;
    Bytes content;          // primitive elements
    std::vector<Der> kids;  // constructed elements (id & 0x20)

    static Der Prim(uint8_t id, Bytes content) { return Der{id, std::move(content), {}}; }
    static Der Cons(uint8_t id, std::vector<Der> kids) { return Der{id, {}, std::move(kids)}; }
    static Der Oid(const std::string& dotted);
    static Der Parse(const Bytes& der);  // the first element; fails the test on bad input
    Bytes Encode() const;
    Der& operator[](size_t i) { return kids.at(i); }
};

}  // namespace keymend::test
