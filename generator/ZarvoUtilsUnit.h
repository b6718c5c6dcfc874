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
// Opens the database at path; raises the reader's errors.
std::unique_ptr<TCountryColumn> OpenCountryColumn(const std::string& path);

// A memory budget for a run's lines that fits this machine: half of its physical
// memory (0, no budget, when that cannot be told). The engine's default.
uint64_t DefaultMemoryBudget();

// Host-name settings of a run: the template with its counter symbol, the counter
// and the delimiter between name and address (and before the country code).
struct TNameSettings {
    std::string Template, Symbol, Delimiter;
    int32_t First = 1, Step = 1, Digits = 1;
};

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

// Everything one run needs, checked and compiled; the run only reads it.
struct TGeneratePlan {
    bool Append = false;
    TGenerateCounts Mode = gcAllCount;
    int64_t Count = 0; // per range or in total, by Mode; 0 for all
    bool RandomOrder = false;
    std::vector<TRangePlan> Ranges;
    // Each range's label before "=", or its whole text: only when the names use it ("%s").
    std::vector<std::string> Sources;
    bool UsableHosts = false;
    TExcludeList Excludes;
    bool EscapeIPv6 = false;
    std::optional<TPortList> Ports;
    bool GenerateNames = false;
    TNameSettings Names;
    bool ResolveCountry = false;
    std::string MMDBFilePath;
    unsigned CountryLanes = 1; // threads for the country column's lookups (FCountryLanes)
    TGenerateLimits Limits;
    int64_t ExpectedLines = 0; // for reserving room; never a limit
    // The most memory the list may take, by TStringList::LineCost, counted as the
    // lines are made (the lines an appending run keeps included); 0 for no budget.
    uint64_t MemoryBudget = 0;
    // Lines an appending run's sink already holds ahead of the run's (FSinkKept...):
    // they count against the budget, in the limit message and in the result.
    size_t KeptLines = 0;
    uint64_t KeptBytes = 0;
};

class TZarvoUtils {
public:
    // progress may be null: the run then reports nothing.
    explicit TZarvoUtils(IProgressSink* progress);
    TZarvoUtils(const TZarvoUtils&) = delete;
    TZarvoUtils& operator=(const TZarvoUtils&) = delete;

    // Runs on the worker thread: BuildPlan, then Run. Returns true when the run
    // finished; failures are raised with their message, and FIPList then holds the
    // lines it held before the run.
    bool PerformGenerateIPList(const void* thread, std::string& resultText);

    // The steps of a run, in order. ParseRanges reads the range lines (lines that
    // are not ranges are passed over); CheckLimits raises the count-limit messages;
    // BuildPlan does both and compiles the exclusion masks and the ports; Run
    // enumerates the plan into FIPList or FLineSink. Nothing is refused for the
    // lines it might make: those are counted against the memory budget as they are
    // made.
    // sources, when given, gets each range's label (or text); noRanges the places in
    // FIPRanges of the lines that are neither a range nor a comment.
    std::vector<TRangePlan> ParseRanges(std::vector<std::string>* sources = nullptr,
                                        std::vector<size_t>* noRanges = nullptr) const;
    TGenerateLimits CheckLimits(const std::vector<TRangePlan>& ranges) const;
    TGeneratePlan BuildPlan() const;
    void Run(const TGeneratePlan& plan);

    static int BitsForCount(int64_t n);

    // The request: options set by the caller before a run; the engine only reads them.
    TGenerateCounts FGenerateCountMode = gcAllCount;
    int32_t FGenerateCount = 0;
    bool FGenerateNames = false;
    std::string FNameTemplate;
    std::string FCounterSymbol;
    int32_t FFirstCounter = 0;
    int32_t FCounterStep = 0;
    int32_t FCounterDigits = 0;
    std::string FNameDelimiter;
    bool FAddPortNumbers = false;
    std::string FPortNumbers;
    std::vector<std::string> FIPRanges;
    bool FUsableHostIPAddresses = false;
    bool FDoExclude = false;
    std::vector<std::string> FExcludeMasks;
    bool FAppend = false;
    bool FEscapeIPv6 = false;
    bool FRandomOrder = false;
    TStringList FIPList; // the output
    int32_t FMaxIPs = 1000000;
    bool FResolveIPCountry = false;
    std::string FMMDBFilePath;
    // A fixed seed makes a run reproducible; without it the clock seeds each run.
    std::optional<uint64_t> FRandomSeed;
    // The threads that look up the country column, the run's own included: 0 for one
    // per core (at most 4), 1 for none but the run's. The lines are the same either way.
    unsigned FCountryLanes = 0;
    // When set, the finished lines go to the sink in chunks, in order, instead of
    // into FIPList (which the run then leaves alone), so that a writer can stream a
    // run of any size without holding it. Chunks handed over before a failure stay
    // handed over.
    using TLineSink = std::function<void(const TStringList&)>;
    TLineSink FLineSink;
    // The memory the run's lines may take (TGeneratePlan::MemoryBudget), half of
    // this machine's unless set; 0 for none (the command line, which streams). A
    // run that needs more is broken off when its lines pass the budget, with "Too
    // many lines (more than N)\r\nMax. memory for the list: SIZE"; FIPList then
    // holds the lines it held before the run. Lines handed to FLineSink count too,
    // and stay handed over.
    uint64_t FMemoryBudget = DefaultMemoryBudget();
    // With FLineSink and FAppend: the lines the sink's owner keeps ahead of the run's
    // (a window appending to its pane) and the memory they take. They count as the
    // lines FIPList keeps do without a sink: against the budget, in its message and
    // in "N IPs generated.".
    size_t FSinkKeptLines = 0;
    uint64_t FSinkKeptBytes = 0;

    // When set, BuildPlan hands it the places in FIPRanges of the lines that are neither
    // a range nor a comment, which the run otherwise passes over (as the window does);
    // it may raise to refuse the run before any line is made.
    std::function<void(std::span<const size_t>)> FOnNoRanges;

    // The ports of a list such as "80,3128-3130": items separated by "," or ";",
    // a range either way round, clipped to 1-65535; items that are not numbers
    // are passed over.
    static TPortList ParsePortNumbers(std::string_view text);

private:
    struct TCandidate {
        TIPAddr Addr;
        int32_t Range;
    };
    class TLineComposer;
    class TCandidateFilter;

    // Take the first n candidates of the plans [from, to) in order, or n of them at
    // random without repetition, in random order. Return how many were found.
    int64_t CopyLines(const std::vector<TRangePlan>& ranges, int32_t from, int32_t to,
                      const TCandidateFilter& filter, TLineComposer& target, int64_t n);
    int64_t CopyRandomLines(const std::vector<TRangePlan>& ranges, int32_t from, int32_t to,
                            const TCandidateFilter& filter, TLineComposer& target, int64_t n);
    template <class TSlots>
    int64_t RandomWalk(TSlots& slots, const std::vector<TRangePlan>& ranges,
                       const std::vector<uint64_t>& starts, int32_t from, uint64_t total,
                       const TCandidateFilter& filter, TLineComposer& target, int64_t n);
    // True once the user asked the run to stop; looks at the flag now and then.
    bool StopRequested();

    IProgressSink* FProgress;
    const void* FThread = nullptr;
    size_t FSinkLines = 0; // lines handed to FLineSink by the last run
    uint64_t FSteps = 0;   // positions walked, for looking at the stop flag now and then
    bool FStopped = false; // the run was asked to stop and ended early
};

} // namespace zarvo
