// Test seams of the platform layer, one mechanism for the POSIX and the Windows implementations.
//
// The platform code calls the check points below at the places a test may want to break or
// observe: every file operation of a kind (FileFaultInjected), every file-changing step
// (FileStep), the lock wait, every busy lock, the random source and the locale's codeset. In a
// build with KEYMEND_TEST_SEAMS (the test suite's build of the platform module) they consult what
// the ...ForTesting setters arranged; in every other build they are inline constants and the
// setters do not exist, so the shipped program carries no hook.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/files.h"

namespace keymend {

#ifdef KEYMEND_TEST_SEAMS

// After SetFileFaultForTesting(kind, n) the n-th operation of that kind (counted from 1, from
// this call on) fails once; n = 0 disables. Kinds: writing file content (one per file), flushing
// a file, renaming (replacing) a file, removing a file, flushing a folder.
void SetFileFaultForTesting(FileOp kind, uint32_t nth);
// Operations of a kind since the last SetFileFaultForTesting / ResetFileOpCounts.
uint32_t FileOpCount(FileOp kind);
void ResetFileOpCounts();

// After SetCrashAtFileStepForTesting(n) the process kills itself with SIGKILL at the n-th
// file-changing step counted from this call (n = 0 disables). Steps: before a file's content is
// written, halfway through it, before it is flushed, before a file or folder is renamed or
// removed. FileStepCount() gives the steps counted so far.
void SetCrashAtFileStepForTesting(uint32_t nth);
uint32_t FileStepCount();
// A hook run at every file-changing step with the step's number counted from its setting.
using FileStepHook = void (*)(uint32_t step);
void SetFileStepHookForTesting(FileStepHook hook);

// Bounds the wait for a folder lock (0 restores the default); a hook run once per Lock call that
// finds the folder busy.
void SetLockWaitForTesting(uint32_t milliseconds);
using LockBusyHook = void (*)();
void SetLockBusyHookForTesting(LockBusyHook hook);

// Replaces the system's random source (null restores it); a source returning false makes every
// caller see a failing random source.
using RandomSource = bool (*)(uint8_t* buffer, size_t n);
void SetRandomSourceForTesting(RandomSource source);

// Makes the locale's codeset `codeset` (null: back to what the locale says).
void SetLocaleCodesetForTesting(const char* codeset);

// ---- Check points (platform code only) ----
bool FileFaultInjected(FileOp kind);  // counts one operation; true when it must fail
void FileStep();
uint32_t LockWaitMilliseconds(uint32_t standard);
void LockFoundBusy();
// True when a test source stands in; *ok is then its answer.
bool TestRandomBytes(uint8_t* buffer, size_t n, bool* ok);
// True when a test set the codeset; *codeset is then its value (null: UTF-8).
bool TestLocaleCodeset(const char** codeset);

#else

inline bool FileFaultInjected(FileOp) { return false; }
inline void FileStep() {}
inline uint32_t LockWaitMilliseconds(uint32_t standard) { return standard; }
inline void LockFoundBusy() {}
inline bool TestRandomBytes(uint8_t*, size_t, bool*) { return false; }
inline bool TestLocaleCodeset(const char**) { return false; }

#endif

}  // namespace keymend
