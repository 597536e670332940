// A folder opened once, and every file operation done relative to that handle, so that renaming
// or swapping a component of its path while a command runs cannot redirect what it reads or
// writes. The last component of a name inside the folder is never followed when it is a symbolic
// link (or another reparse point).
//
// Locks: a command holds the folder's lock for its whole run, exclusive to change the folder,
// shared to read it. The lock adds no file to the folder (flock on the folder itself; on Windows
// a named mutex keyed by the folder's volume and file id, where shared collapses to exclusive);
// the system releases it when the process ends, however it ends. Taking it waits a bounded time
// (kLockWaitMilliseconds), polling.
//
// File modes: private files are created 0600 and private folders 0700 from the start, the mode
// forced past the umask; a file system that cannot hold modes (FAT) is used as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/files.h"

namespace keymend {

constexpr uint32_t kLockWaitMilliseconds = 5000;

enum class LockMode { kShared, kExclusive };
enum class LockResult { kLocked, kBusy, kFailed };
enum class EntryKind { kAbsent, kFile, kOther };
enum class RenameResult { kRenamed, kTargetExists, kFailed };

class FolderHandle {
  public:
    FolderHandle();
    ~FolderHandle();
    FolderHandle(FolderHandle&& other) noexcept;
    FolderHandle& operator=(FolderHandle&& other) noexcept;
    FolderHandle(const FolderHandle&) = delete;
    FolderHandle& operator=(const FolderHandle&) = delete;

    // Resolves `path` once (symbolic links in it are followed here, and only here); false when it
    // is not a folder. OpenSubfolder opens `name` inside an open folder without following it.
    bool Open(const char* path);
    bool OpenSubfolder(const FolderHandle& parent, const char* name);
    void Close();  // also releases the lock
    bool IsOpen() const;

    // Changing from shared to exclusive releases the shared lock first (not atomic).
    LockResult Lock(LockMode mode);
    void Unlock();
    bool Locked(LockMode mode) const;

    // ReadFileBounded for a regular file of this folder.
    bool ReadFile(const char* name, size_t maxSize, FileBufferAllocator allocate,
                  void* context) const;
    // Creates `name` exclusively (never through an existing name or link), writes `data`,
    // flushes it to disk. Private: 0600; public: an ordinary file (0644 under the umask). On
    // failure the file is removed again.
    bool CreateNewFile(const char* name, const uint8_t* data, size_t length, bool isPrivate);
    EntryKind Kind(const char* name) const;
    // Renames within the folder, replacing a file `to`.
    bool Rename(const char* from, const char* to);
    // Renames within the folder only when nothing is named `to`, decided atomically where the
    // file system can (an entry appearing meanwhile is never replaced).
    RenameResult RenameNoReplace(const char* from, const char* to);
    bool Remove(const char* name);  // true when it is gone (also when it never existed)
    bool Sync();                    // makes renames and removals in it durable
    bool List(std::vector<std::string>& names) const;  // without "." and ".."

    FolderCreation CreateSubfolder(const char* name);  // private
    bool RemoveSubfolder(const char* name);            // an empty one

    struct State;

  private:
    std::unique_ptr<State> state_;
};


}  // namespace keymend
