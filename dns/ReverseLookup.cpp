#include "dns/ReverseLookup.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "dns/DnsAddress.h"
#include "dns/LookupRun.h"
#include "net/uZarvo.h"
#include "support/ZarvoText.h"

namespace zarvo::dns {

namespace {

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
    char drain[64];
    while (read(FWakeRead, drain, sizeof drain) > 0) {
    }
    detail::TLookupRun run(FServers, FSettings, FWakeRead, {source, sink, stop, beforeWait});
    return run.Go();
}

} // namespace zarvo::dns
