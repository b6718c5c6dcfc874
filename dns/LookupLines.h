// Which address a line of the output pane names, for the reverse lookup. The pane's
// lines are laid out as [name, delimiter] address [":" port] [blank, country code].
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zarvo::dns {

// What one line gives the lookup.
struct TLookupLine {
    std::string Address;       // without brackets or port; empty when the line names none
    size_t OtherAddresses = 0; // fields that are addresses other than Address: not asked
};

// The address of one line. Blanks and control characters around the line are
// dropped first (so "address, blank, nothing" is the address).
// Fields separated by blanks: one field is the address; with two, the second one,
// unless it is a two-letter country code (A-Z) or empty, then the first; with more,
// the second; when the field so chosen is not an address, the first field that is.
// Fields separated by a tab, ",", ";" or customDelimiter (when not empty): the first
// field that is an address. A port is cut from "10.0.0.1:80" and "[2001:db8::1]:80";
// "2001:db8::1" stays whole. An address is IPv4 in dotted decimal or IPv6; a line
// without one ("junk", "10.0.0.256", "h,10.0.0.256") names none.
TLookupLine ReadLookupLine(std::string_view line, std::string_view customDelimiter = {});

// ReadLookupLine(...).Address.
std::string LookupAddressFromLine(std::string_view line, std::string_view customDelimiter = {});

// Reads lines in order, telling which of them are looked up: the lines of one
// address with several ports follow each other and are asked once.
class TLookupAddressFilter {
public:
    enum class TVerdict {
        Empty,     // nothing but blanks: passed over
        NoAddress, // text, but no address in it
        Repeat,    // the address of the line just before (line.Address holds it)
        Address,   // an address to look up
    };

    explicit TLookupAddressFilter(std::string customDelimiter = {})
        : FDelimiter(std::move(customDelimiter)) {}

    TVerdict Read(std::string_view line, TLookupLine& out);
    // The window's reading: false to pass the line over (empty, or a repeat); a line
    // without an address gives its text, which the lookup then files as unresolved.
    bool Take(std::string_view line, std::string& address);

private:
    std::string FDelimiter;
    std::string FLast;
    TLookupLine FLine;
};

std::vector<std::string> LookupAddressesFromLines(const std::vector<std::string>& lines,
                                                  std::string_view customDelimiter = {});

} // namespace zarvo::dns
