#include "generator/ZarvoUtilsUnit.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <filesystem>

#include <unistd.h>

#include "mmdb/uMMDBCountryBlocks.h"
#include "mmdb/uMMDBReader.h"
#include "mmdb/uMMDBValues.h"
#include "support/LargeMemory.h"
#include "support/OrderedPipeline.h"
#include "support/SeededPermutation.h"
#include "support/ZarvoRandom.h"

namespace zarvo {

namespace {

const char* const kTooManyIPs = "Too many IPs (%lld)\r\nMax. IP count: %d";
const char* const kTooManyIPsBits = "Too many IPs (2^%d)\r\nMax. IP count: %d";
const char* const kNotEnoughMemory = "Not enough memory";
// A run whose lines pass its memory budget: the lines the list held when the next
// one did not fit, and the budget.
const char* const kTooManyLinesForMemory = "Too many lines (more than %lld)\r\nMax. memory for the list: %s";

// Progress increments are batched: the display only samples them every 100 ms.
class TProgressBatch {
public:
    explicit TProgressBatch(IProgressSink* p) : FProgress(p) {}
    ~TProgressBatch() { Flush(); }
    void Inc() {
        if (++FPending == 65536) Flush();
    }
    void Add(uint64_t n) {
        FPending += static_cast<int64_t>(n);
        if (FPending >= 65536) Flush();
    }
    void Flush() {
        if (FPending && FProgress) FProgress->ReportAdvance(FPending);
        FPending = 0;
    }

private:
    IProgressSink* FProgress;
    int64_t FPending = 0;
};

int64_t SaturatingPow2(int bits) {
    return bits >= 62 ? INT64_MAX / 2 : (int64_t{1} << bits);
}

} // namespace

TZarvoUtils::TZarvoUtils(IProgressSink* progress) : FProgress(progress) {}

uint64_t DefaultMemoryBudget() {
    const long pages = ::sysconf(_SC_PHYS_PAGES), pageSize = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) return 0;
    return static_cast<uint64_t>(pages) / 2 * static_cast<uint64_t>(pageSize);
}

int TZarvoUtils::BitsForCount(int64_t n) {
    return n <= 1 ? 0 : static_cast<int>(std::bit_width(static_cast<uint64_t>(n - 1)));
}

TPortList TZarvoUtils::ParsePortNumbers(std::string_view text) {
    TPortList list;
    ForEachListItem(text, ",;", [&](std::string_view item) {
        std::string_view lowText = item, highText = item;
        const size_t dash = item.find('-');
        if (dash != std::string_view::npos) {
            lowText = Trim(item.substr(0, dash));
            highText = Trim(item.substr(dash + 1));
        }
        auto low = TryStrToInt(lowText), high = TryStrToInt(highText);
        if (!low || !high) return;
        int32_t lo = *low, hi = *high;
        if (hi < lo) std::swap(lo, hi);
        lo = std::max(lo, 1);
        hi = std::min(hi, 65535);
        if (hi < lo) return;
        list.Ranges.push_back({static_cast<uint16_t>(lo), static_cast<uint16_t>(hi)});
        list.Count += hi - lo + 1;
    });
    return list;
}

TIPAddr TRangePlan::Last() const {
    TIPAddr last = First;
    for (int done = 0; done < Span; done += 32)
        IPAddrOrBits(last, (uint64_t{1} << std::min(32, Span - done)) - 1, StepBits + done);
    return last;
}

namespace {

// One range line read by the range syntax, [LABEL=]ADDRESS[/PREFIX[/SUBPREFIX]]: its
// label (or its text), address and the two prefix lengths.
struct TRangeLine {
    std::string_view Label;
    TIPAddr Address;
    int P = 0, S = 0;
};

enum class TLineRead { Range, Comment, NoRange };

TLineRead ReadRangeLine(std::string_view line, TRangeLine& r) {
    const std::string_view trimmed = Trim(line);
    std::string_view rangeText = trimmed;
    r.Label = trimmed;
    const size_t eq = trimmed.find('=');
    if (eq != std::string_view::npos) {
        r.Label = trimmed.substr(0, eq);
        rangeText = Trim(trimmed.substr(eq + 1));
    }
    // An empty line, and ";" in front of the range, make a comment; a line that starts
    // with ";" is one too unless a range follows its label.
    const bool comment = trimmed.empty() || trimmed[0] == ';' || rangeText.starts_with(';');
    const TLineRead bad = comment ? TLineRead::Comment : TLineRead::NoRange;
    if (rangeText.empty() || rangeText[0] == ';') return bad;

    const size_t slash1 = rangeText.find('/');
    const std::string_view addrText = rangeText.substr(0, slash1);
    std::string_view prefixText, subText;
    if (slash1 != std::string_view::npos) {
        const std::string_view rest = rangeText.substr(slash1 + 1);
        const size_t slash2 = rest.find('/');
        prefixText = rest.substr(0, slash2);
        if (slash2 != std::string_view::npos) subText = rest.substr(slash2 + 1);
    }
    // Read whole, so that a line of another shape ("10.0.0.5 GB", "host1 10.0.0.1") is no
    // range rather than an address with a part taken as 0; blanks before a "/" are no part.
    if (addrText.empty() || !TryWholeStrToIPAddr(TrimRight(addrText), r.Address)) return bad;
    const int maxLen = r.Address.ip_family == IPv4 ? 32 : 128;
    r.P = prefixText.empty() ? maxLen : StrToIntDef(prefixText, -1);
    if (r.P < 0 || r.P > maxLen) return bad;
    r.S = subText.empty() ? maxLen : StrToIntDef(subText, -1);
    if (r.S < r.P || r.S > maxLen) return bad;
    return TLineRead::Range;
}

} // namespace

std::vector<TRangePlan> TZarvoUtils::ParseRanges(const TGenerateRequest& request,
                                                 std::vector<std::string>* sources,
                                                 std::vector<size_t>* noRanges,
                                                 std::vector<size_t>* rangeLines) {
    const std::vector<std::string>& lines = request.IPRanges;
    const int64_t count = request.Mode == gcAllCount ? 0 : request.Count;
    const int countBits = BitsForCount(count);
    std::vector<TRangePlan> ranges;
    // Room for every line at once: growing a list of millions would hold it twice.
    ranges.reserve(lines.size());
    if (sources) sources->reserve(lines.size());
    TRangeLine line;
    for (size_t i = 0; i < lines.size(); ++i) {
        const TLineRead read = ReadRangeLine(lines[i], line);
        if (read != TLineRead::Range) {
            if (read == TLineRead::NoRange && noRanges) noRanges->push_back(i);
            continue;
        }
        const TIPAddr& addr = line.Address;
        const int maxLen = addr.ip_family == IPv4 ? 32 : 128, p = line.P;
        int s = line.S;
        TRangePlan r;
        int stepBits = maxLen - s, randomBits = 0;
        // A random pick of count addresses needs only enough field bits to number
        // them; the bits below are drawn at random for each one. Not when only the
        // addresses of some countries are kept: those are drawn from the kept ones.
        if (request.RandomOrder && request.Mode != gcAllCount && s - p > countBits &&
            !OnlyCountriesOn(request)) {
            randomBits = (s - p) - countBits;
            s = p + countBits;
            stepBits += randomBits;
        }
        r.First = addr;
        IPAddrAnd(r.First, MakeIPAddrMask(addr.ip_family, p, s));
        r.StepBits = static_cast<uint8_t>(stepBits);
        r.RandomBits = static_cast<uint8_t>(randomBits);
        r.Span = static_cast<uint8_t>(s - p);
        ranges.push_back(r);
        if (sources) sources->emplace_back(line.Label);
        if (rangeLines) rangeLines->push_back(i);
    }
    return ranges;
}

TGenerateLimits TZarvoUtils::CheckLimits(const TGenerateRequest& request,
                                         const std::vector<TRangePlan>& ranges) {
    const TGenerateCounts mode = request.Mode;
    const int64_t count = mode == gcAllCount ? 0 : request.Count;
    const int32_t maxIPs = request.MaxIPs;
    const int maxBits = BitsForCount(maxIPs);
    TGenerateLimits limits;
    if (mode == gcTotalCount) {
        if (count > maxIPs) throw Exception(Format(kTooManyIPs, static_cast<long long>(count), maxIPs));
        limits.Total = count;
    }
    int64_t fieldSum = 0;
    for (const TRangePlan& r : ranges) {
        if (mode == gcForEach) {
            limits.Total += count;
            if (limits.Total > maxIPs)
                throw Exception(Format(kTooManyIPs, static_cast<long long>(limits.Total), maxIPs));
        } else if (mode == gcAllCount) {
            if (r.Span > maxBits) throw Exception(Format(kTooManyIPsBits, r.Span, maxIPs));
            limits.Total += int64_t{1} << r.Span;
        }
        const int64_t positions = SaturatingPow2(r.Span);
        fieldSum = std::min(fieldSum + positions, INT64_MAX / 2);
        if (mode == gcForEach) limits.SelectedBound += std::max<int64_t>(0, std::min(count, positions));
    }
    if (mode == gcAllCount)
        limits.SelectedBound = fieldSum;
    else if (mode == gcTotalCount)
        limits.SelectedBound = std::max<int64_t>(0, std::min(count, fieldSum));
    return limits;
}

TGeneratePlan TZarvoUtils::BuildPlan(const TGenerateRequest& request) {
    TGeneratePlan plan;
    static_cast<TGenerateSettings&>(plan) = request;
    if (plan.Mode == gcAllCount) plan.Count = 0;
    if (!plan.CountryLanes) plan.CountryLanes = DefaultLookupLanes(4);
    // A field path with an empty part is refused before anything is read.
    if (plan.ResolveCountry) ParseMMDBFieldPath(plan.CountryField);
    if (request.Ports) plan.Ports = ParsePortNumbers(*request.Ports);
    if (!plan.GenerateNames) plan.Names = TNameSettings();
    if (!plan.LineSink || !plan.Append) {
        plan.SinkKeptLines = 0;
        plan.SinkKeptBytes = 0;
    }

    // The names are made last, from plan.Names as the composer reads them.
    const bool sourcesUsed = plan.Names.Template.find("%s") != std::string::npos;
    std::vector<size_t> noRanges;
    plan.Ranges =
        ParseRanges(request, sourcesUsed ? &plan.Sources : nullptr, request.OnNoRanges ? &noRanges : nullptr,
                    OnlyCountriesOn(request) ? &plan.RangeLines : nullptr);
    if (!noRanges.empty()) request.OnNoRanges(request.IPRanges, noRanges);
    plan.Limits = CheckLimits(request, plan.Ranges);
    // Blocks and ranges apart; the other lines are masks, as they always were.
    std::vector<std::string> masks;
    SplitExcludeLines(request.ExcludeMasks, masks, plan.ExcludeBlocks);
    for (const std::string& m : masks)
        if (!m.empty()) plan.Excludes.Add(m);

    // Only a bound: the filters may drop most of these, so it sizes the first room
    // for the lines and refuses nothing. Ports multiply it, up to the type's end.
    const int64_t selected = plan.Limits.SelectedBound;
    plan.ExpectedLines = selected;
    if (plan.Ports) {
        const int64_t nPorts = plan.Ports->Count;
        plan.ExpectedLines = nPorts == 0 ? 0 : selected > INT64_MAX / nPorts ? INT64_MAX : selected * nPorts;
    }
    return plan;
}

bool TZarvoUtils::PerformGenerateIPList(const TGenerateRequest& request, std::string& resultText) {
    resultText.clear();
    if (FProgress) {
        FProgress->ReportStatus("Action: Generate IP List");
        FProgress->ReportRange(100);
    }
    size_t kept = 0;
    bool sink = false;
    try {
        const TGeneratePlan plan = BuildPlan(request);
        if (FProgress) FProgress->ReportRange(plan.Limits.Total);
        Run(plan);
        kept = plan.SinkKeptLines;
        sink = static_cast<bool>(plan.LineSink);
    } catch (const std::bad_alloc&) {
        // Run has given back the lines it made; say so in the system's words.
        throw Exception(kNotEnoughMemory);
    }
    if (request.CountOnly)
        resultText = Format("%llu lines counted.", static_cast<unsigned long long>(FLineCount));
    else
        resultText =
            Format("%lld IPs generated.", static_cast<long long>(sink ? kept + FSinkLines : FIPList.Count()));
    if (!FNoneKept.empty()) {
        std::string codes;
        for (const std::string& c : request.OnlyCountries) codes += (codes.empty() ? "" : ",") + c;
        resultText += Format(" %zu %s no address in %s.", FNoneKept.size(),
                             FNoneKept.size() == 1 ? "range holds" : "ranges hold", codes.c_str());
    }
    if (FProgress) FProgress->ReportDone();
    return true;
}

// Composes the finished lines of a run into FIPList: [name, delimiter] address
// [":" port] [delimiter, country code], one line per port.
class TZarvoUtils::TLineComposer {
public:
    TLineComposer(TStringList& target, const TLineSink* sink, const TGeneratePlan& plan,
                  TCountryColumn* country)
        : FTarget(target), FSink(sink), FKept(sink ? plan.SinkKeptLines : 0),
          FUsed(target.LinesSize() + (sink ? plan.SinkKeptBytes : 0)),
          FBudget(plan.MemoryBudget ? plan.MemoryBudget : UINT64_MAX), FEscape(plan.EscapeIPv6),
          FLower(plan.LowerIPv6), FPorts(plan.Ports ? &*plan.Ports : nullptr), FNamesOn(plan.GenerateNames),
          FNames(plan.Names), FCountry(country), FSources(plan.Sources), FShard(plan.Shard),
          FCountOnly(plan.CountOnly), FPortCount(plan.Ports ? plan.Ports->Count : 1) {
        const TNameSettings& names = plan.Names;
        FCounterOn = !names.Symbol.empty() && names.Template.find(names.Symbol) != std::string::npos;
        if (FCounterOn)
            for (size_t at = names.Template.find(names.Symbol); at != std::string::npos;
                 at = names.Template.find(names.Symbol, at + names.Symbol.size()))
                ++FCounterCount;
        for (int k = 1; k <= 8; ++k)
            FQuadOn[k] = names.Template.find("%" + std::to_string(k)) != std::string::npos;
        FSourceOn = names.Template.find("%s") != std::string::npos;
        if (country) {
            FLaneLines = !FNamesOn && !FPorts;
            const unsigned lanes = std::max(plan.CountryLanes, 1u);
            FLaneColumns.resize(lanes);
            FLookups = std::make_unique<TOrderedPipeline<TCountryBatch>>(
                lanes, 2 * size_t{lanes} + 2, [this](TCountryBatch& b, unsigned lane) { LookUp(b, lane); });
        }
    }

    // With the country column the candidates wait in a batch, whose lookups then go
    // together (TCountryColumn::CountryCodes), on whichever of the run's threads takes
    // the batch; the batches come back in order, their lines are made here, and an
    // address whose lookup fails raises its error in its place, after the lines before it.
    void Emit(const TCandidate& c) {
        if (FCountOnly) {
            FCounted += LinesInShard(c.Index);
            return;
        }
        if (!FLookups) {
            EmitLines(c, std::string());
            return;
        }
        if (!FFilling) {
            FFilling = &FLookups->Filling();
            FFilling->Candidates.clear();
        }
        FFilling->Candidates.push_back(c);
        if (FFilling->Candidates.size() == kCountryBatch) {
            FFilling = nullptr;
            FLookups->Submit([this](TCountryBatch& b) { TakeBatch(b); });
        }
    }

    // Makes the lines of the waiting candidates and hands all lines so far to the sink.
    void Flush() {
        if (FLookups) {
            const auto take = [this](TCountryBatch& b) { TakeBatch(b); };
            if (FFilling) {
                FFilling = nullptr;
                FLookups->Submit(take);
            }
            FLookups->Drain(take);
        }
        HandOver();
    }
    size_t Flushed() const { return FFlushed; }
    uint64_t Counted() const { return FCounted; }

    // Candidate index makes the run's lines index * P to index * P + P - 1 (P the ports,
    // one without them). Whether one of them is this shard's:
    bool WantsCandidate(uint64_t index) const {
        if (FPortCount <= 0) return false;
        const auto p = static_cast<uint64_t>(FPortCount);
        return FShard.WantsAny(TUInt128{index} * p, p);
    }
    // The first candidate from index on that has a line of this shard (UINT64_MAX for none).
    uint64_t NextWanted(uint64_t index) const {
        if (FPortCount <= 0) return UINT64_MAX;
        if (!FShard.Active() || static_cast<uint64_t>(FPortCount) >= FShard.Count) return index;
        if (FPortCount == 1)
            return index + (FShard.Index + FShard.Count - index % FShard.Count) % FShard.Count;
        while (!WantsCandidate(index)) ++index; // fewer than Count steps
        return index;
    }
    // When every candidate makes one line and this run is a shard of Count: Count, the
    // distance between this shard's candidates; 0 otherwise.
    uint64_t CandidateStride() const { return FShard.Active() && FPortCount == 1 ? FShard.Count : 0; }
    // How many of the lines of candidate index are this shard's.
    uint64_t LinesInShard(uint64_t index) const {
        if (FPortCount <= 0) return 0;
        const auto p = static_cast<uint64_t>(FPortCount);
        if (!FShard.Active()) return p;
        const auto at = static_cast<uint64_t>(TUInt128{index} * p % FShard.Count);
        const uint64_t ahead = (FShard.Index + FShard.Count - at) % FShard.Count;
        return ahead < p ? (p - 1 - ahead) / FShard.Count + 1 : 0;
    }

    // Every line is an address alone: no name, port or country code.
    // (and the run makes all of its lines, writing them)
    bool PlainLines() const { return !FNamesOn && !FCountry && !FPorts && !FShard.Active() && !FCountOnly; }

    // With PlainLines, the lines of the positions [k, k + count) of an IPv4 field, as
    // EmitLines and Made make them one by one, but a run of them at a time: a run ends
    // where a chunk might, or where the budget might be passed, and a position there is
    // made alone.
    void EmitIPv4Run(const TRangePlan& r, uint64_t k, uint64_t count) {
        constexpr size_t kLongest = 15; // "255.255.255.255"
        constexpr uint64_t kWorstCost = TStringList::LineCost(kLongest);
        const uint32_t first = r.First.IPv4.Value;
        const int stepBits = r.StepBits;
        while (count > 0) {
            uint64_t n = count;
            if (FSink) {
                n = std::min<uint64_t>(n, kChunkLines - std::min(FTarget.Count(), kChunkLines));
                n = std::min<uint64_t>(n, (kChunkBytes - std::min(FTarget.TextSize(), kChunkBytes)) /
                                              (kLongest + 1));
            }
            n = std::min<uint64_t>(n, FBudget >= FUsed ? (FBudget - FUsed) / kWorstCost : 0);
            if (n == 0) {
                TCandidate c;
                c.Addr = r.First;
                c.Range = 0;
                c.Addr.IPv4.Value = first | static_cast<uint32_t>(k << stepBits);
                EmitLines(c, std::string());
                ++k;
                --count;
                continue;
            }
            const size_t before = FTarget.LinesSize();
            FTarget.AddLinesWith(static_cast<size_t>(n), kLongest, [&](size_t i, char* p) {
                return static_cast<size_t>(
                    FIPv4.Write(first | static_cast<uint32_t>((k + i) << stepBits), p) - p);
            });
            FUsed += FTarget.LinesSize() - before;
            if (FSink && (FTarget.Count() >= kChunkLines || FTarget.TextSize() >= kChunkBytes)) HandOver();
            k += n;
            count -= n;
        }
    }

    // A chunk ends at whichever comes first, so that long lines do not make it large.
    // It is small enough to stay in the caches while the sink writes it, and its room is
    // touched once and reused: a run faults in some 200 KiB for it, not megabytes (a
    // page costs some 10 us to fault in on a virtual machine; a shard pays it again).
    static constexpr size_t kChunkLines = 8192;
    static constexpr size_t kChunkBytes = size_t{128} << 10;

private:
    static constexpr size_t kCountryBatch = 2048;
    struct TCountryBatch {
        std::vector<TCandidate> Candidates;
        std::vector<TIPAddr> Addrs;
        std::vector<TCountryAnswer> Answers;
        // With FLaneLines: the lines of the candidates before the first that failed.
        TStringList Lines;
        size_t Failed = 0; // the first candidate whose lookup failed (or their count)
    };

    // Runs on any lane: lane 0 is the run's thread with the run's column, the others
    // worker threads, each with a twin of it made there on first use.
    void LookUp(TCountryBatch& b, unsigned lane) {
        std::unique_ptr<TCountryColumn>& twin = FLaneColumns[lane];
        if (lane > 0 && !twin) twin = FCountry->Twin();
        TCountryColumn& column = lane == 0 ? *FCountry : *twin;
        b.Addrs.clear();
        for (const TCandidate& c : b.Candidates) b.Addrs.push_back(c.Addr);
        b.Answers.resize(b.Addrs.size());
        column.CountryCodes(b.Addrs, b.Answers);
        if (!FLaneLines) return;
        // Address and code lines are made here, on the lane, as EmitLines makes them.
        b.Lines.ClearKeepCapacity();
        const std::string& delimiter = FNames.Delimiter;
        for (b.Failed = 0; b.Failed < b.Candidates.size() && !b.Answers[b.Failed].Error; ++b.Failed) {
            const std::string& code = b.Answers[b.Failed].Code;
            char* p = b.Lines.AddRaw(kIPAddrTextRoom + delimiter.size() + code.size());
            char* end = IPAddrToChars(b.Candidates[b.Failed].Addr, FEscape, FLower, p);
            if (!delimiter.empty()) end = std::copy(delimiter.begin(), delimiter.end(), end);
            if (!code.empty()) end = std::copy(code.begin(), code.end(), end);
            b.Lines.ShrinkLast(static_cast<size_t>(end - p));
        }
    }

    void TakeBatch(const TCountryBatch& b) {
        if (FLaneLines) {
            AddLines(b.Lines);
            if (b.Failed < b.Candidates.size()) std::rethrow_exception(b.Answers[b.Failed].Error);
            return;
        }
        for (size_t k = 0; k < b.Candidates.size(); ++k) {
            if (b.Answers[k].Error) std::rethrow_exception(b.Answers[k].Error);
            EmitLines(b.Candidates[k], b.Answers[k].Code);
        }
    }

    // Adds lines made elsewhere, as Made would count them one by one: a chunk at a time,
    // and one by one once the budget is near, so that the first line that does not fit
    // breaks the run off.
    void AddLines(const TStringList& lines) {
        for (size_t at = 0; at < lines.Count();) {
            const size_t room =
                FSink ? kChunkLines - std::min(FTarget.Count(), kChunkLines - 1) : lines.Count();
            const size_t n = std::min(lines.Count() - at, room);
            const size_t cost = lines.LinesCost(at, n);
            if (FUsed + cost > FBudget) {
                for (; at < lines.Count(); ++at) {
                    FTarget.Add(lines[at]);
                    Made(lines[at].size());
                }
                return;
            }
            FTarget.AddLines(lines, at, n);
            FUsed += cost;
            at += n;
            if (FSink && (FTarget.Count() >= kChunkLines || FTarget.TextSize() >= kChunkBytes)) HandOver();
        }
    }

    // Hands the lines composed so far to the sink.
    void HandOver() {
        if (!FSink || FTarget.Empty()) return;
        (*FSink)(FTarget);
        FFlushed += FTarget.Count();
        FTarget.ClearKeepCapacity();
    }

    // Counts a line just made against the memory budget (the first line that does
    // not fit breaks the run off) and hands a full chunk to the sink. Both look at
    // every line: one address may make millions of lines with a long port list.
    void Made(size_t n) {
        FUsed += TStringList::LineCost(n);
        if (FUsed > FBudget) {
            const size_t held = FKept + FFlushed + FTarget.Count() - 1;
            throw Exception(Format(kTooManyLinesForMemory, static_cast<long long>(held),
                                   FormatByteSize(FBudget).c_str()));
        }
        if (FSink && (FTarget.Count() >= kChunkLines || FTarget.TextSize() >= kChunkBytes)) HandOver();
    }

    // The lines of one candidate; code is its country code when the column is on.
    void EmitLines(const TCandidate& c, const std::string& code) {
        if (!FNamesOn && !FCountry && !FPorts) {
            // The common case: the address text straight into the list.
            char* p = FTarget.AddRaw(kIPAddrTextRoom);
            const size_t n = static_cast<size_t>(IPAddrToChars(c.Addr, FEscape, FLower, p) - p);
            FTarget.ShrinkLast(n);
            Made(n);
            return;
        }
        char buf[kIPAddrTextRoom];
        const size_t n = static_cast<size_t>(IPAddrToChars(c.Addr, FEscape, FLower, buf) - buf);
        if (!FNamesOn && !FCountry) {
            ForEachPort(c, [&](std::string_view suffix, uint64_t) {
                char* p = FTarget.AddRaw(n + suffix.size());
                std::memcpy(p, buf, n);
                std::memcpy(p + n, suffix.data(), suffix.size());
                Made(n + suffix.size());
            });
            return;
        }
        if (!FNamesOn && !FPorts) {
            // The address and its code straight into the list, as EmitComposed joins them.
            const std::string& delimiter = FNames.Delimiter;
            const size_t length = n + delimiter.size() + code.size();
            char* p = FTarget.AddRaw(length);
            std::memcpy(p, buf, n);
            if (!delimiter.empty()) std::memcpy(p + n, delimiter.data(), delimiter.size());
            if (!code.empty()) std::memcpy(p + n + delimiter.size(), code.data(), code.size());
            Made(length);
            return;
        }
        const std::string_view addr(buf, n);
        if (!FPorts) {
            EmitComposed(c, addr, {}, code, c.Index);
            return;
        }
        ForEachPort(
            c, [&](std::string_view suffix, uint64_t line) { EmitComposed(c, addr, suffix, code, line); });
    }

    // Calls f with ":" and the port and the run's line number, for every port of the
    // list in order whose line is this shard's.
    template <typename F> void ForEachPort(const TCandidate& c, F f) const {
        char text[8] = {':'};
        const auto p = static_cast<uint64_t>(FPortCount);
        // The run's line number wraps at 64 bits; only the counter's low 32 bits use it.
        uint64_t line = c.Index * p;
        auto residue = static_cast<uint64_t>(TUInt128{c.Index} * p % FShard.Count);
        for (const TPortRange& r : FPorts->Ranges)
            for (uint32_t port = r.Low; port <= r.High; ++port, ++line) {
                const bool mine = residue == FShard.Index;
                if (++residue == FShard.Count) residue = 0;
                if (!mine) continue;
                const auto res = std::to_chars(text + 1, text + sizeof text, port);
                f(std::string_view(text, static_cast<size_t>(res.ptr - text)), line);
            }
    }

    // line: the line's number in the run, from 0, which sets its counter.
    void EmitComposed(const TCandidate& c, std::string_view addr, std::string_view suffix,
                      const std::string& code, uint64_t line) {
        FLine.clear();
        if (FNamesOn) {
            FLine = FNames.Template;
            if (FCounterOn) {
                // First + line * Step, wrapping at 32 bits as a counter stepped line by line does.
                const uint32_t counter = static_cast<uint32_t>(FNames.First) +
                                         static_cast<uint32_t>(line) * static_cast<uint32_t>(FNames.Step);
                std::string text = std::to_string(static_cast<int32_t>(counter));
                const size_t width = std::max(text.size(), static_cast<size_t>(std::max(FNames.Digits, 0)));
                // Refuse a line that cannot be held before building it: a wide
                // counter (say 2 billion digits) would otherwise be made first.
                const size_t length = FNames.Template.size() + FCounterCount * width -
                                      FCounterCount * FNames.Symbol.size() + FNames.Delimiter.size() +
                                      addr.size() + suffix.size();
                if (width > TStringList::kMaxLineLength || length > TStringList::kMaxLineLength)
                    throw Exception(Format("Line too long (%zu characters)", length));
                if (text.size() < width) text.insert(0, width - text.size(), '0');
                ReplaceAll(FLine, FNames.Symbol, text);
            }
            for (int k = 1; k <= 8; ++k)
                if (FQuadOn[k]) ReplaceAll(FLine, "%" + std::to_string(k), IPAddrQuadrant(c.Addr, k));
            if (FSourceOn) ReplaceAll(FLine, "%s", FSources[static_cast<size_t>(c.Range)]);
            FLine += FNames.Delimiter;
        }
        FLine.append(addr);
        FLine.append(suffix);
        if (FCountry) {
            FLine += FNames.Delimiter;
            FLine += code;
        }
        FTarget.Add(FLine);
        Made(FLine.size());
    }

    TStringList& FTarget;
    const TLineSink* FSink;
    size_t FFlushed = 0;
    size_t FKept;            // lines the sink held before the run
    uint64_t FUsed, FBudget; // memory of the lines so far, and the most they may take
    bool FEscape, FLower;
    const TPortList* FPorts;
    bool FNamesOn;
    const TNameSettings& FNames;
    TCountryColumn* FCountry;
    const std::vector<std::string>& FSources;
    TShard FShard;
    bool FCountOnly;
    int64_t FPortCount; // lines per candidate
    uint64_t FCounted = 0;
    bool FCounterOn = false, FSourceOn = false;
    size_t FCounterCount = 0; // the counter symbol's places in the template
    bool FQuadOn[9] = {};
    std::string FLine;
    TIPv4RunWriter FIPv4;
    // The country lookups: a column for each lane but the first (which uses FCountry),
    // then the batches of candidates waiting for their codes. The pipeline goes first
    // when the composer does, so that its threads are stopped before their columns go.
    std::vector<std::unique_ptr<TCountryColumn>> FLaneColumns;
    std::unique_ptr<TOrderedPipeline<TCountryBatch>> FLookups;
    TCountryBatch* FFilling = nullptr; // the pipeline's batch being filled, once started
    // Lines of an address and its code only: made on the lanes.
    bool FLaneLines = false;
};

namespace {

// Steps over the candidates before the target's next wanted one (another shard's), at
// most left of them and at most wanted: how many (0 when the next one is wanted).
template <class TTarget>
uint64_t PassOthers(const TTarget& target, uint64_t& candidates, uint64_t left, int64_t wanted,
                    TProgressBatch& progress) {
    const uint64_t gap =
        std::min({target.NextWanted(candidates) - candidates, left, static_cast<uint64_t>(wanted)});
    candidates += gap;
    progress.Add(gap);
    return gap;
}

} // namespace

// Builds candidate k of a plan and decides whether it survives the usable-host
// rule, the excluded blocks, the exclusion masks and --unique.
class TZarvoUtils::TCandidateFilter {
public:
    // blocksFolded: the excluded blocks are left out of the kept addresses already.
    TCandidateFilter(const TGeneratePlan& plan, TUniqueFilter& unique, bool blocksFolded = false)
        : FUsable(plan.UsableHosts), FExcludes(plan.Excludes), FTestExcludes(plan.Excludes.Count() > 0),
          FBlocks(plan.ExcludeBlocks), FTestBlocks(!FBlocks.Empty() && !blocksFolded),
          FUnique(unique.Active() ? &unique : nullptr), FEscape(plan.EscapeIPv6) {}

    // True when every candidate survives: the n-th position walked is then the n-th
    // candidate, and a walk may step over the positions of other shards unbuilt.
    bool DropsNothing() const { return !FUsable && !FTestExcludes && !FTestBlocks && !FUnique; }

    // Every candidate of the plan survives but those in the excluded blocks, as the position
    // made it, and is not random.
    bool TakesAllButBlocks(const TRangePlan& r) const {
        return !FUsable && !FTestExcludes && !FUnique && r.RandomBits == 0;
    }
    // With TakesAllButBlocks, for an IPv4 plan: how many of the count positions from k on
    // are all dropped as excluded blocks or all taken (at least one); dropped tells which.
    uint64_t BlockRun(const TRangePlan& r, uint64_t k, uint64_t count, bool& dropped) const {
        dropped = false;
        if (!FTestBlocks) return count;
        return FBlocks.RunV4(uint64_t{r.First.IPv4.Value} + (k << r.StepBits), r.StepBits, count, dropped);
    }

    // key and id draw the random bits of a random run's position (OrKeyedRandomBits).
    bool Make(const TRangePlan& r, int32_t range, uint64_t k, TCandidate& c, uint64_t key,
              uint64_t id) const {
        c.Addr = r.First;
        c.Range = range;
        // The field bits of First are 0, so placing k there is an OR.
        IPAddrOrBits(c.Addr, k, r.StepBits);
        if (r.RandomBits > 0) OrKeyedRandomBits(c.Addr, key, id, r.StepBits - r.RandomBits, r.RandomBits);
        // The field holds k alone, so only the first and the last position can be the
        // field's first or last address (a field of 64 bits or more never reaches its last).
        if (FUsable && k == 0 && IPAddrEqual(c.Addr, r.First)) return false;
        if (FUsable && r.Span <= 63 && k == (uint64_t{1} << r.Span) - 1 && IPAddrEqual(c.Addr, r.Last()))
            return false;
        return Survives(range, c);
    }

    // The same for position k of a plan without random bits, at any width.
    bool MakeAt(const TRangePlan& r, int32_t range, TUInt128 k, TCandidate& c) const {
        c.Addr = PositionAddress(r, k);
        c.Range = range;
        if (FUsable && k == 0) return false;
        if (FUsable && r.Span <= 63 && k == (TUInt128{1} << r.Span) - 1) return false;
        return Survives(range, c);
    }

private:
    bool Survives(int32_t range, const TCandidate& c) const {
        if (FTestBlocks && FBlocks.Contains(c.Addr)) return false;
        if (FTestExcludes) {
            char buf[kIPAddrTextRoom];
            const char* end = IPAddrToChars(c.Addr, FEscape, buf);
            if (FExcludes.Excludes(std::string_view(buf, static_cast<size_t>(end - buf)))) return false;
        }
        // Last, so that only addresses that are made are remembered.
        return !FUnique || FUnique->Admit(range, c.Addr);
    }

    bool FUsable;
    const TExcludeList& FExcludes;
    bool FTestExcludes;
    TExcludeBlocks FBlocks;
    bool FTestBlocks;
    TUniqueFilter* FUnique;
    bool FEscape;
};

bool TZarvoUtils::StopRequested() {
    // One look at the flag per 4096 positions walked keeps Break prompt and cheap.
    if ((++FSteps & 4095) != 0 || !FProgress) return FStopped;
    if (FProgress->StopRequested()) FStopped = true;
    return FStopped;
}

int64_t TZarvoUtils::CopyLines(const std::vector<TRangePlan>& ranges, int32_t from, int32_t to,
                               const TCandidateFilter& filter, TLineComposer& target, int64_t n) {
    TProgressBatch progress(FProgress);
    int64_t found = 0;
    TCandidate c;
    const bool skip = filter.DropsNothing();
    for (int32_t i = from; i < to; ++i) {
        const TRangePlan& r = ranges[static_cast<size_t>(i)];
        const uint64_t positions = r.Positions();
        if (n > 0 && r.First.ip_family == IPv4 && filter.TakesAllButBlocks(r) && target.PlainLines()) {
            // The common case (every address of IPv4 ranges, excluded blocks passed over
            // whole) a slice at a time: as the loop below, with the stop flag looked at
            // after the same positions.
            for (uint64_t k = 0; k < positions;) {
                if (StopRequested()) return found;
                const uint64_t look = (4096 - (FSteps & 4095)) & 4095;
                bool dropped = false;
                uint64_t slice = filter.BlockRun(r, k, std::min(look ? look : 4096, positions - k), dropped);
                if (!dropped) {
                    slice = std::min(slice, static_cast<uint64_t>(n - found));
                    target.EmitIPv4Run(r, k, slice);
                    progress.Add(slice);
                    FCandidates += slice;
                    found += static_cast<int64_t>(slice);
                }
                FSteps += slice - 1;
                k += slice;
                if (found >= n) return found;
            }
            continue;
        }
        for (uint64_t k = 0; k < positions; ++k) {
            if (StopRequested()) return found;
            // Every position is a candidate: those of other shards are stepped over.
            if (skip && found < n)
                if (const uint64_t gap =
                        PassOthers(target, FCandidates, positions - k, n - found, progress)) {
                    k += gap - 1;
                    found += static_cast<int64_t>(gap);
                    if (found >= n) return found;
                    continue;
                }
            if (!filter.Make(r, i, k, c, 0, 0)) continue;
            progress.Inc();
            ++found;
            c.Index = FCandidates++;
            // A count of 0 or less still visits one candidate, but takes none.
            if (found <= n && target.WantsCandidate(c.Index)) target.Emit(c);
            if (found >= n) return found;
        }
    }
    return found;
}

int64_t TZarvoUtils::CopyRandomLines(const std::vector<TRangePlan>& ranges, int32_t from, int32_t to,
                                     const TCandidateFilter& filter, TLineComposer& target, int64_t n) {
    // The positions of all the plans in a seeded random order (TSeededPermutation),
    // each built with random bits drawn from its place (OrKeyedRandomBits); the first
    // n that survive the filters form a selection without repetition in random order,
    // as picking n from the full candidate list would. Any place of the order is had
    // without the places before it, and without memory, so a shard computes only its own.
    std::vector<uint64_t> starts; // first global index of each plan
    uint64_t total = 0;
    for (int32_t i = from; i < to; ++i) {
        starts.push_back(total);
        total = std::min<uint64_t>(total + ranges[static_cast<size_t>(i)].Positions(), uint64_t{1} << 62);
    }
    if (n <= 0 || total == 0) return 0;
    const uint64_t key = Mix64(FRunKey + static_cast<uint64_t>(from));
    const TSeededPermutation order(total, key);
    // The candidate at place i of the order, if it survives the filters.
    const auto make = [&](uint64_t i, TCandidate& c) {
        const uint64_t id = order(i);
        const size_t plan =
            static_cast<size_t>(std::upper_bound(starts.begin(), starts.end(), id) - starts.begin()) - 1;
        const int32_t range = from + static_cast<int32_t>(plan);
        return filter.Make(ranges[static_cast<size_t>(range)], range, id - starts[plan], c, key, id);
    };
    TProgressBatch progress(FProgress);
    int64_t taken = 0;
    TCandidate c;
    const bool skip = filter.DropsNothing();
    if (skip && target.CandidateStride() > 0) {
        // Every place is a candidate of one line: this shard's are every Count-th place
        // from its first, made without a look at the places between them.
        const uint64_t stride = target.CandidateStride(), first = FCandidates;
        const uint64_t limit = std::min(total, static_cast<uint64_t>(n));
        uint64_t i = target.NextWanted(first) - first, counted = 0;
        for (; i < limit; i += stride) {
            if (StopRequested()) break;
            make(i, c);
            c.Index = first + i;
            target.Emit(c);
            progress.Add(i + 1 - counted); // the places passed so far, the others' included
            counted = i + 1;
        }
        const uint64_t passed = std::min(i, limit);
        progress.Add(passed - std::min(passed, counted));
        FCandidates = first + passed;
        return static_cast<int64_t>(passed);
    }
    for (uint64_t i = 0; i < total && taken < n; ++i) {
        if (StopRequested()) break;
        if (skip)
            if (const uint64_t gap = PassOthers(target, FCandidates, total - i, n - taken, progress)) {
                i += gap - 1;
                taken += static_cast<int64_t>(gap);
                continue;
            }
        if (!make(i, c)) continue;
        progress.Inc();
        ++taken;
        c.Index = FCandidates++;
        if (target.WantsCandidate(c.Index)) target.Emit(c);
    }
    return taken;
}

void TZarvoUtils::Run(const TGeneratePlan& plan) {
    const int32_t nPlans = static_cast<int32_t>(plan.Ranges.size());
    if (plan.ResolveCountry) {
        if (plan.MMDBFilePath.empty()) throw Exception("Invalid arguments");
        std::error_code ec;
        if (!std::filesystem::exists(plan.MMDBFilePath, ec)) throw Exception("MMDB File not found");
        // A FIFO, a folder or a device is no database: refused with that reason, before
        // anything else (a FIFO is never opened, which could wait for a writer for ever).
        CheckMMDBFileKind(plan.MMDBFilePath);
    }
    FSinkLines = 0;
    FSteps = 0;
    FStopped = false;
    FCandidates = 0;
    FLineCount = 0;
    FNoneKept.clear();
    const TLineSink* sink = plan.LineSink ? &plan.LineSink : nullptr;
    if (!plan.Append && !sink && !plan.CountOnly) FIPList.Clear();
    // A mask such as "*" leaves nothing to find: no need to walk a field of 2^64.
    if (nPlans == 0 || plan.Excludes.ExcludesEverything()) return;

    if (plan.RandomSeed)
        RandomSeed(*plan.RandomSeed);
    else
        Randomize();
    FRunKey = Random64();
    // Kept addresses are told by a walk of the database's tree; the run then walks them.
    const bool only = OnlyCountriesOn(plan);
    if (plan.CountOnly && !only) {
        if (const std::optional<uint64_t> lines = CountWithoutWalking(plan)) {
            FLineCount = *lines;
            return;
        }
    }

    // One reader for the kept addresses and the column.
    std::unique_ptr<TMMDBReader> reader;
    if (plan.ResolveCountry && (only || !plan.CountOnly))
        reader = std::make_unique<TMMDBReader>(plan.MMDBFilePath);
    TKeptPositions keptPositions;
    if (only) keptPositions = FindKept(plan, *reader);
    std::unique_ptr<TCountryColumn> country;
    if (plan.ResolveCountry && !plan.CountOnly)
        country = OpenCountryColumn(std::move(reader), plan.CountryField);

    bool allIPv4 = true;
    for (const TRangePlan& r : plan.Ranges) allIPv4 = allIPv4 && r.First.ip_family == IPv4;

    // With a sink the lines pass through one reused chunk; otherwise they go
    // straight into FIPList, with room for the expected lines made up front.
    TStringList chunk;
    TStringList& target = sink ? chunk : FIPList;
    const size_t kept = target.Count(), keptText = target.TextSize();
    // A shard makes its share of the lines: room for that, not for the whole run's.
    const auto expected = static_cast<int64_t>(std::min<uint64_t>(
        plan.Shard.LinesOf(static_cast<uint64_t>(std::max<int64_t>(plan.ExpectedLines, 0))),
        uint64_t{INT64_MAX}));
    int64_t reserveLines =
        std::min<int64_t>(expected, sink ? int64_t{TLineComposer::kChunkLines} + 1 : int64_t{1} << 24);
    // No more room up front than the budget could fill (a line costs at least 16).
    if (plan.MemoryBudget)
        reserveLines =
            std::min(reserveLines, static_cast<int64_t>(plan.MemoryBudget / TStringList::LineCost(7)));
    const size_t lines = static_cast<size_t>(std::max<int64_t>(reserveLines, 0));
    // Named lines have no size to tell ahead; the others are an address, a port, a code.
    if (plan.CountOnly) {
        // no lines are made
    } else if (!plan.GenerateNames) {
        target.Reserve(kept + lines, keptText + lines * (allIPv4 ? 16 : 42) + (plan.Ports ? lines * 6 : 0) +
                                         (country ? lines * (plan.Names.Delimiter.size() + 2) : 0));
    } else {
        target.Reserve(kept + lines, 0);
    }

    TLineComposer composer(target, sink, plan, country.get());
    TUniqueFilter unique = plan.Unique ? TUniqueFilter(plan.Ranges) : TUniqueFilter();
    const TCandidateFilter filter(plan, unique, only);
    try {
        Walk(plan, only ? &keptPositions : nullptr, filter, composer);
        composer.Flush();
        FSinkLines = composer.Flushed();
        FLineCount = plan.CountOnly ? composer.Counted() : 0;
    } catch (...) {
        // A failed run keeps only the lines that were there before it, and gives
        // back the memory of its own.
        if (!sink) FIPList.Rollback(kept, keptText);
        throw;
    }
}

void TZarvoUtils::Walk(const TGeneratePlan& plan, const TKeptPositions* kept, const TCandidateFilter& filter,
                       TLineComposer& composer) {
    const auto copy = [&](int32_t from, int32_t to, int64_t n) {
        if (kept)
            return plan.RandomOrder ? CopyRandomKeptLines(plan.Ranges, *kept, from, to, filter, composer, n)
                                    : CopyKeptLines(plan.Ranges, *kept, from, to, filter, composer, n);
        return plan.RandomOrder ? CopyRandomLines(plan.Ranges, from, to, filter, composer, n)
                                : CopyLines(plan.Ranges, from, to, filter, composer, n);
    };
    const auto nPlans = static_cast<int32_t>(plan.Ranges.size());
    if (plan.Mode == gcForEach) {
        for (int32_t i = 0; i < nPlans && !FStopped; ++i) copy(i, i + 1, plan.Count);
    } else {
        copy(0, nPlans, plan.Mode == gcTotalCount ? plan.Count : INT64_MAX);
    }
}

TKeptPositions TZarvoUtils::FindKept(const TGeneratePlan& plan, TMMDBReader& reader) {
    // The tree is walked where the ranges' hulls lie, and nowhere else.
    TRangeSet within;
    for (const TRangePlan& r : plan.Ranges) {
        const TUInt128 low = AddressValue(r.First), high = AddressValue(r.Last());
        if (r.First.ip_family == IPv4)
            within.V4.Add(static_cast<uint32_t>(low), static_cast<uint32_t>(high));
        else
            within.V6.Add(low, high);
    }
    within.Normalize();
    const TRangeSet inCountries = MMDBCountryAddresses(reader, plan.OnlyCountries, within);
    const TRangeSet& blocks = plan.ExcludeBlocks;
    const bool anyBlocks = !blocks.V4.Empty() || !blocks.V6.Empty();
    // The excluded blocks go with the countries' (the filter then leaves them alone);
    // a range is named for holding none of the countries' addresses, excluded or not.
    TKeptPositions kept(plan.Ranges, anyBlocks ? TRangeSet::Subtract(inCountries, blocks) : inCountries);
    const TKeptPositions ofCountries =
        anyBlocks ? TKeptPositions(plan.Ranges, inCountries) : TKeptPositions();
    const TKeptPositions& named = anyBlocks ? ofCountries : kept;
    for (size_t i = 0; i < plan.Ranges.size(); ++i)
        if (named.Of(i).empty()) FNoneKept.push_back(plan.RangeLines[i]);
    return kept;
}

int64_t TZarvoUtils::CopyKeptLines(const std::vector<TRangePlan>& ranges, const TKeptPositions& kept,
                                   int32_t from, int32_t to, const TCandidateFilter& filter,
                                   TLineComposer& target, int64_t n) {
    // As CopyLines, over the kept runs of positions alone.
    TProgressBatch progress(FProgress);
    int64_t found = 0;
    TCandidate c;
    const bool skip = filter.DropsNothing();
    for (int32_t i = from; i < to; ++i) {
        const TRangePlan& r = ranges[static_cast<size_t>(i)];
        for (const TKeptRun& run : kept.Of(static_cast<size_t>(i))) {
            for (TUInt128 k = run.Low;;) {
                if (StopRequested()) return found;
                const TUInt128 after = run.High - k; // the run's positions after k
                uint64_t advance = 1;
                // Every position is a candidate: those of other shards are stepped over.
                const uint64_t here = after >= UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(after) + 1;
                if (const uint64_t gap =
                        skip && found < n ? PassOthers(target, FCandidates, here, n - found, progress) : 0) {
                    found += static_cast<int64_t>(gap);
                    advance = gap;
                } else if (filter.MakeAt(r, i, k, c)) {
                    progress.Inc();
                    ++found;
                    c.Index = FCandidates++;
                    // A count of 0 or less still visits one candidate, but takes none.
                    if (found <= n && target.WantsCandidate(c.Index)) target.Emit(c);
                }
                if (found >= n) return found;
                if (after < advance) break;
                k += advance;
            }
        }
    }
    return found;
}

int64_t TZarvoUtils::CopyRandomKeptLines(const std::vector<TRangePlan>& ranges, const TKeptPositions& kept,
                                         int32_t from, int32_t to, const TCandidateFilter& filter,
                                         TLineComposer& target, int64_t n) {
    // As CopyRandomLines, over the kept addresses alone, numbered from 0 in the order
    // of their runs: a seeded order of those numbers, so that nothing else is walked.
    std::vector<TUInt128> starts, lows; // each run's first number and first position
    std::vector<int32_t> owners;        // each run's range
    TUInt128 total = 0;
    for (int32_t i = from; i < to; ++i)
        for (const TKeptRun& run : kept.Of(static_cast<size_t>(i))) {
            starts.push_back(total);
            lows.push_back(run.Low);
            owners.push_back(i);
            total = std::min(TUInt128{1} << 127, total + std::min(TUInt128{1} << 127, run.Size()));
        }
    if (n <= 0 || total == 0) return 0;
    // Past 2^62 numbers the order is one of units of 2^extra numbers, each taken at a
    // random place inside (as a range's random low bits are); a place past the end is
    // no candidate.
    const int extra = total > (TUInt128{1} << 62) ? rangeset_detail::HighestBit(total - 1) + 1 - 62 : 0;
    const auto units = static_cast<uint64_t>(((total - 1) >> extra) + 1);
    const uint64_t key = Mix64(FRunKey + static_cast<uint64_t>(from));
    const TSeededPermutation order(units, key);
    TProgressBatch progress(FProgress);
    int64_t taken = 0;
    TCandidate c;
    const bool skip = filter.DropsNothing() && extra == 0;
    for (uint64_t i = 0; i < units && taken < n; ++i) {
        if (StopRequested()) break;
        if (skip)
            if (const uint64_t gap = PassOthers(target, FCandidates, units - i, n - taken, progress)) {
                i += gap - 1;
                taken += static_cast<int64_t>(gap);
                continue;
            }
        const uint64_t unit = order(i);
        TUInt128 number = TUInt128{unit} << extra;
        if (extra > 0) {
            const TUInt128 bits = TUInt128{KeyedRandom64(key + 1, unit)} << 64 | KeyedRandom64(key, unit);
            number |= bits & ((TUInt128{1} << extra) - 1);
            if (number >= total) continue;
        }
        const size_t run =
            static_cast<size_t>(std::upper_bound(starts.begin(), starts.end(), number) - starts.begin()) - 1;
        const int32_t range = owners[run];
        if (!filter.MakeAt(ranges[static_cast<size_t>(range)], range, lows[run] + (number - starts[run]), c))
            continue;
        progress.Inc();
        ++taken;
        c.Index = FCandidates++;
        if (target.WantsCandidate(c.Index)) target.Emit(c);
    }
    return taken;
}

std::optional<uint64_t> TZarvoUtils::CountWithoutWalking(const TGeneratePlan& plan) const {
    // Masks look at the text, and --unique at what came before: only a walk tells.
    if (plan.Excludes.Count() > 0) return std::nullopt;
    if (plan.Unique && TUniqueFilter(plan.Ranges).Active()) return std::nullopt;
    const TRangeSet& blocks = plan.ExcludeBlocks;
    const bool anyBlocks = !blocks.V4.Empty() || !blocks.V6.Empty();
    TUInt128 candidates = 0;
    if (plan.Mode == gcAllCount) {
        for (const TRangePlan& r : plan.Ranges) {
            // A range of one interval is counted against the blocks; one with a sub-prefix is walked.
            if (anyBlocks && r.StepBits != 0) return std::nullopt;
            TUInt128 n = r.Positions();
            bool firstOut = false, lastOut = false;
            if (anyBlocks) {
                const TUInt128 low = AddressValue(r.First), high = AddressValue(r.Last());
                n -= CountInside(blocks, r.First.ip_family, low, high);
                firstOut = CountInside(blocks, r.First.ip_family, low, low) != 0;
                lastOut = CountInside(blocks, r.First.ip_family, high, high) != 0;
            }
            if (plan.UsableHosts) {
                // The first and the last position, one address when the field is empty.
                if (!firstOut) --n;
                if (r.Span > 0 && !lastOut) --n;
            }
            candidates += n;
        }
    } else {
        if (plan.UsableHosts || anyBlocks) return std::nullopt;
        const auto count = static_cast<TUInt128>(std::max<int64_t>(plan.Count, 0));
        TUInt128 all = 0;
        for (const TRangePlan& r : plan.Ranges) {
            const TUInt128 positions = r.Positions();
            all += plan.Mode == gcForEach ? std::min(count, positions) : positions;
        }
        candidates = plan.Mode == gcForEach ? all : std::min(count, all);
    }
    const TUInt128 ports = plan.Ports ? static_cast<TUInt128>(std::max<int64_t>(plan.Ports->Count, 0)) : 1;
    const TUInt128 lines = candidates * ports;
    const TShard& s = plan.Shard;
    const TUInt128 mine = lines / s.Count + (s.Index < lines % s.Count ? 1 : 0);
    return mine > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(mine);
}

} // namespace zarvo
