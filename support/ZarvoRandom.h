// The pseudo-random generator: xoshiro256** seeded through splitmix64.
// Each generation run and each shuffle reseeds it, so every thread keeps its own
// state (thread_local); draws never race between the worker and the window.
#pragma once

#include <cstdint>

namespace zarvo {

void RandomSeed(uint64_t seed);
// Seeds from the high-resolution clock (the default before each run and shuffle).
void Randomize();
uint64_t Random64();
// Uniform integer from 0 to n-1 without modulo bias (Lemire's method); 0 when n is 0.
uint64_t RandomBelow(uint64_t n);

} // namespace zarvo
