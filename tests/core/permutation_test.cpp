// The seeded permutation (support/SeededPermutation.h): a bijection of 0..n-1 for
// every n, the same for the same key, and spread evenly.
#include <gtest/gtest.h>

#include <vector>

#include "support/SeededPermutation.h"

namespace zarvo {
namespace {

TEST(SeededPermutation, IsABijectionOfEverySize) {
    for (uint64_t n :
         {0ull, 1ull, 2ull, 3ull, 4ull, 5ull, 7ull, 16ull, 17ull, 255ull, 1000ull, 65537ull, 300000ull}) {
        for (uint64_t key : {0ull, 1ull, 42ull, ~0ull}) {
            const TSeededPermutation p(n, key);
            std::vector<bool> seen(n);
            for (uint64_t i = 0; i < n; ++i) {
                const uint64_t v = p(i);
                ASSERT_LT(v, n) << "n " << n;
                ASSERT_FALSE(seen[v]) << "n " << n << ", " << v << " twice";
                seen[v] = true;
            }
        }
    }
}

TEST(SeededPermutation, TheSameKeyGivesTheSameOrderAndAnotherKeyAnother) {
    const TSeededPermutation a(1000000, 7), b(1000000, 7), c(1000000, 8);
    int same = 0;
    for (uint64_t i = 0; i < 1000; ++i) {
        EXPECT_EQ(a(i), b(i));
        same += a(i) == c(i);
    }
    EXPECT_LT(same, 5);
    // Large sizes, whose halves are 32 bits each.
    const TSeededPermutation big(~0ull, 3);
    EXPECT_NE(big(0), big(1));
}

TEST(SeededPermutation, FirstPlacesAreSpreadEvenly) {
    // The first 100 places of an order of 1000, over 400 keys: each element should be
    // among them about 40 times, and each tenth of the elements about 4000 times.
    std::vector<int> hits(1000);
    for (uint64_t key = 0; key < 400; ++key) {
        const TSeededPermutation p(1000, key);
        for (uint64_t i = 0; i < 100; ++i) ++hits[p(i)];
    }
    for (int tenth = 0; tenth < 10; ++tenth) {
        int sum = 0;
        for (int k = 0; k < 100; ++k) sum += hits[static_cast<size_t>(tenth * 100 + k)];
        EXPECT_NEAR(sum, 4000, 300) << "tenth " << tenth;
    }
    int never = 0;
    for (int h : hits) never += h == 0;
    EXPECT_EQ(never, 0);
}

} // namespace
} // namespace zarvo
