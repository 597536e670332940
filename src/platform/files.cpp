#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <langinfo.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

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

uint32_t gCrashAt = 0;
uint32_t gCrashSteps = 0;

// Crash seam: kills the process at the chosen file-changing step.
void CrashPoint() {
    if (gCrashAt != 0 && ++gCrashSteps == gCrashAt) ::raise(SIGKILL);
}

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    bool Close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

  private:
    int fd_;
};

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

bool WriteFile(const char* path, const uint8_t* data, size_t length, bool isPrivate) {
    if (path == nullptr || (data == nullptr && length != 0)) return false;
    const mode_t mode = isPrivate ? 0600 : 0644;
    Fd fd(::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode));
    if (fd.get() < 0) return false;
    // The umask may have taken bits away, and an existing file keeps its old mode: force it.
    if (isPrivate && ::fchmod(fd.get(), 0600) != 0) return false;
    CrashPoint();
    if (InjectFault(FileOp::kWrite)) return false;
    const size_t half = length / 2;
    if (!WriteAll(fd.get(), data, half)) return false;
    CrashPoint();
    if (!WriteAll(fd.get(), data + half, length - half)) return false;
    CrashPoint();
    if (InjectFault(FileOp::kFlush) || ::fsync(fd.get()) != 0) return false;
    return fd.Close();
}

// Flushes the folder holding `path`, so that a rename in it survives a crash.
void SyncParentFolder(const char* path) {
    std::string folder(path);
    const size_t slash = folder.find_last_of('/');
    folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : folder.substr(0, slash));
    Fd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() >= 0) ::fsync(fd.get());
}

bool LocaleIsAscii() {
    const char* codeset = nl_langinfo(CODESET);
    return codeset == nullptr || std::strcmp(codeset, "ANSI_X3.4-1968") == 0 ||
           std::strcmp(codeset, "ASCII") == 0;
}

// Length of the UTF-8 character starting at s[0..n), or 1 for a byte that starts none.
size_t Utf8CharLength(const unsigned char* s, size_t n) {
    size_t len = 1;
    if (s[0] >= 0xF0 && s[0] <= 0xF4)
        len = 4;
    else if (s[0] >= 0xE0)
        len = s[0] <= 0xEF ? 3 : 1;
    else if (s[0] >= 0xC2)
        len = 2;
    if (len > n) return 1;
    for (size_t i = 1; i < len; ++i) {
        if ((s[i] & 0xC0) != 0x80) return 1;
    }
    return len;
}

}  // namespace

bool ReadFileBounded(const char* path, size_t maxSize, FileBufferAllocator allocate,
                     void* context) {
    if (path == nullptr || allocate == nullptr) return false;
    // Non-blocking, so that a FIFO or a device is refused below instead of waiting for a writer.
    Fd fd(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) return false;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > maxSize) return false;
    const size_t size = static_cast<size_t>(st.st_size);
    if (size == 0) return true;
    uint8_t* buffer = allocate(size, context);
    if (buffer == nullptr) return false;
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd.get(), buffer + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

FolderCreation CreatePrivateFolder(const char* path) {
    if (path == nullptr || *path == '\0') return FolderCreation::kFailed;
    if (::mkdir(path, 0700) != 0) {
        return errno == EEXIST ? FolderCreation::kExists : FolderCreation::kFailed;
    }
    // mkdir applies the umask, which may have removed owner bits; the folder is ours, so set it.
    if (::chmod(path, 0700) != 0) {
        ::rmdir(path);
        return FolderCreation::kFailed;
    }
    return FolderCreation::kCreated;
}

bool FolderExists(const char* path) {
    struct stat st;
    return path != nullptr && ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileExists(const char* path) {
    struct stat st;
    return path != nullptr && ::lstat(path, &st) == 0;
}

bool WritePrivateFile(const char* path, const uint8_t* data, size_t length) {
    return WriteFile(path, data, length, true);
}

bool WritePublicFile(const char* path, const uint8_t* data, size_t length) {
    return WriteFile(path, data, length, false);
}

bool ReplaceFile(const char* from, const char* to) {
    if (from == nullptr || to == nullptr) return false;
    CrashPoint();
    if (InjectFault(FileOp::kReplace) || ::rename(from, to) != 0) return false;
    SyncParentFolder(to);
    return true;
}

bool RemoveFile(const char* path) {
    if (path == nullptr) return false;
    CrashPoint();
    return ::unlink(path) == 0 || errno == ENOENT;
}

bool RemoveFolder(const char* path) {
    return path != nullptr && ::rmdir(path) == 0;
}

bool ListFolder(const char* path, std::vector<std::string>& names) {
    names.clear();
    if (path == nullptr) return false;
    DIR* dir = ::opendir(path);
    if (dir == nullptr) return false;
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) {
            continue;
        }
        names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    return true;
}

size_t CharacterPrefixLength(const char* s, size_t length, size_t maxBytes) {
    if (s == nullptr) return 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(s);
    const bool multibyte = MB_CUR_MAX > 1;
    if (!multibyte && !LocaleIsAscii()) return length < maxBytes ? length : maxBytes;
    std::mbstate_t state{};
    size_t done = 0;
    while (done < length) {
        size_t step;
        if (multibyte) {
            step = std::mbrlen(s + done, length - done, &state);
            if (step == static_cast<size_t>(-1) || step == static_cast<size_t>(-2) || step == 0) {
                state = std::mbstate_t{};
                step = 1;
            }
        } else {
            step = Utf8CharLength(bytes + done, length - done);  // "C" locale: assume UTF-8
        }
        if (done + step > maxBytes) break;
        done += step;
    }
    return done;
}

void SetCrashAtFileStepForTesting(uint32_t nth) {
    gCrashAt = nth;
    gCrashSteps = 0;
}

uint32_t FileStepCount() { return gCrashSteps; }

void SetFileFaultForTesting(FileOp kind, uint32_t nth) {
    ResetFileOpCounts();
    for (uint32_t& at : gFaultAt) at = 0;
    gFaultAt[static_cast<int>(kind)] = nth;
}

uint32_t FileOpCount(FileOp kind) {
    return gOpCount[static_cast<int>(kind)];
}

void ResetFileOpCounts() {
    for (uint32_t& count : gOpCount) count = 0;
}

}  // namespace keymend
