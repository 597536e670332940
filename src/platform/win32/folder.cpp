// Folders on Windows. The folder is opened once without FILE_SHARE_DELETE, so that it cannot be
// renamed, moved or deleted while a command holds it, and its final path (junctions resolved)
// is taken then; every file operation names a file under that path and opens reparse points
// themselves rather than following them. The lock is a named mutex keyed by the folder's volume
// serial number and file id, which the system releases when the process ends; a shared lock is
// exclusive here. Replacing or removing a file retries briefly while another program (an
// indexer, a virus scanner) holds it open; a replacement counts as done only when the rename
// returned success.
#include "platform/folder.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "platform/files_internal.h"
#include "platform/win32/argument_bytes.h"

namespace keymend {

struct FolderHandle::State {
    HANDLE folder = INVALID_HANDLE_VALUE;
    std::wstring base;  // the final path, without a trailing separator
    DWORD volume = 0, indexHigh = 0, indexLow = 0;
    HANDLE mutex = nullptr;
};

namespace {


constexpr DWORD kSharingRetryMilliseconds = 2000;
constexpr DWORD kPollMilliseconds = 20;

bool SharingFailure(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
           error == ERROR_ACCESS_DENIED;
}

// Runs `attempt` until it succeeds or fails for a reason other than another program holding
// the file, or the retry time is over.
template <typename Attempt>
bool Retrying(Attempt attempt) {
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        if (attempt()) return true;
        const DWORD error = GetLastError();
        if (!SharingFailure(error) || GetTickCount64() - start >= kSharingRetryMilliseconds) {
            SetLastError(error);
            return false;
        }
        Sleep(kPollMilliseconds);
    }
}

bool NotFound(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

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

bool WriteAndFlush(HANDLE file, const uint8_t* data, size_t length) {
    FileStep();
    if (FileFaultInjected(FileOp::kWrite)) return false;
    const size_t half = length / 2;
    if (!WriteAll(file, data, half)) return false;
    FileStep();
    if (!WriteAll(file, data + half, length - half)) return false;
    FileStep();
    return !FileFaultInjected(FileOp::kFlush) && FlushFileBuffers(file);
}

// Opens a folder for listing, not sharing deletion: it stays where it is while held.
HANDLE OpenFolder(const std::wstring& path, DWORD extraFlags) {
    return CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | extraFlags, nullptr);
}

}  // namespace

FolderHandle::FolderHandle() : state_(new State) {}
FolderHandle::~FolderHandle() {
    if (state_) Close();
}
FolderHandle::FolderHandle(FolderHandle&& other) noexcept : state_(std::move(other.state_)) {
    other.state_.reset(new State);
}
FolderHandle& FolderHandle::operator=(FolderHandle&& other) noexcept {
    if (this != &other) {
        Close();
        state_.swap(other.state_);
    }
    return *this;
}

namespace {

// Takes the folder's identity and final path from its handle.
bool Describe(HANDLE folder, FolderHandle::State& state) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(folder, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return false;
    }
    state.volume = info.dwVolumeSerialNumber;
    state.indexHigh = info.nFileIndexHigh;
    state.indexLow = info.nFileIndexLow;
    wchar_t buffer[MAX_PATH + 1];
    DWORD n = GetFinalPathNameByHandleW(folder, buffer, MAX_PATH + 1, FILE_NAME_NORMALIZED);
    if (n == 0) return false;
    std::wstring path;
    if (n > MAX_PATH) {
        path.resize(n);
        n = GetFinalPathNameByHandleW(folder, path.data(), n, FILE_NAME_NORMALIZED);
        if (n == 0 || n >= path.size()) return false;
        path.resize(n);
    } else {
        path.assign(buffer, n);
    }
    while (!path.empty() && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
    state.base = path;
    return true;
}

}  // namespace

bool FolderHandle::Open(const char* path) {
    Close();
    std::wstring wide;
    if (!WidePath(path, wide)) return false;
    state_->folder = OpenFolder(wide, 0);
    if (state_->folder != INVALID_HANDLE_VALUE && Describe(state_->folder, *state_)) return true;
    Close();
    return false;
}

bool FolderHandle::OpenSubfolder(const FolderHandle& parent, const char* name) {
    Close();
    std::wstring wide;
    if (!parent.IsOpen() || !WidePath(name, wide)) return false;
    state_->folder = OpenFolder(parent.state_->base + L"\\" + wide, FILE_FLAG_OPEN_REPARSE_POINT);
    if (state_->folder != INVALID_HANDLE_VALUE && Describe(state_->folder, *state_)) return true;
    Close();
    return false;
}

void FolderHandle::Close() {
    Unlock();
    if (state_->folder != INVALID_HANDLE_VALUE) CloseHandle(state_->folder);
    state_->folder = INVALID_HANDLE_VALUE;
    state_->base.clear();
}

bool FolderHandle::IsOpen() const {
    return state_->folder != INVALID_HANDLE_VALUE;
}

LockResult FolderHandle::Lock(LockMode) {
    if (!IsOpen()) return LockResult::kFailed;
    if (state_->mutex != nullptr) return LockResult::kLocked;
    wchar_t name[96];
    for (const wchar_t* space : {L"Global", L"Local"}) {
        std::swprintf(name, sizeof name / sizeof name[0], L"%ls\\keymend-folder-%08lx-%08lx%08lx",
                      space, static_cast<unsigned long>(state_->volume),
                      static_cast<unsigned long>(state_->indexHigh),
                      static_cast<unsigned long>(state_->indexLow));
        state_->mutex = CreateMutexW(nullptr, FALSE, name);
        if (state_->mutex != nullptr) break;
    }
    if (state_->mutex == nullptr) return LockResult::kFailed;
    const ULONGLONG wait = LockWaitMilliseconds(kLockWaitMilliseconds);
    const ULONGLONG start = GetTickCount64();
    bool reported = false;
    for (;;) {
        const DWORD result = WaitForSingleObject(state_->mutex, 0);
        // An abandoned mutex belonged to a process that ended: the lock is ours now.
        if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) return LockResult::kLocked;
        if (result != WAIT_TIMEOUT) break;
        if (!reported) LockFoundBusy();
        reported = true;
        if (GetTickCount64() - start >= wait) {
            CloseHandle(state_->mutex);
            state_->mutex = nullptr;
            return LockResult::kBusy;
        }
        Sleep(kPollMilliseconds);
    }
    CloseHandle(state_->mutex);
    state_->mutex = nullptr;
    return LockResult::kFailed;
}

void FolderHandle::Unlock() {
    if (state_->mutex == nullptr) return;
    ReleaseMutex(state_->mutex);
    CloseHandle(state_->mutex);
    state_->mutex = nullptr;
}

bool FolderHandle::Locked(LockMode) const {
    return state_->mutex != nullptr;
}

namespace {

bool Child(const FolderHandle::State& state, const char* name, std::wstring& path) {
    std::wstring wide;
    if (state.folder == INVALID_HANDLE_VALUE || !WidePath(name, wide) ||
        wide.find_first_of(L"\\/:") != std::wstring::npos) {
        return false;
    }
    path = state.base + L"\\" + wide;
    return true;
}

}  // namespace

bool FolderHandle::ReadFile(const char* name, size_t maxSize, FileBufferAllocator allocate,
                            void* context) const {
    std::wstring path;
    if (allocate == nullptr || !Child(*state_, name, path)) return false;
    HANDLE file = INVALID_HANDLE_VALUE;
    if (!Retrying([&] {
            file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
            return file != INVALID_HANDLE_VALUE;
        })) {
        return false;
    }
    const bool ok = ReadOpenedFile(file, maxSize, allocate, context);
    CloseHandle(file);
    return ok;
}

bool FolderHandle::CreateNewFile(const char* name, const uint8_t* data, size_t length, bool) {
    std::wstring path;
    if (!Child(*state_, name, path) || (data == nullptr && length != 0)) return false;
    // CREATE_NEW: never through an existing name, link or not.
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool ok = WriteAndFlush(file, data, length);
    ok = CloseHandle(file) && ok;
    if (!ok) Retrying([&] { return DeleteFileW(path.c_str()) != 0; });
    return ok;
}

EntryKind FolderHandle::Kind(const char* name) const {
    std::wstring path;
    if (!Child(*state_, name, path)) return EntryKind::kOther;
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return NotFound(GetLastError()) ? EntryKind::kAbsent : EntryKind::kOther;
    }
    return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0
               ? EntryKind::kFile
               : EntryKind::kOther;
}

bool FolderHandle::Rename(const char* from, const char* to) {
    std::wstring source, target;
    if (!Child(*state_, from, source) || !Child(*state_, to, target)) return false;
    FileStep();
    if (FileFaultInjected(FileOp::kReplace)) return false;
    return Retrying([&] {
        return MoveFileExW(source.c_str(), target.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    });
}

RenameResult FolderHandle::RenameNoReplace(const char* from, const char* to) {
    std::wstring source, target;
    if (!Child(*state_, from, source) || !Child(*state_, to, target)) return RenameResult::kFailed;
    FileStep();
    if (FileFaultInjected(FileOp::kReplace)) return RenameResult::kFailed;
    // Without MOVEFILE_REPLACE_EXISTING an existing target fails the move.
    if (Retrying([&] {
            return MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
        })) {
        return RenameResult::kRenamed;
    }
    const DWORD error = GetLastError();
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS
               ? RenameResult::kTargetExists
               : RenameResult::kFailed;
}

bool FolderHandle::Remove(const char* name) {
    std::wstring path;
    if (!Child(*state_, name, path)) return false;
    FileStep();
    if (FileFaultInjected(FileOp::kRemove)) return false;
    return Retrying([&] { return DeleteFileW(path.c_str()) != 0 || NotFound(GetLastError()); });
}

// Renames are written through (MOVEFILE_WRITE_THROUGH) and files flushed one by one; the folder
// itself has nothing more to flush.
bool FolderHandle::Sync() {
    return IsOpen() && !FileFaultInjected(FileOp::kSync);
}

bool FolderHandle::List(std::vector<std::string>& names) const {
    names.clear();
    if (!IsOpen()) return false;
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((state_->base + L"\\*").c_str(), &entry);
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

FolderCreation FolderHandle::CreateSubfolder(const char* name) {
    std::wstring path;
    if (!Child(*state_, name, path)) return FolderCreation::kFailed;
    FileStep();
    if (CreateDirectoryW(path.c_str(), nullptr)) return FolderCreation::kCreated;
    return GetLastError() == ERROR_ALREADY_EXISTS ? FolderCreation::kExists
                                                  : FolderCreation::kFailed;
}

bool FolderHandle::RemoveSubfolder(const char* name) {
    std::wstring path;
    if (!Child(*state_, name, path)) return false;
    FileStep();
    return Retrying(
        [&] { return RemoveDirectoryW(path.c_str()) != 0 || NotFound(GetLastError()); });
}


}  // namespace keymend
