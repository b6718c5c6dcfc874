#include "mmdb/uMMDBLineReader.h"

namespace zarvo {

namespace {

const char* const kCountryHeader =
    "network,continent_code,continent_geoname_id,country_iso_code,country_geoname_id,"
    "registered_country_iso_code,registered_country_geoname_id";
const char* const kCityHeader =
    "network,continent_code,continent_geoname_id,country_iso_code,country_geoname_id,"
    "registered_country_iso_code,registered_country_geoname_id,city_geoname_id,"
    "en_city_name,en_state_name,postal_code";

// The network's first address with every bit from prefix on cleared.
std::string NetworkText(const TMMDBIPAddress& start, int32_t prefix) {
    uint8_t b[16];
    const int n = start.GetAddressBytes(b);
    for (int bit = std::max(prefix, 0); bit < n * 8; ++bit)
        b[bit / 8] &= static_cast<uint8_t>(~(0x80u >> (bit % 8)));
    return TMMDBIPAddress(b, static_cast<size_t>(n)).ToString();
}

std::string Ll(int64_t v) {
    return Format("%lld", static_cast<long long>(v));
}

std::string EnName(const TMMDBStringDictionary& names) {
    const std::string* s = names.Find("en");
    return s ? *s : std::string();
}

template <class T, class Row> void AddRows(TMMDBReader& reader, TStringList& lines, Row row) {
    auto e = reader.EnumerateNetworks<T>(true).GetEnumerator();
    while (e->MoveNext()) {
        const TMMDBIteratorNode<T>* n = e->Current();
        lines.Add(row(n->Start, n->Prefix, *n->Data));
        if (lines.Count() >= static_cast<size_t>(TMMDBMetaReader::kMaxLines)) break;
    }
}

} // namespace

std::string FormatShortDate(uint64_t epochSeconds, const std::string& format) {
    // Days to civil date (proleptic Gregorian), in 64 bits so no epoch overflows.
    const int64_t z = static_cast<int64_t>(epochSeconds / 86400) + 719468;
    const int64_t era = z / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const int64_t m = mp < 10 ? mp + 3 : mp - 9;
    const int64_t y = yoe + era * 400 + (m <= 2 ? 1 : 0);

    std::string out;
    for (size_t i = 0; i < format.size();) {
        const char c = AsciiLower(format[i]);
        size_t run = 1;
        while (i + run < format.size() && AsciiLower(format[i + run]) == c) ++run;
        if (c == 'd') {
            out += Format(run >= 2 ? "%02lld" : "%lld", static_cast<long long>(d));
        } else if (c == 'm') {
            out += Format(run >= 2 ? "%02lld" : "%lld", static_cast<long long>(m));
        } else if (c == 'y') {
            out += run <= 2 ? Format("%02lld", static_cast<long long>(y % 100))
                            : Format("%lld", static_cast<long long>(y));
        } else {
            out.append(format, i, run);
        }
        i += run;
    }
    return out;
}

TMMDBMetaReader::TMMDBMetaReader(const std::string& Filename, int32_t /*BufferSize*/,
                                 const std::string& shortDateFormat) {
    auto lines = std::make_unique<TStringList>();
    FMMDBReader = std::make_unique<TMMDBReader>(Filename);
    Build(*lines, shortDateFormat);
    InitLines(lines.release(), true);
}

TMMDBMetaReader::~TMMDBMetaReader() {
    FMMDBReader.reset();
}

TLineReaderClass TMMDBMetaReader::ReaderClass(const std::string& shortDateFormat) {
    return
        [shortDateFormat](const std::string& filename, int32_t bufferSize) -> std::unique_ptr<TLineReader> {
            return std::make_unique<TMMDBMetaReader>(filename, bufferSize, shortDateFormat);
        };
}

std::string TMMDBMetaReader::RenderCountryRow(const TMMDBIPAddress& start, int32_t prefix,
                                              const TMMDBIPCountryInfo& r) {
    return Format("%s/%d,%s,%s,%s,%s,%s,%s", NetworkText(start, prefix).c_str(), prefix,
                  r.Continent().Code().c_str(), Ll(r.Continent().GeonameId()).c_str(),
                  r.Country().ISOCode().c_str(), Ll(r.Country().GeonameId()).c_str(),
                  r.RegisteredCountry().ISOCode().c_str(), Ll(r.RegisteredCountry().GeonameId()).c_str());
}

std::string TMMDBMetaReader::RenderCityRow(const TMMDBIPAddress& start, int32_t prefix,
                                           const TMMDBIPCountryCityInfoEx& r) {
    std::string state;
    for (size_t i = 0; i < r.Subdivisions().Count(); ++i)
        if (const std::string* s = r.Subdivisions()[i].Names().Find("en")) {
            state = *s;
            break;
        }
    return Format("%s/%d,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s", NetworkText(start, prefix).c_str(), prefix,
                  r.Continent().Code().c_str(), Ll(r.Continent().GeonameId()).c_str(),
                  r.Country().ISOCode().c_str(), Ll(r.Country().GeonameId()).c_str(),
                  r.RegisteredCountry().ISOCode().c_str(), Ll(r.RegisteredCountry().GeonameId()).c_str(),
                  Ll(r.City().GeonameId()).c_str(), EnName(r.City().Names()).c_str(), state.c_str(),
                  r.Postal().Code().c_str());
}

void TMMDBMetaReader::Build(TStringList& lines, const std::string& shortDateFormat) {
    const TMMDBMetadata& m = FMMDBReader->Metadata();
    lines.Add(Format("binary_format_major_version,%d", m.BinaryFormatMajorVersion()));
    lines.Add(Format("binary_format_minor_version,%d", m.BinaryFormatMinorVersion()));
    lines.Add(Format("build_epoch,%s", FormatShortDate(m.BuildEpoch(), shortDateFormat).c_str()));
    lines.Add(Format("database_type,%s", m.DatabaseType().c_str()));
    for (size_t i = 0; i < m.Description().Count(); ++i)
        lines.Add(
            Format("description.%s,%s", m.Description().Key(i).c_str(), m.Description().Value(i).c_str()));
    lines.Add(Format("ip_version,%d", m.IPVersion()));
    for (size_t i = 0; i < m.Languages().size(); ++i)
        lines.Add(Format("language[%d],%s", static_cast<int>(i), m.Languages()[i].c_str()));
    lines.Add(Format("node_count,%s", Ll(m.NodeCount()).c_str()));
    lines.Add(Format("record_size,%d", m.RecordSize()));

    if (IsCityDatabaseType(m.DatabaseType())) {
        lines.Add(kCityHeader);
        AddRows<TMMDBIPCountryCityInfoEx>(*FMMDBReader, lines, &RenderCityRow);
    } else {
        lines.Add(kCountryHeader);
        AddRows<TMMDBIPCountryInfo>(*FMMDBReader, lines, &RenderCountryRow);
    }
}

} // namespace zarvo
