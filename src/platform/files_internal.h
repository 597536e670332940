// Inside the platform layer: the points where the file seams of files.h act, and what the path
// and folder readers share.
#pragma once

#include <string>

#include "platform/files.h"
#include "platform/seams.h"

namespace keymend {


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
