// Unicode text forms: the one UTF-16 to UTF-8 encoder (strict: an unpaired surrogate fails), and
// the strict UTF-8 decoder the readers of UTF8String values use.
#pragma once

#include <cstddef>
#include <cstdint>

namespace keymend {

// The UTF-8 octets of one Unicode scalar value (below U+110000, not a surrogate) into out[0..3];
// their number, 0 for a value that is not a scalar value.
uint32_t Utf8Encode(uint32_t code, uint8_t out[4]);

// Decodes one scalar value from strict UTF-8 (no overlong forms, surrogates or values above
// U+10FFFF) at p[0..n); its length in octets, 0 when the sequence is ill-formed or cut off.
size_t Utf8Decode(const uint8_t* p, size_t n, uint32_t* code);

// Converts `unitCount` code units stored little-endian (Le) or big-endian (Be) at `units`. With
// `out` null only the UTF-8 length is computed; otherwise `out` must hold that many octets (at
// most 3 per unit). *utf8Length receives the number of octets. No terminator is written.
bool Utf16LeToUtf8(const uint8_t* units, uint32_t unitCount, uint8_t* out, uint32_t* utf8Length);
bool Utf16BeToUtf8(const uint8_t* units, uint32_t unitCount, uint8_t* out, uint32_t* utf8Length);

// NUL-terminated UTF-16 to NUL-terminated UTF-8 in out[room]; false when it does not fit (the
// terminator included) or holds an unpaired surrogate. *bytes, when given, receives the length.
bool Utf16TextToUtf8(const char16_t* text, char* out, size_t room, size_t* bytes);

}  // namespace keymend
