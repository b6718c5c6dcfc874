// Memory for large tables that are read at random (a database image, a hash table).
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>

namespace zarvo {

struct TFreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <class T> using TLargeArray = std::unique_ptr<T[], TFreeDeleter>;

// bytes of uninitialised memory, released with free; raises std::bad_alloc. From 2 MiB
// on it is aligned to 2 MiB and offered to the kernel for transparent huge pages: a
// random read of a large table then rarely misses the TLB, where 4 KiB pages make
// nearly every one miss it as well as the cache.
void* AllocateLarge(size_t bytes);

// Offers the whole 2 MiB pages inside [p, p + bytes) to the kernel for transparent huge
// pages, for a large block from malloc that is about to be filled: a few faults then
// map it instead of one for every 4 KiB. Only advice; nothing for a smaller block.
void AdviseHugePages(void* p, size_t bytes);

template <class T> TLargeArray<T> MakeLargeArray(size_t count) {
    return TLargeArray<T>(static_cast<T*>(AllocateLarge(count * sizeof(T))));
}

} // namespace zarvo
