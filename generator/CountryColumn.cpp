// The country column: one database reader per run; each address is looked up in
// the country-and-city record for a city database, else in the country record, or,
// for another field, its value read by its path as "lookup --field" reads it.
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "generator/ZarvoUtilsUnit.h"
#include "mmdb/uMMDBCountryCodes.h"
#include "mmdb/uMMDBReader.h"
#include "mmdb/uMMDBValues.h"

namespace zarvo {

namespace {

TMMDBIPAddress Address(const TIPAddr& addr) {
    return addr.ip_family == zarvo::IPv6 ? TMMDBIPAddress(addr.IPv6) : TMMDBIPAddress(addr.IPv4);
}

class TMMDBCountryColumn : public TCountryColumn {
public:
    explicit TMMDBCountryColumn(const std::string& path)
        : TMMDBCountryColumn(std::make_unique<TMMDBReader>(path)) {}
    explicit TMMDBCountryColumn(std::unique_ptr<TMMDBReader> reader)
        : FReaderOwned(std::move(reader)), FReader(*FReaderOwned), FCodes(FReader) {}

    std::unique_ptr<TCountryColumn> Twin() const override {
        return std::make_unique<TMMDBCountryColumn>(FReader.Twin());
    }

    std::string CountryCode(const TIPAddr& addr) override {
        int32_t prefix = 0;
        return FCodes.CodeOf(FReader.WalkTree(Address(addr), prefix));
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
        FKnown.resize(addrs.size());
        FCodes.LookAhead(FRecords, FKnown);
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
                answer.Code = FCodes.CodeOf(r);
            } catch (...) {
                answer.Code.clear();
                answer.Error = std::current_exception();
            }
        }
    }

private:
    std::unique_ptr<TMMDBReader> FReaderOwned;
    TMMDBReader& FReader;
    TMMDBCountryCodes FCodes;
    // A batch's addresses and walks, kept for the next batch.
    std::vector<TMMDBIPAddress> FAddresses;
    std::vector<int64_t> FRecords;
    std::vector<int32_t> FPrefixes;
    // The memo's codes of a batch's records, found before any of them is decoded (the
    // memo keeps its codes where they are as it grows).
    std::vector<const std::string*> FKnown;
};

// Any value of the record by its path (TMMDBValueReader::AppendField, as "lookup
// --field" prints it), made once for each record: "" where the record lacks it or the
// address lies in no network.
class TMMDBFieldColumn : public TCountryColumn {
public:
    TMMDBFieldColumn(std::unique_ptr<TMMDBReader> reader, TMMDBFieldPath path)
        : FReader(std::move(reader)), FPath(std::move(path)), FValues(FReader->Decoder()) {}

    std::unique_ptr<TCountryColumn> Twin() const override {
        return std::make_unique<TMMDBFieldColumn>(FReader->Twin(), FPath);
    }

    std::string CountryCode(const TIPAddr& addr) override {
        int32_t prefix = 0;
        return ValueOf(FReader->WalkTree(Address(addr), prefix));
    }

    void CountryCodes(std::span<const TIPAddr> addrs, std::span<TCountryAnswer> answers) override {
        FAddresses.clear();
        for (const TIPAddr& a : addrs) FAddresses.push_back(Address(a));
        FRecords.resize(addrs.size());
        FPrefixes.resize(addrs.size());
        FReader->WalkTrees(FAddresses, FRecords, FPrefixes);
        for (size_t k = 0; k < addrs.size(); ++k) {
            TCountryAnswer& answer = answers[k];
            answer.Error = nullptr;
            try {
                // A failed walk: the plain walk at the address raises its error.
                const int64_t r = FRecords[k] == TMMDBReader::kWalkFailed
                                      ? FReader->WalkTree(FAddresses[k], FPrefixes[k])
                                      : FRecords[k];
                answer.Code = ValueOf(r);
            } catch (...) {
                answer.Code.clear();
                answer.Error = std::current_exception();
            }
        }
    }

private:
    // The most values kept before the memo starts afresh.
    static constexpr size_t kMemoValues = size_t{1} << 18;

    const std::string& ValueOf(int64_t r) {
        if (r == 0) return FNone;
        if (const auto it = FMemo.find(r); it != FMemo.end()) return it->second;
        std::string value;
        FValues.AppendField(FReader->RecordOffset(r), FPath, value);
        if (FMemo.size() == kMemoValues) FMemo.clear();
        return FMemo.emplace(r, std::move(value)).first->second;
    }

    std::unique_ptr<TMMDBReader> FReader;
    TMMDBFieldPath FPath;
    TMMDBValueReader FValues;
    std::unordered_map<int64_t, std::string> FMemo; // values by tree record value
    const std::string FNone;
    std::vector<TMMDBIPAddress> FAddresses;
    std::vector<int64_t> FRecords;
    std::vector<int32_t> FPrefixes;
};

} // namespace

std::unique_ptr<TCountryColumn> OpenCountryColumn(std::unique_ptr<TMMDBReader> reader,
                                                  const std::string& field) {
    // The country code keeps its own way: only the record's country is decoded.
    if (field == kDefaultCountryField) return std::make_unique<TMMDBCountryColumn>(std::move(reader));
    return std::make_unique<TMMDBFieldColumn>(std::move(reader), ParseMMDBFieldPath(field));
}

std::unique_ptr<TCountryColumn> OpenCountryColumn(const std::string& path, const std::string& field) {
    ParseMMDBFieldPath(field); // a bad path is told before the file is read
    return OpenCountryColumn(std::make_unique<TMMDBReader>(path), field);
}

} // namespace zarvo
