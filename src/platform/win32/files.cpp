// Files and folders on Windows. Paths arrive as argument bytes (argument_bytes.h): the bytes of
// the ANSI code page, as the ANSI command line gave them, with any character outside the code page
// escaped. Every one is converted back to the UTF-16 of the command line and used with the wide
// API, so the folder that is created is the folder that is written to.
// Files and folders get the default security of their parent folder.
#include "platform/files.h"

#include "platform/files_internal.h"
#include "platform/folder.h"

#include <windows.h>

#include <cstring>
#include <string>

#include "platform/win32/argument_bytes.h"

namespace keymend {

namespace {


class Handle {
public:
    explicit Handle(HANDLE h) : h_(h) {}
    ~Handle() {
        if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return h_; }
    bool valid() const { return h_ != INVALID_HANDLE_VALUE; }
    bool Close() {
        const HANDLE h = h_;
        h_ = INVALID_HANDLE_VALUE;
        return CloseHandle(h) != 0;
    }

private:
    HANDLE h_;
};

}  // namespace

// Argument bytes to UTF-16; false for an empty path or bytes that do not convert.
bool WidePath(const char* path, std::wstring& wide) {
    wide.clear();
    if (path == nullptr || *path == '\0') return false;
    const size_t n = std::strlen(path);
    return n <= 32767 && ArgumentBytesToWide(path, n, wide);
}


bool ReadOpenedFile(void* handle, size_t maxSize, FileBufferAllocator allocate, void* context) {
    if (GetFileType(handle) != FILE_TYPE_DISK) return false;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
        return false;
    const uint64_t size64 = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    if (size64 > maxSize) return false;
    const size_t size = static_cast<size_t>(size64);
    if (size == 0) return true;
    uint8_t* buffer = allocate(size, context);
    if (buffer == nullptr) return false;
    size_t done = 0;
    while (done < size) {
        const size_t left = size - done;
        const DWORD chunk = left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left);
        DWORD got = 0;
        if (!::ReadFile(handle, buffer + done, chunk, &got, nullptr) || got == 0) return false;
        done += got;
    }
    return true;
}

bool ReadFileBounded(const char* path, size_t maxSize, FileBufferAllocator allocate,
                     void* context) {
    std::wstring wide;
    if (allocate == nullptr || !WidePath(path, wide)) return false;
    Handle file(CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    return file.valid() && ReadOpenedFile(file.get(), maxSize, allocate, context);
}

void FileSystemInit() {}


}  // namespace keymend
