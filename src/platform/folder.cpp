#include "platform/folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "platform/files_internal.h"

namespace keymend {

struct FolderHandle::State {
    int fd = -1;
    int lock = 0;  // 0 none, else LOCK_SH or LOCK_EX
};

namespace {


uint64_t NowMilliseconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

void SleepMilliseconds(long ms) {
    timespec ts{0, ms * 1000000};
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// A file system without POSIX permissions (FAT) refuses to set modes; its mount options decide.
bool ModeUnsupported(int error) {
    return error == ENOSYS || error == EPERM || error == EOPNOTSUPP || error == ENOTSUP;
}

// Forces `mode` past the umask on a file or folder just created.
bool ForceMode(int fd, mode_t mode) {
    return ::fchmod(fd, mode) == 0 || ModeUnsupported(errno);
}

bool WriteAll(int fd, const uint8_t* data, size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool WriteFlushClose(int fd, const uint8_t* data, size_t length) {
    FileStep();
    if (FileFaultInjected(FileOp::kWrite)) return false;
    const size_t half = length / 2;
    if (!WriteAll(fd, data, half)) return false;
    FileStep();
    if (!WriteAll(fd, data + half, length - half)) return false;
    FileStep();
    return !FileFaultInjected(FileOp::kFlush) && ::fsync(fd) == 0;
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

bool FolderHandle::Open(const char* path) {
    Close();
    if (path == nullptr || *path == '\0') return false;
    state_->fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return state_->fd >= 0;
}

bool FolderHandle::OpenSubfolder(const FolderHandle& parent, const char* name) {
    Close();
    if (!parent.IsOpen() || name == nullptr) return false;
    state_->fd = ::openat(parent.state_->fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    return state_->fd >= 0;
}

void FolderHandle::Close() {
    if (state_->fd >= 0) ::close(state_->fd);  // releases the lock too
    state_->fd = -1;
    state_->lock = 0;
}

bool FolderHandle::IsOpen() const {
    return state_->fd >= 0;
}

LockResult FolderHandle::Lock(LockMode mode) {
    if (!IsOpen()) return LockResult::kFailed;
    const int operation = mode == LockMode::kShared ? LOCK_SH : LOCK_EX;
    if (state_->lock == operation) return LockResult::kLocked;
    Unlock();  // a conversion is not atomic anyway: say so by releasing first
    const uint64_t wait = LockWaitMilliseconds(kLockWaitMilliseconds);
    const uint64_t start = NowMilliseconds();
    bool reported = false;
    for (;;) {
        if (::flock(state_->fd, operation | LOCK_NB) == 0) {
            state_->lock = operation;
            return LockResult::kLocked;
        }
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) return LockResult::kFailed;
        if (!reported) LockFoundBusy();
        reported = true;
        if (NowMilliseconds() - start >= wait) return LockResult::kBusy;
        SleepMilliseconds(20);
    }
}

void FolderHandle::Unlock() {
    if (state_->fd >= 0 && state_->lock != 0) ::flock(state_->fd, LOCK_UN);
    state_->lock = 0;
}

bool FolderHandle::Locked(LockMode mode) const {
    return state_->lock == (mode == LockMode::kShared ? LOCK_SH : LOCK_EX);
}

bool FolderHandle::ReadFile(const char* name, size_t maxSize, FileBufferAllocator allocate,
                            void* context) const {
    if (!IsOpen() || name == nullptr || allocate == nullptr) return false;
    // Non-blocking, so that a FIFO is refused instead of waiting for a writer.
    const int fd = ::openat(state_->fd, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ReadOpenedFile(fd, maxSize, allocate, context);
    ::close(fd);
    return ok;
}

bool FolderHandle::CreateNewFile(const char* name, const uint8_t* data, size_t length,
                                 bool isPrivate) {
    if (!IsOpen() || name == nullptr || (data == nullptr && length != 0)) return false;
    const int fd = ::openat(state_->fd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                            isPrivate ? 0600 : 0644);
    if (fd < 0) return false;
    bool ok = (!isPrivate || ForceMode(fd, 0600)) && WriteFlushClose(fd, data, length);
    ok = ::close(fd) == 0 && ok;
    if (!ok) ::unlinkat(state_->fd, name, 0);
    return ok;
}

EntryKind FolderHandle::Kind(const char* name) const {
    struct stat st;
    if (!IsOpen() || name == nullptr) return EntryKind::kOther;
    if (::fstatat(state_->fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? EntryKind::kAbsent : EntryKind::kOther;
    }
    return S_ISREG(st.st_mode) ? EntryKind::kFile : EntryKind::kOther;
}

bool FolderHandle::Rename(const char* from, const char* to) {
    if (!IsOpen() || from == nullptr || to == nullptr) return false;
    FileStep();
    return !FileFaultInjected(FileOp::kReplace) &&
           ::renameat(state_->fd, from, state_->fd, to) == 0;
}

RenameResult FolderHandle::RenameNoReplace(const char* from, const char* to) {
    if (!IsOpen() || from == nullptr || to == nullptr) return RenameResult::kFailed;
    FileStep();
    if (FileFaultInjected(FileOp::kReplace)) return RenameResult::kFailed;
    const int fd = state_->fd;
#ifdef RENAME_NOREPLACE
    if (::renameat2(fd, from, fd, to, RENAME_NOREPLACE) == 0) return RenameResult::kRenamed;
    if (errno == EEXIST) return RenameResult::kTargetExists;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return RenameResult::kFailed;
#endif
    // Without an exclusive rename: a hard link fails on an existing name just as well.
    if (::linkat(fd, from, fd, to, 0) == 0) {
        ::unlinkat(fd, from, 0);
        return RenameResult::kRenamed;
    }
    if (errno == EEXIST) return RenameResult::kTargetExists;
    // A file system without links (FAT): look, then rename; only its own writers can race.
    struct stat st;
    if (::fstatat(fd, to, &st, AT_SYMLINK_NOFOLLOW) == 0) return RenameResult::kTargetExists;
    if (errno != ENOENT) return RenameResult::kFailed;
    return ::renameat(fd, from, fd, to) == 0 ? RenameResult::kRenamed : RenameResult::kFailed;
}

bool FolderHandle::Remove(const char* name) {
    if (!IsOpen() || name == nullptr) return false;
    FileStep();
    if (FileFaultInjected(FileOp::kRemove)) return false;
    return ::unlinkat(state_->fd, name, 0) == 0 || errno == ENOENT;
}

bool FolderHandle::Sync() {
    if (!IsOpen() || FileFaultInjected(FileOp::kSync)) return false;
    // Some file systems cannot flush a folder; their renames are as durable as they get.
    return ::fsync(state_->fd) == 0 || errno == EINVAL || errno == EOPNOTSUPP || errno == ENOTSUP ||
           errno == ENOSYS;
}

bool FolderHandle::List(std::vector<std::string>& names) const {
    names.clear();
    if (!IsOpen()) return false;
    const int fd = ::openat(state_->fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        ::close(fd);
        return false;
    }
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
        errno = 0;
    }
    const bool ok = errno == 0;
    ::closedir(dir);
    return ok;
}

FolderCreation FolderHandle::CreateSubfolder(const char* name) {
    if (!IsOpen() || name == nullptr || *name == '\0') return FolderCreation::kFailed;
    FileStep();
    if (::mkdirat(state_->fd, name, 0700) != 0) {
        return errno == EEXIST ? FolderCreation::kExists : FolderCreation::kFailed;
    }
    // mkdir applies the umask, which may have removed owner bits; the folder is ours, so set it.
    const int fd = ::openat(state_->fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const bool ok = fd >= 0 && ForceMode(fd, 0700);
    if (fd >= 0) ::close(fd);
    if (ok) return FolderCreation::kCreated;
    ::unlinkat(state_->fd, name, AT_REMOVEDIR);
    return FolderCreation::kFailed;
}

bool FolderHandle::RemoveSubfolder(const char* name) {
    if (!IsOpen() || name == nullptr) return false;
    FileStep();
    return ::unlinkat(state_->fd, name, AT_REMOVEDIR) == 0 || errno == ENOENT;
}


}  // namespace keymend
