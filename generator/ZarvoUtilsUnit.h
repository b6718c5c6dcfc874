// The generation engine: turns range lines into per-range plans, enumerates them
// and composes the output lines.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "net/uIntList.h"
#include "net/uZarvo.h"
#include "support/StringList.h"
#include "support/uProgress.h"

namespace zarvo {

// Gives the two-letter country code of an address, or "" when the database has
// none. One is opened per run, before any address is enumerated.
class TCountryColumn {
public:
    virtual ~TCountryColumn() = default;
    virtual std::string CountryCode(const TIPAddr& addr) = 0;
};
// Opens the database at path; raises the reader's errors.
std::unique_ptr<TCountryColumn> OpenCountryColumn(const std::string& path);

// The most output lines one run may produce when ports multiply the addresses.
constexpr int64_t kMaxOutputLines = 10000000;

class TZarvoUtils {
public:
    explicit TZarvoUtils(TProgress* progress);
    TZarvoUtils(const TZarvoUtils&) = delete;
    TZarvoUtils& operator=(const TZarvoUtils&) = delete;

    // Runs on the worker thread. Returns true when the run finished; failures are
    // raised with their message, and FIPList may then hold a partial list.
    bool PerformGenerateIPList(const void* thread, std::string& resultText);

    static int BitsForCount(int64_t n);

    // Options, set by the caller before a run; the engine only reads them.
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
    // When set, the finished lines go to the sink in chunks, in order, instead of
    // into FIPList (which the run then leaves alone), so that a writer can stream a
    // run of any size without holding it. Chunks handed over before a failure stay
    // handed over.
    using TLineSink = std::function<void(const TStringList&)>;
    TLineSink FLineSink;

    // Port suffixes (":" and the port) for a list such as "80,3128-3130".
    static std::vector<std::string> ParsePortNumbers(const std::string& text);

private:
    struct TRangePlans {
        std::vector<std::string> Sources;
        TIPAddrList Addresses, Masks;
        TIntList StepBits, RandomBits;
    };
    struct TNameSettings {
        std::string Template, Symbol, Delimiter;
        int32_t First = 1, Step = 1, Digits = 1;
    };
    struct TCandidate {
        TIPAddr Addr;
        int32_t Range;
    };
    // One range's enumerated field: position k is First with k in the field bits
    // and, below them, RandomBits bits drawn at random.
    struct TPlanWalk {
        TIPAddr First, Last;
        int StepBits, RandomBits;
        uint64_t Positions;
    };
    using TPorts = std::vector<std::string>;
    class TLineComposer;
    class TCandidateFilter;

    void GenerateIPList(bool append, TGenerateCounts mode, int64_t count, bool randomOrder,
                        const TRangePlans& plans, bool usableHosts, const TExcludeList& excludes,
                        bool escapeIPv6, const TPorts* ports, bool generateNames, const TNameSettings& names,
                        bool resolveCountry, const std::string& mmdbFilePath, int64_t expectedLines);
    // Take the first n candidates of the plans [from, to) in order, or n of them at
    // random without repetition, in random order. Return how many were found.
    int64_t CopyLines(const std::vector<TPlanWalk>& walks, int32_t from, int32_t to,
                      const TCandidateFilter& filter, TLineComposer& target, int64_t n);
    int64_t CopyRandomLines(const std::vector<TPlanWalk>& walks, int32_t from, int32_t to,
                            const TCandidateFilter& filter, TLineComposer& target, int64_t n);

    TProgress* FProgress;
    const void* FThread = nullptr;
    size_t FSinkLines = 0; // lines handed to FLineSink by the last run
};

} // namespace zarvo
