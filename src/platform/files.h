// Files of the operating system: reading a whole file by path. Everything inside a container
// folder goes through FolderHandle (platform/folder.h), which works relative to a folder opened
// once. Tests break file operations through platform/seams.h.
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

// Kinds of file operation, as the test seams count them (platform/seams.h).
enum class FileOp { kWrite = 0, kFlush = 1, kReplace = 2, kRemove = 3, kSync = 4 };
constexpr int kFileOpKinds = 5;

}  // namespace keymend
