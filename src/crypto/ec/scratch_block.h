// A scratch-stack frame that zeroes its bytes before popping them: for temporaries derived from
// keys and masks.
#pragma once

#include <cstddef>

#include "crypto/context/crypto_context.h"
#include "crypto/context/secure_blob.h"
#include "crypto/ec/mp.h"

namespace keymend {

class WipedScratch {
public:
    explicit WipedScratch(size_t bytes) : frame_(bytes), size_(bytes) {}
    ~WipedScratch() {
        if (frame_.ok()) SecureWipe(frame_.data(), size_);
    }
    WipedScratch(const WipedScratch&) = delete;
    WipedScratch& operator=(const WipedScratch&) = delete;
    bool ok() const { return frame_.ok(); }
    Digit* digits() const { return frame_.As<Digit>(); }

private:
    ScratchFrame frame_;  // destroyed (popped) after the destructor body has wiped it
    size_t size_;
};

}  // namespace keymend
