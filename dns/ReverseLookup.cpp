#include "dns/ReverseLookup.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <deque>

#include "dns/DnsAddress.h"
#include "dns/DnsMessage.h"
#include "dns/DnsSocket.h"
#include "net/uZarvo.h"
#include "support/ZarvoText.h"

namespace zarvo::dns {

namespace {

using TClock = std::chrono::steady_clock;

// Finished results that may wait behind an unfinished one; beyond this no new
// address is taken until the one holding them up is done.
constexpr size_t kMaxBacklog = 65536;
constexpr auto kPaceSlack = std::chrono::milliseconds(20);
// A socket whose query got its reply serves this many queries to the same server
// before a fresh one (with a fresh source port) replaces it: fewer system calls per
// query, and still a port that an off-path attacker cannot learn for long.
constexpr unsigned kSocketUses = 16;

struct TIdleSocket {
    int Fd;
    unsigned Uses;
};

bool ValidPort(std::string_view digits, uint16_t& port) {
    if (digits.empty() || digits.size() > 5) return false;
    uint32_t v = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint32_t>(c - '0');
    }
    if (v == 0 || v > 65535) return false;
    port = static_cast<uint16_t>(v);
    return true;
}

// One address between its taking and its handing to the sink.
struct TPending {
    std::string Address;
    std::string HostName;
    bool Done = false;
    bool Resolved = false;
};

// One query in flight.
struct TSlot {
    int Fd = -1;
    size_t Server = 0;
    unsigned Uses = 0; // queries sent on Fd so far
    size_t Index = 0;  // of the address
    uint16_t Id = 0;
    std::vector<uint8_t> Query;
    TClock::time_point Deadline;
};

} // namespace

std::optional<TDnsServer> ParseServerEntry(std::string_view entry) {
    const std::string_view text = Trim(entry);
    if (text.empty()) return std::nullopt;
    if (text.find_first_of(" \t") != std::string_view::npos) return std::nullopt;
    TDnsServer s;
    s.Entry = std::string(entry);
    if (text.front() == '[') {
        const size_t close = text.find(']');
        if (close == std::string_view::npos || close == 1) return std::nullopt;
        s.Host = std::string(text.substr(1, close - 1));
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty() && (rest.front() != ':' || !ValidPort(rest.substr(1), s.Port))) return std::nullopt;
        bool valid = false;
        (void)ParseIPv6(s.Host, false, valid);
        if (!valid) return std::nullopt;
        return s;
    }
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos) {
        // Digits and dots are an IPv4 address or nothing: never a name to look up.
        if (text.find_first_not_of("0123456789.") == std::string_view::npos && !detail::IsDottedDecimal(text))
            return std::nullopt;
        s.Host = std::string(text);
        return s;
    }
    if (text.find(':', colon + 1) != std::string_view::npos) {
        // Two or more colons: an IPv6 address, without a port (that needs brackets).
        bool valid = false;
        (void)ParseIPv6(text, false, valid);
        if (!valid) return std::nullopt;
        s.Host = std::string(text);
        return s;
    }
    if (colon == 0 || !ValidPort(text.substr(colon + 1), s.Port)) return std::nullopt;
    s.Host = std::string(text.substr(0, colon));
    if (s.Host.find_first_not_of("0123456789.") == std::string::npos && !detail::IsDottedDecimal(s.Host))
        return std::nullopt;
    return s;
}

TReverseLookup::TReverseLookup(std::vector<TDnsServer> servers, TLookupSettings settings)
    : FServers(std::move(servers)), FSettings(settings) {
    if (FSettings.InFlight == 0) FSettings.InFlight = 1;
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
        FWakeRead = fds[0];
        FWakeWrite = fds[1];
    }
}

TReverseLookup::~TReverseLookup() {
    if (FWakeRead >= 0) close(FWakeRead);
    if (FWakeWrite >= 0) close(FWakeWrite);
}

void TReverseLookup::Wake() {
    if (FWakeWrite < 0) return;
    const char b = 1;
    // A full pipe already holds a wake-up; nothing is lost by dropping this one.
    [[maybe_unused]] const ssize_t n = write(FWakeWrite, &b, 1);
}

size_t TReverseLookup::Run(const TSource& source, const TSink& sink, const std::atomic<bool>* stop) {
    const auto stopped = [stop] { return stop != nullptr && stop->load(std::memory_order_relaxed); };
    if (FWakeRead >= 0) {
        char drain[64];
        while (read(FWakeRead, drain, sizeof drain) > 0) {
        }
    }

    // Host names among the servers are resolved once per run; a server that cannot
    // be reached this way leaves its addresses unresolved without a query.
    std::vector<detail::TServerAddress> servers(FServers.size());
    std::vector<bool> usable(FServers.size(), false);
    for (size_t i = 0; i < FServers.size(); ++i) {
        std::string error;
        usable[i] =
            detail::ResolveServerAddress(FServers[i].Host, FServers[i].Port, AF_UNSPEC, servers[i], error);
    }

    // Each query in flight holds a socket: stay well inside the process's file limit,
    // so that a socket that cannot be opened never turns an answer into a failure.
    size_t inFlightMax = FSettings.InFlight;
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY)
        inFlightMax = std::min<size_t>(inFlightMax, files.rlim_cur > 128 ? files.rlim_cur / 2 : 16);
    inFlightMax = std::clamp<size_t>(inFlightMax, 1, kMaxBacklog);
    const auto timeout = std::chrono::milliseconds(FSettings.TimeoutMs);
    const bool paced = FSettings.RateQps > 0 && std::isfinite(FSettings.RateQps);
    const auto interval = paced ? std::chrono::duration_cast<TClock::duration>(
                                      std::chrono::duration<double>(1.0 / FSettings.RateQps))
                                : TClock::duration::zero();
    TClock::time_point nextSend = TClock::now();

    std::vector<TSlot> slots(inFlightMax);
    std::vector<size_t> freeSlots;
    freeSlots.reserve(inFlightMax);
    for (size_t i = inFlightMax; i-- > 0;) freeSlots.push_back(i);
    std::deque<TPending> pending; // addresses from firstIndex on, in order
    size_t firstIndex = 0, nextIndex = 0, delivered = 0;
    bool sourceDone = false;
    std::vector<pollfd> pfds;
    std::vector<size_t> pslot;
    pfds.reserve(inFlightMax + 1);
    pslot.reserve(inFlightMax + 1);
    std::array<uint8_t, detail::kReceiveBuffer> buf;
    TQueryResult result;
    TLookupResult out;
    std::string address;

    std::vector<std::vector<TIdleSocket>> idle(FServers.size());
    // Ends the slot's query; its socket waits for the next query to the same server
    // when it ended by a reply (nothing of its own query can still arrive).
    const auto closeSlot = [&](size_t s, bool reusable = false) {
        TSlot& slot = slots[s];
        if (reusable && slot.Uses < kSocketUses)
            idle[slot.Server].push_back(TIdleSocket{slot.Fd, slot.Uses});
        else
            close(slot.Fd);
        slot.Fd = -1;
        freeSlots.push_back(s);
    };
    const auto finish = [&](size_t index, bool resolved, std::string hostName) {
        TPending& p = pending[index - firstIndex];
        p.Done = true;
        p.Resolved = resolved;
        p.HostName = std::move(hostName);
    };
    // Sockets still open when the run ends (a stop, or a source or sink that throws)
    // are closed on the way out.
    struct TCloseAll {
        std::vector<TSlot>& Slots;
        std::vector<std::vector<TIdleSocket>>& Idle;
        ~TCloseAll() {
            for (TSlot& s : Slots)
                if (s.Fd >= 0) close(s.Fd);
            for (auto& list : Idle)
                for (TIdleSocket& i : list) close(i.Fd);
        }
    } closeAll{slots, idle};

    for (;;) {
        if (stopped()) break;

        // Take addresses while a query can go out.
        TClock::time_point now = TClock::now();
        while (!sourceDone && !freeSlots.empty() && pending.size() < kMaxBacklog &&
               (!paced || now >= nextSend)) {
            if (!source(address)) {
                sourceDone = true;
                break;
            }
            const size_t index = nextIndex++;
            pending.push_back(TPending{address, {}, false, false});
            if (FServers.empty()) {
                finish(index, false, {}); // no server: callers check for one first
                continue;
            }
            const size_t server = index % FServers.size();
            if (!usable[server]) {
                finish(index, false, {});
                continue;
            }
            TSlot& slot = slots[freeSlots.back()];
            try {
                slot.Id = NewQueryId();
                slot.Query = CreateQuery(slot.Id, address, {qtPTR});
            } catch (const Exception&) {
                finish(index, false, {}); // not an address: nothing to ask
                continue;
            }
            int fd = -1;
            unsigned uses = 0;
            if (!idle[server].empty()) {
                fd = idle[server].back().Fd;
                uses = idle[server].back().Uses;
                idle[server].pop_back();
            } else {
                std::string error;
                fd = detail::OpenConnectedSocket(servers[server], true, error);
                if (fd < 0) {
                    finish(index, false, {});
                    continue;
                }
            }
            if (send(fd, slot.Query.data(), slot.Query.size(), MSG_NOSIGNAL) < 0) {
                close(fd);
                finish(index, false, {});
                continue;
            }
            slot.Fd = fd;
            slot.Server = server;
            slot.Uses = uses + 1;
            slot.Index = index;
            slot.Deadline = now + timeout;
            freeSlots.pop_back();
            if (paced) {
                // Sends late by the wait's granularity catch up, but no more credit
                // than kPaceSlack builds up while the run waits for a free slot.
                nextSend = std::max(nextSend, now - kPaceSlack) + interval;
                now = TClock::now();
            }
        }

        // Hand on the results that are next in order.
        while (!pending.empty() && pending.front().Done) {
            if (stopped()) break;
            TPending& p = pending.front();
            out.Index = firstIndex;
            out.Address = std::move(p.Address);
            out.HostName = std::move(p.HostName);
            out.Resolved = p.Resolved;
            sink(out);
            pending.pop_front();
            ++firstIndex;
            ++delivered;
        }
        if (stopped()) break;
        if (sourceDone && pending.empty()) break;

        // Wait for replies, the earliest deadline, the next sending time or a wake-up.
        pfds.clear();
        pslot.clear();
        TClock::time_point wakeAt = TClock::time_point::max();
        for (size_t s = 0; s < slots.size(); ++s) {
            if (slots[s].Fd < 0) continue;
            pfds.push_back(pollfd{slots[s].Fd, POLLIN, 0});
            pslot.push_back(s);
            wakeAt = std::min(wakeAt, slots[s].Deadline);
        }
        const bool canTake = !sourceDone && !freeSlots.empty() && pending.size() < kMaxBacklog;
        if (canTake) wakeAt = std::min(wakeAt, nextSend);
        if (FWakeRead >= 0) {
            pfds.push_back(pollfd{FWakeRead, POLLIN, 0});
            pslot.push_back(slots.size());
        }
        int waitMs = -1;
        if (wakeAt != TClock::time_point::max()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(wakeAt - TClock::now()).count();
            waitMs = static_cast<int>(std::clamp<long long>(left, 0, 0x7FFFFFFF));
        }
        if (pfds.empty() && waitMs < 0) break; // nothing can happen any more
        const int rc = poll(pfds.data(), pfds.size(), waitMs);
        if (rc < 0 && errno != EINTR) break;

        if (rc > 0) {
            for (size_t k = 0; k < pfds.size(); ++k) {
                if (pfds[k].revents == 0) continue;
                const size_t s = pslot[k];
                if (s == slots.size()) {
                    char drain[64];
                    while (read(FWakeRead, drain, sizeof drain) > 0) {
                    }
                    continue;
                }
                TSlot& slot = slots[s];
                // Every datagram waiting on the socket, until the reply or a failure.
                for (;;) {
                    const ssize_t n = recv(slot.Fd, buf.data(), buf.size(), MSG_TRUNC | MSG_DONTWAIT);
                    if (n < 0) {
                        if (errno == EINTR) continue;
                        if (errno == EAGAIN) break;
                        // ECONNREFUSED (port unreachable) and the like end the query.
                        finish(slot.Index, false, {});
                        closeSlot(s);
                        break;
                    }
                    const auto size = static_cast<size_t>(n);
                    const std::span<const uint8_t> data(buf.data(), std::min(size, buf.size()));
                    // A datagram too short or too long to judge ends the query (and
                    // the socket: the reply may still come); one that is not the
                    // reply is passed over; the reply is read.
                    bool replied = false;
                    if (size >= 12 && size <= kMaxReplySize) {
                        if (!IsReplyTo(data, slot.Query)) continue;
                        replied = true;
                        try {
                            FillResult(data, slot.Id, result);
                            const TPTRRecord* ptr = result.FirstPTR();
                            if (ptr != nullptr && !ptr->HostName.empty())
                                finish(slot.Index, true, ptr->HostName);
                            else
                                finish(slot.Index, false, {});
                        } catch (const Exception&) {
                            finish(slot.Index, false, {});
                        }
                    } else {
                        finish(slot.Index, false, {});
                    }
                    closeSlot(s, replied);
                    break;
                }
            }
        }

        // Queries whose waiting time is over.
        now = TClock::now();
        for (size_t s = 0; s < slots.size(); ++s) {
            if (slots[s].Fd >= 0 && now >= slots[s].Deadline) {
                finish(slots[s].Index, false, {});
                closeSlot(s);
            }
        }
    }
    return delivered;
}

} // namespace zarvo::dns
