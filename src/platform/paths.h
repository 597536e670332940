// Composing file-system paths with the platform's separator: '/' on POSIX systems, '\' on
// Windows (where '/' is accepted as a separator as well).
#pragma once

#include <string>

namespace keymend {

// The separator that JoinPath puts between a folder and a name.
char PathSeparator();
// True for every character the platform takes as a separator.
bool IsPathSeparator(char c);

// `folder` without trailing separators; a root ("/", or on Windows "\", "C:\") stays as it is.
// Null gives "".
std::string NormalizeFolderPath(const char* folder);

// The normalised folder, one separator and `name` (no separator is doubled after a root).
std::string JoinPath(const std::string& folder, const char* name);

}  // namespace keymend
