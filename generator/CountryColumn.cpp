// The country column: one database reader per run; each address is looked up in
// the country-and-city record for a city database, else in the country record.
#include <deque>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "generator/ZarvoUtilsUnit.h"
#include "mmdb/uMMDBInfo.h"
#include "mmdb/uMMDBReader.h"

namespace zarvo {

namespace {

// Country codes by tree record value: an open-addressing table of record values and
// indexes into the few distinct codes, small enough to stay in the cache.
class TCodeMemo {
public:
    const std::string* Find(int64_t r) const {
        if (FSlots.empty() || r > UINT32_MAX) return nullptr;
        for (size_t i = Hash(r) & FMask;; i = (i + 1) & FMask) {
            if (FSlots[i].Record == 0) return nullptr;
            if (FSlots[i].Record == r) return &FCodes[FSlots[i].Code];
        }
    }
    // Larger than a core's cache: its slots are worth asking for ahead.
    bool Large() const { return FSlots.size() * sizeof(Slot) > (size_t{256} << 10); }
    void Prefetch(int64_t r) const {
        if (!FSlots.empty()) __builtin_prefetch(&FSlots[Hash(r) & FMask]);
    }
    void Add(int64_t r, const std::string& code) {
        if (r > UINT32_MAX) return;
        if ((FCount + 1) * 2 > FSlots.size()) Grow();
        uint32_t index = 0;
        while (index < FCodes.size() && FCodes[index] != code) ++index;
        if (index == FCodes.size()) {
            if (FCodes.size() > 4096) return; // not country codes: stop memoising new ones
            FCodes.push_back(code);
        }
        Insert(r, index);
        ++FCount;
    }

private:
    struct Slot {
        uint32_t Record; // 0: empty (a data record value is above NodeCount, never 0)
        uint32_t Code;
    };
    static size_t Hash(int64_t r) {
        return static_cast<size_t>(static_cast<uint64_t>(r) * 0x9E3779B97F4A7C15ull >> 20);
    }
    void Insert(int64_t r, uint32_t code) {
        size_t i = Hash(r) & FMask;
        while (FSlots[i].Record != 0) i = (i + 1) & FMask;
        FSlots[i] = Slot{static_cast<uint32_t>(r), code};
    }
    void Grow() {
        std::vector<Slot> old(FSlots.empty() ? 0 : FSlots.size());
        old.swap(FSlots);
        FSlots.assign(old.empty() ? 1024 : old.size() * 2, Slot{0, 0});
        FMask = FSlots.size() - 1;
        for (const Slot& s : old)
            if (s.Record != 0) Insert(s.Record, s.Code);
    }
    std::vector<Slot> FSlots;
    size_t FMask = 0, FCount = 0;
    std::deque<std::string> FCodes; // a deque: a code stays where it is as more are added
};

// The accessor of "country", shared by the country and the city record.
void* (*CountryField())(TMMDBRecord&) {
    for (const TMMDBField& f : TMMDBIPCountryInfoEx::Table())
        if (std::string_view(f.Key) == "country") return f.Get;
    return nullptr;
}

class TMMDBCountryColumn : public TCountryColumn {
public:
    explicit TMMDBCountryColumn(const std::string& path)
        : TMMDBCountryColumn(std::make_unique<TMMDBReader>(path)) {}
    explicit TMMDBCountryColumn(std::unique_ptr<TMMDBReader> reader)
        : FReaderOwned(std::move(reader)), FReader(*FReaderOwned),
          FCity(IsCityDatabaseType(FReader.Metadata().DatabaseType())), FCountryField(CountryField()) {}

    std::unique_ptr<TCountryColumn> Twin() const override {
        return std::make_unique<TMMDBCountryColumn>(FReader.Twin());
    }

    std::string CountryCode(const TIPAddr& addr) override {
        int32_t prefix = 0;
        return CodeOf(FReader.WalkTree(Address(addr), prefix));
    }

    void CountryCodes(std::span<const TIPAddr> addrs, std::span<TCountryAnswer> answers) override {
        FAddresses.clear();
        for (const TIPAddr& a : addrs) {
            if (a.ip_family == zarvo::IPv6)
                FAddresses.emplace_back(a.IPv6);
            else
                FAddresses.emplace_back(a.IPv4);
        }
        FRecords.resize(addrs.size());
        FPrefixes.resize(addrs.size());
        FReader.WalkTrees(FAddresses, FRecords, FPrefixes);
        // The memo's slots first (when it has outgrown a core's cache), then the data
        // of the records it does not hold, all asked for ahead of their reads.
        if (FCodes.Large())
            for (const int64_t r : FRecords) FCodes.Prefetch(r);
        FKnown.resize(addrs.size());
        for (size_t k = 0; k < addrs.size(); ++k) {
            const int64_t r = FRecords[k];
            FKnown[k] = r > 0 ? FCodes.Find(r) : nullptr;
            if (r > 0 && !FKnown[k]) FReader.PrefetchRecord(r);
        }
        for (size_t k = 0; k < addrs.size(); ++k) {
            TCountryAnswer& answer = answers[k];
            if (answer.Error) answer.Error = nullptr;
            if (FKnown[k]) {
                answer.Code = *FKnown[k];
                continue;
            }
            try {
                // A failed walk: the plain walk at the address raises its error.
                const int64_t r = FRecords[k] == TMMDBReader::kWalkFailed
                                      ? FReader.WalkTree(FAddresses[k], FPrefixes[k])
                                      : FRecords[k];
                answer.Code = CodeOf(r);
            } catch (...) {
                answer.Code.clear();
                answer.Error = std::current_exception();
            }
        }
    }

private:
    static TMMDBIPAddress Address(const TIPAddr& addr) {
        return addr.ip_family == zarvo::IPv6 ? TMMDBIPAddress(addr.IPv6) : TMMDBIPAddress(addr.IPv4);
    }

    // The code of tree record value r ("" for none); valid until the next call.
    const std::string& CodeOf(int64_t r) {
        if (r == 0) return FNoCode;
        // Many addresses share one data record: decode each record once per run.
        if (const std::string* known = FCodes.Find(r)) return *known;
        // LoadRecordInto starts from an empty record, so a record without "country"
        // gives an empty code, never the code of an earlier address.
        // Only "country" is decoded (with its checks); the rest of the record is
        // stepped over, as the column reads nothing else. Records share their country
        // through pointers: a country seen before at the same place and depth is not
        // decoded again, and its code is the one it gave then.
        TMMDBIPCountryInfoEx& rec = FCity ? FCityInfo : FCountryInfo;
        TMMDBDecoder& decoder = FReader.Decoder();
        TMMDBDecoder::TOnlyFieldVisit& visit = decoder.OnlyFieldVisit();
        const auto load = [&](bool known) {
            visit = {};
            decoder.SetOnlyField(&rec, FCountryField);
            decoder.SetOnlyFieldKnown(known ? &KnownCountry : nullptr, this);
            try {
                FReader.LoadRecordInto(r, rec);
            } catch (...) {
                decoder.SetOnlyField(nullptr, nullptr);
                decoder.SetOnlyFieldKnown(nullptr, nullptr);
                throw;
            }
            decoder.SetOnlyField(nullptr, nullptr);
            decoder.SetOnlyFieldKnown(nullptr, nullptr);
        };
        load(true);
        // A record that names its country twice fills one object from both: decoded
        // in full then.
        if (visit.Count > 1) load(false);
        const std::string& code = visit.Passed && visit.Count == 1
                                      ? FCountryCodes.at(CountryKey(visit.Target, visit.Depth))
                                      : rec.Country().ISOCode();
        if (visit.Count == 1 && visit.Target >= 0 && !visit.Passed && FCountryCodes.size() < kMaxCountries)
            FCountryCodes.emplace(CountryKey(visit.Target, visit.Depth), code);
        FCodes.Add(r, code);
        return code;
    }

    static uint64_t CountryKey(int64_t target, int depth) {
        return static_cast<uint64_t>(target) << 10 | static_cast<uint64_t>(depth);
    }
    static bool KnownCountry(const void* self, int64_t target, int depth) {
        return static_cast<const TMMDBCountryColumn*>(self)->FCountryCodes.contains(
            CountryKey(target, depth));
    }

    std::unique_ptr<TMMDBReader> FReaderOwned;
    TMMDBReader& FReader;
    TMMDBIPCountryInfoEx FCountryInfo;
    TMMDBIPCountryCityInfoEx FCityInfo;
    bool FCity;
    void* (*FCountryField)(TMMDBRecord&);
    TCodeMemo FCodes;
    // The codes of country objects decoded before, by the place and depth of their decode.
    static constexpr size_t kMaxCountries = 65536;
    std::unordered_map<uint64_t, std::string> FCountryCodes;
    const std::string FNoCode;
    // A batch's addresses and walks, kept for the next batch.
    std::vector<TMMDBIPAddress> FAddresses;
    std::vector<int64_t> FRecords;
    std::vector<int32_t> FPrefixes;
    // The memo's codes of a batch's records, found before any of them is decoded (the
    // memo keeps its codes where they are as it grows).
    std::vector<const std::string*> FKnown;
};

} // namespace

std::unique_ptr<TCountryColumn> OpenCountryColumn(const std::string& path) {
    return std::make_unique<TMMDBCountryColumn>(path);
}

} // namespace zarvo
