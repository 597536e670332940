#include "platform/password_source.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/files_internal.h"

namespace keymend {

namespace {

// The first line of fd, read straight into out; false when not even a line end could be read.
bool ReadFirstLine(int fd, char* out, size_t room) {
    const auto readByte = [fd](char* at) {
        for (;;) {
            const ssize_t got = read(fd, at, 1);
            if (got >= 0 || errno != EINTR) return got < 0 ? -1 : static_cast<int>(got);
        }
    };
    return ReadFirstLineBytes(readByte, out, room);
}

// As ReadFirstLine, with echo off while a terminal is read (the line end typed is not echoed
// either, so one goes to standard error in its place).
bool ReadLineQuietly(int fd, char* out, size_t room) {
    termios saved{};
    if (isatty(fd) == 0 || tcgetattr(fd, &saved) != 0) return ReadFirstLine(fd, out, room);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    if (tcsetattr(fd, TCSAFLUSH, &quiet) != 0) return false;
    const bool ok = ReadFirstLine(fd, out, room);
    tcsetattr(fd, TCSAFLUSH, &saved);
    (void)!write(STDERR_FILENO, "\n", 1);
    return ok;
}

// A descriptor number: decimal digits, at most INT_MAX.
bool ParseDescriptor(const char* text, int* fd) {
    long value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9' || value > INT_MAX / 10) return false;
        value = value * 10 + (*p - '0');
    }
    if (*text == '\0' || value > INT_MAX) return false;
    *fd = static_cast<int>(value);
    return true;
}

}  // namespace

bool ReadPasswordSource(PasswordSourceKind kind, const char* argument, char* out, size_t room) {
    if (out == nullptr || room == 0) return false;
    if (kind == PasswordSourceKind::kStandardInput) return ReadLineQuietly(STDIN_FILENO, out, room);
    if (argument == nullptr) return false;
    int fd = -1;
    switch (kind) {
        case PasswordSourceKind::kEnvironment:
            return ReadEnvironmentValue(argument, out, room);
        case PasswordSourceKind::kFile: {
            fd = open(argument, O_RDONLY | O_CLOEXEC | O_NOCTTY);
            if (fd < 0) return false;
            const bool ok = ReadLineQuietly(fd, out, room);
            close(fd);
            return ok;
        }
        case PasswordSourceKind::kDescriptor:
            return ParseDescriptor(argument, &fd) && ReadLineQuietly(fd, out, room);
        default:
            return false;
    }
}

}  // namespace keymend
