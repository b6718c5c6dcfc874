// Result records of database lookups, country and city level, each with the key
// table through which the decoder fills it.
#pragma once

#include "mmdb/uMMDBReader.h"

namespace zarvo {

// Declares ClassName and KeyTable for a record class.
#define ZARVO_MMDB_RECORD(Name)                                                                              \
public:                                                                                                      \
    static constexpr const char* kClassName = #Name;                                                         \
    const char* ClassName() const override {                                                                 \
        return kClassName;                                                                                   \
    }                                                                                                        \
    const TMMDBKeyTable& KeyTable() const override {                                                         \
        return Table();                                                                                      \
    }                                                                                                        \
    static const TMMDBKeyTable& Table();

class TMMDBContinentInfo : public TMMDBRecord {
    ZARVO_MMDB_RECORD(TMMDBContinentInfo)
    const std::string& Code() const { return _code; }
    void SetCode(const std::string& v) { _code = v; }
    int64_t GeonameId() const { return _geoname_id; }
    void SetGeonameId(int64_t v) { _geoname_id = v; }

private:
    std::string _code;
    int64_t _geoname_id = 0;
};

class TMMDBContinentInfoEx : public TMMDBContinentInfo {
    ZARVO_MMDB_RECORD(TMMDBContinentInfoEx)
    const TMMDBStringDictionary& Names() const { return _names; }

private:
    TMMDBStringDictionary _names;
};

class TMMDBCountryInfo : public TMMDBRecord {
    ZARVO_MMDB_RECORD(TMMDBCountryInfo)
    int64_t GeonameId() const { return _geoname_id; }
    void SetGeonameId(int64_t v) { _geoname_id = v; }
    const std::string& ISOCode() const { return _iso_code; }
    void SetISOCode(const std::string& v) { _iso_code = v; }
    bool IsInEuropeanUnion() const { return _is_in_european_union; }
    void SetIsInEuropeanUnion(bool v) { _is_in_european_union = v; }

private:
    int64_t _geoname_id = 0;
    std::string _iso_code;
    bool _is_in_european_union = false;
};

class TMMDBRepresentedCountryInfo : public TMMDBCountryInfo {
    ZARVO_MMDB_RECORD(TMMDBRepresentedCountryInfo)
    const std::string& RType() const { return _type; }
    void SetRType(const std::string& v) { _type = v; }

private:
    std::string _type;
};

class TMMDBCountryInfoEx : public TMMDBCountryInfo {
    ZARVO_MMDB_RECORD(TMMDBCountryInfoEx)
    const TMMDBStringDictionary& Names() const { return _names; }

private:
    TMMDBStringDictionary _names;
};

class TMMDBRepresentedCountryInfoEx : public TMMDBCountryInfoEx {
    ZARVO_MMDB_RECORD(TMMDBRepresentedCountryInfoEx)
    const std::string& RType() const { return _type; }
    void SetRType(const std::string& v) { _type = v; }

private:
    std::string _type;
};

class TMMDBSubdivisionEx : public TMMDBCountryInfoEx {
    ZARVO_MMDB_RECORD(TMMDBSubdivisionEx)
};

class TMMDBTraitsInfo : public TMMDBRecord {
    ZARVO_MMDB_RECORD(TMMDBTraitsInfo)
    bool IsAnonymousProxy() const { return _is_anonymous_proxy; }
    void SetIsAnonymousProxy(bool v) { _is_anonymous_proxy = v; }
    bool IsSatelliteProvider() const { return _is_satellite_provider; }
    void SetIsSatelliteProvider(bool v) { _is_satellite_provider = v; }

private:
    bool _is_anonymous_proxy = false;
    bool _is_satellite_provider = false;
};

class TMMDBCityInfo : public TMMDBRecord {
    ZARVO_MMDB_RECORD(TMMDBCityInfo)
    int64_t GeonameId() const { return _geoname_id; }
    void SetGeonameId(int64_t v) { _geoname_id = v; }

private:
    int64_t _geoname_id = 0;
};

class TMMDBCityInfoEx : public TMMDBCityInfo {
    ZARVO_MMDB_RECORD(TMMDBCityInfoEx)
    const TMMDBStringDictionary& Names() const { return _names; }

private:
    TMMDBStringDictionary _names;
};

class TMMDBLocation : public TMMDBRecord {
    ZARVO_MMDB_RECORD(TMMDBLocation)
    int32_t Accuracy() const { return _accuracy_radius; }
    void SetAccuracy(int32_t v) { _accuracy_radius = v; }
    double Latitude() const { return _latitude; }
    void SetLatitude(double v) { _latitude = v; }
    double Longitude() const { return _longitude; }
    void SetLongitude(double v) { _longitude = v; }
    int32_t MetroCode() const { return _metro_code; }
    void SetMetroCode(int32_t v) { _metro_code = v; }
    const std::string& TimeZone() const { return _time_zone; }
    void SetTimeZone(const std::string& v) { _time_zone = v; }

private:
    int32_t _accuracy_radius = 0;
    double _latitude = 0;
    double _longitude = 0;
    int32_t _metro_code = 0;
    std::string _time_zone;
};

class TMMDBPostal : public TMMDBRecord {
    ZARVO_MMDB_RECORD(TMMDBPostal)
    const std::string& Code() const { return _code; }
    void SetCode(const std::string& v) { _code = v; }

private:
    std::string _code;
};

// Country level, without names: the enumeration of country databases.
class TMMDBIPCountryInfo : public TMMDBRecord {
    ZARVO_MMDB_RECORD(TMMDBIPCountryInfo)
    const TMMDBContinentInfo& Continent() const { return _continent; }
    const TMMDBCountryInfo& Country() const { return _country; }
    const TMMDBCountryInfo& RegisteredCountry() const { return _registered_country; }
    const TMMDBRepresentedCountryInfo& RepresentedCountry() const { return _represented_country; }
    const TMMDBTraitsInfo& Traits() const { return _traits; }

private:
    TMMDBContinentInfo _continent;
    TMMDBCountryInfo _country;
    TMMDBCountryInfo _registered_country;
    TMMDBRepresentedCountryInfo _represented_country;
    TMMDBTraitsInfo _traits;
};

// Country level with names: lookups in country databases.
class TMMDBIPCountryInfoEx : public TMMDBRecord {
    ZARVO_MMDB_RECORD(TMMDBIPCountryInfoEx)
    const TMMDBContinentInfoEx& Continent() const { return _continent; }
    const TMMDBCountryInfoEx& Country() const { return _country; }
    const TMMDBCountryInfoEx& RegisteredCountry() const { return _registered_country; }
    const TMMDBRepresentedCountryInfoEx& RepresentedCountry() const { return _represented_country; }
    const TMMDBTraitsInfo& Traits() const { return _traits; }

private:
    TMMDBContinentInfoEx _continent;
    TMMDBCountryInfoEx _country;
    TMMDBCountryInfoEx _registered_country;
    TMMDBRepresentedCountryInfoEx _represented_country;
    TMMDBTraitsInfo _traits;
};

// City level: lookups in and the enumeration of city databases.
class TMMDBIPCountryCityInfoEx : public TMMDBIPCountryInfoEx {
    ZARVO_MMDB_RECORD(TMMDBIPCountryCityInfoEx)
    const TMMDBCityInfoEx& City() const { return _city; }
    const TMMDBLocation& Location() const { return _location; }
    const TMMDBPostal& Postal() const { return _postal; }
    const TMMDBObjectList<TMMDBSubdivisionEx>& Subdivisions() const { return _subdivisions; }

private:
    TMMDBCityInfoEx _city;
    TMMDBLocation _location;
    TMMDBPostal _postal;
    TMMDBObjectList<TMMDBSubdivisionEx> _subdivisions;
};

// True when the database type ends in "-city" (any letter case).
bool IsCityDatabaseType(const std::string& databaseType);

// The record as one line of JSON: the keys of its table that the data filled
// (TMMDBRecord::Stored), in table order.
std::string MMDBRecordToJson(TMMDBRecord& record);

} // namespace zarvo
