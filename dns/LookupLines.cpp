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

// Gathers the address fields of a line: the one asked, and how many others it holds.
class TAddressFields {
public:
    // A field as it stands, port and all; chosen: the field the line's rule names.
    void Add(std::string_view field, bool chosen = false) {
        const std::string_view a = CutPort(Trim(field));
        if (!IsAddress(a)) return;
        if (FFound && a == FAddress) return;
        if (!FFound || (chosen && !FChosen)) {
            if (FFound) ++FOthers; // the first one found gives way to the chosen one
            FAddress = a;
            FFound = true;
            FChosen = chosen;
            return;
        }
        ++FOthers;
    }
    TLookupLine Result() const { return {std::string(FAddress), FOthers}; }

private:
    std::string_view FAddress;
    size_t FOthers = 0;
    bool FFound = false, FChosen = false;
};

// Fields between a tab, ",", ";", a blank or the custom delimiter (each possibly
// followed by a blank and a country code).
void DelimitedFields(std::string_view line, std::string_view custom, TAddressFields& fields) {
    size_t pos = 0;
    while (pos <= line.size()) {
        size_t end = line.find_first_of("\t,; ", pos);
        size_t next = end == std::string_view::npos ? line.size() + 1 : end + 1;
        if (!custom.empty()) {
            const size_t c = line.find(custom, pos);
            if (c != std::string_view::npos && (end == std::string_view::npos || c <= end)) {
                end = c;
                next = c + custom.size();
            }
        }
        if (end == std::string_view::npos) end = line.size();
        fields.Add(line.substr(pos, end - pos));
        pos = next;
    }
}

// Blank-separated: [name, blank] address [":" port] [blank, country code].
void BlankFields(std::string_view line, TAddressFields& fields) {
    const size_t blanks = static_cast<size_t>(std::count(line.begin(), line.end(), ' '));
    size_t chosen = 1;
    if (blanks == 0) {
        chosen = 0;
    } else if (blanks == 1) {
        const std::string_view second = line.substr(line.find(' ') + 1);
        if (second.empty() || IsCountryCode(second)) chosen = 0;
    }
    size_t pos = 0;
    for (size_t i = 0; pos <= line.size(); ++i) {
        size_t end = line.find(' ', pos);
        if (end == std::string_view::npos) end = line.size();
        fields.Add(line.substr(pos, end - pos), i == chosen);
        pos = end + 1;
    }
}

} // namespace

TLookupLine ReadLookupLine(std::string_view line, std::string_view customDelimiter) {
    line = Trim(line);
    TAddressFields fields;
    const bool custom = !customDelimiter.empty() && line.find(customDelimiter) != std::string_view::npos;
    if (custom || line.find_first_of("\t,;") != std::string_view::npos)
        DelimitedFields(line, custom ? customDelimiter : std::string_view(), fields);
    else
        BlankFields(line, fields);
    return fields.Result();
}

std::string LookupAddressFromLine(std::string_view line, std::string_view customDelimiter) {
    return ReadLookupLine(line, customDelimiter).Address;
}

TLookupAddressFilter::TVerdict TLookupAddressFilter::Read(std::string_view line, TLookupLine& out) {
    out = ReadLookupLine(line, FDelimiter);
    if (out.Address.empty()) {
        if (Trim(line).empty()) return TVerdict::Empty;
        FLast.clear();
        return TVerdict::NoAddress;
    }
    if (out.Address == FLast) return TVerdict::Repeat;
    FLast = out.Address;
    return TVerdict::Address;
}

bool TLookupAddressFilter::Take(std::string_view line, std::string& address) {
    switch (Read(line, FLine)) {
    case TVerdict::Empty:
    case TVerdict::Repeat:
        return false;
    case TVerdict::NoAddress:
        address = Trim(line);
        return true;
    case TVerdict::Address:
        break;
    }
    address = std::move(FLine.Address);
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
