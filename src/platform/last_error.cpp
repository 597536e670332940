#include "platform/last_error.h"

namespace keymend {

namespace {
thread_local uint32_t t_lastError = 0;
}

uint32_t GetLastErrorWord() { return t_lastError; }
void SetLastErrorWord(uint32_t code) { t_lastError = code; }

}  // namespace keymend
