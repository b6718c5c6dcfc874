// One run of TReverseLookup, as a state and its phases: take addresses and send
// their queries, wait, receive and match the replies, expire and resend, hand the
// results on in order. Each phase is a function of its own with named outcomes; the
// run's loop (Go) only puts them in order.
#pragma once

#include <poll.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <vector>

#include "dns/DnsMessage.h"
#include "dns/DnsSocket.h"
#include "dns/LookupPace.h"
#include "dns/ReverseLookup.h"

namespace zarvo::dns::detail {

// The caller's side of a run, as TReverseLookup::Run takes it.
struct TRunCallbacks {
    const TReverseLookup::TSource& Source;
    const TReverseLookup::TSink& Sink;
    const std::atomic<bool>* Stop;
    const TReverseLookup::TWaitHook& BeforeWait;
};

class TLookupRun {
public:
    // Resolves the servers' host names (EReverseLookupError when one does not).
    TLookupRun(const std::vector<TDnsServer>& servers, const TLookupSettings& settings, int wakeFd,
               TRunCallbacks callbacks);
    // Closes every socket still open (a stop, a failure, a source or sink that throws).
    ~TLookupRun();
    TLookupRun(const TLookupRun&) = delete;
    TLookupRun& operator=(const TLookupRun&) = delete;

    // The whole run; the number of results handed to the sink.
    size_t Go();

private:
    using TClock = std::chrono::steady_clock;

    // One datagram sent, from a socket of its own.
    struct TSend {
        int Fd = -1;
        TClock::time_point At;
        uint64_t Seq = 0; // of all the run's sends, from 1
    };
    // A query in flight: a slot, reused by the next query when it ends.
    struct TQuery {
        bool Active = false;
        size_t Index = 0; // of the address
        size_t Server = 0;
        uint16_t Id = 0;
        std::vector<uint8_t> Message;
        std::vector<TSend> Sends; // still open, oldest first
        unsigned Tries = 0;       // sends made
        TClock::time_point FirstAt, LastAt, Deadline;
    };
    // An address between its taking and its handing on.
    struct TPending {
        std::string Address;
        std::string HostName;
        bool Done = false;
        TLookupStatus Status = TLookupStatus::NotAsked;
        uint8_t RCode = 0;
        size_t Server = SIZE_MAX; // none asked
        unsigned Tries = 0;
        double RttMs = 0;
    };
    // How a query ended.
    struct TOutcome {
        TLookupStatus Status = TLookupStatus::NotAsked;
        uint8_t RCode = 0;
        std::string HostName;
    };

    enum class TStart { InFlight, Ended, NoDescriptor };
    enum class TSendResult { Sent, Unreachable, NoDescriptor };
    enum class TReceive { Drained, Reply, Malformed, Unreachable };
    enum class TTimer { Waiting, Postponed, Resent, Ended, TimedOut };
    enum class THandOn { Waiting, Finished, Stopped };

    bool Stopped() const;
    size_t InFlight() const { return FQueries.size() - FFree.size(); }
    bool CanTake() const;

    // Send: addresses from the source while a query may go out.
    void TakeAddresses();
    TStart StartQuery();
    TSendResult SendOnce(TQuery& q);
    // Wait: until a reply, a timer, the pace or a wake-up.
    void WaitForEvents();
    TClock::time_point NextTimer(const TQuery& q) const;
    // Receive and match: every datagram waiting on a ready socket.
    void ReceiveAndMatch();
    TReceive Receive(TQuery& q, const TSend& send);
    TOutcome ReadReply(std::span<const uint8_t> data, uint16_t id);
    // Expire and resend: queries past their deadline end, those past their resend
    // time are sent again.
    void ExpireAndResend();
    TTimer CheckTimer(TQuery& q, TClock::time_point now);
    TSendResult Resend(TQuery& q);
    TClock::time_point ResendDue(const TQuery& q) const;
    // Hand on in order: the results that are next in address order.
    THandOn HandOnInOrder();

    void StartPending(std::string address);
    void Finish(TQuery& q, TOutcome outcome);
    void FinishAddress(size_t index, TOutcome outcome, size_t server, unsigned tries, double rttMs);
    void CloseSends(TQuery& q);
    void Paced(TClock::time_point now);

    const TLookupSettings FSettings;
    const int FWakeFd;
    const TRunCallbacks FCallbacks;
    std::vector<TServerAddress> FServers;
    std::vector<std::string> FServerTexts;
    std::vector<TRoundTrips> FRoundTrips; // per server
    TSendWindow FWindow;
    const double FBaseWaitMs; // the first resend's wait without round-trip figures
    size_t FDescriptorCap;    // lowered when descriptors run out
    const bool FPaced;
    const TClock::duration FInterval;
    TClock::time_point FNextSend;

    std::vector<TQuery> FQueries;
    std::vector<size_t> FFree;
    std::deque<TPending> FPending; // addresses from FFirstIndex on, in order
    size_t FFirstIndex = 0, FNextIndex = 0, FDelivered = 0;
    uint64_t FSeq = 0;
    bool FSourceDone = false;
    bool FHeld = false; // FAddress was taken but waits for a descriptor
    std::string FAddress;
    int FLastErrno = 0;

    std::vector<pollfd> FPollFds;
    std::vector<size_t> FPollQuery; // the query of each FPollFds entry; FQueries.size() for the wake-up
    std::array<uint8_t, kReceiveBuffer> FBuffer;
    TQueryResult FResult;
    TLookupResult FOut;
};

} // namespace zarvo::dns::detail
