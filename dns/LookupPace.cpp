#include "dns/LookupPace.h"

#include <algorithm>
#include <cmath>

namespace zarvo::dns::detail {

namespace {

// Replies this much slower than the fastest, and twice as slow, mean a queue; the
// slack keeps the jitter of fast loopback replies (tens of microseconds) out.
constexpr double kQueueSlackMs = 2;
// The weight of each send's outcome in the loss share (about the last 16 sends).
constexpr double kLossWeight = 1.0 / 16;
constexpr double kLossShareCut = 0.25;

} // namespace

double BaseResendWaitMs(unsigned timeoutMs, unsigned retries) {
    if (retries == 0) return 0;
    // The sends' waits w, 2w, ..., 2^(r-1) w, and the last one at least 2^(r-1) w:
    // (2^r - 1 + 2^(r-1)) w fit in the timeout.
    const double r = static_cast<double>(retries);
    const double shares = std::exp2(r) - 1 + std::exp2(r - 1);
    return std::min(kFirstResendWaitMs, static_cast<double>(timeoutMs) / shares);
}

double ResendWaitMs(double firstWaitMs, unsigned tries) {
    return firstWaitMs * std::exp2(static_cast<double>(tries > 0 ? tries - 1 : 0));
}

void TRoundTrips::Sample(double ms) {
    ms = std::max(ms, 0.0);
    if (FSamples++ == 0) {
        FSmoothed = ms;
        FVariation = ms / 2;
        FLeast = ms;
        return;
    }
    // RFC 6298, 2.3: beta 1/4, alpha 1/8.
    FVariation = 0.75 * FVariation + 0.25 * std::abs(FSmoothed - ms);
    FSmoothed = 0.875 * FSmoothed + 0.125 * ms;
    FLeast = std::min(FLeast, ms);
}

double TRoundTrips::FirstResendWaitMs(double baseMs) const {
    if (!Known()) return baseMs;
    return std::min(baseMs, std::max(kMinResendWaitMs, FSmoothed + 4 * FVariation));
}

bool TRoundTrips::Queueing() const {
    return Known() && FSmoothed > 2 * FLeast + kQueueSlackMs;
}

TSendWindow::TSendWindow(size_t initial, size_t max)
    : FSize(static_cast<double>(std::clamp<size_t>(initial, 1, std::max<size_t>(max, 1)))),
      FMax(static_cast<double>(std::max<size_t>(max, 1))), FThreshold(FMax) {}

void TSendWindow::Answered(bool queueing) {
    FLoss -= FLoss * kLossWeight;
    if (queueing) return;
    FSize = std::min(FMax, FSize < FThreshold ? FSize + 1 : FSize + 1 / FSize);
}

void TSendWindow::Lost(uint64_t seq, uint64_t lastSeq, bool queueing) {
    FLoss += (1 - FLoss) * kLossWeight;
    if (seq <= FCutAfter || !(queueing || FLoss > kLossShareCut)) return;
    FSize = std::max(1.0, std::floor(FSize / 2));
    FThreshold = FSize;
    FCutAfter = lastSeq;
}

} // namespace zarvo::dns::detail
