#include "platform/files.h"

#include "platform/files_internal.h"
#include "platform/folder.h"

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


class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

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

bool ReadOpenedFile(int fd, size_t maxSize, FileBufferAllocator allocate, void* context) {
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > maxSize) return false;
    const size_t size = static_cast<size_t>(st.st_size);
    if (size == 0) return true;
    uint8_t* buffer = allocate(size, context);
    if (buffer == nullptr) return false;
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, buffer + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool ReadFileBounded(const char* path, size_t maxSize, FileBufferAllocator allocate,
                     void* context) {
    if (path == nullptr || allocate == nullptr) return false;
    // Non-blocking, so that a FIFO or a device is refused below instead of waiting for a writer.
    Fd fd(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    return fd.get() >= 0 && ReadOpenedFile(fd.get(), maxSize, allocate, context);
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

void FileSystemInit() { ::signal(SIGXFSZ, SIG_IGN); }


}  // namespace keymend
