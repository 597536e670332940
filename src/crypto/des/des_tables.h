// Constant tables of the DES module (defined in des_tables.cpp), numbered as FIPS 46-3 numbers
// them: bit 1 is the most significant bit of a block, key or half.
#pragma once

#include <cstdint>

namespace keymend::des_detail {

extern const uint8_t kInitialPermutation[64];
extern const uint8_t kFinalPermutation[64];
extern const uint8_t kExpansion[48];
extern const uint8_t kPermutation[32];
extern const uint8_t kSBoxes[8][4][16];
extern const uint8_t kPermutedChoice1[56];
extern const uint8_t kPermutedChoice2[48];
extern const uint8_t kKeyShifts[16];

// kSBoxes[i] followed by kPermutation: entries[i][x] (x the six input bits, the first one most
// significant) is the part of f's output that box i contributes. Built at compile time.
struct SBoxPermutedTable {
    uint32_t entries[8][64];
};
extern const SBoxPermutedTable kSBoxPermuted;

}  // namespace keymend::des_detail
