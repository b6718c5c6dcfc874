#include "support/LargeMemory.h"

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

} // namespace zarvo
