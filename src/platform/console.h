// Console services: the user's language, the runtime locale and text output to standard output.
#pragma once

#include <cstddef>

namespace keymend {

// Sets the runtime locale from the environment and decides how output is encoded: UTF-8 as is,
// unless a locale other than C/POSIX is in effect and its codeset is not UTF-8, in which case
// output is converted to that codeset. A locale that is named but not installed leaves C in
// effect, so output stays UTF-8. Call once, before parsing the command line.
void ConsoleInit();

// The user-interface language: the first non-empty of LC_ALL, LC_MESSAGES and LANG decides;
// Russian when it starts with "ru".
bool UserInterfaceIsRussian();
bool LanguageIsRussian(const char* lcAll, const char* lcMessages, const char* lang);

// The codeset of the runtime locale when text must be converted to or from it, or null when the
// locale is UTF-8, C/POSIX or unset (arguments and output are then UTF-8).
const char* LocaleCodeset();

// Writes UTF-8 text to standard output, converted to the locale's codeset when needed.
// Characters the codeset lacks are approximated. False when the write fails.
bool ConsoleWrite(const char* utf8, size_t n);
bool ConsoleFlush();
// Writes UTF-8 text to standard error (warnings), converted like ConsoleWrite.
bool ConsoleWriteError(const char* utf8, size_t n);

}  // namespace keymend
