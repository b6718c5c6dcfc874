#include "mmdb/uMMDBLineReader.h"

#include <unistd.h>

#include <algorithm>
#include <unordered_map>

#include "readers/Stream.h"

namespace zarvo {

namespace {

const char* const kCountryHeader =
    "network,continent_code,continent_geoname_id,country_iso_code,country_geoname_id,"
    "registered_country_iso_code,registered_country_geoname_id";
const char* const kCityHeader =
    "network,continent_code,continent_geoname_id,country_iso_code,country_geoname_id,"
    "registered_country_iso_code,registered_country_geoname_id,city_geoname_id,"
    "en_city_name,en_state_name,postal_code";

// The rows written at a time by WriteMMDBLines.
constexpr size_t kWriteBlock = size_t{1} << 16;

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

// The network column of a row and the comma behind it.
std::string NetworkColumn(const TMMDBIPAddress& start, int32_t prefix) {
    return Format("%s/%d,", NetworkText(start, prefix).c_str(), prefix);
}

// The columns of a row behind the network: they depend on the record alone.
std::string CountryFields(const TMMDBIPCountryInfo& r) {
    return Format("%s,%s,%s,%s,%s,%s", r.Continent().Code().c_str(), Ll(r.Continent().GeonameId()).c_str(),
                  r.Country().ISOCode().c_str(), Ll(r.Country().GeonameId()).c_str(),
                  r.RegisteredCountry().ISOCode().c_str(), Ll(r.RegisteredCountry().GeonameId()).c_str());
}

std::string CityFields(const TMMDBIPCountryCityInfoEx& r) {
    std::string state;
    for (size_t i = 0; i < r.Subdivisions().Count(); ++i)
        if (const std::string* s = r.Subdivisions()[i].Names().Find("en")) {
            state = *s;
            break;
        }
    return Format("%s,%s,%s,%s,%s,%s,%s,%s,%s,%s", r.Continent().Code().c_str(),
                  Ll(r.Continent().GeonameId()).c_str(), r.Country().ISOCode().c_str(),
                  Ll(r.Country().GeonameId()).c_str(), r.RegisteredCountry().ISOCode().c_str(),
                  Ll(r.RegisteredCountry().GeonameId()).c_str(), Ll(r.City().GeonameId()).c_str(),
                  EnName(r.City().Names()).c_str(), state.c_str(), r.Postal().Code().c_str());
}

template <class T, class Row> void AddRows(TMMDBReader& reader, TStringList& lines, Row row) {
    auto e = reader.EnumerateNetworks<T>(true).GetEnumerator();
    while (e->MoveNext()) {
        const TMMDBIteratorNode<T>* n = e->Current();
        lines.Add(row(n->Start, n->Prefix, *n->Data));
        if (lines.Count() >= static_cast<size_t>(TMMDBMetaReader::kMaxLines)) break;
    }
}

// Whether bytes (a file's end) hold the metadata marker and, behind the last one,
// metadata that decodes with a record size, node count and IP version a database
// can have: a text that happens to hold the marker is told apart without reading
// the whole file.
bool HoldsDatabaseMetadata(std::vector<uint8_t> bytes) {
    const auto& marker = kMMDBMetadataMarker;
    const auto found = std::find_end(bytes.begin(), bytes.end(), marker.begin(), marker.end());
    if (found == bytes.end()) return false;
    const int64_t start = (found - bytes.begin()) + static_cast<int64_t>(marker.size());
    try {
        const TMMDBArrayBuffer image(std::move(bytes));
        std::vector<std::unique_ptr<TMMDBRecord>> owners;
        TMMDBDecoder decoder(&owners, &image, start, true);
        TMMDBMetadata m;
        decoder.DecodeInto(m, start);
        const int32_t size = m.RecordSize();
        return (size == 24 || size == 28 || size == 32) && m.NodeCount() > 0 &&
               (m.IPVersion() == 4 || m.IPVersion() == 6);
    } catch (const std::exception&) {
        return false;
    }
}

// The last kViewerMarkerSearch bytes of a regular file of known size; none when it
// cannot be read.
std::vector<uint8_t> FileTail(const std::string& name) {
    TFileSize size;
    const int fd = OpenFileForReading(name, size);
    std::vector<uint8_t> tail;
    try {
        if (size.Known) {
            const int64_t n = std::min<int64_t>(size.Bytes, static_cast<int64_t>(kViewerMarkerSearch));
            tail.resize(static_cast<size_t>(n));
            tail.resize(ReadFileAt(fd, tail.data(), tail.size(), size.Bytes - n, name));
        }
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
    return tail;
}

} // namespace

TViewerFileKind ViewerFileKind(const std::string& name) {
    if (EndsWithText(name, ".csv") || EndsWithText(name, ".txt")) return TViewerFileKind::Text;
    if (EndsWithText(name, ".mmdb")) return TViewerFileKind::Database;
    try {
        if (!HoldsDatabaseMetadata(FileTail(name))) return TViewerFileKind::Text;
        // The whole file, once, where its end looks like a database's: one that does
        // not open as a database is shown as text rather than refused.
        const TMMDBReader reader(name);
        return TViewerFileKind::Database;
    } catch (const std::exception&) {
        return TViewerFileKind::Text;
    }
}

const TDateTexts& TDateTexts::English() {
    static const TDateTexts t = {
        {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"},
        {"January", "February", "March", "April", "May", "June", "July", "August", "September", "October",
         "November", "December"},
        {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"},
        {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"},
        {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"},
    };
    return t;
}

std::string FormatShortDate(uint64_t epochSeconds, const std::string& format, const TDateTexts& texts) {
    // Days to civil date (proleptic Gregorian), in 64 bits so no epoch overflows.
    const int64_t days = static_cast<int64_t>(epochSeconds / 86400);
    const int64_t z = days + 719468;
    const int64_t era = z / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const int64_t m = mp < 10 ? mp + 3 : mp - 9;
    const int64_t y = yoe + era * 400 + (m <= 2 ? 1 : 0);
    const size_t weekday = static_cast<size_t>((days + 4) % 7); // 1970-01-01 was a Thursday

    std::string out;
    // The number in the texts' digits, at least width of them.
    auto number = [&](int64_t v, size_t width) {
        const std::string ascii = std::to_string(v);
        for (size_t k = ascii.size(); k < width; ++k) out += texts.Digits[0];
        for (const char c : ascii) out += texts.Digits[static_cast<size_t>(c - '0')];
    };
    for (size_t i = 0; i < format.size();) {
        if (format[i] == '\'') {
            // Quoted text up to the next lone quote (or the end); '' is a quote.
            if (i + 1 < format.size() && format[i + 1] == '\'') {
                out += '\'';
                i += 2;
                continue;
            }
            for (++i; i < format.size(); ++i) {
                if (format[i] != '\'') {
                    out += format[i];
                } else if (i + 1 < format.size() && format[i + 1] == '\'') {
                    out += '\'';
                    ++i;
                } else {
                    ++i;
                    break;
                }
            }
            continue;
        }
        const char c = AsciiLower(format[i]);
        size_t run = 1;
        while (i + run < format.size() && AsciiLower(format[i + run]) == c) ++run;
        if (c == 'd' || c == 'm') {
            run = std::min<size_t>(run, 4);
            const size_t month = static_cast<size_t>(m - 1);
            if (run <= 2)
                number(c == 'd' ? d : m, run);
            else if (c == 'd')
                out += run == 3 ? texts.ShortDays[weekday] : texts.LongDays[weekday];
            else
                out += run == 3 ? texts.ShortMonths[month] : texts.LongMonths[month];
        } else if (c == 'y') {
            if (run <= 2)
                number(y % 100, 2);
            else
                number(y, 4);
        } else {
            out.append(format, i, run);
        }
        i += run;
    }
    return out;
}

TMMDBMetaReader::TMMDBMetaReader(const std::string& Filename, int32_t /*BufferSize*/,
                                 const std::string& shortDateFormat, const TDateTexts& dateTexts) {
    auto lines = std::make_unique<TStringList>();
    FMMDBReader = std::make_unique<TMMDBReader>(Filename);
    Build(*lines, shortDateFormat, dateTexts);
    InitLines(lines.release(), true);
}

TMMDBMetaReader::~TMMDBMetaReader() {
    FMMDBReader.reset();
}

TLineReaderClass TMMDBMetaReader::ReaderClass(const std::string& shortDateFormat,
                                              const TDateTexts& dateTexts) {
    return [shortDateFormat, dateTexts](const std::string& filename,
                                        int32_t bufferSize) -> std::unique_ptr<TLineReader> {
        return std::make_unique<TMMDBMetaReader>(filename, bufferSize, shortDateFormat, dateTexts);
    };
}

std::string TMMDBMetaReader::RenderCountryRow(const TMMDBIPAddress& start, int32_t prefix,
                                              const TMMDBIPCountryInfo& r) {
    return NetworkColumn(start, prefix) + CountryFields(r);
}

std::string TMMDBMetaReader::RenderCityRow(const TMMDBIPAddress& start, int32_t prefix,
                                           const TMMDBIPCountryCityInfoEx& r) {
    return NetworkColumn(start, prefix) + CityFields(r);
}

std::vector<std::string> MMDBMetadataLines(const TMMDBMetadata& m, const std::string& shortDateFormat,
                                           const TDateTexts& dateTexts) {
    std::vector<std::string> lines;
    lines.push_back(Format("binary_format_major_version,%d", m.BinaryFormatMajorVersion()));
    lines.push_back(Format("binary_format_minor_version,%d", m.BinaryFormatMinorVersion()));
    lines.push_back(
        Format("build_epoch,%s", FormatShortDate(m.BuildEpoch(), shortDateFormat, dateTexts).c_str()));
    lines.push_back(Format("database_type,%s", m.DatabaseType().c_str()));
    for (size_t i = 0; i < m.Description().Count(); ++i)
        lines.push_back(
            Format("description.%s,%s", m.Description().Key(i).c_str(), m.Description().Value(i).c_str()));
    lines.push_back(Format("ip_version,%d", m.IPVersion()));
    for (size_t i = 0; i < m.Languages().size(); ++i)
        lines.push_back(Format("language[%d],%s", static_cast<int>(i), m.Languages()[i].c_str()));
    lines.push_back(Format("node_count,%s", Ll(m.NodeCount()).c_str()));
    lines.push_back(Format("record_size,%d", m.RecordSize()));
    lines.push_back(IsCityDatabaseType(m.DatabaseType()) ? kCityHeader : kCountryHeader);
    return lines;
}

void TMMDBMetaReader::Build(TStringList& lines, const std::string& shortDateFormat,
                            const TDateTexts& dateTexts) {
    for (std::string& line : MMDBMetadataLines(FMMDBReader->Metadata(), shortDateFormat, dateTexts))
        lines.Add(line);
    if (IsCityDatabaseType(FMMDBReader->Metadata().DatabaseType()))
        AddRows<TMMDBIPCountryCityInfoEx>(*FMMDBReader, lines, &RenderCityRow);
    else
        AddRows<TMMDBIPCountryInfo>(*FMMDBReader, lines, &RenderCountryRow);
}

namespace {

// The columns behind the network of each record, made once for each record value and
// kept while there are not too many, so that memory stays flat on any database.
template <class T> class TRowFields {
public:
    TRowFields(TMMDBReader& reader, std::string (*fields)(const T&)) : FReader(reader), FFields(fields) {}
    const std::string& Of(int64_t r) {
        if (const auto it = FMemo.find(r); it != FMemo.end()) return it->second;
        FReader.LoadRecordInto(r, FRecord);
        std::string fields = FFields(FRecord);
        // Too much text: the memo starts afresh (a city database has some 10^5 records).
        if (FText + fields.size() > kMaxMemoText) {
            FMemo.clear();
            FText = 0;
        }
        FText += fields.size() + sizeof(int64_t);
        return FMemo.emplace(r, std::move(fields)).first->second;
    }

private:
    static constexpr size_t kMaxMemoText = size_t{16} << 20;
    size_t FText = 0;
    TMMDBReader& FReader;
    std::string (*FFields)(const T&);
    T FRecord;
    std::unordered_map<int64_t, std::string> FMemo;
};

template <class T>
void WriteRows(TMMDBReader& reader, std::string (*fields)(const T&), std::string& buf,
               const std::function<void(std::string_view)>& write) {
    TRowFields<T> rows(reader, fields);
    TMMDBNetworkWalk walk(reader, false);
    while (walk.Next()) {
        const std::string& f = rows.Of(walk.Record());
        buf += NetworkColumn(walk.Start(), walk.Prefix());
        buf += f;
        buf += '\n';
        if (buf.size() >= kWriteBlock) {
            write(buf);
            buf.clear();
        }
    }
}

} // namespace

void WriteMMDBLines(TMMDBReader& reader, const std::string& shortDateFormat,
                    const std::function<void(std::string_view)>& write) {
    std::string buf;
    for (const std::string& line :
         MMDBMetadataLines(reader.Metadata(), shortDateFormat, TDateTexts::English())) {
        buf += line;
        buf += '\n';
    }
    try {
        if (IsCityDatabaseType(reader.Metadata().DatabaseType()))
            WriteRows<TMMDBIPCountryCityInfoEx>(reader, &CityFields, buf, write);
        else
            WriteRows<TMMDBIPCountryInfo>(reader, &CountryFields, buf, write);
    } catch (...) {
        // The rows before the failure go out first.
        if (!buf.empty()) write(buf);
        throw;
    }
    if (!buf.empty()) write(buf);
}

} // namespace zarvo
