// The PITABLE of the RC2 key expansion (defined in rc2_table.cpp).
#pragma once

#include <cstdint>

namespace keymend::rc2_detail {

extern const uint8_t kPiTable[256];

}  // namespace keymend::rc2_detail
