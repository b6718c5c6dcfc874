#include "dns/LookupRun.h"

#include <netdb.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "support/ZarvoText.h"

namespace zarvo::dns::detail {

namespace {

// Finished results that may wait behind an unfinished one; beyond this no new
// address is taken until the one holding them up is done.
constexpr size_t kMaxBacklog = 65536;
constexpr auto kPaceSlack = std::chrono::milliseconds(20);

// Failures of socket() that a socket closed elsewhere can cure.
bool OutOfDescriptors(int err) {
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

[[noreturn]] void NoSocket(int err) {
    throw EReverseLookupError(Format("Cannot open a socket: %s", std::strerror(err)));
}

// The servers' socket addresses; host names are resolved here, once per run, and a
// name that does not resolve fails the run: its addresses would all come back
// unresolved, which reads as an answer.
std::vector<TServerAddress> ResolveServers(const std::vector<TDnsServer>& servers) {
    std::vector<TServerAddress> out(servers.size());
    for (size_t i = 0; i < servers.size(); ++i) {
        std::string error;
        if (!ResolveServerAddress(servers[i].Host, servers[i].Port, AF_UNSPEC, out[i], error))
            throw EReverseLookupError("Cannot resolve the DNS server " + error);
    }
    return out;
}

// "192.0.2.53:53", "[2001:db8::53]:53", "[fe80::1%lo]:53".
std::string ServerText(const TServerAddress& server) {
    char host[NI_MAXHOST], port[NI_MAXSERV];
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&server.Addr), server.Length, host, sizeof host, port,
                    sizeof port, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return {};
    if (server.Addr.ss_family == AF_INET6) return std::string("[") + host + "]:" + port;
    return std::string(host) + ":" + port;
}

// Each query in flight holds a socket (two or more while its resends wait): stay
// well inside the process's file limit.
size_t InFlightLimit(unsigned wanted) {
    size_t n = wanted;
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY)
        n = std::min<size_t>(n, files.rlim_cur > 128 ? files.rlim_cur / 2 : 16);
    return std::clamp<size_t>(n, 1, kMaxBacklog);
}

double Milliseconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

std::chrono::steady_clock::duration FromMilliseconds(double ms) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double, std::milli>(ms));
}

} // namespace

TLookupRun::TLookupRun(const std::vector<TDnsServer>& servers, const TLookupSettings& settings, int wakeFd,
                       TRunCallbacks callbacks)
    : FSettings(settings), FWakeFd(wakeFd), FCallbacks(callbacks), FServers(ResolveServers(servers)),
      FRoundTrips(servers.size()),
      FWindow(std::min<size_t>(kDefaultInFlight, InFlightLimit(settings.InFlight)),
              InFlightLimit(settings.InFlight)),
      FBaseWaitMs(BaseResendWaitMs(settings.TimeoutMs, settings.Retries)),
      FDescriptorCap(InFlightLimit(settings.InFlight)),
      FPaced(settings.RateQps > 0 && std::isfinite(settings.RateQps)),
      FInterval(FPaced ? std::chrono::duration_cast<TClock::duration>(
                             std::chrono::duration<double>(1.0 / settings.RateQps))
                       : TClock::duration::zero()),
      FNextSend(TClock::now()) {
    for (const TServerAddress& a : FServers) FServerTexts.push_back(ServerText(a));
    const size_t slots = InFlightLimit(settings.InFlight);
    FQueries.resize(slots);
    FFree.reserve(slots);
    for (size_t i = slots; i-- > 0;) FFree.push_back(i);
    FPollFds.reserve(slots + 1);
    FPollQuery.reserve(slots + 1);
}

TLookupRun::~TLookupRun() {
    for (TQuery& q : FQueries) CloseSends(q);
}

size_t TLookupRun::Go() {
    for (;;) {
        if (Stopped()) return FDelivered;
        TakeAddresses();
        switch (HandOnInOrder()) {
        case THandOn::Stopped:
        case THandOn::Finished:
            return FDelivered;
        case THandOn::Waiting:
            break;
        }
        WaitForEvents();
        ReceiveAndMatch();
        ExpireAndResend();
    }
}

bool TLookupRun::Stopped() const {
    return FCallbacks.Stop != nullptr && FCallbacks.Stop->load(std::memory_order_relaxed);
}

bool TLookupRun::CanTake() const {
    return !FSourceDone && InFlight() < std::min(FWindow.Size(), FDescriptorCap) &&
           FPending.size() < kMaxBacklog;
}

// ------------------------------------------------------------------ send

void TLookupRun::TakeAddresses() {
    while (CanTake()) {
        if (FPaced && TClock::now() < FNextSend) return; // the wait ends at FNextSend
        if (!FHeld && !FCallbacks.Source(FAddress)) {
            FSourceDone = true;
            return;
        }
        FHeld = false;
        switch (StartQuery()) {
        case TStart::InFlight:
        case TStart::Ended:
            break;
        case TStart::NoDescriptor:
            // The address waits for a socket that a query in flight gives back; no more
            // queries in flight than now from here on.
            if (InFlight() == 0) NoSocket(FLastErrno);
            FDescriptorCap = InFlight();
            FHeld = true;
            return;
        }
    }
}

TLookupRun::TStart TLookupRun::StartQuery() {
    const size_t index = FNextIndex;
    TQuery& q = FQueries[FFree.back()];
    bool ask = !FServers.empty(); // no server: callers check for one first
    try {
        q.Id = NewQueryId();
        if (ask) q.Message = CreateQuery(q.Id, FAddress, {qtPTR});
    } catch (const EIdDnsResolverError&) {
        ask = false; // not an address: nothing to ask
    }
    if (!ask) {
        StartPending(std::move(FAddress));
        FinishAddress(index, TOutcome{}, SIZE_MAX, 0, 0);
        return TStart::Ended;
    }
    q.Index = index;
    q.Server = index % FServers.size();
    q.Tries = 0;
    q.Sends.clear();
    const TSendResult sent = SendOnce(q);
    if (sent == TSendResult::NoDescriptor) return TStart::NoDescriptor;
    StartPending(std::move(FAddress));
    if (sent == TSendResult::Unreachable) {
        FinishAddress(index, TOutcome{TLookupStatus::Unreachable, 0, {}}, q.Server, q.Tries, 0);
        return TStart::Ended;
    }
    q.Active = true;
    q.FirstAt = q.LastAt;
    q.Deadline = q.FirstAt + std::chrono::milliseconds(FSettings.TimeoutMs);
    FFree.pop_back();
    return TStart::InFlight;
}

TLookupRun::TSendResult TLookupRun::SendOnce(TQuery& q) {
    std::string error;
    const int fd = OpenConnectedSocket(FServers[q.Server], true, error, &FLastErrno);
    if (fd < 0) {
        if (FLastErrno == 0) return TSendResult::Unreachable; // made, but not connected
        if (OutOfDescriptors(FLastErrno)) return TSendResult::NoDescriptor;
        NoSocket(FLastErrno);
    }
    const TClock::time_point now = TClock::now();
    ++q.Tries;
    if (send(fd, q.Message.data(), q.Message.size(), MSG_NOSIGNAL) < 0) {
        close(fd);
        return TSendResult::Unreachable;
    }
    q.Sends.push_back(TSend{fd, now, ++FSeq});
    q.LastAt = now;
    Paced(now);
    return TSendResult::Sent;
}

void TLookupRun::Paced(TClock::time_point now) {
    // Sends late by the wait's granularity catch up, but no more credit than
    // kPaceSlack builds up while the run waits for a free slot.
    if (FPaced) FNextSend = std::max(FNextSend, now - kPaceSlack) + FInterval;
}

// ------------------------------------------------------------------ wait

TLookupRun::TClock::time_point TLookupRun::NextTimer(const TQuery& q) const {
    TClock::time_point resend = ResendDue(q);
    // A resend that waits for the pace wakes the run when the pace allows it.
    if (FPaced && resend < q.Deadline) resend = std::max(resend, FNextSend);
    return std::min(q.Deadline, resend);
}

void TLookupRun::WaitForEvents() {
    FPollFds.clear();
    FPollQuery.clear();
    TClock::time_point wakeAt = TClock::time_point::max();
    for (size_t i = 0; i < FQueries.size(); ++i) {
        const TQuery& q = FQueries[i];
        if (!q.Active) continue;
        for (const TSend& s : q.Sends) {
            FPollFds.push_back(pollfd{s.Fd, POLLIN, 0});
            FPollQuery.push_back(i);
        }
        wakeAt = std::min(wakeAt, NextTimer(q));
    }
    if (CanTake() && FPaced) wakeAt = std::min(wakeAt, FNextSend);
    FPollFds.push_back(pollfd{FWakeFd, POLLIN, 0});
    FPollQuery.push_back(FQueries.size());
    int waitMs = -1;
    if (wakeAt != TClock::time_point::max()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(wakeAt - TClock::now()).count();
        waitMs = static_cast<int>(std::clamp<long long>(left, 0, 0x7FFFFFFF));
    }
    if (FCallbacks.BeforeWait && waitMs != 0) FCallbacks.BeforeWait();
    if (poll(FPollFds.data(), FPollFds.size(), waitMs) < 0) {
        if (errno == EINTR) {
            // A signal: nothing is ready; the next turn waits again.
            for (pollfd& p : FPollFds) p.revents = 0;
            return;
        }
        throw EReverseLookupError(Format("Cannot wait for DNS replies: %s", std::strerror(errno)));
    }
}

// ------------------------------------------------------------------ receive and match

void TLookupRun::ReceiveAndMatch() {
    for (size_t k = 0; k < FPollFds.size(); ++k) {
        if (FPollFds[k].revents == 0) continue;
        const size_t i = FPollQuery[k];
        if (i == FQueries.size()) {
            char drain[64];
            while (read(FWakeFd, drain, sizeof drain) > 0) {
            }
            continue;
        }
        // The query may have ended by a reply to another of its sends in this turn,
        // its sockets closed then; no socket is opened in this phase, so a number
        // not among its sends is not its socket.
        TQuery& q = FQueries[i];
        const auto send = std::find_if(q.Sends.begin(), q.Sends.end(),
                                       [fd = FPollFds[k].fd](const TSend& s) { return s.Fd == fd; });
        if (!q.Active || send == q.Sends.end()) continue;
        switch (Receive(q, *send)) {
        case TReceive::Drained:     // nothing of use yet: the query waits on
        case TReceive::Reply:       // ended by its reply
        case TReceive::Malformed:   // ended by a datagram too short or too long to judge
        case TReceive::Unreachable: // ended by the network's word (port unreachable)
            break;
        }
    }
}

TLookupRun::TReceive TLookupRun::Receive(TQuery& q, const TSend& send) {
    const TClock::time_point sentAt = send.At;
    const int fd = send.Fd;
    // Every datagram waiting on the socket, until the reply or a failure.
    for (;;) {
        const ssize_t n = recv(fd, FBuffer.data(), FBuffer.size(), MSG_TRUNC | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) return TReceive::Drained;
            // ECONNREFUSED (port unreachable) and the like end the query.
            Finish(q, TOutcome{TLookupStatus::Unreachable, 0, {}});
            return TReceive::Unreachable;
        }
        const auto size = static_cast<size_t>(n);
        const std::span<const uint8_t> data(FBuffer.data(), std::min(size, FBuffer.size()));
        // A datagram that is not the reply is passed over; one too short or too long
        // to judge ends the query, as the reply does.
        const bool judged = size >= 12 && size <= kMaxReplySize;
        if (judged && !IsReplyTo(data, q.Message)) continue;
        const TClock::time_point now = TClock::now();
        FRoundTrips[q.Server].Sample(Milliseconds(now - sentAt));
        FWindow.Answered(FRoundTrips[q.Server].Queueing());
        if (!judged) {
            Finish(q, TOutcome{TLookupStatus::Malformed, 0, {}});
            return TReceive::Malformed;
        }
        Finish(q, ReadReply(data, q.Id));
        return TReceive::Reply;
    }
}

TLookupRun::TOutcome TLookupRun::ReadReply(std::span<const uint8_t> data, uint16_t id) {
    TOutcome o;
    try {
        FillResult(data, id, FResult);
    } catch (const Exception&) {
        const bool isReply = data.size() >= 12 && (data[2] & 0x80) != 0;
        o.RCode = static_cast<uint8_t>(data.size() >= 12 ? data[3] & 0x0F : 0);
        const bool noRecords = data.size() >= 12 && std::all_of(data.begin() + 6, data.begin() + 12,
                                                                [](uint8_t b) { return b == 0; });
        if (isReply && o.RCode != 0)
            o.Status = TLookupStatus::RCode;
        else if (isReply && noRecords)
            o.Status = TLookupStatus::NoPtr; // NOERROR with no record at all
        else
            o.Status = TLookupStatus::Malformed;
        return o;
    }
    const TPTRRecord* ptr = FResult.FirstPTR();
    if (ptr == nullptr || ptr->HostName.empty()) {
        o.Status = TLookupStatus::NoPtr;
        return o;
    }
    o.Status = TLookupStatus::Answer;
    o.HostName = ptr->HostName;
    return o;
}

// ------------------------------------------------------------------ expire and resend

void TLookupRun::ExpireAndResend() {
    const TClock::time_point now = TClock::now();
    for (TQuery& q : FQueries) {
        if (!q.Active) continue;
        switch (CheckTimer(q, now)) {
        case TTimer::Waiting:   // neither time has come
        case TTimer::Postponed: // a resend waits for the pace
        case TTimer::Resent:
        case TTimer::Ended:    // the resend could not go out: the query ended with the reason
        case TTimer::TimedOut: // no reply to any send within the whole wait
            break;
        }
    }
}

TLookupRun::TClock::time_point TLookupRun::ResendDue(const TQuery& q) const {
    if (q.Tries > FSettings.Retries) return q.Deadline;
    const double firstWait = FRoundTrips[q.Server].FirstResendWaitMs(FBaseWaitMs);
    return std::min(q.Deadline, q.LastAt + FromMilliseconds(ResendWaitMs(firstWait, q.Tries)));
}

TLookupRun::TTimer TLookupRun::CheckTimer(TQuery& q, TClock::time_point now) {
    const bool queueing = FRoundTrips[q.Server].Queueing();
    if (now >= q.Deadline) {
        FWindow.Lost(q.Sends.empty() ? FSeq : q.Sends.back().Seq, FSeq, queueing);
        Finish(q, TOutcome{TLookupStatus::Timeout, 0, {}});
        return TTimer::TimedOut;
    }
    if (now < ResendDue(q)) return TTimer::Waiting;
    if (FPaced && now < FNextSend) return TTimer::Postponed;
    FWindow.Lost(q.Sends.empty() ? FSeq : q.Sends.back().Seq, FSeq, queueing);
    switch (Resend(q)) {
    case TSendResult::Sent:
        return TTimer::Resent;
    case TSendResult::Unreachable:
        Finish(q, TOutcome{TLookupStatus::Unreachable, 0, {}});
        return TTimer::Ended;
    case TSendResult::NoDescriptor:
        break;
    }
    // Only when even the socket of the query's own oldest send did not make room.
    NoSocket(FLastErrno);
}

TLookupRun::TSendResult TLookupRun::Resend(TQuery& q) {
    const TSendResult sent = SendOnce(q);
    if (sent != TSendResult::NoDescriptor || q.Sends.empty()) return sent;
    // Out of descriptors: the oldest send gives its socket up (a late reply to it is
    // lost), and no more queries go out than are in flight now.
    close(q.Sends.front().Fd);
    q.Sends.erase(q.Sends.begin());
    FDescriptorCap = std::min(FDescriptorCap, InFlight());
    return SendOnce(q);
}

// ------------------------------------------------------------------ hand on in order

TLookupRun::THandOn TLookupRun::HandOnInOrder() {
    while (!FPending.empty() && FPending.front().Done) {
        if (Stopped()) return THandOn::Stopped;
        TPending& p = FPending.front();
        FOut.Index = FFirstIndex;
        FOut.Address = std::move(p.Address);
        FOut.HostName = std::move(p.HostName);
        FOut.Resolved = p.Status == TLookupStatus::Answer;
        FOut.Status = p.Status;
        FOut.RCode = p.RCode;
        if (p.Server < FServerTexts.size())
            FOut.Server = FServerTexts[p.Server];
        else
            FOut.Server.clear();
        FOut.Tries = p.Tries;
        FOut.RttMs = p.RttMs;
        FCallbacks.Sink(FOut);
        FPending.pop_front();
        ++FFirstIndex;
        ++FDelivered;
    }
    if (Stopped()) return THandOn::Stopped;
    if (FSourceDone && FPending.empty()) return THandOn::Finished;
    return THandOn::Waiting;
}

// ------------------------------------------------------------------ the ends of queries

void TLookupRun::StartPending(std::string address) {
    FPending.push_back(TPending{std::move(address), {}, false});
    ++FNextIndex;
}

void TLookupRun::Finish(TQuery& q, TOutcome outcome) {
    FinishAddress(q.Index, std::move(outcome), q.Server, q.Tries, Milliseconds(TClock::now() - q.FirstAt));
    CloseSends(q);
    q.Active = false;
    FFree.push_back(static_cast<size_t>(&q - FQueries.data()));
}

void TLookupRun::FinishAddress(size_t index, TOutcome outcome, size_t server, unsigned tries, double rttMs) {
    TPending& p = FPending[index - FFirstIndex];
    p.Done = true;
    p.Status = outcome.Status;
    p.RCode = outcome.RCode;
    p.HostName = std::move(outcome.HostName);
    p.Server = server;
    p.Tries = tries;
    p.RttMs = rttMs;
}

void TLookupRun::CloseSends(TQuery& q) {
    for (const TSend& s : q.Sends) close(s.Fd);
    q.Sends.clear();
}

} // namespace zarvo::dns::detail
