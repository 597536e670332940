// Reading a password from somewhere other than the command line: an environment variable, the
// first line of a file, of an open descriptor or of standard input.
#pragma once

#include <cstddef>

namespace keymend {

enum class PasswordSourceKind {
    kEnvironment,    // argument: the variable's name; its whole value is the text
    kFile,           // argument: a path; the file's first line
    kDescriptor,     // argument: a descriptor number in decimal digits; the first line read from it
    kStandardInput,  // no argument; the first line of standard input
};

// Room for the text of a source, terminator included. Longer texts are refused: no password
// that the command line accepts needs more.
constexpr size_t kPasswordSourceRoom = 1024;

// Reads the text a source names into out (room bytes, NUL-terminated). A line ends at LF, a CR
// just before it dropped, or at the end of the input; it is read one byte at a time, so that two
// sources can take two lines of one input. From a terminal the line is read without echo. False
// when the source cannot be read (no such variable or file, a descriptor that is not open, an
// input that ends before its first byte), or its text holds a NUL byte or does not fit; out may
// then hold part of the text, so it must be a buffer the caller wipes. Windows has no descriptor
// sources.
bool ReadPasswordSource(PasswordSourceKind kind, const char* argument, char* out, size_t room);

}  // namespace keymend
