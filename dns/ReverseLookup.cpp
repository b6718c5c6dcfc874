#include "dns/ReverseLookup.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <span>

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

// Failures of socket() that a socket closed elsewhere can cure.
bool OutOfDescriptors(int err) {
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

// The sockets of a run that wait for their next query, per server; closed with it.
class TSocketPool {
public:
    enum class TOpen { Ready, Failed, NoDescriptor };

    explicit TSocketPool(size_t servers) : FIdle(servers) {}
    ~TSocketPool() { CloseIdle(); }
    TSocketPool(const TSocketPool&) = delete;
    TSocketPool& operator=(const TSocketPool&) = delete;

    // A socket for a query to server: one kept from an earlier query, or a new one
    // (uses: the queries it has served). Out of descriptors, the kept sockets of every
    // server are closed and a new one is tried once more: NoDescriptor when that fails
    // too. A socket that cannot be made for another reason fails the run; one that
    // cannot be connected fails the query (Failed).
    TOpen Acquire(size_t server, const detail::TServerAddress& address, int& fd, unsigned& uses) {
        std::vector<TIdleSocket>& idle = FIdle[server];
        if (!idle.empty()) {
            fd = idle.back().Fd;
            uses = idle.back().Uses;
            idle.pop_back();
            return TOpen::Ready;
        }
        uses = 0;
        for (bool retried = false;; retried = true) {
            std::string error;
            fd = detail::OpenConnectedSocket(address, true, error, &FErrno);
            if (fd >= 0) return TOpen::Ready;
            if (FErrno == 0) return TOpen::Failed;
            if (!OutOfDescriptors(FErrno))
                throw EReverseLookupError(Format("Cannot open a socket: %s", std::strerror(FErrno)));
            if (retried || !CloseIdle()) return TOpen::NoDescriptor;
        }
    }
    // A socket whose query has ended: kept for the server's next query when it may be.
    void Release(size_t server, int fd, unsigned uses, bool keep) {
        if (keep)
            FIdle[server].push_back(TIdleSocket{fd, uses});
        else
            close(fd);
    }
    // The reason of the last NoDescriptor.
    int Errno() const { return FErrno; }

private:
    // Whether there was any to close.
    bool CloseIdle() {
        bool any = false;
        for (auto& list : FIdle) {
            for (const TIdleSocket& i : list) close(i.Fd);
            any |= !list.empty();
            list.clear();
        }
        return any;
    }

    std::vector<std::vector<TIdleSocket>> FIdle;
    int FErrno = 0;
};

// The servers' socket addresses; host names are resolved here, once per run, and a
// name that does not resolve fails the run: its addresses would all come back
// unresolved, which reads as an answer.
std::vector<detail::TServerAddress> ResolveServers(const std::vector<TDnsServer>& servers) {
    std::vector<detail::TServerAddress> out(servers.size());
    for (size_t i = 0; i < servers.size(); ++i) {
        std::string error;
        if (!detail::ResolveServerAddress(servers[i].Host, servers[i].Port, AF_UNSPEC, out[i], error))
            throw EReverseLookupError("Cannot resolve the DNS server " + error);
    }
    return out;
}

// Each query in flight holds a socket: stay well inside the process's file limit.
size_t InFlightLimit(unsigned wanted) {
    size_t n = wanted;
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY)
        n = std::min<size_t>(n, files.rlim_cur > 128 ? files.rlim_cur / 2 : 16);
    return std::clamp<size_t>(n, 1, kMaxBacklog);
}

// Waits as poll does, through signals; a wait that fails fails the run.
int Wait(std::vector<pollfd>& pfds, int waitMs) {
    const int rc = poll(pfds.data(), pfds.size(), waitMs);
    if (rc < 0 && errno != EINTR)
        throw EReverseLookupError(Format("Cannot wait for DNS replies: %s", std::strerror(errno)));
    return rc;
}

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
    TLookupStatus Status = TLookupStatus::NotAsked;
    uint8_t RCode = 0;
    size_t Server = SIZE_MAX; // none asked
    unsigned Tries = 0;
    double RttMs = 0;
};

// How a query ended: the status, the RCODE, the name of an answer.
struct TOutcome {
    TLookupStatus Status = TLookupStatus::NotAsked;
    uint8_t RCode = 0;
    std::string HostName;
};

// The outcome of a datagram that IsReplyTo took for the reply to the query of id.
TOutcome ReadReply(std::span<const uint8_t> data, uint16_t id, TQueryResult& result) {
    TOutcome o;
    try {
        FillResult(data, id, result);
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
    const TPTRRecord* ptr = result.FirstPTR();
    if (ptr == nullptr || ptr->HostName.empty()) {
        o.Status = TLookupStatus::NoPtr;
        return o;
    }
    o.Status = TLookupStatus::Answer;
    o.HostName = ptr->HostName;
    return o;
}

// "192.0.2.53:53", "[2001:db8::53]:53", "[fe80::1%lo]:53".
std::string ServerText(const detail::TServerAddress& server) {
    char host[NI_MAXHOST], port[NI_MAXSERV];
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&server.Addr), server.Length, host, sizeof host, port,
                    sizeof port, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return {};
    if (server.Addr.ss_family == AF_INET6) return std::string("[") + host + "]:" + port;
    return std::string(host) + ":" + port;
}

// One query in flight.
struct TSlot {
    int Fd = -1;
    size_t Server = 0;
    unsigned Uses = 0; // queries sent on Fd so far
    size_t Index = 0;  // of the address
    uint16_t Id = 0;
    std::vector<uint8_t> Query;
    TClock::time_point SentAt, Deadline;
};

// A host name the system's resolver could be asked for: letters, digits, "-" and
// "_" in labels of 1 to 63 characters between dots (one may end it), 253 at most.
bool IsHostName(std::string_view name) {
    if (!name.empty() && name.back() == '.') name.remove_suffix(1);
    if (name.empty() || name.size() > 253) return false;
    size_t label = 0;
    for (const char c : name) {
        if (c == '.') {
            if (label == 0) return false;
            label = 0;
        } else if (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_') {
            if (++label > 63) return false;
        } else {
            return false;
        }
    }
    return label > 0;
}

} // namespace

std::string_view LookupStatusName(TLookupStatus status, uint8_t rcode) {
    // RCODEs 0 to 15 (the header's four bits) by the IANA registry.
    static constexpr std::array<std::string_view, 16> kRCodes = {
        "NOERROR",    "FORMERR",    "SERVFAIL",   "NXDOMAIN",  "NOTIMP",  "REFUSED",
        "YXDOMAIN",   "YXRRSET",    "NXRRSET",    "NOTAUTH",   "NOTZONE", "DSOTYPENI",
        "RESERVED12", "RESERVED13", "RESERVED14", "RESERVED15"};
    switch (status) {
    case TLookupStatus::Answer:
        return "NOERROR";
    case TLookupStatus::NoPtr:
        return "NOPTR";
    case TLookupStatus::RCode:
        return kRCodes[rcode & 0x0F];
    case TLookupStatus::Timeout:
        return "TIMEOUT";
    case TLookupStatus::Malformed:
        return "MALFORMED";
    case TLookupStatus::Unreachable:
        return "UNREACHABLE";
    case TLookupStatus::NotAsked:
        break;
    }
    return "NOTASKED";
}

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
        if (!IsHostName(text)) return std::nullopt;
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
    if (!IsHostName(s.Host)) return std::nullopt;
    return s;
}

bool ParseServerList(std::string_view entry, std::vector<TDnsServer>& servers, std::string& badPart) {
    size_t pos = 0;
    for (;;) {
        const size_t end = std::min(entry.find_first_of(",;", pos), entry.size());
        const std::string_view part = entry.substr(pos, end - pos);
        std::optional<TDnsServer> server = ParseServerEntry(part);
        if (!server) {
            badPart = std::string(part);
            return false;
        }
        servers.push_back(std::move(*server));
        if (end == entry.size()) return true;
        pos = end + 1;
    }
}

TReverseLookup::TReverseLookup(std::vector<TDnsServer> servers, TLookupSettings settings)
    : FServers(std::move(servers)), FSettings(settings) {
    if (FSettings.InFlight == 0) FSettings.InFlight = 1;
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
        throw EReverseLookupError(Format("Cannot start the lookup: %s", std::strerror(errno)));
    FWakeRead = fds[0];
    FWakeWrite = fds[1];
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

size_t TReverseLookup::Run(const TSource& source, const TSink& sink, const std::atomic<bool>* stop,
                           const TWaitHook& beforeWait) {
    const auto stopped = [stop] { return stop != nullptr && stop->load(std::memory_order_relaxed); };
    char drain[64];
    while (read(FWakeRead, drain, sizeof drain) > 0) {
    }

    const std::vector<detail::TServerAddress> servers = ResolveServers(FServers);
    std::vector<std::string> serverTexts;
    for (const detail::TServerAddress& a : servers) serverTexts.push_back(ServerText(a));
    const size_t inFlightMax = InFlightLimit(FSettings.InFlight);
    // Lowered when descriptors run out: no more queries in flight than then.
    size_t inFlightCap = inFlightMax;
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
    bool held = false; // address was taken but waits for a descriptor
    std::vector<pollfd> pfds;
    std::vector<size_t> pslot;
    pfds.reserve(inFlightMax + 1);
    pslot.reserve(inFlightMax + 1);
    std::array<uint8_t, detail::kReceiveBuffer> buf;
    TQueryResult result;
    TLookupResult out;
    std::string address;

    TSocketPool pool(FServers.size());
    // Ends the slot's query; its socket waits for the next query to the same server
    // when it ended by a reply (nothing of its own query can still arrive).
    const auto closeSlot = [&](size_t s, bool reusable = false) {
        TSlot& slot = slots[s];
        pool.Release(slot.Server, slot.Fd, slot.Uses, reusable && slot.Uses < kSocketUses);
        slot.Fd = -1;
        freeSlots.push_back(s);
    };
    // Ends an address's query with its outcome; slot: the query in flight, if any.
    const auto finish = [&](size_t index, TOutcome o, const TSlot* slot) {
        TPending& p = pending[index - firstIndex];
        p.Done = true;
        p.Status = o.Status;
        p.RCode = o.RCode;
        p.HostName = std::move(o.HostName);
        if (slot != nullptr) {
            p.Server = slot->Server;
            p.Tries = 1;
            p.RttMs = std::chrono::duration<double, std::milli>(TClock::now() - slot->SentAt).count();
        }
    };
    const auto fail = [&](size_t index, TLookupStatus status, const TSlot* slot) {
        finish(index, TOutcome{status, 0, {}}, slot);
    };
    const auto canTake = [&] {
        return !sourceDone && inFlightMax - freeSlots.size() < inFlightCap && pending.size() < kMaxBacklog;
    };
    // Sockets still in flight when the run ends (a stop, a failure, or a source or
    // sink that throws) are closed on the way out.
    struct TCloseAll {
        std::vector<TSlot>& Slots;
        ~TCloseAll() {
            for (TSlot& s : Slots)
                if (s.Fd >= 0) close(s.Fd);
        }
    } closeAll{slots};

    for (;;) {
        if (stopped()) break;

        // Take addresses while a query can go out.
        TClock::time_point now = TClock::now();
        while (canTake() && (!paced || now >= nextSend)) {
            if (!held && !source(address)) {
                sourceDone = true;
                break;
            }
            held = false;
            const size_t index = nextIndex;
            const size_t server = FServers.empty() ? 0 : index % FServers.size();
            TSlot& slot = slots[freeSlots.back()];
            bool ask = !FServers.empty(); // no server: callers check for one first
            try {
                slot.Id = NewQueryId();
                if (ask) slot.Query = CreateQuery(slot.Id, address, {qtPTR});
            } catch (const EIdDnsResolverError&) {
                ask = false; // not an address: nothing to ask
            }
            int fd = -1;
            const TSocketPool::TOpen open =
                ask ? pool.Acquire(server, servers[server], fd, slot.Uses) : TSocketPool::TOpen::Failed;
            if (open == TSocketPool::TOpen::NoDescriptor) {
                if (freeSlots.size() == inFlightMax)
                    throw EReverseLookupError(
                        Format("Cannot open a socket: %s", std::strerror(pool.Errno())));
                inFlightCap = inFlightMax - freeSlots.size(); // the address waits for one of them
                held = true;
                break;
            }
            ++nextIndex;
            pending.push_back(TPending{address, {}, false});
            if (open == TSocketPool::TOpen::Ready &&
                send(fd, slot.Query.data(), slot.Query.size(), MSG_NOSIGNAL) < 0) {
                close(fd);
                fd = -1;
                pending.back().Tries = 1;
            }
            if (fd < 0) {
                pending.back().Server = ask ? server : SIZE_MAX;
                fail(index, ask ? TLookupStatus::Unreachable : TLookupStatus::NotAsked, nullptr);
                continue;
            }
            slot.Fd = fd;
            slot.Server = server;
            ++slot.Uses;
            slot.Index = index;
            slot.SentAt = now;
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
            out.Resolved = p.Status == TLookupStatus::Answer;
            out.Status = p.Status;
            out.RCode = p.RCode;
            if (p.Server < serverTexts.size())
                out.Server = serverTexts[p.Server];
            else
                out.Server.clear();
            out.Tries = p.Tries;
            out.RttMs = p.RttMs;
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
        if (canTake()) wakeAt = std::min(wakeAt, nextSend);
        pfds.push_back(pollfd{FWakeRead, POLLIN, 0});
        pslot.push_back(slots.size());
        int waitMs = -1;
        if (wakeAt != TClock::time_point::max()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(wakeAt - TClock::now()).count();
            waitMs = static_cast<int>(std::clamp<long long>(left, 0, 0x7FFFFFFF));
        }
        if (beforeWait && waitMs != 0) beforeWait();
        const int rc = Wait(pfds, waitMs);

        if (rc > 0) {
            for (size_t k = 0; k < pfds.size(); ++k) {
                if (pfds[k].revents == 0) continue;
                const size_t s = pslot[k];
                if (s == slots.size()) {
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
                        fail(slot.Index, TLookupStatus::Unreachable, &slot);
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
                        finish(slot.Index, ReadReply(data, slot.Id, result), &slot);
                    } else {
                        fail(slot.Index, TLookupStatus::Malformed, &slot);
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
                fail(slots[s].Index, TLookupStatus::Timeout, &slots[s]);
                closeSlot(s);
            }
        }
    }
    return delivered;
}

} // namespace zarvo::dns
