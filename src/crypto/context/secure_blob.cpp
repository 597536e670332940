#include "crypto/context/secure_blob.h"

#include <cstring>
#include <new>

namespace keymend {

#ifdef KEYMEND_TEST_SEAMS
namespace {
ReleaseObserver g_releaseObserver = nullptr;
}

void SetReleaseObserverForTesting(ReleaseObserver observer) { g_releaseObserver = observer; }
#endif

bool ConstantTimeEqual(const uint8_t* a, const uint8_t* b, size_t n) {
    uint8_t diff = 0;
    for (size_t i = 0; i < n; ++i) diff = static_cast<uint8_t>(diff | (a[i] ^ b[i]));
    return diff == 0;
}

void NotifyRelease([[maybe_unused]] const uint8_t* data, [[maybe_unused]] size_t size) {
#ifdef KEYMEND_TEST_SEAMS
    if (g_releaseObserver != nullptr && data != nullptr) g_releaseObserver(data, size);
#endif
}

SecureBlob::SecureBlob(SecureBlob&& other) noexcept : data_(other.data_), size_(other.size_) {
    other.data_ = nullptr;
    other.size_ = 0;
}

SecureBlob& SecureBlob::operator=(SecureBlob&& other) noexcept {
    if (this != &other) {
        Reset();
        data_ = other.data_;
        size_ = other.size_;
        other.data_ = nullptr;
        other.size_ = 0;
    }
    return *this;
}

bool SecureBlob::Allocate(uint32_t len) {
    Reset();
    if (len == 0) return true;
    data_ = new (std::nothrow) uint8_t[len]();
    if (data_ == nullptr) return false;
    size_ = len;
    return true;
}

bool SecureBlob::Assign(const uint8_t* p, uint32_t len) {
    if (len != 0 && p == nullptr) return false;
    if (p == data_ && len == size_) return true;
    SecureBlob fresh;
    if (!fresh.Allocate(len)) return false;
    if (len != 0) std::memcpy(fresh.data_, p, len);
    *this = static_cast<SecureBlob&&>(fresh);
    return true;
}

void SecureBlob::Reset() {
    if (data_ != nullptr) {
        SecureWipe(data_, size_);
        NotifyRelease(data_, size_);
        delete[] data_;
    }
    data_ = nullptr;
    size_ = 0;
}

}  // namespace keymend
