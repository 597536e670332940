// The test seams' state; compiled only into the test suite's build of the platform module.
#include "platform/seams.h"

#ifdef KEYMEND_TEST_SEAMS

#include <csignal>
#include <cstdlib>
#include <cstring>

namespace keymend {

namespace {

uint32_t gFaultAt[kFileOpKinds] = {};
uint32_t gOpCount[kFileOpKinds] = {};
uint32_t gCrashAt = 0;
uint32_t gSteps = 0;
FileStepHook gStepHook = nullptr;
uint32_t gLockWait = 0;
LockBusyHook gLockBusyHook = nullptr;
RandomSource gRandomSource = nullptr;
bool gCodesetSet = false;
char gCodeset[64] = {};

}  // namespace

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

void SetCrashAtFileStepForTesting(uint32_t nth) {
    gCrashAt = nth;
    gSteps = 0;
}

uint32_t FileStepCount() {
    return gSteps;
}

void SetFileStepHookForTesting(FileStepHook hook) {
    gStepHook = hook;
    gSteps = 0;
}

void SetLockWaitForTesting(uint32_t milliseconds) {
    gLockWait = milliseconds;
}

void SetLockBusyHookForTesting(LockBusyHook hook) {
    gLockBusyHook = hook;
}

void SetRandomSourceForTesting(RandomSource source) {
    gRandomSource = source;
}

void SetLocaleCodesetForTesting(const char* codeset) {
    gCodesetSet = codeset != nullptr && std::strlen(codeset) < sizeof gCodeset;
    if (gCodesetSet) std::strcpy(gCodeset, codeset);
}

bool FileFaultInjected(FileOp kind) {
    const int i = static_cast<int>(kind);
    ++gOpCount[i];
    if (gFaultAt[i] != 0 && gOpCount[i] == gFaultAt[i]) {
        gFaultAt[i] = 0;
        return true;
    }
    return false;
}

void FileStep() {
    ++gSteps;
    if (gStepHook != nullptr) gStepHook(gSteps);
#ifdef _WIN32
    if (gCrashAt != 0 && gSteps == gCrashAt) std::abort();
#else
    if (gCrashAt != 0 && gSteps == gCrashAt) std::raise(SIGKILL);
#endif
}

uint32_t LockWaitMilliseconds(uint32_t standard) {
    return gLockWait != 0 ? gLockWait : standard;
}

void LockFoundBusy() {
    if (gLockBusyHook != nullptr) gLockBusyHook();
}

bool TestRandomBytes(uint8_t* buffer, size_t n, bool* ok) {
    if (gRandomSource == nullptr) return false;
    *ok = gRandomSource(buffer, n);
    return true;
}

bool TestLocaleCodeset(const char** codeset) {
    if (!gCodesetSet) return false;
    *codeset = gCodeset[0] != '\0' ? gCodeset : nullptr;
    return true;
}

}  // namespace keymend

#endif
