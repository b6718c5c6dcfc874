#include "support/LargeMemory.h"

#include <cstdint>
#include <new>

#include <sys/mman.h>

namespace zarvo {

void* AllocateLarge(size_t bytes) {
    constexpr size_t kHuge = size_t{2} << 20;
    if (bytes < kHuge) {
        void* p = std::malloc(bytes ? bytes : 1);
        if (!p) throw std::bad_alloc();
        return p;
    }
    const size_t rounded = (bytes + kHuge - 1) / kHuge * kHuge;
    void* p = std::aligned_alloc(kHuge, rounded);
    if (!p) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    // Only advice: where huge pages are off or short, the memory is what malloc gives.
    ::madvise(p, rounded, MADV_HUGEPAGE);
#endif
    return p;
}

void AdviseHugePages(void* p, size_t bytes) {
#ifdef MADV_HUGEPAGE
    constexpr uintptr_t kHuge = uintptr_t{2} << 20;
    const uintptr_t start = (reinterpret_cast<uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + bytes) & ~(kHuge - 1);
    if (end > start) ::madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

} // namespace zarvo
