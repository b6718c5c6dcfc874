#include "support/ZarvoRandom.h"

#include <chrono>

namespace zarvo {

namespace {
struct Xoshiro256 {
    uint64_t s[4] = {0x9E3779B97F4A7C15ull, 0xBF58476D1CE4E5B9ull, 0x94D049BB133111EBull, 1};
};
thread_local Xoshiro256 g_rng;

uint64_t Rotl(uint64_t x, int k) {
    return (x << k) | (x >> (64 - k));
}

uint64_t SplitMix(uint64_t& x) {
    uint64_t z = (x += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}
} // namespace

void RandomSeed(uint64_t seed) {
    for (auto& w : g_rng.s) w = SplitMix(seed);
}

void Randomize() {
    const auto t = std::chrono::high_resolution_clock::now().time_since_epoch().count();
    static thread_local uint64_t salt = 0;
    RandomSeed(static_cast<uint64_t>(t) ^ (++salt * 0xD1B54A32D192ED03ull));
}

uint64_t Random64() {
    uint64_t* s = g_rng.s;
    const uint64_t result = Rotl(s[1] * 5, 7) * 9;
    const uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = Rotl(s[3], 45);
    return result;
}

uint64_t RandomBelow(uint64_t n) {
    if (n == 0) return 0;
    // Multiply-shift with rejection of the short lower band: exactly uniform.
    unsigned __int128 m = static_cast<unsigned __int128>(Random64()) * n;
    uint64_t low = static_cast<uint64_t>(m);
    if (low < n) {
        const uint64_t threshold = (0 - n) % n;
        while (low < threshold) {
            m = static_cast<unsigned __int128>(Random64()) * n;
            low = static_cast<uint64_t>(m);
        }
    }
    return static_cast<uint64_t>(m >> 64);
}

} // namespace zarvo
