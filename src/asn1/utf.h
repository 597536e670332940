// UTF-16 (little-endian code units) to UTF-8, strict: an unpaired surrogate fails.
#pragma once

#include <cstdint>

namespace keymend {

// Converts `unitCount` code units stored little-endian at `units`. With `out` null only the
// UTF-8 length is computed; otherwise `out` must hold that many octets (at most 3 per unit).
// *utf8Length receives the number of octets. No terminator is written.
bool Utf16LeToUtf8(const uint8_t* units, uint32_t unitCount, uint8_t* out, uint32_t* utf8Length);

}  // namespace keymend
