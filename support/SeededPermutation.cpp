#include "support/SeededPermutation.h"

#include <bit>

namespace zarvo {

TSeededPermutation::TSeededPermutation(uint64_t n, uint64_t key) : FSize(n) {
    const int bits = n <= 1 ? 0 : static_cast<int>(std::bit_width(n - 1));
    FLowBits = bits / 2;
    const int highBits = bits - FLowBits;
    FLowMask = FLowBits == 0 ? 0 : (uint64_t{1} << FLowBits) - 1;
    FHighMask = highBits == 0 ? 0 : highBits == 64 ? ~uint64_t{0} : (uint64_t{1} << highBits) - 1;
    // Round keys drawn from the key, so that near keys give unrelated orders.
    uint64_t k = key;
    for (uint64_t& roundKey : FKeys) {
        k += 0x9E3779B97F4A7C15ull;
        roundKey = Mix64(k);
    }
}

} // namespace zarvo
