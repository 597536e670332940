#include "platform/files.h"

#include "platform/files_internal.h"
#include "platform/folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
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

void FileSystemInit() { ::signal(SIGXFSZ, SIG_IGN); }


}  // namespace keymend
