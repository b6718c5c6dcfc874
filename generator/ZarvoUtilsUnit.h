// The generation engine: turns range lines into per-range plans, enumerates them
// and composes the output lines.
#pragma once

#include <algorithm>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "generator/GenerateRequest.h"
#include "generator/RunShape.h"
#include "net/uZarvo.h"
#include "support/ProgressSink.h"
#include "support/StringList.h"

namespace zarvo {

// One address's answer in a batch: the code, or the error that looking it up raises.
struct TCountryAnswer {
    std::string Code;
    std::exception_ptr Error;
};

// Gives the two-letter country code of an address, or "" when the database has
// none. One is opened per run, before any address is enumerated.
class TCountryColumn {
public:
    virtual ~TCountryColumn() = default;
    virtual std::string CountryCode(const TIPAddr& addr) = 0;
    // The answers for many addresses, in order: answers[k] holds what CountryCode
    // gives for addrs[k], or the error it raises. Their tree walks overlap, which
    // makes a run's many lookups faster than one at a time.
    virtual void CountryCodes(std::span<const TIPAddr> addrs, std::span<TCountryAnswer> answers) = 0;
    // Another column over the same opened database, for another thread; it may be made
    // on that thread while this one is in use.
    virtual std::unique_ptr<TCountryColumn> Twin() const = 0;
};
class TMMDBReader;
// Opens the database at path, or takes an opened one, for a column of field (a path
// as "lookup --field" reads it; the country code by default); raises the reader's
// errors and, for a field path with an empty part, its message.
std::unique_ptr<TCountryColumn> OpenCountryColumn(const std::string& path,
                                                  const std::string& field = kDefaultCountryField);
std::unique_ptr<TCountryColumn> OpenCountryColumn(std::unique_ptr<TMMDBReader> reader,
                                                  const std::string& field);

// Whether the run keeps only the addresses of chosen countries (--only-country).
inline bool OnlyCountriesOn(const TGenerateSettings& s) {
    return s.ResolveCountry && !s.OnlyCountries.empty();
}

// One range line, parsed: its field is the Span bits from StepBits up. Position k of
// the field is First with k placed StepBits up, and below that RandomBits bits drawn at
// random. Small, as a run may have millions of range lines: the field's last address
// and the range's label are made when they are needed.
struct TRangePlan {
    TIPAddr First; // the typed address with the field's bits 0
    uint8_t StepBits = 0, RandomBits = 0;
    uint8_t Span = 0; // the field's width in bits
    uint64_t Positions() const { return uint64_t{1} << std::min<int>(Span, 63); }
    // First with the field's bits all 1.
    TIPAddr Last() const;
};

// A port list as written ("80,3128-3130"): its ranges in order, each from Low
// to High. It is never expanded: a line is made for each port as it is needed.
struct TPortRange {
    uint16_t Low = 0, High = 0;
    bool operator==(const TPortRange&) const = default;
};
struct TPortList {
    std::vector<TPortRange> Ranges;
    int64_t Count = 0; // the ports over all ranges, repeats included
    bool operator==(const TPortList&) const = default;
};

// What the count limits let through: the tracker's maximum, and an upper bound of
// the addresses the run can select.
struct TGenerateLimits {
    int64_t Total = 0;
    int64_t SelectedBound = 0;
};

// Everything one run needs, checked and compiled from a request; the run only reads it.
// The settings are the request's, with those the run does not use made plain: Count 0
// for all, the names' defaults without names, CountryLanes a number of threads, the
// sink's kept lines only for a sink that is appended to.
struct TGeneratePlan : TGenerateSettings {
    std::vector<TRangePlan> Ranges;
    // Each range's label before "=", or its whole text: only when the names use it ("%s").
    std::vector<std::string> Sources;
    TExcludeList Excludes;
    // Exclude lines that are addresses, CIDR blocks or A-B ranges (SplitExcludeLines).
    TRangeSet ExcludeBlocks;
    std::optional<TPortList> Ports;
    TGenerateLimits Limits;
    // With OnlyCountriesOn: each range's place among the request's range lines.
    std::vector<size_t> RangeLines;
    int64_t ExpectedLines = 0; // for reserving room; never a limit
};

// The engine: a request becomes a plan (BuildPlan), and the plan is enumerated into
// the engine's list or the request's line sink (Run). It holds no options of its own.
class TZarvoUtils {
public:
    // progress may be null: the run then reports nothing.
    explicit TZarvoUtils(IProgressSink* progress);
    TZarvoUtils(const TZarvoUtils&) = delete;
    TZarvoUtils& operator=(const TZarvoUtils&) = delete;

    // BuildPlan, then Run, telling the progress sink. Returns true when the run
    // finished; failures are raised with their message, and IPList() then holds the
    // lines it held before the run.
    bool PerformGenerateIPList(const TGenerateRequest& request, std::string& resultText);

    // The steps of a run, in order. ParseRanges reads the range lines (lines that
    // are not ranges are passed over); CheckLimits raises the count-limit messages;
    // BuildPlan does both and compiles the exclusion masks and the ports; Run
    // enumerates the plan into IPList() or the plan's LineSink. Nothing is refused for
    // the lines it might make: those are counted against the memory budget as they are
    // made.
    // sources, when given, gets each range's label (or text); noRanges the places in
    // IPRanges of the lines that are neither a range nor a comment.
    // rangeLines, when given, gets each range's place in IPRanges.
    static std::vector<TRangePlan> ParseRanges(const TGenerateRequest& request,
                                               std::vector<std::string>* sources = nullptr,
                                               std::vector<size_t>* noRanges = nullptr,
                                               std::vector<size_t>* rangeLines = nullptr);
    static TGenerateLimits CheckLimits(const TGenerateRequest& request,
                                       const std::vector<TRangePlan>& ranges);
    static TGeneratePlan BuildPlan(const TGenerateRequest& request);
    void Run(const TGeneratePlan& plan);

    // The lines of the runs without a line sink: replaced by each run, or added to by
    // one that appends.
    TStringList& IPList() { return FIPList; }
    const TStringList& IPList() const { return FIPList; }
    // The lines the last run with CountOnly would have made (those of its shard).
    uint64_t LineCount() const { return FLineCount; }
    // With OnlyCountriesOn: the places in IPRanges of the last run's range lines that
    // hold no address of the countries.
    const std::vector<size_t>& LinesWithoutKept() const { return FNoneKept; }

    static int BitsForCount(int64_t n);

    // The ports of a list such as "80,3128-3130": items separated by "," or ";",
    // a range either way round, clipped to 1-65535; items that are not numbers
    // are passed over.
    static TPortList ParsePortNumbers(std::string_view text);

private:
    struct TCandidate {
        TIPAddr Addr;
        int32_t Range;
        uint64_t Index = 0; // its place among the run's candidates (a line's, without ports)
    };
    class TLineComposer;
    class TCandidateFilter;

    // Take the first n candidates of the plans [from, to) in order, or n of them at
    // random without repetition, in random order. Return how many were found.
    int64_t CopyLines(const std::vector<TRangePlan>& ranges, int32_t from, int32_t to,
                      const TCandidateFilter& filter, TLineComposer& target, int64_t n);
    int64_t CopyRandomLines(const std::vector<TRangePlan>& ranges, int32_t from, int32_t to,
                            const TCandidateFilter& filter, TLineComposer& target, int64_t n);
    // The same over the kept positions alone (--only-country).
    int64_t CopyKeptLines(const std::vector<TRangePlan>& ranges, const TKeptPositions& kept, int32_t from,
                          int32_t to, const TCandidateFilter& filter, TLineComposer& target, int64_t n);
    int64_t CopyRandomKeptLines(const std::vector<TRangePlan>& ranges, const TKeptPositions& kept,
                                int32_t from, int32_t to, const TCandidateFilter& filter,
                                TLineComposer& target, int64_t n);
    // The kept addresses of a run with OnlyCountriesOn, from reader; FNoneKept learns the
    // ranges without any.
    TKeptPositions FindKept(const TGeneratePlan& plan, TMMDBReader& reader);
    // Enumerates the plan into the composer, by the counting mode.
    void Walk(const TGeneratePlan& plan, const TKeptPositions* kept, const TCandidateFilter& filter,
              TLineComposer& composer);
    // The lines a run makes, told from the plan without walking it where that can be
    // done exactly; nullopt where only a walk tells.
    std::optional<uint64_t> CountWithoutWalking(const TGeneratePlan& plan) const;
    // True once the user asked the run to stop; looks at the flag now and then.
    bool StopRequested();

    IProgressSink* FProgress;
    TStringList FIPList;
    size_t FSinkLines = 0;    // lines handed to the line sink by the last run
    uint64_t FSteps = 0;      // positions walked, for looking at the stop flag now and then
    uint64_t FLineCount = 0;  // lines counted by the last run with CountOnly
    bool FStopped = false;    // the run was asked to stop and ended early
    uint64_t FCandidates = 0; // candidates of the run so far, those of other shards included
    uint64_t FRunKey = 0;     // a random run's key: its order and random bits
    std::vector<size_t> FNoneKept;
};

} // namespace zarvo
