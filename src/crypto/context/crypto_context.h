// The process-wide crypto context: library allocator, scratch stack for arithmetic temporaries,
// expanded-table cache of the GOST 28147-89 parameter sets, key-meshing switch and random source.
#pragma once

#include <cstddef>
#include <cstdint>

namespace keymend {

// Status codes of the library layers (the platform's numbering).
constexpr uint32_t kStatusNoMemory = 0x8009000E;
constexpr uint32_t kStatusBadData = 0x80090005;
constexpr uint32_t kStatusFailedPrecomputation = 0x80090020;

constexpr size_t kLibraryBlockSize = 2056;
constexpr size_t kScratchBlockSize = 16364;
constexpr size_t kScratchUsable = 16352;  // 0x3FE0: the last three words are control words
constexpr size_t kParamSetCount = 14;
constexpr size_t kExpandedTableSize = 4096;

// LibAlloc flag: bit 31 set means the block is not zero-filled.
constexpr uint32_t kAllocNoZero = 0x80000000u;
constexpr uint32_t kAllocScratch = 0x80000003u;

struct LibraryAllocator {
    uint8_t* libraryBlock = nullptr;  // 2,056 zero-filled bytes
    uint32_t lastError = 0;           // status of the last failed allocate or release
    uint32_t hint = 0;                // passed unchanged to every allocate (always 0)
    uint32_t ready = 0;
    uint8_t* scratch = nullptr;       // the scratch block, null when there is none
};

struct ScratchStack {
    uint8_t* start = nullptr;  // usable span start (block start rounded up to 8)
    uint8_t* top = nullptr;    // next free byte
    uint32_t free = 0;         // bytes still available
    uint32_t lowWater = 0;     // smallest value free has ever had
};

struct CryptoContext {
    LibraryAllocator allocator;
    ScratchStack scratch;
    uint32_t keyMeshing = 1;  // GOST 28147-89 encryption meshes its key while non-zero
    // One slot per GOST 28147-89 parameter set: null or a 4,096-byte block from std::malloc,
    // freed by CryptoContextRelease.
    uint32_t* expandedTables[kParamSetCount] = {};
    bool providerAcquired = false;
};

// The single context of the process.
CryptoContext& GlobalCryptoContext();

// Set-up and release, in the order the front end runs them. Init returns false on failure.
bool CryptoContextInit(uint32_t useKeyMeshing);
bool CryptoContextRelease();

// The key-meshing switch as set at initialisation (1 before any set-up).
uint32_t KeyMeshingSwitch();

// Library allocator. Null on failure with lastError set to kStatusNoMemory.
void* LibAlloc(LibraryAllocator& allocator, size_t size, uint32_t flags);
void LibFree(LibraryAllocator& allocator, void* p, uint32_t flags);

// Fills n bytes from the random source; false when it refuses.
bool RandomBytes(size_t n, uint8_t* buffer);

// Scratch stack. Use ScratchFrame rather than the raw calls: it pops exactly what it pushed when
// it goes out of scope, so pushes and pops always match in reverse order.
uint8_t* ScratchPush(size_t n);  // null (and no change) when there is no block or no room
void ScratchPop(size_t n);
size_t ScratchFree();
size_t ScratchLowWater();
#ifdef KEYMEND_TEST_SEAMS
// Test seams (test builds only): bytes zeroed by the last CryptoContextRelease, and a limit on
// the usable scratch bytes (0 restores the full span), settable only while the stack is empty.
size_t ScratchLastWipeCount();
bool ScratchSetLimitForTesting(size_t usable);
#endif

class ScratchFrame {
public:
    explicit ScratchFrame(size_t n);
    ~ScratchFrame();
    ScratchFrame(const ScratchFrame&) = delete;
    ScratchFrame& operator=(const ScratchFrame&) = delete;

    bool ok() const { return data_ != nullptr; }
    uint8_t* data() const { return data_; }
    template <typename T>
    T* As() const {
        return reinterpret_cast<T*>(data_);
    }

private:
    uint8_t* data_;
    size_t size_;
};

}  // namespace keymend
