// The country column: one database reader per run; each address is looked up in
// the country-and-city record for a city database, else in the country record.
#include <span>
#include <string_view>
#include <vector>

#include "generator/ZarvoUtilsUnit.h"
#include "mmdb/uMMDBCountryCodes.h"
#include "mmdb/uMMDBReader.h"

namespace zarvo {

namespace {

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
    static TMMDBIPAddress Address(const TIPAddr& addr) {
        return addr.ip_family == zarvo::IPv6 ? TMMDBIPAddress(addr.IPv6) : TMMDBIPAddress(addr.IPv4);
    }

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

} // namespace

std::unique_ptr<TCountryColumn> OpenCountryColumn(const std::string& path) {
    return std::make_unique<TMMDBCountryColumn>(path);
}

} // namespace zarvo
