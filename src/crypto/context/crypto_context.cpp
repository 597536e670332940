#include "crypto/context/crypto_context.h"

#include <cstdlib>
#include <cstring>

#include "crypto/context/secure_blob.h"
#include "platform/random.h"

namespace keymend {

namespace {

CryptoContext g_context;
size_t g_lastWipe = 0;

size_t RoundUp8(uintptr_t v) { return static_cast<size_t>((8 - (v & 7)) & 7); }

}  // namespace

CryptoContext& GlobalCryptoContext() { return g_context; }

uint32_t KeyMeshingSwitch() { return g_context.keyMeshing; }

void* LibAlloc(LibraryAllocator& allocator, size_t size, uint32_t flags) {
    void* p = (flags & kAllocNoZero) ? std::malloc(size) : std::calloc(1, size);
    if (p == nullptr) allocator.lastError = kStatusNoMemory;
    return p;
}

void LibFree(LibraryAllocator&, void* p, uint32_t) {
    if (p != nullptr) std::free(p);
}

bool CryptoContextInit(uint32_t useKeyMeshing) {
    CryptoContext& ctx = g_context;
    LibraryAllocator& alloc = ctx.allocator;

    if (alloc.libraryBlock == nullptr) {
        alloc = LibraryAllocator{};
        alloc.libraryBlock = static_cast<uint8_t*>(std::calloc(1, kLibraryBlockSize));
        if (alloc.libraryBlock == nullptr) return false;
        alloc.ready = 1;
    }
    if (alloc.scratch == nullptr) {
        alloc.scratch = static_cast<uint8_t*>(LibAlloc(alloc, kScratchBlockSize, kAllocScratch));
        if (alloc.scratch != nullptr) {
            size_t pad = RoundUp8(reinterpret_cast<uintptr_t>(alloc.scratch));
            ctx.scratch.start = alloc.scratch + pad;
            ctx.scratch.top = ctx.scratch.start;
            ctx.scratch.free = static_cast<uint32_t>(kScratchUsable - pad);
            ctx.scratch.lowWater = static_cast<uint32_t>(kScratchUsable);
        } else {
            ctx.scratch = ScratchStack{};
        }
    }
    for (auto& slot : ctx.expandedTables) {
        std::free(slot);
        slot = nullptr;
    }
    // The random source of this platform needs no handle; it is always available.
    ctx.providerAcquired = true;
    ctx.keyMeshing = useKeyMeshing;
    return true;
}

bool CryptoContextRelease() {
    CryptoContext& ctx = g_context;
    LibraryAllocator& alloc = ctx.allocator;
    g_lastWipe = 0;
    if (alloc.scratch != nullptr && alloc.libraryBlock != nullptr) {
        size_t used = kScratchUsable - ctx.scratch.lowWater;
        if (used != 0) SecureWipe(ctx.scratch.start, used);
        NotifyRelease(ctx.scratch.start, used);
        g_lastWipe = used;
        LibFree(alloc, alloc.scratch, 0);
    }
    alloc.scratch = nullptr;
    ctx.scratch = ScratchStack{};
    std::free(alloc.libraryBlock);
    alloc.libraryBlock = nullptr;
    alloc.ready = 0;
    for (auto& slot : ctx.expandedTables) {
        if (slot != nullptr) {
            SecureWipe(slot, kExpandedTableSize);
            std::free(slot);
        }
        slot = nullptr;
    }
    return true;
}

bool RandomBytes(size_t n, uint8_t* buffer) { return PlatformRandomBytes(buffer, n); }

uint8_t* ScratchPush(size_t n) {
    ScratchStack& s = g_context.scratch;
    if (s.top == nullptr || s.free < n) return nullptr;
    uint8_t* p = s.top;
    s.top += n;
    s.free -= static_cast<uint32_t>(n);
    if (s.free < s.lowWater) s.lowWater = s.free;
    return p;
}

void ScratchPop(size_t n) {
    ScratchStack& s = g_context.scratch;
    s.top -= n;
    s.free += static_cast<uint32_t>(n);
}

size_t ScratchFree() { return g_context.scratch.free; }
size_t ScratchLowWater() { return g_context.scratch.lowWater; }
#ifdef KEYMEND_TEST_SEAMS
size_t ScratchLastWipeCount() { return g_lastWipe; }

bool ScratchSetLimitForTesting(size_t usable) {
    ScratchStack& s = g_context.scratch;
    if (s.start == nullptr || s.top != s.start) return false;
    if (usable == 0 || usable > kScratchUsable) usable = kScratchUsable;
    s.free = static_cast<uint32_t>(usable);
    return true;
}
#endif

ScratchFrame::ScratchFrame(size_t n) : data_(ScratchPush(n)), size_(n) {}

ScratchFrame::~ScratchFrame() {
    if (data_ != nullptr) ScratchPop(size_);
}

}  // namespace keymend
