// The thread's last-error word on Windows is the system's own (SetLastError/GetLastError).
#include "platform/last_error.h"

#include <windows.h>

namespace keymend {

uint32_t GetLastErrorWord() { return GetLastError(); }
void SetLastErrorWord(uint32_t code) { SetLastError(code); }

}  // namespace keymend
