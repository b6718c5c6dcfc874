#include <gtest/gtest.h>

#include <atomic>
#include <numeric>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/OrderedPipeline.h"

namespace zarvo {
namespace {

struct TBatch {
    std::vector<int> In, Out;
    unsigned Lane = 0;
};

// Squares each number on whichever lane takes the batch.
void Square(TBatch& b, unsigned lane) {
    b.Out.clear();
    for (int v : b.In) b.Out.push_back(v * v);
    b.Lane = lane;
}

struct TCase {
    const char* Name;
    unsigned Lanes;
    size_t Depth, Batches, BatchSize;
};

class OrderedPipelineOrder : public ::testing::TestWithParam<TCase> {};

// Whatever the lanes and the depth, the batches come back in the order they went in,
// each processed once, and the last partial batch too.
TEST_P(OrderedPipelineOrder, TakesBatchesBackInOrder) {
    const TCase& c = GetParam();
    std::atomic<int> processed{0};
    std::set<unsigned> lanes;
    std::vector<int> got;
    {
        TOrderedPipeline<TBatch> pipe(c.Lanes, c.Depth, [&](TBatch& b, unsigned lane) {
            Square(b, lane);
            ++processed;
        });
        const auto take = [&](TBatch& b) {
            ASSERT_EQ(b.In.size(), b.Out.size());
            got.insert(got.end(), b.Out.begin(), b.Out.end());
            lanes.insert(b.Lane);
        };
        int next = 0;
        for (size_t k = 0; k < c.Batches; ++k) {
            TBatch& b = pipe.Filling();
            b.In.clear();
            for (size_t i = 0; i < c.BatchSize; ++i) b.In.push_back(next++);
            pipe.Submit(take);
            EXPECT_LT(pipe.Held(), std::max<size_t>(c.Depth, 2));
        }
        pipe.Drain(take);
        EXPECT_EQ(pipe.Held(), 0u);
    }
    std::vector<int> want(c.Batches * c.BatchSize);
    std::iota(want.begin(), want.end(), 0);
    for (int& v : want) v *= v;
    EXPECT_EQ(got, want);
    EXPECT_EQ(processed.load(), static_cast<int>(c.Batches));
    for (unsigned lane : lanes) EXPECT_LT(lane, std::max(c.Lanes, 1u));
}

INSTANTIATE_TEST_SUITE_P(Cases, OrderedPipelineOrder,
                         ::testing::Values(TCase{"none", 3, 4, 0, 8}, TCase{"oneBatchNoThread", 4, 4, 1, 5},
                                           TCase{"callerOnly", 1, 3, 50, 7}, TCase{"zeroLanes", 0, 0, 20, 3},
                                           TCase{"twoLanes", 2, 4, 500, 64},
                                           TCase{"manyLanes", 6, 3, 300, 16},
                                           TCase{"depthTwo", 3, 2, 200, 1}),
                         [](const ::testing::TestParamInfo<TCase>& p) { return std::string(p.param.Name); });

// A batch's error is raised when that batch is taken back, after the batches before it;
// the pipeline then shuts down cleanly with batches still held.
TEST(OrderedPipeline, RaisesAProcessErrorInItsPlace) {
    for (unsigned lanes : {1u, 3u}) {
        std::vector<int> got;
        TOrderedPipeline<TBatch> pipe(lanes, 4, [](TBatch& b, unsigned lane) {
            if (b.In.front() == 5) throw std::runtime_error("five");
            Square(b, lane);
        });
        const auto take = [&](TBatch& b) { got.push_back(b.Out.front()); };
        try {
            for (int k = 0; k < 40; ++k) {
                pipe.Filling().In = {k};
                pipe.Submit(take);
            }
            pipe.Drain(take);
            FAIL() << "no error raised";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "five");
        }
        EXPECT_EQ(got, (std::vector<int>{0, 1, 4, 9, 16})) << lanes << " lanes";
    }
}

// The caller's own take may throw (a write that fails): the pipeline is left with
// workers busy and batches held, and its destructor still stops them.
TEST(OrderedPipeline, DestroyedWhileBatchesAreHeld) {
    std::atomic<int> processed{0};
    {
        TOrderedPipeline<TBatch> pipe(3, 8, [&](TBatch& b, unsigned lane) {
            std::this_thread::yield();
            Square(b, lane);
            ++processed;
        });
        int taken = 0;
        const auto take = [&](TBatch&) {
            if (++taken == 2) throw std::runtime_error("write failed");
        };
        EXPECT_THROW(
            for (int k = 0; k < 100; ++k) {
                pipe.Filling().In = {k};
                pipe.Submit(take);
            },
            std::runtime_error);
        EXPECT_GT(pipe.Held(), 0u);
    }
    EXPECT_GE(processed.load(), 2);
}

} // namespace
} // namespace zarvo
