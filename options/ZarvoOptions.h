// Every option of the main window as plain values, in the form the controls hold
// them (texts as typed, list positions). The window copies its controls into one
// of these; the settings file and the command line read and write the same.
#pragma once

#include <string>
#include <vector>

#include "dns/ReverseLookup.h"
#include "generator/GenerateRequest.h"
#include "support/ListFile.h"

namespace zarvo {

// The name delimiter's list positions, as the settings file stores them.
enum TNameDelimiter : uint8_t { ndWhitespace = 0, ndTab = 1, ndComma = 2, ndSemicolon = 3, ndCustom = 4 };
inline constexpr int kNameDelimiterCount = 5;

struct TZarvoOptions {
    std::vector<std::string> IPRanges;     // ranges, one line each
    bool UsableHosts = false;              // "Usable host IP addresses"
    bool Unique = false;                   // "Unique IP addresses": each once across overlapping ranges
    bool Exclude = false;                  // "Exclude (example: *.0):"
    std::vector<std::string> ExcludeMasks; // one mask a line
    bool EscapeIPv6 = false;
    bool LowerIPv6 = false; // "IPv6 in lower case (RFC 5952)"
    bool AddPort = false;
    std::string Ports = "80";
    bool GenerateNames = false;
    std::string NameTemplate = "mail#.example.com";
    std::string CounterSymbol = "#";
    std::string FirstCounter = "1", CounterStep = "1", CounterDigits = "1";
    TNameDelimiter NameDelimiter = ndWhitespace;
    std::string NameCustomDelimiter = "|";
    TGenerateCounts Mode = gcAllCount; // "All IPs", "Total Count", "For Each Range"
    std::string TotalCount = "10", EachCount = "10";
    bool Random = false;
    bool Append = false;
    bool ResolveCountry = false;
    std::string MMDBFilePath;
    // The record field of the column ("Field:"), and the countries whose addresses
    // alone are kept ("Only countries:", codes separated by commas; none when blank).
    std::string CountryField = kDefaultCountryField;
    std::string OnlyCountries;
    TListDelimiter IPDelimiter = ldEndOfLine;
    TListDelimiter ResolvedDelimiter = ldEndOfLine, UnresolvedDelimiter = ldEndOfLine;
    std::vector<std::string> DNSServers = {"8.8.8.8", "8.8.4.4"};
    // The reverse lookup's queries: each one's wait for its reply, how many at once,
    // and how often one without a reply is sent again.
    unsigned DNSTimeoutMs = dns::kDefaultTimeoutMs;
    unsigned DNSInFlight = dns::kDefaultInFlight;
    unsigned DNSRetries = dns::kDefaultRetries;

    bool operator==(const TZarvoOptions&) const = default;
};

// A required value is empty; the window shows "Please, enter %s" with Caption.
class EOptionMissing : public Exception {
public:
    explicit EOptionMissing(std::string caption)
        : Exception(Format("Please, enter %s", caption.c_str())), Caption(std::move(caption)) {}
    std::string Caption;
};

// The name delimiter's text: a tab, ",", ";", the custom text, or one blank.
std::string NameDelimiterText(TNameDelimiter d, const std::string& custom);

// The generation request of the options, in the window's order: the options as the
// engine takes them (numbers from their texts, the name delimiter's text, the lists of
// switched-off options left out), with the request's defaults for the rest. Raises
// EOptionMissing for a missing database path, "'%s' is not a valid integer value"
// for a count or counter field that is not an integer, and ParseCountryCodes' message
// for a country that is not two letters. A blank field is the country code.
TGenerateRequest MakeGenerateRequest(TZarvoOptions options);

} // namespace zarvo
