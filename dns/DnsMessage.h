// The DNS messages of a reverse lookup (RFC 1035 section 4): the query that the
// resolver sends and the reading of the reply. Reply bytes are untrusted: every read
// goes through TByteCursor, and every failure is an EIdDnsResolverError.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "support/ZarvoText.h"

namespace zarvo::dns {

// A zarvo::Exception (so a std::runtime_error too).
class EIdDnsResolverError : public Exception {
public:
    using Exception::Exception;
};

// Record kinds by their TYPE value (RFC 1035 section 3.2.2, RFC 3596 for AAAA).
enum TQueryRecordType : uint16_t {
    qtA = 1,
    qtNS = 2,
    qtCNAME = 5,
    qtSOA = 6,
    qtPTR = 12,
    qtMX = 15,
    qtTXT = 16,
    qtAAAA = 28,
};

// The kinds asked for, one question each, in this order.
using TQueryType = std::vector<TQueryRecordType>;

// The largest reply read; a longer datagram is a failure.
inline constexpr size_t kMaxReplySize = 8192;

// The message header (RFC 1035 section 4.1.1).
struct TDNSHeader {
    uint16_t ID = 0;
    uint16_t Flags = 0; // QR, Opcode, AA, TC, RD, RA, Z, RCODE
    uint16_t QDCount = 0;
    uint16_t ANCount = 0;
    uint16_t NSCount = 0;
    uint16_t ARCount = 0;

    uint8_t RCode() const { return static_cast<uint8_t>(Flags & 0x000F); }
};

// One record of a reply, in the order it stands there.
class TResultRecord {
public:
    virtual ~TResultRecord() = default;

    // Owner name: labels joined by ".", no final dot, case as received; a byte of a
    // label that is not printable, or is one of . \ , ; is written "\DDD".
    std::string Name;
    uint16_t RecType = 0;
    uint16_t RecClass = 0;
    uint32_t TTL = 0;
    uint16_t RDataLength = 0;
    std::vector<uint8_t> RData;
    uint8_t Section = 0; // 0 answer, 1 authority, 2 additional
};

// A record whose RDATA is a domain name.
class TNAMERecord : public TResultRecord {
public:
    std::string HostName;
};

class TPTRRecord : public TNAMERecord {};

class TQueryResult {
public:
    // The reply's question, when it had exactly one.
    std::string QuestionName;
    uint16_t QuestionType = 0;
    uint16_t QuestionClass = 0;

    std::vector<std::unique_ptr<TResultRecord>> Records; // answer, authority, additional

    void Clear();
    // The first PTR record in record order, or null.
    const TPTRRecord* FirstPTR() const;
};

// The name asked for an address: "192.0.2.1" gives "1.2.0.192.in-addr.arpa", an IPv6
// address its nibble form under "ip6.arpa" (RFC 3596 section 2.5). A name that is
// already a reverse name ("...in-addr.arpa", "...ip6.arpa", "...ip6.int", any case)
// stands as given. Raises EIdDnsResolverError for text that is neither.
std::string ReverseName(std::string_view address);

// The query message: header with this ID, flags 0x0100 when recursion is asked (RD),
// one question per kind for ReverseName(domain), QCLASS qclass.
// Raises "Invalid Query Count %d" when types is empty.
std::vector<uint8_t> CreateQuery(uint16_t id, std::string_view domain, const TQueryType& types,
                                 uint16_t qclass = 1, bool recursion = true);

// Whether a datagram can be the reply to query at all: at least a header, the same ID,
// and the same question section (names compared without regard to ASCII case, type
// and class), or no question section in a reply (QR) with an error RCODE (a server
// that refuses the query or cannot read it). The exchange passes over datagrams that
// are not (a stray or spoofed datagram does not end a query); the socket takes only
// the server's datagrams.
bool IsReplyTo(std::span<const uint8_t> reply, std::span<const uint8_t> query);

// The reply checks and the record reading: raises EIdDnsResolverError with the
// resolver's texts ("TimedOut", "Received Packet is too small. Less than 12 bytes. %d",
// "Invalid Header Id %d", the RCODE texts, "Invalid Packet Size %d", ...); on success
// result holds the records. Names are read by RFC 1035 section 4.1.4; every
// compression pointer must lead before the labels it interrupts (so no loop can
// form), and a name over 255 bytes, a pointer elsewhere, an extended label type, or
// a field or RDATA past the end is a failure. A PTR record's own name bytes lie
// within its RDATA. A truncated reply (TC) gives the records that it holds whole.
void FillResult(std::span<const uint8_t> reply, uint16_t expectedId, TQueryResult& result);

// A fresh query ID, 0 to 65534, from the process's random source (unpredictable,
// so that a reply cannot be guessed).
uint16_t NewQueryId();

} // namespace zarvo::dns
