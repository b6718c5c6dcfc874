#include "generator/ZarvoUtilsUnit.h"

#include <algorithm>
#include <filesystem>

#include "support/ZarvoRandom.h"

namespace zarvo {

namespace {

const char* const kTooManyIPs = "Too many IPs (%lld)\r\nMax. IP count: %d";
const char* const kTooManyIPsBits = "Too many IPs (2^%d)\r\nMax. IP count: %d";
const char* const kTooManyLines = "Too many lines (%lld IPs x %lld ports)\r\nMax. line count: %lld";

// Progress increments are batched: the display only samples them every 100 ms.
class TProgressBatch {
public:
    explicit TProgressBatch(TProgress* p) : FProgress(p) {}
    ~TProgressBatch() { Flush(); }
    void Inc() {
        if (++FPending == 65536) Flush();
    }
    void Flush() {
        if (FPending && FProgress) {
            FProgress->IncProgress(FPending);
            FProgress->IncProcessed(FPending);
        }
        FPending = 0;
    }

private:
    TProgress* FProgress;
    int64_t FPending = 0;
};

int64_t SaturatingPow2(int bits) { return bits >= 62 ? INT64_MAX / 2 : (int64_t{1} << bits); }

} // namespace

TZarvoUtils::TZarvoUtils(TProgress* progress) : FProgress(progress) {}

int TZarvoUtils::BitsForCount(int64_t n) {
    if (n <= 1) return 0;
    uint64_t v = static_cast<uint64_t>(n - 1);
    int bits = 0;
    while (v) {
        ++bits;
        v >>= 1;
    }
    return bits;
}

std::vector<std::string> TZarvoUtils::ParsePortNumbers(const std::string& text) {
    std::vector<std::string> list;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find_first_of(",;", pos);
        if (end == std::string::npos) end = text.size();
        const std::string_view item = Trim(std::string_view(text).substr(pos, end - pos));
        pos = end + 1;
        if (item.empty()) continue;
        std::string_view lowText = item, highText = item;
        const size_t dash = item.find('-');
        if (dash != std::string_view::npos) {
            lowText = Trim(item.substr(0, dash));
            highText = Trim(item.substr(dash + 1));
        }
        auto low = TryStrToInt(lowText), high = TryStrToInt(highText);
        if (!low || !high) continue;
        int32_t lo = *low, hi = *high;
        if (hi < lo) std::swap(lo, hi);
        lo = std::max(lo, 1);
        hi = std::min(hi, 65535);
        if (hi < lo) continue;
        for (int32_t port = lo; port <= hi; ++port) list.push_back(":" + std::to_string(port));
    }
    return list;
}

bool TZarvoUtils::PerformGenerateIPList(const void* thread, std::string& resultText) {
    resultText.clear();
    FThread = thread;
    TProgress dummy;
    TProgress* progress = FProgress ? FProgress : &dummy;
    progress->SetStatus("Action: Generate IP List");
    progress->SetPosition(0);
    progress->SetMax(100);
    progress->SetProcessed(0);

    TRangePlans plans;
    TExcludeList excludes;
    std::optional<TPorts> ports;
    if (FAddPortNumbers) ports = ParsePortNumbers(FPortNumbers);

    const int64_t count = FGenerateCountMode == gcAllCount ? 0 : FGenerateCount;
    TNameSettings names;
    if (FGenerateNames) {
        names.Template = FNameTemplate;
        names.Symbol = FCounterSymbol;
        names.First = FFirstCounter;
        names.Step = FCounterStep;
        names.Digits = FCounterDigits;
        names.Delimiter = FNameDelimiter;
    } else {
        names.Delimiter = " ";
    }

    const int maxBits = BitsForCount(FMaxIPs);
    int64_t total = 0;
    if (FGenerateCountMode == gcTotalCount) {
        if (count > FMaxIPs) throw Exception(Format(kTooManyIPs, static_cast<long long>(count), FMaxIPs));
        total = count;
    }
    const int countBits = BitsForCount(count);
    // Upper bound of the addresses selected, for the output-line limit.
    int64_t fieldSum = 0, selectedBound = 0;

    for (const std::string& line : FIPRanges) {
        const std::string_view trimmed = Trim(line);
        std::string_view label = trimmed, rangeText = trimmed;
        const size_t eq = trimmed.find('=');
        if (eq != std::string_view::npos) {
            label = trimmed.substr(0, eq);
            rangeText = Trim(trimmed.substr(eq + 1));
        }
        if (rangeText.empty() || rangeText[0] == ';') continue;

        const size_t slash1 = rangeText.find('/');
        const std::string_view addrText = rangeText.substr(0, slash1);
        std::string_view prefixText, subText;
        if (slash1 != std::string_view::npos) {
            const std::string_view rest = rangeText.substr(slash1 + 1);
            const size_t slash2 = rest.find('/');
            prefixText = rest.substr(0, slash2);
            if (slash2 != std::string_view::npos) subText = rest.substr(slash2 + 1);
        }
        TIPAddr addr;
        if (addrText.empty() || !TryStrToIPAddr(addrText, addr)) continue;
        const int maxLen = addr.ip_family == IPv4 ? 32 : 128;
        const int p = prefixText.empty() ? maxLen : StrToIntDef(prefixText, -1);
        if (p < 0 || p > maxLen) continue;
        int s = subText.empty() ? maxLen : StrToIntDef(subText, -1);
        if (s < p || s > maxLen) continue;

        int stepBits = maxLen - s, randomBits = 0;
        if (FRandomOrder && FGenerateCountMode != gcAllCount && s - p > countBits) {
            randomBits = (s - p) - countBits;
            s = p + countBits;
            stepBits += randomBits;
        }
        const TIPAddr mask = MakeIPAddrMask(addr.ip_family, p, s);
        const int span = s - p;
        if (FGenerateCountMode == gcForEach) {
            total += count;
            if (total > FMaxIPs) throw Exception(Format(kTooManyIPs, static_cast<long long>(total), FMaxIPs));
        } else if (FGenerateCountMode == gcAllCount) {
            if (span > maxBits) throw Exception(Format(kTooManyIPsBits, span, FMaxIPs));
            total += int64_t{1} << span;
        }
        const int64_t positions = SaturatingPow2(span);
        fieldSum = std::min(fieldSum + positions, INT64_MAX / 2);
        if (FGenerateCountMode == gcForEach) selectedBound += std::max<int64_t>(0, std::min(count, positions));

        plans.Sources.emplace_back(label);
        plans.Addresses.Add(addr);
        plans.Masks.Add(mask);
        plans.StepBits.Add(stepBits);
        plans.RandomBits.Add(randomBits);
    }

    if (FDoExclude)
        for (const std::string& m : FExcludeMasks)
            if (!m.empty()) excludes.Add(m);

    // Ports multiply the output: refuse a run whose lines could not be held, before
    // anything is enumerated.
    if (ports && !ports->empty()) {
        if (FGenerateCountMode == gcAllCount) selectedBound = fieldSum;
        else if (FGenerateCountMode == gcTotalCount) selectedBound = std::max<int64_t>(0, std::min(count, fieldSum));
        const int64_t nPorts = static_cast<int64_t>(ports->size());
        if (selectedBound > kMaxOutputLines / nPorts)
            throw Exception(Format(kTooManyLines, static_cast<long long>(selectedBound),
                                   static_cast<long long>(nPorts), static_cast<long long>(kMaxOutputLines)));
    }

    progress->SetMax(total);
    progress->SetPosition(0);
    progress->SetProcessed(0);

    GenerateIPList(FAppend, FGenerateCountMode, count, FRandomOrder, plans, FUsableHostIPAddresses, excludes,
                   FEscapeIPv6, ports ? &*ports : nullptr, FGenerateNames, names, FResolveIPCountry,
                   FMMDBFilePath);

    resultText = Format("%d IPs generated.", static_cast<int>(FIPList.Count()));
    progress->SetPosition(progress->Max());
    return true;
}

void TZarvoUtils::AddLine(uint32_t candidate, TStringList& target, const TPorts* ports, bool escapeIPv6) {
    char buf[48];
    const char* end = IPAddrToChars(FCandidates[candidate].Addr, escapeIPv6, buf);
    const size_t n = static_cast<size_t>(end - buf);
    if (!ports) {
        target.Add(std::string_view(buf, n), static_cast<int32_t>(candidate));
        return;
    }
    for (const std::string& suffix : *ports) {
        char* p = target.AddRaw(n + suffix.size(), static_cast<int32_t>(candidate));
        std::copy(buf, buf + n, p);
        std::copy(suffix.begin(), suffix.end(), p + n);
    }
}

void TZarvoUtils::CopyLines(std::vector<uint32_t>& source, TStringList& target, int64_t n, const TPorts* ports,
                            bool escapeIPv6) {
    const size_t m = n <= 0 ? 0 : std::min<size_t>(static_cast<size_t>(n), source.size());
    for (size_t i = 0; i < m; ++i) AddLine(source[i], target, ports, escapeIPv6);
}

void TZarvoUtils::CopyRandomLines(std::vector<uint32_t>& source, TStringList& target, int64_t n,
                                  const TPorts* ports, bool escapeIPv6) {
    size_t remaining = source.size();
    const size_t m = n <= 0 ? 0 : std::min<size_t>(static_cast<size_t>(n), remaining);
    // Pick first, then format: the picks touch only the small index array, and the
    // formatting pass can prefetch the candidates it is about to read.
    std::vector<uint32_t> picked(m);
    for (size_t i = 0; i < m; ++i) {
        const size_t k = static_cast<size_t>(RandomBelow(remaining));
        picked[i] = source[k];
        --remaining;
        if (k < remaining) source[k] = source[remaining];
    }
    constexpr size_t kAhead = 16;
    for (size_t i = 0; i < m; ++i) {
        if (i + kAhead < m) __builtin_prefetch(&FCandidates[picked[i + kAhead]]);
        AddLine(picked[i], target, ports, escapeIPv6);
    }
}

void TZarvoUtils::GenerateIPList(bool append, TGenerateCounts mode, int64_t count, bool randomOrder,
                                 const TRangePlans& plans, bool usableHosts, const TExcludeList& excludes,
                                 bool escapeIPv6, const TPorts* ports, bool generateNames,
                                 const TNameSettings& names, bool resolveCountry, const std::string& mmdbFilePath) {
    const int32_t nPlans = plans.Addresses.Count();
    if (plans.Masks.Count() != nPlans || plans.StepBits.Count() != nPlans) throw Exception("Invalid arguments");
    if (resolveCountry) {
        if (mmdbFilePath.empty()) throw Exception("Invalid arguments");
        std::error_code ec;
        if (!std::filesystem::is_regular_file(mmdbFilePath, ec)) throw Exception("MMDB File not found");
    }
    if (!append) FIPList.Clear();
    if (nPlans == 0) return;

    if (FRandomSeed) RandomSeed(*FRandomSeed);
    else Randomize();

    std::unique_ptr<TCountryColumn> country;
    if (resolveCountry) country = OpenCountryColumn(mmdbFilePath);

    FCandidates.clear();
    std::vector<uint32_t> lines; // candidate indexes, in the order found
    TStringList output;
    const bool limited = mode == gcTotalCount || mode == gcForEach;
    const bool testExcludes = excludes.Count() > 0;
    TProgressBatch progress(FProgress);

    auto moveCandidates = [&](int64_t n) {
        if (randomOrder) CopyRandomLines(lines, output, n, ports, escapeIPv6);
        else CopyLines(lines, output, n, ports, escapeIPv6);
    };

    for (int32_t i = 0; i < nPlans; ++i) {
        const TIPAddr& mask = plans.Masks.Data()[i];
        const int stepBits = plans.StepBits.Data()[i];
        const int randomBits = plans.RandomBits.Data()[i];
        TIPAddr cur = plans.Addresses.Data()[i];
        IPAddrAnd(cur, mask);
        const TIPAddr first = cur;
        TIPAddr last = first, notMask = mask;
        IPAddrNot(notMask);
        IPAddrOr(last, notMask);

        while (IPAddrMaskedEqual(cur, first, mask)) {
            TIPAddr candidate = cur;
            if (randomBits > 0) IPAddrRandomBits(candidate, stepBits - randomBits, randomBits);
            bool keep = !(usableHosts && (IPAddrEqual(candidate, first) || IPAddrEqual(candidate, last)));
            if (keep && testExcludes) {
                char buf[48];
                const char* end = IPAddrToChars(candidate, escapeIPv6, buf);
                keep = !excludes.Excludes(std::string_view(buf, static_cast<size_t>(end - buf)));
            }
            if (keep) {
                if (FCandidates.size() >= static_cast<size_t>(INT32_MAX))
                    throw Exception(Format(kTooManyIPs, static_cast<long long>(FCandidates.size()), FMaxIPs));
                lines.push_back(static_cast<uint32_t>(FCandidates.size()));
                FCandidates.push_back(TCandidate{candidate, i});
                progress.Inc();
                if (!randomOrder && limited && static_cast<int64_t>(lines.size()) >= count) break;
            }
            IPAddrAddBit(cur, stepBits);
            if (IPAddrEqual(cur, first)) break; // the address space wrapped around
        }
        progress.Flush();

        if (mode == gcForEach) {
            moveCandidates(count);
            lines.clear();
        } else if (mode == gcTotalCount && !randomOrder && static_cast<int64_t>(lines.size()) >= count) {
            break;
        }
    }
    if (mode == gcTotalCount) moveCandidates(count);
    else if (mode == gcAllCount) moveCandidates(static_cast<int64_t>(lines.size()));
    std::vector<uint32_t>().swap(lines);

    if (!country && !generateNames) {
        if (FIPList.Empty()) FIPList.swap(output);
        else FIPList.AddAll(output);
        FCandidates.clear();
        return;
    }

    // Country column, then the host name in front; the object stays with each line.
    const size_t kept = FIPList.Count();
    try {
        const bool counterOn = !names.Symbol.empty() && names.Template.find(names.Symbol) != std::string::npos;
        bool quadOn[9] = {};
        for (int k = 1; k <= 8; ++k) quadOn[k] = names.Template.find("%" + std::to_string(k)) != std::string::npos;
        const bool sourceOn = names.Template.find("%s") != std::string::npos;
        uint32_t counter = static_cast<uint32_t>(names.First);
        std::string line, name;
        for (size_t j = 0; j < output.Count(); ++j) {
            const int32_t obj = output.Object(j);
            const TCandidate& cand = FCandidates[static_cast<size_t>(obj)];
            line.assign(output[j]);
            if (country) {
                line += names.Delimiter;
                line += country->CountryCode(cand.Addr);
            }
            if (generateNames) {
                name = names.Template;
                if (counterOn) {
                    std::string text = std::to_string(static_cast<int32_t>(counter));
                    if (static_cast<int64_t>(text.size()) < names.Digits)
                        text.insert(0, static_cast<size_t>(names.Digits) - text.size(), '0');
                    ReplaceAll(name, names.Symbol, text);
                    // The counter wraps at 32 bits.
                    counter += static_cast<uint32_t>(names.Step);
                }
                for (int k = 1; k <= 8; ++k)
                    if (quadOn[k]) ReplaceAll(name, "%" + std::to_string(k), IPAddrQuadrant(cand.Addr, k));
                if (sourceOn) ReplaceAll(name, "%s", plans.Sources[static_cast<size_t>(cand.Range)]);
                name += names.Delimiter;
                line.insert(0, name);
            }
            FIPList.Add(line, obj);
        }
    } catch (...) {
        FIPList.Truncate(kept);
        FCandidates.clear();
        throw;
    }
    FCandidates.clear();
}

} // namespace zarvo
