// Text conversions for passwords and string values. Every conversion is strict: an invalid or
// truncated sequence, or a result that does not fit the output room (terminator included),
// fails. Output buffers may hold secrets; callers wipe them. Intermediate buffers are wiped here.
#pragma once

#include <cstddef>
#include <string>

namespace keymend {

// Converts a NUL-terminated command-line argument from the locale's codeset (LocaleCodeset(),
// UTF-8 when null) to NUL-terminated UTF-16 in out[room]. On Windows the argument is argument
// bytes (platform/win32/argument_bytes.h) and gives back the UTF-16 of the command line.
bool ArgumentToUtf16(const char* arg, char16_t* out, size_t room);

// The length in bytes that a NUL-terminated argument counts for the command line's byte limits:
// its length, except that on Windows a character outside the ANSI code page counts as its UTF-8
// form.
size_t ArgumentLength(const char* arg);

// The bytes that name.key stores for a container name taken from the command line or a folder
// path: the name as it is, except on Windows for a name holding characters outside the ANSI code
// page, which is stored in UTF-8 (as a name typed in a UTF-8 locale is). False when the name has
// no such form.
bool StoredNameBytes(const char* name, std::string& stored);

// The same from an explicit codeset (null or "" means UTF-8).
bool CodesetToUtf16(const char* codeset, const char* text, char16_t* out, size_t room);

// Strict UTF-8 (no overlong forms, surrogates or values above U+10FFFF) of n bytes to
// NUL-terminated UTF-16 in out[room]; *units receives the length without the terminator.
bool Utf8ToUtf16(const char* text, size_t n, char16_t* out, size_t room, size_t* units);


// Length of the longest prefix of s[0..length) that is at most maxBytes long and does not split a
// multibyte character of the current locale (UTF-8 when the locale is "C"/"POSIX").
size_t CharacterPrefixLength(const char* s, size_t length, size_t maxBytes);

}  // namespace keymend
