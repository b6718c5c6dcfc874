#include "mmdb/uMMDBInfo.h"

#include <charconv>

namespace zarvo {

#define F ZARVO_MMDB_FIELD

const TMMDBKeyTable& TMMDBContinentInfo::Table() {
    using C = TMMDBContinentInfo;
    static const TMMDBKeyTable t =
        MMDBKeys({F(C, FCode, "code", mkString), F(C, FGeonameId, "geoname_id", mkInt64)});
    return t;
}

const TMMDBKeyTable& TMMDBContinentInfoEx::Table() {
    using C = TMMDBContinentInfoEx;
    static const TMMDBKeyTable t =
        MMDBKeys({F(C, FNames, "names", mkDictionary)}, TMMDBContinentInfo::Table());
    return t;
}

const TMMDBKeyTable& TMMDBCountryInfo::Table() {
    using C = TMMDBCountryInfo;
    static const TMMDBKeyTable t =
        MMDBKeys({F(C, FGeonameId, "geoname_id", mkInt64), F(C, FISOCode, "iso_code", mkString),
                  F(C, FIsInEuropeanUnion, "is_in_european_union", mkBoolean)});
    return t;
}

const TMMDBKeyTable& TMMDBRepresentedCountryInfo::Table() {
    using C = TMMDBRepresentedCountryInfo;
    static const TMMDBKeyTable t = MMDBKeys({F(C, FType, "type", mkString)}, TMMDBCountryInfo::Table());
    return t;
}

const TMMDBKeyTable& TMMDBCountryInfoEx::Table() {
    using C = TMMDBCountryInfoEx;
    static const TMMDBKeyTable t = MMDBKeys({F(C, FNames, "names", mkDictionary)}, TMMDBCountryInfo::Table());
    return t;
}

const TMMDBKeyTable& TMMDBRepresentedCountryInfoEx::Table() {
    using C = TMMDBRepresentedCountryInfoEx;
    static const TMMDBKeyTable t = MMDBKeys({F(C, FType, "type", mkString)}, TMMDBCountryInfoEx::Table());
    return t;
}

const TMMDBKeyTable& TMMDBSubdivisionEx::Table() {
    return TMMDBCountryInfoEx::Table();
}

const TMMDBKeyTable& TMMDBTraitsInfo::Table() {
    using C = TMMDBTraitsInfo;
    static const TMMDBKeyTable t = MMDBKeys({F(C, FIsAnonymousProxy, "is_anonymous_proxy", mkBoolean),
                                             F(C, FIsSatelliteProvider, "is_satellite_provider", mkBoolean)});
    return t;
}

const TMMDBKeyTable& TMMDBCityInfo::Table() {
    using C = TMMDBCityInfo;
    static const TMMDBKeyTable t = MMDBKeys({F(C, FGeonameId, "geoname_id", mkInt64)});
    return t;
}

const TMMDBKeyTable& TMMDBCityInfoEx::Table() {
    using C = TMMDBCityInfoEx;
    static const TMMDBKeyTable t = MMDBKeys({F(C, FNames, "names", mkDictionary)}, TMMDBCityInfo::Table());
    return t;
}

const TMMDBKeyTable& TMMDBLocation::Table() {
    using C = TMMDBLocation;
    static const TMMDBKeyTable t =
        MMDBKeys({F(C, FAccuracyRadius, "accuracy_radius", mkInteger), F(C, FLatitude, "latitude", mkDouble),
                  F(C, FLongitude, "longitude", mkDouble), F(C, FMetroCode, "metro_code", mkInteger),
                  F(C, FTimeZone, "time_zone", mkString)});
    return t;
}

const TMMDBKeyTable& TMMDBPostal::Table() {
    using C = TMMDBPostal;
    static const TMMDBKeyTable t = MMDBKeys({F(C, FCode, "code", mkString)});
    return t;
}

const TMMDBKeyTable& TMMDBIPCountryInfo::Table() {
    using C = TMMDBIPCountryInfo;
    static const TMMDBKeyTable t = MMDBKeys(
        {F(C, FContinent, "continent", mkRecord), F(C, FCountry, "country", mkRecord),
         F(C, FRegisteredCountry, "registered_country", mkRecord),
         F(C, FRepresentedCountry, "represented_country", mkRecord), F(C, FTraits, "traits", mkRecord)});
    return t;
}

const TMMDBKeyTable& TMMDBIPCountryInfoEx::Table() {
    using C = TMMDBIPCountryInfoEx;
    static const TMMDBKeyTable t = MMDBKeys(
        {F(C, FContinent, "continent", mkRecord), F(C, FCountry, "country", mkRecord),
         F(C, FRegisteredCountry, "registered_country", mkRecord),
         F(C, FRepresentedCountry, "represented_country", mkRecord), F(C, FTraits, "traits", mkRecord)});
    return t;
}

const TMMDBKeyTable& TMMDBIPCountryCityInfoEx::Table() {
    using C = TMMDBIPCountryCityInfoEx;
    static const TMMDBKeyTable t =
        MMDBKeys({F(C, FCity, "city", mkRecord), F(C, FLocation, "location", mkRecord),
                  F(C, FPostal, "postal", mkRecord), F(C, FSubdivisions, "subdivisions", mkRecordList)},
                 TMMDBIPCountryInfoEx::Table());
    return t;
}

#undef F

bool IsCityDatabaseType(const std::string& databaseType) {
    return EndsWithText(databaseType, "-city");
}

namespace {

void JsonString(std::string& out, std::string_view s) {
    out += '"';
    AppendEscaped(out, s, TEscapeStyle::Json);
    out += '"';
}

template <class N> void JsonNumber(std::string& out, N v) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

void JsonRecord(std::string& out, TMMDBRecord& rec);

void JsonValue(std::string& out, TMMDBKind kind, void* p) {
    switch (kind) {
    case mkInteger:
        JsonNumber(out, *static_cast<int32_t*>(p));
        break;
    case mkInt64:
        JsonNumber(out, *static_cast<int64_t*>(p));
        break;
    case mkUInt64:
        JsonNumber(out, *static_cast<uint64_t*>(p));
        break;
    case mkDouble:
        JsonNumber(out, *static_cast<double*>(p));
        break;
    case mkSingle:
        JsonNumber(out, *static_cast<float*>(p));
        break;
    case mkBoolean:
        out += *static_cast<bool*>(p) ? "true" : "false";
        break;
    case mkString:
        JsonString(out, *static_cast<std::string*>(p));
        break;
    case mkBytes: {
        out += '[';
        const auto& b = *static_cast<std::vector<uint8_t>*>(p);
        for (size_t i = 0; i < b.size(); ++i) {
            if (i) out += ',';
            JsonNumber(out, b[i]);
        }
        out += ']';
        break;
    }
    case mkRecord:
        JsonRecord(out, *static_cast<TMMDBRecord*>(p));
        break;
    case mkDictionary: {
        const auto& d = *static_cast<TMMDBStringDictionary*>(p);
        out += '{';
        for (size_t i = 0; i < d.Count(); ++i) {
            if (i) out += ',';
            JsonString(out, d.Key(i));
            out += ':';
            JsonString(out, d.Value(i));
        }
        out += '}';
        break;
    }
    case mkStringList: {
        const auto& l = *static_cast<TMMDBStringList*>(p);
        out += '[';
        for (size_t i = 0; i < l.size(); ++i) {
            if (i) out += ',';
            JsonString(out, l[i]);
        }
        out += ']';
        break;
    }
    case mkRecordList: {
        const auto& l = *static_cast<TMMDBRecordList*>(p);
        out += '[';
        for (size_t i = 0; i < l.Count(); ++i) {
            if (i) out += ',';
            JsonRecord(out, l.Item(i));
        }
        out += ']';
        break;
    }
    }
}

void JsonRecord(std::string& out, TMMDBRecord& rec) {
    out += '{';
    bool first = true;
    for (const TMMDBField& f : rec.KeyTable()) {
        if (!rec.Stored(f)) continue;
        if (!first) out += ',';
        first = false;
        JsonString(out, f.Key);
        out += ':';
        JsonValue(out, f.Kind, f.Get(rec));
    }
    out += '}';
}

} // namespace

std::string MMDBRecordToJson(TMMDBRecord& record) {
    std::string out;
    JsonRecord(out, record);
    return out;
}

} // namespace zarvo
