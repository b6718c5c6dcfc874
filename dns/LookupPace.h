// The pace of a reverse lookup, learned from the replies: when a query is sent again
// (a round-trip estimate per server, as RFC 6298 keeps one for TCP), and how many
// queries may be in flight (a window that grows with the answers and halves when
// lost datagrams come with a queue at the server, or when most are lost). No clock
// is read here: the lookup hands in what it measured.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zarvo::dns::detail {

// A resend never comes sooner than this after the send before it, whatever the round
// trips: below it a reply that is only late would be taken for lost.
inline constexpr double kMinResendWaitMs = 50;
// Without round-trip figures the first resend waits this long (less when the
// query's whole wait is short).
inline constexpr double kFirstResendWaitMs = 1000;

// The wait after the first send when nothing is known of the server: at most
// kFirstResendWaitMs, and so short that waits doubling from it (w, 2w, ... for the
// sends but the last) leave the last send at least as long as the one before it,
// all within timeoutMs (5000 ms and 2 retries: 1 s, 2 s, 2 s). 0 for no retry.
double BaseResendWaitMs(unsigned timeoutMs, unsigned retries);

// The wait after send number tries (1 for the first) before the next: firstWaitMs
// doubled for each send before.
double ResendWaitMs(double firstWaitMs, unsigned tries);

// One server's round trips, from the replies to each send (every send has its own
// socket, so a reply always names the send it answers).
class TRoundTrips {
public:
    void Sample(double ms);
    bool Known() const { return FSamples != 0; }
    double SmoothedMs() const { return FSmoothed; }
    double LeastMs() const { return FLeast; }
    // The first resend's wait: the smoothed round trip and four times its
    // variation, at least kMinResendWaitMs, at most baseMs (baseMs while unknown).
    double FirstResendWaitMs(double baseMs) const;
    // Whether the replies now take well over the fastest ever seen: queries wait
    // in a queue at the server (or on the way).
    bool Queueing() const;

private:
    unsigned FSamples = 0;
    double FSmoothed = 0, FVariation = 0, FLeast = 0;
};

// How many queries may be in flight: starts at initial (or max, when lower) and
// grows by one per answer until the first loss that counts (slow start), by one per
// window of answers after it, and not at all while the answers show a queue at the
// server (more queries in flight would only wait there, and overflow its buffer); a
// loss that counts halves it, once per window of sends (the losses of sends made
// before the last cut do not cut again). A loss counts when the server shows a queue
// (TRoundTrips::Queueing) or when more than a quarter of the recent sends were lost:
// a link that loses one datagram in ten, without a queue, keeps its pace.
class TSendWindow {
public:
    TSendWindow(size_t initial, size_t max);

    size_t Size() const { return static_cast<size_t>(FSize); }
    // A send answered (by any reply that passed the checks); queueing: whether the
    // server's replies show a queue.
    void Answered(bool queueing);
    // A send of sequence number seq (numbered from 1 in the order of sending) got no
    // reply in its time; lastSeq: the latest sequence number given out so far.
    void Lost(uint64_t seq, uint64_t lastSeq, bool queueing);
    // The share of lost sends, recent ones weighing most.
    double LossShare() const { return FLoss; }

private:
    double FSize, FMax, FThreshold;
    double FLoss = 0;
    uint64_t FCutAfter = 0; // sends up to this one were made before the last cut
};

} // namespace zarvo::dns::detail
