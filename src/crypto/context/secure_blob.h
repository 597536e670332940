// Owning byte buffers that wipe themselves, and helpers for handling secrets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace keymend {

// Overwrites n bytes with zeros in a way the compiler cannot elide: the stores, then a compiler
// barrier that takes the buffer as an input, so they cannot be treated as dead. The one wipe of
// the tool (the platform layer, below this one, uses the system's: explicit_bzero,
// SecureZeroMemory); inline, because the hash and cipher routines wipe their working copies on
// every call.
inline void SecureWipe(void* p, size_t n) {
    if (p == nullptr || n == 0) return;
    std::memset(p, 0, n);
    __asm__ __volatile__("" : : "r"(p) : "memory");
}

// Compares two equal-length byte strings in time independent of their contents.
bool ConstantTimeEqual(const uint8_t* a, const uint8_t* b, size_t n);

// Called with every buffer just before it is freed (after wiping). In a test build it hands the
// buffer to the observer a test set, so the test can check that nothing secret survives
// release; elsewhere it does nothing.
void NotifyRelease(const uint8_t* data, size_t size);
#ifdef KEYMEND_TEST_SEAMS
using ReleaseObserver = void (*)(const uint8_t* data, size_t size);
void SetReleaseObserverForTesting(ReleaseObserver observer);  // null by default
#endif

// An owned buffer of up to 2^32-1 bytes, zeroed before release. Empty means length 0 and no data.
// Move-only; copies are explicit (Assign), so secrets never land in an unwiped temporary.
class SecureBlob {
public:
    SecureBlob() = default;
    SecureBlob(const SecureBlob&) = delete;
    SecureBlob& operator=(const SecureBlob&) = delete;
    SecureBlob(SecureBlob&& other) noexcept;
    SecureBlob& operator=(SecureBlob&& other) noexcept;
    ~SecureBlob() { Reset(); }

    // Replaces the contents by len zero bytes. False (and empty) when memory is refused.
    bool Allocate(uint32_t len);
    // Replaces the contents by a copy of len bytes at p (p may be null only when len is 0).
    bool Assign(const uint8_t* p, uint32_t len);
    bool Assign(const SecureBlob& other) { return Assign(other.data(), other.size()); }
    // Wipes and frees; the blob becomes empty.
    void Reset();

    uint8_t* data() { return data_; }
    const uint8_t* data() const { return data_; }
    uint32_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    uint8_t& operator[](size_t i) { return data_[i]; }
    const uint8_t& operator[](size_t i) const { return data_[i]; }

private:
    uint8_t* data_ = nullptr;
    uint32_t size_ = 0;
};

// A fixed-size array on the stack that is wiped when it goes out of scope.
template <size_t N>
struct SecureArray {
    uint8_t bytes[N] = {};
    ~SecureArray() {
        SecureWipe(bytes, N);
        NotifyRelease(bytes, N);
    }
    uint8_t* data() { return bytes; }
    const uint8_t* data() const { return bytes; }
    static constexpr size_t size() { return N; }
    uint8_t& operator[](size_t i) { return bytes[i]; }
    const uint8_t& operator[](size_t i) const { return bytes[i]; }
};

// Runs a callable when the scope ends (wipes of plain buffers, releases on every path).
template <typename F>
class ScopeExit {
public:
    explicit ScopeExit(F f) : f_(f) {}
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;
    ~ScopeExit() { f_(); }

private:
    F f_;
};

}  // namespace keymend
