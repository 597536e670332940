// Password sources on Windows: environment variables, files and standard input (a console is read
// without echo). There are no descriptor numbers to name here, so "fd:" is refused.
#include "platform/password_source.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/files_internal.h"
#include "platform/text.h"

namespace keymend {

namespace {

// The first line of a handle, read one byte at a time straight into out; false when not even a
// line end could be read.
bool ReadFirstLine(HANDLE handle, char* out, size_t room) {
    // A failed read (a closed pipe) ends the input like the end of a file.
    const auto readByte = [handle](char* at) {
        DWORD got = 0;
        return ReadFile(handle, at, 1, &got, nullptr) && got == 1 ? 1 : 0;
    };
    return ReadFirstLineBytes(readByte, out, room);
}

bool ReadStandardInput(char* out, size_t room) {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE) return false;
    DWORD mode = 0;
    if (!GetConsoleMode(input, &mode)) return ReadFirstLine(input, out, room);
    // A console: the line is read without echo, and the line end typed is written in its place.
    if (!SetConsoleMode(input, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT))) return false;
    const bool ok = ReadFirstLine(input, out, room);
    SetConsoleMode(input, mode);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), "\r\n", 2, &written, nullptr);
    return ok;
}

bool ReadFileLine(const char* path, char* out, size_t room) {
    // The path is converted as the command line's arguments are.
    std::vector<char16_t> wide(32768);
    if (*path == '\0' || !ArgumentToUtf16(path, wide.data(), wide.size())) return false;
    const HANDLE file =
        CreateFileW(reinterpret_cast<const wchar_t*>(wide.data()), GENERIC_READ,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool ok = ReadFirstLine(file, out, room);
    CloseHandle(file);
    return ok;
}

}  // namespace

bool ReadPasswordSource(PasswordSourceKind kind, const char* argument, char* out, size_t room) {
    if (out == nullptr || room == 0) return false;
    if (kind == PasswordSourceKind::kStandardInput) return ReadStandardInput(out, room);
    if (argument == nullptr) return false;
    switch (kind) {
        case PasswordSourceKind::kEnvironment:
            return ReadEnvironmentValue(argument, out, room);
        case PasswordSourceKind::kFile:
            return ReadFileLine(argument, out, room);
        default:
            return false;
    }
}

}  // namespace keymend
