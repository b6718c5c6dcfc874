// The pace of a reverse lookup without a network: the waits between a query's sends
// within its whole wait, the resend wait learned from the round trips, and the window
// of queries in flight under answers, random losses and losses with a queue.
#include <gtest/gtest.h>

#include <cstdint>

#include "dns/LookupPace.h"

using namespace zarvo::dns::detail;

namespace {

// The sends of a query (at 0 and after each wait) all go out within its whole wait,
// the last with at least as long a wait as the one before it: the worst case is the
// timeout, however many retries.
TEST(DnsPace, ResendsFitTheWholeWait) {
    const struct Case {
        unsigned TimeoutMs, Retries;
        double FirstWaitMs;
    } cases[] = {
        {5000, 2, 1000},        // the default: 1 s, 2 s, and 2 s for the last send
        {5000, 1, 1000},        // 1 s, then 4 s
        {5000, 3, 5000.0 / 11}, // 7 + 4 shares
        {300, 2, 60},           // a short timeout shortens the waits
        {1, 10, 1.0 / 1535},    // the most retries of the shortest timeout
        {3600000, 10, 1000},    // 1 s at most
        {5000, 0, 0},           // no retry
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.TimeoutMs << " ms, " << c.Retries << " retries");
        const double first = BaseResendWaitMs(c.TimeoutMs, c.Retries);
        EXPECT_DOUBLE_EQ(first, c.FirstWaitMs);
        double at = 0, last = 0;
        for (unsigned tries = 1; tries <= c.Retries; ++tries) {
            last = ResendWaitMs(first, tries);
            at += last;
        }
        EXPECT_LE(at, c.TimeoutMs);
        if (c.Retries > 0) {
            EXPECT_GE(c.TimeoutMs - at, last * (1 - 1e-9));
        }
    }
}

TEST(DnsPace, ResendWaitFromTheRoundTrips) {
    TRoundTrips trips;
    EXPECT_FALSE(trips.Known());
    EXPECT_EQ(trips.FirstResendWaitMs(1000), 1000); // nothing known: the base
    for (int i = 0; i < 20; ++i) trips.Sample(20);
    // Steady 20 ms round trips: about 20 ms and little variation, and never below
    // the floor.
    EXPECT_GE(trips.FirstResendWaitMs(1000), kMinResendWaitMs);
    EXPECT_LT(trips.FirstResendWaitMs(1000), 1000);
    EXPECT_FALSE(trips.Queueing());
    // Loopback speed: the floor.
    TRoundTrips fast;
    for (int i = 0; i < 20; ++i) fast.Sample(0.1);
    EXPECT_EQ(fast.FirstResendWaitMs(1000), kMinResendWaitMs);
    // Never above the base, however slow.
    TRoundTrips slow;
    for (int i = 0; i < 20; ++i) slow.Sample(3000);
    EXPECT_EQ(slow.FirstResendWaitMs(1000), 1000);
    // Replies that come ever later than the fastest: a queue.
    for (int i = 0; i < 30; ++i) fast.Sample(8);
    EXPECT_TRUE(fast.Queueing());
}

// Runs sends through a window: every tenth lost (lossEvery, 0 for none), queueing
// as given; the window's size after them.
size_t WindowAfter(size_t initial, size_t max, int sends, int lossEvery, bool queueing) {
    TSendWindow window(initial, max);
    for (uint64_t seq = 1; seq <= static_cast<uint64_t>(sends); ++seq) {
        if (lossEvery != 0 && seq % static_cast<uint64_t>(lossEvery) == 0)
            window.Lost(seq, seq + window.Size(), queueing);
        else
            window.Answered(queueing);
    }
    return window.Size();
}

TEST(DnsPace, TheWindowOfQueriesInFlight) {
    const struct Case {
        const char* Name;
        size_t Initial, Max;
        int Sends, LossEvery;
        bool Queueing;
        size_t AtLeast, AtMost;
    } cases[] = {
        {"starts at the initial size", 32, 256, 0, 0, false, 32, 32},
        {"the initial size at most the largest", 32, 8, 0, 0, false, 8, 8},
        {"grows with the answers to the largest", 32, 256, 1000, 0, false, 256, 256},
        {"answers with a queue hold it", 32, 256, 1000, 0, true, 32, 32},
        {"one datagram in ten lost without a queue: the pace stays", 32, 256, 4096, 10, false, 256, 256},
        {"losses with a queue: the window narrows", 256, 256, 4096, 10, true, 1, 64},
        {"most lost, no queue seen: narrows too", 32, 256, 4096, 2, false, 1, 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const size_t size = WindowAfter(c.Initial, c.Max, c.Sends, c.LossEvery, c.Queueing);
        EXPECT_GE(size, c.AtLeast);
        EXPECT_LE(size, c.AtMost);
    }
}

// One cut per window of sends: the losses of sends made before a cut do not cut again
// (a burst that overflowed the server's buffer halves the window once).
TEST(DnsPace, ABurstOfLossesCutsOnce) {
    TSendWindow window(256, 256);
    for (uint64_t seq = 1; seq <= 63; ++seq) window.Lost(seq, 256, true);
    EXPECT_EQ(window.Size(), 128u);
    window.Lost(300, 400, true); // a send after the cut
    EXPECT_EQ(window.Size(), 64u);
    // After a cut the window grows by one per window of answers.
    for (int i = 0; i < 66; ++i) window.Answered(false);
    EXPECT_EQ(window.Size(), 65u);
}

} // namespace
