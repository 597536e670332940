// The one UTF-16 to UTF-8 encoder (strict: an unpaired surrogate fails), over the UTF-8 of
// unicode/utf8.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "unicode/utf8.h"

namespace keymend {

// Converts `unitCount` code units stored little-endian (Le) or big-endian (Be) at `units`. With
// `out` null only the UTF-8 length is computed; otherwise `out` must hold that many octets (at
// most 3 per unit). *utf8Length receives the number of octets. No terminator is written.
bool Utf16LeToUtf8(const uint8_t* units, uint32_t unitCount, uint8_t* out, uint32_t* utf8Length);
bool Utf16BeToUtf8(const uint8_t* units, uint32_t unitCount, uint8_t* out, uint32_t* utf8Length);

// NUL-terminated UTF-16 to NUL-terminated UTF-8 in out[room]; false when it does not fit (the
// terminator included) or holds an unpaired surrogate. *bytes, when given, receives the length.
bool Utf16TextToUtf8(const char16_t* text, char* out, size_t room, size_t* bytes);

}  // namespace keymend
