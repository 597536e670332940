// Inside the platform layer: the points where the file seams of files.h act, and what the path,
// folder and password readers share.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/files.h"
#include "platform/seams.h"

namespace keymend {

// The first line of a source read one byte at a time straight into out (room bytes, the line end
// dropped, a CR before it too); false when not even a line end could be read, on a NUL byte and
// when the line does not fit. readByte(char* at) gives 1 for a byte stored at `at`, 0 at the end
// of the input, -1 on an error.
template <typename ReadByte>
bool ReadFirstLineBytes(ReadByte readByte, char* out, size_t room) {
    size_t n = 0;
    for (bool any = false;;) {
        const int got = readByte(out + n);
        if (got <= 0) {
            if (got < 0 || !any) return false;
            break;
        }
        any = true;
        if (out[n] == '\n') break;
        if (out[n] == '\0' || ++n == room) return false;
    }
    if (n > 0 && out[n - 1] == '\r') --n;
    out[n] = '\0';
    return true;
}

// The value of the environment variable `name` with its terminator into out (room bytes); false
// when it is not set or does not fit.
inline bool ReadEnvironmentValue(const char* name, char* out, size_t room) {
    const char* value = std::getenv(name);
    const size_t n = value != nullptr ? std::strlen(value) : room;
    if (n >= room) return false;
    std::memcpy(out, value, n + 1);
    return true;
}

#ifdef _WIN32
// Argument bytes (win32/argument_bytes.h) to UTF-16; false for an empty path or bytes that do
// not convert.
bool WidePath(const char* path, std::wstring& wide);
// ReadFileBounded for a file already opened (a HANDLE, which stays open).
bool ReadOpenedFile(void* handle, size_t maxSize, FileBufferAllocator allocate, void* context);
#else
// ReadFileBounded for a file already opened (the descriptor stays open).
bool ReadOpenedFile(int fd, size_t maxSize, FileBufferAllocator allocate, void* context);
#endif

}  // namespace keymend
