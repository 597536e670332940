// Constant tables of the GOST 28147-89 module (defined in gost28147_tables.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

namespace keymend::gost28147_detail {

constexpr size_t kParamSetTableSize = 14;

struct ParamSetEntry {
    const char* oid;
    uint8_t packed[64];
};

extern const ParamSetEntry kParamSets[kParamSetTableSize];
extern const uint8_t kKeyMeshingConstant[32];

}  // namespace keymend::gost28147_detail
