#include "dns/DnsMessage.h"

#include <sys/random.h>

#include <array>
#include <cerrno>
#include <random>

#include "dns/DnsAddress.h"
#include "support/ByteCursor.h"
#include "support/ZarvoText.h"

namespace zarvo::dns {

namespace {

constexpr size_t kHeaderSize = 12;
constexpr size_t kMaxLabel = 63;     // RFC 1035 section 2.3.4
constexpr size_t kMaxNameWire = 255; // the same, length bytes included
constexpr uint16_t kFlagQR = 0x8000;
constexpr uint16_t kFlagRD = 0x0100;
constexpr uint16_t kFlagTC = 0x0200;

// Raised by the cursor for any read past the end of the reply; FillResult turns it
// into the resolver's own text with the reply's size.
constexpr const char* kTruncated = "truncated reply";

bool IsReverseSuffix(std::string_view name) {
    for (std::string_view suffix :
         {std::string_view("in-addr.arpa"), std::string_view("ip6.arpa"), std::string_view("ip6.int")}) {
        if (!EndsWithText(name, suffix)) continue;
        if (name.size() == suffix.size() || name[name.size() - suffix.size() - 1] == '.') return true;
    }
    return false;
}

void PutU16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

// The name in wire form: labels, each with its length byte, then the zero byte.
void PutName(std::vector<uint8_t>& out, std::string_view name) {
    if (!name.empty() && name.back() == '.') name.remove_suffix(1);
    const size_t start = out.size();
    size_t pos = 0;
    while (!name.empty() && pos <= name.size()) {
        size_t end = name.find('.', pos);
        if (end == std::string_view::npos) end = name.size();
        const size_t len = end - pos;
        if (len == 0) throw EIdDnsResolverError(Format("Empty Label in %s", std::string(name).c_str()));
        if (len > kMaxLabel)
            throw EIdDnsResolverError(Format("Label Too Long (%d bytes)", static_cast<int>(len)));
        out.push_back(static_cast<uint8_t>(len));
        out.insert(out.end(), name.begin() + static_cast<std::ptrdiff_t>(pos),
                   name.begin() + static_cast<std::ptrdiff_t>(end));
        pos = end + 1;
    }
    out.push_back(0);
    if (out.size() - start > kMaxNameWire)
        throw EIdDnsResolverError(Format("Name Too Long (%d bytes)", static_cast<int>(out.size() - start)));
}

// Reads the name at the cursor's position (RFC 1035 section 4.1.4) into wire form
// (length-prefixed labels and the final zero byte), leaving the cursor after the
// name as it stands there (after the first pointer, if any). Every pointer must lead
// strictly before the start of the labels it interrupts, so positions only fall and
// a loop cannot form.
void ReadNameWire(TByteCursor& c, std::string& wire) {
    wire.clear();
    TByteCursor at = c;
    size_t segmentStart = at.Tell();
    bool jumped = false;
    for (;;) {
        const uint8_t len = at.ReadU8();
        if (len == 0) break;
        if ((len & 0xC0) == 0xC0) {
            const size_t target = (static_cast<size_t>(len & 0x3F) << 8) | at.ReadU8();
            if (!jumped) {
                c.Seek(at.Tell());
                jumped = true;
            }
            if (target >= segmentStart)
                throw EIdDnsResolverError(Format("Invalid Name Pointer %d", static_cast<int>(target)));
            at.Seek(target);
            segmentStart = target;
            continue;
        }
        // 0x40 and 0x80 are the extended and reserved label types (RFC 6891 section 5).
        if (len > kMaxLabel) throw EIdDnsResolverError(Format("Invalid Label Type %d", len));
        const std::span<const uint8_t> label = at.ReadBytes(len);
        if (wire.size() + 1 + len + 1 > kMaxNameWire)
            throw EIdDnsResolverError(
                Format("Name Too Long (%d bytes)", static_cast<int>(wire.size() + 2 + len)));
        wire.push_back(static_cast<char>(len));
        wire.append(reinterpret_cast<const char*>(label.data()), label.size());
    }
    wire.push_back('\0');
    if (!jumped) c.Seek(at.Tell());
}

// The text form: labels joined by ".", no final dot, case as received. Bytes that
// would make the text ambiguous or unprintable are written as "\DDD" (RFC 1035
// section 5.1), so a label holding "." or "," cannot pass for two fields.
std::string WireToText(std::string_view wire) {
    std::string text;
    text.reserve(wire.size());
    size_t pos = 0;
    while (pos < wire.size()) {
        const size_t len = static_cast<uint8_t>(wire[pos++]);
        if (len == 0) break;
        if (!text.empty()) text += '.';
        for (size_t i = 0; i < len; ++i) {
            const auto ch = static_cast<uint8_t>(wire[pos + i]);
            if (ch > 0x20 && ch < 0x7F && ch != '.' && ch != '\\' && ch != ',' && ch != ';') {
                text += static_cast<char>(ch);
            } else {
                const char esc[4] = {'\\', static_cast<char>('0' + ch / 100),
                                     static_cast<char>('0' + ch / 10 % 10), static_cast<char>('0' + ch % 10)};
                text.append(esc, 4);
            }
        }
        pos += len;
    }
    return text;
}

// Wire forms equal without regard to ASCII case; length bytes (at most 63) are
// never letters, so the whole form can be compared at once.
bool SameWireName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

TDNSHeader ReadHeader(TByteCursor& c) {
    TDNSHeader h;
    h.ID = c.ReadU16();
    h.Flags = c.ReadU16();
    h.QDCount = c.ReadU16();
    h.ANCount = c.ReadU16();
    h.NSCount = c.ReadU16();
    h.ARCount = c.ReadU16();
    return h;
}

[[noreturn]] void FailRCode(uint8_t rcode) {
    switch (rcode) {
    case 1:
        throw EIdDnsResolverError("DNS Server Reports Query Format Error");
    case 2:
        throw EIdDnsResolverError("DNS Server Reports Query Server Error");
    case 3:
        throw EIdDnsResolverError("DNS Server Reports Query Name Error");
    case 4:
        throw EIdDnsResolverError("DNS Server Reports Query Not Implemented Error");
    case 5:
        throw EIdDnsResolverError("DNS Server Reports Query Refused Error");
    default:
        throw EIdDnsResolverError("Server Returned Unknown Error");
    }
}

// The records of a reply whose header checks passed (RFC 1035 section 4.1.3).
void ParseAnswers(TByteCursor& c, const TDNSHeader& h, TQueryResult& result) {
    std::string wire;
    for (unsigned q = 0; q < h.QDCount; ++q) {
        ReadNameWire(c, wire);
        const uint16_t type = c.ReadU16();
        const uint16_t qclass = c.ReadU16();
        if (h.QDCount == 1) {
            result.QuestionName = WireToText(wire);
            result.QuestionType = type;
            result.QuestionClass = qclass;
        }
    }
    const bool truncated = (h.Flags & kFlagTC) != 0;
    const unsigned counts[3] = {h.ANCount, h.NSCount, h.ARCount};
    for (uint8_t section = 0; section < 3; ++section) {
        for (unsigned i = 0; i < counts[section]; ++i) {
            // A truncated reply (TC) is read as far as it goes: whole records only.
            if (truncated && c.AtEnd()) return;
            try {
                ReadNameWire(c, wire);
                const uint16_t type = c.ReadU16();
                std::unique_ptr<TResultRecord> rec;
                if (type == qtPTR)
                    rec = std::make_unique<TPTRRecord>();
                else
                    rec = std::make_unique<TResultRecord>();
                rec->Name = WireToText(wire);
                rec->RecType = type;
                rec->RecClass = c.ReadU16();
                rec->TTL = c.ReadU32();
                rec->RDataLength = c.ReadU16();
                const size_t rdataStart = c.Tell();
                const std::span<const uint8_t> rdata = c.ReadBytes(rec->RDataLength);
                rec->RData.assign(rdata.begin(), rdata.end());
                rec->Section = section;
                if (type == qtPTR) {
                    // PTRDNAME (RFC 1035 section 3.3.12): its own bytes lie inside RDATA,
                    // its pointers may lead anywhere before them.
                    TByteCursor name(c.Data(), rdataStart + rec->RDataLength, kTruncated);
                    name.Seek(rdataStart);
                    ReadNameWire(name, wire);
                    static_cast<TPTRRecord&>(*rec).HostName = WireToText(wire);
                }
                result.Records.push_back(std::move(rec));
            } catch (const EIdDnsResolverError&) {
                throw;
            } catch (const Exception&) {
                if (!truncated) throw;
                return; // the record cut off by the truncation
            }
        }
    }
}

} // namespace

void TQueryResult::Clear() {
    QuestionName.clear();
    QuestionType = 0;
    QuestionClass = 0;
    Records.clear();
}

const TPTRRecord* TQueryResult::FirstPTR() const {
    for (const auto& r : Records)
        if (r->RecType == qtPTR) return static_cast<const TPTRRecord*>(r.get());
    return nullptr;
}

std::string ReverseName(std::string_view address) {
    std::string_view name = address;
    if (!name.empty() && name.back() == '.') name.remove_suffix(1);
    if (IsReverseSuffix(name)) return std::string(name);
    TIPAddr ip;
    if (!detail::ParseLookupAddress(address, ip))
        throw EIdDnsResolverError(Format("'%s' is not an IP address", std::string(address).c_str()));
    std::string out;
    if (ip.ip_family == IPv4) {
        // RFC 1035 section 3.5: the octets in reverse order.
        out.reserve(29);
        for (uint8_t o : {ip.IPv4.D, ip.IPv4.C, ip.IPv4.B, ip.IPv4.A}) {
            out += std::to_string(o);
            out += '.';
        }
        out += "in-addr.arpa";
    } else {
        // RFC 3596 section 2.5: one label per nibble, the lowest first.
        static constexpr char kHex[] = "0123456789abcdef";
        out.reserve(72);
        for (uint16_t g : ip.IPv6.Groups) {
            for (int shift = 0; shift < 16; shift += 4) {
                out += kHex[(g >> shift) & 0xF];
                out += '.';
            }
        }
        out += "ip6.arpa";
    }
    return out;
}

std::vector<uint8_t> CreateQuery(uint16_t id, std::string_view domain, const TQueryType& types,
                                 uint16_t qclass, bool recursion) {
    if (types.empty() || types.size() > 0xFFFF)
        throw EIdDnsResolverError(Format("Invalid Query Count %d", static_cast<int>(types.size())));
    const std::string name = ReverseName(domain);
    std::vector<uint8_t> out;
    out.reserve(kHeaderSize + (name.size() + 6) * types.size());
    // RFC 1035 section 4.1.1: QR 0, Opcode 0 (standard query), RD as asked.
    PutU16(out, id);
    PutU16(out, recursion ? kFlagRD : 0);
    PutU16(out, static_cast<uint16_t>(types.size()));
    PutU16(out, 0);
    PutU16(out, 0);
    PutU16(out, 0);
    for (TQueryRecordType t : types) {
        PutName(out, name);
        PutU16(out, t);
        PutU16(out, qclass);
    }
    return out;
}

bool IsReplyTo(std::span<const uint8_t> reply, std::span<const uint8_t> query) {
    if (reply.size() < kHeaderSize || query.size() < kHeaderSize || reply.size() > kMaxReplySize)
        return false;
    try {
        TByteCursor r(reply, kTruncated), q(query, kTruncated);
        const TDNSHeader rh = ReadHeader(r), qh = ReadHeader(q);
        if (rh.ID != qh.ID) return false;
        // A server that refuses or cannot read a query may answer without its
        // question (RFC 1035 section 4.1.1): that reply ends the query too.
        if (rh.QDCount == 0 && (rh.Flags & kFlagQR) != 0 && rh.RCode() != 0) return true;
        if (rh.QDCount != qh.QDCount) return false;
        std::string rname, qname;
        for (unsigned i = 0; i < qh.QDCount; ++i) {
            ReadNameWire(r, rname);
            ReadNameWire(q, qname);
            if (!SameWireName(rname, qname)) return false;
            if (r.ReadU16() != q.ReadU16() || r.ReadU16() != q.ReadU16()) return false;
        }
        return true;
    } catch (const Exception&) {
        return false;
    }
}

void FillResult(std::span<const uint8_t> reply, uint16_t expectedId, TQueryResult& result) {
    const int size = static_cast<int>(std::min<size_t>(reply.size(), 0x7FFFFFFF));
    if (reply.size() > kMaxReplySize) throw EIdDnsResolverError(Format("Invalid Packet Size %d", size));
    if (reply.size() < 5) throw EIdDnsResolverError("TimedOut");
    if (reply.size() < kHeaderSize)
        throw EIdDnsResolverError(Format("Received Packet is too small. Less than 12 bytes. %d", size));
    TByteCursor c(reply, kTruncated);
    const TDNSHeader h = ReadHeader(c);
    if (h.ID != expectedId) throw EIdDnsResolverError(Format("Invalid Header Id %d", h.ID));
    if (h.RCode() != 0) FailRCode(h.RCode());
    result.Clear();
    try {
        if (h.ANCount + h.NSCount + h.ARCount != 0 && reply.size() > kHeaderSize) ParseAnswers(c, h, result);
    } catch (const EIdDnsResolverError&) {
        result.Clear();
        throw;
    } catch (const Exception&) {
        result.Clear();
        throw EIdDnsResolverError(Format("Invalid Packet Size %d", size));
    }
    if (result.Records.empty()) throw EIdDnsResolverError(Format("Invalid Packet Size %d", size));
}

uint16_t NewQueryId() {
    // A small store of kernel randomness per thread keeps the system calls rare.
    thread_local std::array<uint16_t, 256> pool;
    thread_local size_t left = 0;
    for (;;) {
        if (left == 0) {
            size_t got = 0;
            auto* bytes = reinterpret_cast<uint8_t*>(pool.data());
            while (got < sizeof pool) {
                const ssize_t n = getrandom(bytes + got, sizeof pool - got, 0);
                if (n > 0) {
                    got += static_cast<size_t>(n);
                } else if (n < 0 && errno != EINTR) {
                    std::random_device rd;
                    for (auto& v : pool) v = static_cast<uint16_t>(rd());
                    got = sizeof pool;
                }
            }
            left = pool.size();
        }
        const uint16_t v = pool[--left];
        if (v != 0xFFFF) return v; // 0 to 65534, without bias
    }
}

} // namespace zarvo::dns
