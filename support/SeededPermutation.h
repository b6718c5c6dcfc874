// A random order of 0..n-1 that can be read at any place: element i is computed
// from i and a key alone, with no table and no walk through the elements before it.
// So a run can be split into shares (machine I of N takes the elements I, I+N, ...)
// that each compute only their own part of one seeded order.
#pragma once

#include <cstdint>

namespace zarvo {

// The splitmix64 finalizer: a 64-bit value mixed so that every input bit moves about
// half of the output bits.
inline uint64_t Mix64(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// A bijection of [0, n) chosen by key: a Feistel network over the smallest number of
// bits that holds n - 1, its two halves (of unequal width for an odd number of bits)
// XORed in turn with a keyed mix of the other, six rounds; a value at or above n is
// sent through again (cycle walking), which keeps the map a bijection of [0, n) and
// costs fewer than two passes on average, as the bits hold less than 2n values.
class TSeededPermutation {
public:
    TSeededPermutation(uint64_t n, uint64_t key);
    uint64_t Size() const { return FSize; }
    // The element at place i (i < Size()).
    uint64_t operator()(uint64_t i) const {
        uint64_t v = i;
        do v = Encrypt(v);
        while (v >= FSize);
        return v;
    }

private:
    static constexpr int kRounds = 6;
    uint64_t Encrypt(uint64_t v) const {
        uint64_t low = v & FLowMask, high = v >> FLowBits;
        for (int r = 0; r < kRounds; r += 2) {
            high ^= Mix64(low + FKeys[r]) & FHighMask;
            low ^= Mix64(high + FKeys[r + 1]) & FLowMask;
        }
        return high << FLowBits | low;
    }

    uint64_t FSize;
    int FLowBits = 0;
    uint64_t FLowMask = 0, FHighMask = 0;
    uint64_t FKeys[kRounds] = {};
};

// 64 random bits for place i of a keyed stream, the same every time they are asked for:
// what a walk draws for an element when its shares must agree on it.
inline uint64_t KeyedRandom64(uint64_t key, uint64_t i) {
    return Mix64(key ^ Mix64(i + 0x9E3779B97F4A7C15ull));
}

} // namespace zarvo
