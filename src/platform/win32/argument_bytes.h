// Argument bytes: how text that Windows hands over in UTF-16 (the command line, names listed in
// a folder) is carried through keymend, whose paths, names and passwords are byte strings.
//
// A character that the ANSI code page spells is its bytes in that code page, so an argument the
// code page can hold has exactly the bytes the ANSI command line gives it. Any other character is
// the escape byte 0x01 followed by the character in UTF-8 (a lone surrogate in its three-byte
// form); U+0001 itself is always escaped, so every 0x01 starts an escape. The escape survives
// joining and cutting at character boundaries: no other byte of it is below 0x80, and no byte of
// a double-byte code page's character is 0x01.
#pragma once

#include <cstddef>
#include <string>

namespace keymend {

constexpr char kArgumentEscape = '\x01';

// The code page's bytes of the UTF-16 text[0..n) when they convert back to exactly that text (no
// best-fit mapping, no default character); false, with out empty, otherwise.
bool AnsiBytesOf(const wchar_t* text, size_t n, std::string& out);

// Appends the argument bytes of the UTF-16 text[0..n) to out.
void AppendArgumentBytes(const wchar_t* text, size_t n, std::string& out);

// Argument bytes s[0..n) to NUL-terminated UTF-16 in out[room]; *units receives the length
// without the terminator. False for a NUL among the bytes, bytes the code page rejects, an
// escape that is malformed or stands for a character the code page spells (other than U+0001),
// or a result that does not fit.
bool ArgumentBytesToUtf16(const char* s, size_t n, wchar_t* out, size_t room, size_t* units);

// The same into a string (false as above).
bool ArgumentBytesToWide(const char* s, size_t n, std::wstring& wide);

// Whether s[0..n) holds an escape.
bool HasArgumentEscape(const char* s, size_t n);

// Length (*length) of the longest prefix of the argument bytes s[0..n) that holds whole characters
// only and whose characters take at most maxBytes bytes in the form StoredNameBytes
// (platform/text.h) gives the whole text. False when s[0..n) is not well-formed argument bytes.
bool StoredPrefixLength(const char* s, size_t n, size_t maxBytes, size_t* length);

}  // namespace keymend
