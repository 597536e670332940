// Files of the operating system: reading a whole file by path, and the seams through which tests
// break file operations. Everything inside a container folder goes through FolderHandle
// (platform/folder.h), which works relative to a folder opened once.
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

// Once at start: a write past a file-size limit then fails like a full disk instead of ending
// the process by a signal (SIGXFSZ ignored), so the failure is handled and nothing is left.
void FileSystemInit();

// Length of the longest prefix of s[0..length) that is at most maxBytes long and does not split a
// multibyte character of the current locale (UTF-8 when the locale is "C"/"POSIX").
size_t CharacterPrefixLength(const char* s, size_t length, size_t maxBytes);

// Fault injection. Kinds of operation that can be made to fail: writing file content (one per
// file), flushing a file to disk, renaming (replacing) a file, removing a file, flushing a
// folder. After SetFileFaultForTesting(kind, n) the n-th such operation (counted from 1, from
// this call on) fails once; n = 0 disables.
enum class FileOp { kWrite = 0, kFlush = 1, kReplace = 2, kRemove = 3, kSync = 4 };
constexpr int kFileOpKinds = 5;
void SetFileFaultForTesting(FileOp kind, uint32_t nth);
// Number of operations of a kind since the last SetFileFaultForTesting / ResetFileOpCounts.
uint32_t FileOpCount(FileOp kind);
void ResetFileOpCounts();

// Crash seam. After SetCrashAtFileStepForTesting(n) the process kills itself with SIGKILL at the
// n-th file-changing step counted from this call (n = 0 disables). Steps: before a file's
// content is written, halfway through it, before it is flushed, before a file or folder is
// renamed or removed. FileStepCount() gives the steps counted so far (with the seam set to a step that is
// never reached, the number of steps a run takes).
void SetCrashAtFileStepForTesting(uint32_t nth);
uint32_t FileStepCount();

}  // namespace keymend
