// Files and folders on Windows. Paths arrive as argument bytes (argument_bytes.h): the bytes of
// the ANSI code page, as the ANSI command line gave them, with any character outside the code page
// escaped. Every one is converted back to the UTF-16 of the command line and used with the wide
// API, so the folder that is created is the folder that is written to.
// Files and folders get the default security of their parent folder.
#include "platform/files.h"

#include <windows.h>
// <windows.h> maps ReplaceFile to the system's ReplaceFileW; keymend's own is meant here.
#undef ReplaceFile

#include <cstring>
#include <string>

#include "platform/win32/argument_bytes.h"

namespace keymend {

namespace {

constexpr int kFaultKinds = 3;
uint32_t gFaultAt[kFaultKinds] = {};
uint32_t gOpCount[kFaultKinds] = {};

// Counts one operation of a kind; true when the fault seam says it must fail.
bool InjectFault(FileOp kind) {
    const int i = static_cast<int>(kind);
    ++gOpCount[i];
    if (gFaultAt[i] != 0 && gOpCount[i] == gFaultAt[i]) {
        gFaultAt[i] = 0;
        return true;
    }
    return false;
}

// Argument bytes to UTF-16; false for an empty path or bytes that do not convert.
bool WidePath(const char* path, std::wstring& wide) {
    wide.clear();
    if (path == nullptr || *path == '\0') return false;
    const size_t n = std::strlen(path);
    return n <= 32767 && ArgumentBytesToWide(path, n, wide);
}

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

bool WriteAll(HANDLE file, const uint8_t* data, size_t length) {
    while (length > 0) {
        const DWORD chunk = length > 0x40000000 ? 0x40000000 : static_cast<DWORD>(length);
        DWORD written = 0;
        if (!::WriteFile(file, data, chunk, &written, nullptr) || written == 0) return false;
        data += written;
        length -= written;
    }
    return true;
}

bool WriteWholeFile(const char* path, const uint8_t* data, size_t length) {
    std::wstring wide;
    if ((data == nullptr && length != 0) || !WidePath(path, wide)) return false;
    // A reparse point (symbolic link) is opened itself, never followed.
    Handle file(CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.valid()) return false;
    if (InjectFault(FileOp::kWrite) || !WriteAll(file.get(), data, length)) return false;
    if (InjectFault(FileOp::kFlush) || !FlushFileBuffers(file.get())) return false;
    return file.Close();
}

DWORD Attributes(const char* path) {
    std::wstring wide;
    if (!WidePath(path, wide)) return INVALID_FILE_ATTRIBUTES;
    return GetFileAttributesW(wide.c_str());
}

}  // namespace

bool ReadFileBounded(const char* path, size_t maxSize, FileBufferAllocator allocate,
                     void* context) {
    std::wstring wide;
    if (allocate == nullptr || !WidePath(path, wide)) return false;
    Handle file(CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid() || GetFileType(file.get()) != FILE_TYPE_DISK) return false;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file.get(), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
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
        if (!::ReadFile(file.get(), buffer + done, chunk, &got, nullptr) || got == 0) return false;
        done += got;
    }
    return true;
}

FolderCreation CreatePrivateFolder(const char* path) {
    std::wstring wide;
    if (!WidePath(path, wide)) return FolderCreation::kFailed;
    if (CreateDirectoryW(wide.c_str(), nullptr)) return FolderCreation::kCreated;
    return GetLastError() == ERROR_ALREADY_EXISTS ? FolderCreation::kExists
                                                  : FolderCreation::kFailed;
}

bool FolderExists(const char* path) {
    const DWORD a = Attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool FileExists(const char* path) { return Attributes(path) != INVALID_FILE_ATTRIBUTES; }

bool WritePrivateFile(const char* path, const uint8_t* data, size_t length) {
    return WriteWholeFile(path, data, length);
}

bool WritePublicFile(const char* path, const uint8_t* data, size_t length) {
    return WriteWholeFile(path, data, length);
}

bool ReplaceFile(const char* from, const char* to) {
    std::wstring wideFrom;
    std::wstring wideTo;
    if (!WidePath(from, wideFrom) || !WidePath(to, wideTo)) return false;
    if (InjectFault(FileOp::kReplace)) return false;
    // Write-through: the call returns once the rename is on disk.
    return MoveFileExW(wideFrom.c_str(), wideTo.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool RemoveFile(const char* path) {
    std::wstring wide;
    if (!WidePath(path, wide)) return false;
    if (DeleteFileW(wide.c_str())) return true;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool RemoveFolder(const char* path) {
    std::wstring wide;
    return WidePath(path, wide) && RemoveDirectoryW(wide.c_str()) != 0;
}

bool ListFolder(const char* path, std::vector<std::string>& names) {
    names.clear();
    std::wstring pattern;
    if (!WidePath(path, pattern)) return false;
    if (pattern.back() != L'\\' && pattern.back() != L'/') pattern += L'\\';
    pattern += L'*';
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW(pattern.c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
    bool ok = true;
    do {
        if (std::wcscmp(entry.cFileName, L".") == 0 || std::wcscmp(entry.cFileName, L"..") == 0)
            continue;
        // Back to argument bytes, the form paths take everywhere in keymend.
        std::string name;
        AppendArgumentBytes(entry.cFileName, std::wcslen(entry.cFileName), name);
        names.push_back(std::move(name));
    } while (FindNextFileW(find, &entry));
    if (ok && GetLastError() != ERROR_NO_MORE_FILES) ok = false;
    FindClose(find);
    return ok;
}

size_t CharacterPrefixLength(const char* s, size_t length, size_t maxBytes) {
    if (s == nullptr) return 0;
    // A name with characters outside the code page: counted in the form name.key stores it.
    size_t prefix = 0;
    if (HasArgumentEscape(s, length) && StoredPrefixLength(s, length, maxBytes, &prefix))
        return prefix;
    const auto* bytes = reinterpret_cast<const unsigned char*>(s);
    const UINT codePage = GetACP();
    size_t done = 0;
    while (done < length) {
        size_t step = 1;
        if (codePage == CP_UTF8) {
            const unsigned char b = bytes[done];
            const size_t len = b >= 0xF0 && b <= 0xF4 ? 4 : b >= 0xE0 && b <= 0xEF ? 3
                               : b >= 0xC2 && b <= 0xDF                       ? 2
                                                                              : 1;
            step = len;
            for (size_t i = 1; i < len; ++i) {
                if (done + i >= length || (bytes[done + i] & 0xC0) != 0x80) {
                    step = 1;
                    break;
                }
            }
        } else if (IsDBCSLeadByteEx(codePage, bytes[done]) && done + 1 < length) {
            step = 2;  // lead and trail byte of a double-byte code page
        }
        if (done + step > maxBytes) break;
        done += step;
    }
    return done;
}

void SetFileFaultForTesting(FileOp kind, uint32_t nth) {
    ResetFileOpCounts();
    for (uint32_t& at : gFaultAt) at = 0;
    gFaultAt[static_cast<int>(kind)] = nth;
}

uint32_t FileOpCount(FileOp kind) { return gOpCount[static_cast<int>(kind)]; }

void ResetFileOpCounts() {
    for (uint32_t& count : gOpCount) count = 0;
}

}  // namespace keymend
