// Files and folders of the operating system: the only place where keymend touches them.
//
// Paths are byte strings as given. Private files are created with mode 0600 and private folders
// with 0700; the mode is forced after creation, so the umask can never widen or narrow it.
// Symbolic links are not followed when a file is created.
//
// Test seam: SetFileFaultForTesting makes the n-th operation of a kind fail, so tests can break
// a multi-file write at every step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace keymend {

// Reads the whole regular file at `path`. The buffer is obtained from allocate(size, context),
// which returns null to refuse; the file's bytes are then read into it with one read. False when
// the file cannot be opened, is not a regular file, is larger than maxSize, the allocation is
// refused or the read comes up short.
using FileBufferAllocator = uint8_t* (*)(size_t size, void* context);
bool ReadFileBounded(const char* path, size_t maxSize, FileBufferAllocator allocate, void* context);

enum class FolderCreation { kCreated, kExists, kFailed };
// Creates a folder with mode 0700 (owner only).
FolderCreation CreatePrivateFolder(const char* path);
bool FolderExists(const char* path);
bool FileExists(const char* path);

// Writes `data` to `path`, creating or truncating it, and flushes it to disk (fsync).
// Private: mode 0600. Public: an ordinary file readable by others (0644 under the umask).
// On failure the file may exist with partial content; the caller removes it.
bool WritePrivateFile(const char* path, const uint8_t* data, size_t length);
bool WritePublicFile(const char* path, const uint8_t* data, size_t length);

// Atomically replaces `to` by `from` (same folder), then flushes the folder.
bool ReplaceFile(const char* from, const char* to);
bool RemoveFile(const char* path);    // true when it is gone (also when it never existed)
bool RemoveFolder(const char* path);  // removes an empty folder
// Names in a folder (without "." and ".."), unsorted. False when it cannot be listed.
bool ListFolder(const char* path, std::vector<std::string>& names);

// Length of the longest prefix of s[0..length) that is at most maxBytes long and does not split a
// multibyte character of the current locale (UTF-8 when the locale is "C"/"POSIX").
size_t CharacterPrefixLength(const char* s, size_t length, size_t maxBytes);

// Fault injection. Kinds of operation that can be made to fail: writing file content (one per
// file), flushing a file to disk, replacing a file. After SetFileFaultForTesting(kind, n) the
// n-th such operation (counted from 1, from this call on) fails once; n = 0 disables.
enum class FileOp { kWrite = 0, kFlush = 1, kReplace = 2 };
void SetFileFaultForTesting(FileOp kind, uint32_t nth);
// Number of operations of a kind since the last SetFileFaultForTesting / ResetFileOpCounts.
uint32_t FileOpCount(FileOp kind);
void ResetFileOpCounts();

// Crash seam. After SetCrashAtFileStepForTesting(n) the process kills itself with SIGKILL at the
// n-th file-changing step counted from this call (n = 0 disables). Steps: before a file's
// content is written, halfway through it, before it is flushed, before a file is replaced or
// removed. FileStepCount() gives the steps counted so far (with the seam set to a step that is
// never reached, the number of steps a run takes).
void SetCrashAtFileStepForTesting(uint32_t nth);
uint32_t FileStepCount();

}  // namespace keymend
