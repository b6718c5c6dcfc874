// Which address a line of the output pane names, for the reverse lookup. The pane's
// lines are laid out as [name, delimiter] address [":" port] [blank, country code].
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zarvo::dns {

// The address of one line, without brackets or port; empty when the line names none.
// Blanks and control characters around the line are dropped first (so "address,
// blank, nothing" is the address).
// Fields separated by blanks: one field is the address; with two, the second one,
// unless it is a two-letter country code (A-Z) or empty, then the first; with more,
// the second. Fields separated by a tab, ",", ";" or customDelimiter (when not
// empty): the first field that parses as an address. A port is cut from
// "10.0.0.1:80" and "[2001:db8::1]:80"; "2001:db8::1" stays whole.
std::string LookupAddressFromLine(std::string_view line, std::string_view customDelimiter = {});

// Takes addresses line by line, passing over empty ones and any that equals the one
// taken just before it (the lines of one address with several ports).
class TLookupAddressFilter {
public:
    explicit TLookupAddressFilter(std::string customDelimiter = {})
        : FDelimiter(std::move(customDelimiter)) {}
    // The address to look up for this line, or false to pass the line over.
    bool Take(std::string_view line, std::string& address);

private:
    std::string FDelimiter;
    std::string FLast;
};

std::vector<std::string> LookupAddressesFromLines(const std::vector<std::string>& lines,
                                                  std::string_view customDelimiter = {});

} // namespace zarvo::dns
