// The country column: one database reader per run; each address is looked up in
// the country-and-city record for a city database, else in the country record.
#include <unordered_map>

#include "generator/ZarvoUtilsUnit.h"
#include "mmdb/uMMDBInfo.h"
#include "mmdb/uMMDBReader.h"

namespace zarvo {

namespace {

class TMMDBCountryColumn : public TCountryColumn {
public:
    explicit TMMDBCountryColumn(const std::string& path)
        : FReader(path), FCity(IsCityDatabaseType(FReader.Metadata().DatabaseType())) {}

    std::string CountryCode(const TIPAddr& addr) override {
        const TMMDBIPAddress ip =
            addr.ip_family == zarvo::IPv6 ? TMMDBIPAddress(addr.IPv6) : TMMDBIPAddress(addr.IPv4);
        int32_t prefix = 0;
        const int64_t r = FReader.WalkTree(ip, prefix);
        if (r == 0) return std::string();
        // Many addresses share one data record: decode each record once per run.
        if (auto it = FCodes.find(r); it != FCodes.end()) return it->second;
        // LoadRecordInto starts from an empty record, so a record without "country"
        // gives an empty code, never the code of an earlier address.
        std::string code;
        if (FCity) {
            FReader.LoadRecordInto(r, FCityInfo);
            code = FCityInfo.Country().ISOCode();
        } else {
            FReader.LoadRecordInto(r, FCountryInfo);
            code = FCountryInfo.Country().ISOCode();
        }
        FCodes.emplace(r, code);
        return code;
    }

private:
    TMMDBReader FReader;
    TMMDBIPCountryInfoEx FCountryInfo;
    TMMDBIPCountryCityInfoEx FCityInfo;
    bool FCity;
    std::unordered_map<int64_t, std::string> FCodes;
};

} // namespace

std::unique_ptr<TCountryColumn> OpenCountryColumn(const std::string& path) {
    return std::make_unique<TMMDBCountryColumn>(path);
}

} // namespace zarvo
