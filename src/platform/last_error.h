// The thread's last-error status word, standing in for the platform's.
#pragma once

#include <cstdint>

namespace keymend {

constexpr uint32_t kErrorInsufficientBuffer = 234;  // "more data is available": output did not fit

uint32_t GetLastErrorWord();
void SetLastErrorWord(uint32_t code);

}  // namespace keymend
