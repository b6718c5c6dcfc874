// The reverse lookup of a list of addresses: PTR queries over UDP, several in flight,
// the servers taken in turn (address I to server I mod N), each query with its own
// waiting time and the sends that are lost made again within it, results handed on
// in address order. The window and zarvo-cli rdns
// both run it; it owns no thread of its own and blocks the caller until the list is
// done or a stop is asked.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/ZarvoText.h"

namespace zarvo::dns {

// A failure of a lookup run as a whole (a server name that does not resolve, no
// socket or descriptor to be had, a wait that fails), as against the failure of one
// query, which only leaves its address unresolved.
class EReverseLookupError : public Exception {
public:
    using Exception::Exception;
};

// A server as the server list holds it: "192.0.2.53", "192.0.2.53:5353",
// "2001:db8::53", "[2001:db8::53]:5353", or a host name ("dns.example",
// "dns.example:5353"). Host is the address or name without brackets or port.
struct TDnsServer {
    std::string Entry; // as given
    std::string Host;
    uint16_t Port = 53;
};

// The entry read as a server, blanks around it ignored; nothing for text that cannot
// name one (blank, a blank inside, a bad port, unbalanced brackets, an IPv6 address
// that does not parse, a host name of other characters than letters, digits, "-",
// "_" and dots, or with an empty label or one over 63 characters).
std::optional<TDnsServer> ParseServerEntry(std::string_view entry);

// An entry that may hold several servers separated by "," or ";" (no server entry
// holds either), each part read by ParseServerEntry; false when a part names none
// (an empty one too), with that part in badPart.
bool ParseServerList(std::string_view entry, std::vector<TDnsServer>& servers, std::string& badPart);

// The lookup's defaults and bounds, the same for the window, its settings file and
// zarvo-cli rdns (whose help names them from here).
inline constexpr unsigned kDefaultInFlight = 32;
inline constexpr unsigned kMaxInFlight = 1024;
inline constexpr unsigned kDefaultTimeoutMs = 5000;
// A query waits at most an hour: anything longer is a typing error.
inline constexpr unsigned kMaxTimeoutMs = 3600000;
// Sends after the first for a query without a reply, as dig's +tries=3.
inline constexpr unsigned kDefaultRetries = 2;
inline constexpr unsigned kMaxRetries = 10;
inline constexpr unsigned kMaxRateQps = 1000000;

struct TLookupSettings {
    // Queries outstanding at once, at least 1 (at most half the file limit). The run
    // starts with at most kDefaultInFlight and widens to this as answers come; lost
    // datagrams with a queue at the server narrow it again (dns/LookupPace.h).
    unsigned InFlight = kDefaultInFlight;
    // Each query's whole waiting time, from its first send: its resends go out within
    // it, and it ends no later, however many there were.
    unsigned TimeoutMs = kDefaultTimeoutMs;
    // Sends after the first, each from a fresh socket, after a wait that doubles
    // (dns/LookupPace.h); 0 for one send only.
    unsigned Retries = kDefaultRetries;
    double RateQps = 0; // sends per second at most, resends included; 0 for no limit
};

// How an address's query ended.
enum class TLookupStatus : uint8_t {
    Answer,      // NOERROR with a PTR record: resolved
    NoPtr,       // NOERROR without a PTR record
    RCode,       // an error RCODE (TLookupResult::RCode)
    Timeout,     // no reply to any send within the waiting time
    Malformed,   // a reply that failed the checks (or too short or long to judge)
    Unreachable, // the send failed, or the network told the server's port unreachable
    NotAsked,    // not an address, or no server to ask
};

// One address done, in address order.
struct TLookupResult {
    size_t Index = 0;     // position among the addresses looked up, from 0
    std::string Address;  // as the source gave it
    std::string HostName; // the first PTR record's name; empty when unresolved
    bool Resolved = false;
    TLookupStatus Status = TLookupStatus::NotAsked;
    uint8_t RCode = 0;  // the reply's RCODE (0 to 15)
    std::string Server; // the server asked: "192.0.2.53:53", "[2001:db8::53]:53"; empty when none
    unsigned Tries = 0; // datagrams sent for the address (1 + the resends)
    double RttMs = 0;   // from the first sending to the end of the query, in milliseconds
};

// The status as a word: "NOERROR", "NOPTR", the RCODE's mnemonic ("NXDOMAIN",
// "SERVFAIL", ... by the IANA registry; "RESERVED12" to "RESERVED15"), "TIMEOUT",
// "MALFORMED", "UNREACHABLE", "NOTASKED".
std::string_view LookupStatusName(TLookupStatus status, uint8_t rcode);

class TReverseLookup {
public:
    // Gives the next address, or false at the end of the list. Called on the
    // running thread, only when a query can be sent.
    using TSource = std::function<bool(std::string& address)>;
    // Receives each result in address order, on the running thread.
    using TSink = std::function<void(const TLookupResult& result)>;
    // Called on the running thread before the run may block waiting for replies,
    // the results ready so far handed on: the moment to flush what the sink wrote.
    using TWaitHook = std::function<void()>;

    // Raises EReverseLookupError when the run's wake-up pipe cannot be made.
    TReverseLookup(std::vector<TDnsServer> servers, TLookupSettings settings);
    ~TReverseLookup();
    TReverseLookup(const TReverseLookup&) = delete;
    TReverseLookup& operator=(const TReverseLookup&) = delete;

    // Looks up every address the source gives. Host names among the servers are
    // resolved once, at the start. When *stop turns true the run ends at once: queries
    // in flight are abandoned, and neither their addresses nor any after them reach
    // the sink. Returns the number of results handed to the sink. Without any server
    // (callers check for one first) every address is unresolved. Every datagram goes
    // out from a socket of its own, on a fresh random port (RFC 5452), closed when its
    // query ends. A query without a reply is sent again (Retries) within its waiting
    // time; a reply to any of its sends counts, and only from the server asked, to
    // that send's socket, with the query's ID and question (see IsReplyTo); other
    // datagrams are passed over while the wait goes on. A query fails alone (its
    // address unresolved, with its status); what keeps the run from going on raises
    // EReverseLookupError and ends it there: a server name that does not resolve, a
    // socket that cannot be made, a failing wait. Out of descriptors the run keeps
    // fewer queries in flight (a resend takes the socket of its query's oldest
    // send), and fails only when none is in flight.
    size_t Run(const TSource& source, const TSink& sink, const std::atomic<bool>* stop = nullptr,
               const TWaitHook& beforeWait = {});

    // Wakes a Run blocked in its wait, from any thread, after *stop was set.
    void Wake();

private:
    std::vector<TDnsServer> FServers;
    TLookupSettings FSettings;
    int FWakeRead = -1, FWakeWrite = -1; // a pipe that Wake writes to
};

} // namespace zarvo::dns
