// What one generation run is asked for, as one value: the range lines and the options,
// with their defaults. The window (TForm1::ReadRequest), the window's options as the
// settings file holds them (MakeGenerateRequest) and zarvo-cli generate (MakeCliRequest)
// each fill one; TZarvoUtils::BuildPlan reads it and nothing else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "generator/RunShape.h"
#include "net/uZarvo.h"
#include "support/StringList.h"

namespace zarvo {

// A memory budget for a run's lines that fits this machine: half of its physical
// memory (0, no budget, when that cannot be told). The default of
// TGenerateSettings::MemoryBudget, and read nowhere else.
uint64_t DefaultMemoryBudget();

// The count limit: a count in total or for each range may be at most this, and a
// range whose addresses are all wanted may span at most the bits that number it (2^20).
inline constexpr int32_t kMaxIPs = 1000000;

// Host-name settings of a run: the template with its counter symbol, the counter
// and the delimiter between name and address (and before the country code).
struct TNameSettings {
    std::string Template, Symbol;
    std::string Delimiter = " ";
    int32_t First = 1, Step = 1, Digits = 1;
};

// The value of each address's record that the country column shows by default.
inline constexpr const char* kDefaultCountryField = "country.iso_code";

// Where the finished lines go when not into the engine's list: chunks in order.
using TLineSink = std::function<void(const TStringList&)>;

// The options that the run reads as they were asked for: the request holds them, and
// the plan carries them on beside what BuildPlan compiles.
struct TGenerateSettings {
    TGenerateCounts Mode = gcAllCount; // all addresses, a count in total or for each range
    int32_t Count = 0;                 // by Mode; a count of 0 or less takes none
    bool RandomOrder = false;
    // A fixed seed makes a run reproducible; without it the clock seeds each run.
    std::optional<uint64_t> RandomSeed;
    bool UsableHosts = false; // drop each field's first and last address
    // Each address at most once across overlapping ranges, where it first appears;
    // counts count distinct addresses.
    bool Unique = false;
    // The share of the run's lines that this run makes (TShard); all of them by default.
    TShard Shard;
    // Count the lines the run would make (TZarvoUtils::LineCount) and make none.
    bool CountOnly = false;
    bool EscapeIPv6 = false; // IPv6 addresses as [address]
    bool LowerIPv6 = false;  // IPv6 hexadecimal digits in lower case (RFC 5952); upper case otherwise
    bool GenerateNames = false;
    TNameSettings Names; // only with GenerateNames
    bool ResolveCountry = false;
    std::string MMDBFilePath;
    // The value of an address's record that the column shows: a path of keys and array
    // indexes joined by dots, as "zarvo-cli lookup --field" reads and prints it.
    std::string CountryField = kDefaultCountryField;
    // With ResolveCountry: only the addresses the database places in these countries
    // (two-letter codes in upper case, by country.iso_code) are candidates; the counts
    // count them alone. None: every address.
    std::vector<std::string> OnlyCountries;
    // The threads that look up the country column, the run's own included: 0 for the
    // machine's (DefaultLookupLanes: one on two cores or fewer, else one per core beyond
    // the first, at most 4), 1 for none but the run's. The lines are the same either way.
    unsigned CountryLanes = 0;
    // Add to the lines already there (the engine's list, or the sink's owner's)
    // rather than replace them.
    bool Append = false;
    // The memory the run's lines may take, by TStringList::LineCost, counted as they
    // are made (the lines an appending run keeps included); 0 for none (the command
    // line, which streams). A run that needs more is broken off when its lines pass
    // the budget, with "Too many lines (more than N)\r\nMax. memory for the list: SIZE";
    // the engine's list then holds the lines it held before the run. Lines handed to
    // LineSink count too, and stay handed over.
    uint64_t MemoryBudget = DefaultMemoryBudget();
    // When set, the finished lines go to the sink in chunks, in order, instead of into
    // the engine's list (which the run then leaves alone), so that a writer can stream
    // a run of any size without holding it. Chunks handed over before a failure stay
    // handed over.
    TLineSink LineSink;
    // With LineSink and Append: the lines the sink's owner keeps ahead of the run's (a
    // window appending to its pane) and the memory they take. They count as the lines
    // the engine's list keeps do without a sink: against the budget, in its message
    // and in "N IPs generated.".
    size_t SinkKeptLines = 0;
    uint64_t SinkKeptBytes = 0;
};

// The request: the settings above, and what BuildPlan reads to compile the plan.
struct TGenerateRequest : TGenerateSettings {
    std::vector<std::string> IPRanges; // range lines, one a line
    // Wildcard masks of the addresses to drop (empty ones are passed over); none
    // when empty.
    std::vector<std::string> ExcludeMasks;
    // The port list as written ("80,3128-3130"), when each address gets a line per port.
    std::optional<std::string> Ports;
    int32_t MaxIPs = kMaxIPs;
    // When set, BuildPlan hands it the range lines and the places among them of the
    // lines that are neither a range nor a comment, which the run otherwise passes over
    // (as the window does); it may raise to refuse the run before any line is made.
    std::function<void(const std::vector<std::string>& lines, std::span<const size_t> places)> OnNoRanges;
};

} // namespace zarvo
