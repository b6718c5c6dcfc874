#include "dns/LookupLines.h"

#include <algorithm>

#include "dns/DnsAddress.h"
#include "support/ZarvoText.h"

namespace zarvo::dns {

namespace {

bool IsCountryCode(std::string_view f) {
    return f.size() == 2 && f[0] >= 'A' && f[0] <= 'Z' && f[1] >= 'A' && f[1] <= 'Z';
}

// The address of a field without brackets or port: "[2001:db8::1]:80" and
// "[2001:db8::1]" give 2001:db8::1, "10.0.0.1:80" gives 10.0.0.1 (a single colon
// is a port), "2001:db8::1" (two or more colons) stays whole.
std::string_view CutPort(std::string_view f) {
    if (!f.empty() && f.front() == '[') {
        const size_t close = f.find(']');
        if (close != std::string_view::npos) return f.substr(1, close - 1);
        return f.substr(1);
    }
    const size_t colon = f.find(':');
    if (colon != std::string_view::npos && f.find(':', colon + 1) == std::string_view::npos)
        return f.substr(0, colon);
    return f;
}

bool IsAddress(std::string_view f) {
    TIPAddr ip;
    return !f.empty() && detail::ParseLookupAddress(f, ip);
}

std::string_view NthBlankField(std::string_view line, size_t n) {
    size_t pos = 0;
    for (size_t i = 0; i < n; ++i) pos = line.find(' ', pos) + 1;
    const size_t end = line.find(' ', pos);
    return line.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
}

} // namespace

std::string LookupAddressFromLine(std::string_view line, std::string_view customDelimiter) {
    line = Trim(line);
    const bool custom = !customDelimiter.empty() && line.find(customDelimiter) != std::string_view::npos;
    if (custom || line.find_first_of("\t,;") != std::string_view::npos) {
        // Fields between the delimiters, each possibly followed by a blank and a
        // country code: the first one that parses as an address.
        size_t pos = 0;
        while (pos <= line.size()) {
            size_t end = line.find_first_of("\t,; ", pos);
            size_t next = end == std::string_view::npos ? line.size() + 1 : end + 1;
            if (custom) {
                const size_t c = line.find(customDelimiter, pos);
                if (c != std::string_view::npos && (end == std::string_view::npos || c <= end)) {
                    end = c;
                    next = c + customDelimiter.size();
                }
            }
            if (end == std::string_view::npos) end = line.size();
            const std::string_view field = CutPort(Trim(line.substr(pos, end - pos)));
            if (IsAddress(field)) return std::string(field);
            pos = next;
        }
        return {};
    }
    // Blank-separated: [name, blank] address [":" port] [blank, country code].
    const size_t blanks = static_cast<size_t>(std::count(line.begin(), line.end(), ' '));
    std::string_view field;
    if (blanks == 0) {
        field = line;
    } else if (blanks == 1) {
        const std::string_view second = NthBlankField(line, 1);
        field = second.empty() || IsCountryCode(second) ? NthBlankField(line, 0) : second;
    } else {
        field = NthBlankField(line, 1);
    }
    return std::string(CutPort(field));
}

bool TLookupAddressFilter::Take(std::string_view line, std::string& address) {
    address = LookupAddressFromLine(line, FDelimiter);
    if (address.empty() || address == FLast) return false;
    FLast = address;
    return true;
}

std::vector<std::string> LookupAddressesFromLines(const std::vector<std::string>& lines,
                                                  std::string_view customDelimiter) {
    std::vector<std::string> out;
    TLookupAddressFilter filter{std::string(customDelimiter)};
    std::string address;
    for (const std::string& line : lines)
        if (filter.Take(line, address)) out.push_back(address);
    return out;
}

} // namespace zarvo::dns
