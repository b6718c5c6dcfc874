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
    const std::string& Code() const { return FCode; }
    void SetCode(const std::string& v) { FCode = v; }
    int64_t GeonameId() const { return FGeonameId; }
    void SetGeonameId(int64_t v) { FGeonameId = v; }

private:
    std::string FCode;
    int64_t FGeonameId = 0;
};

class TMMDBContinentInfoEx : public TMMDBContinentInfo {
    ZARVO_MMDB_RECORD(TMMDBContinentInfoEx)
    const TMMDBStringDictionary& Names() const { return FNames; }

private:
    TMMDBStringDictionary FNames;
};

class TMMDBCountryInfo : public TMMDBRecord {
    ZARVO_MMDB_RECORD(TMMDBCountryInfo)
    int64_t GeonameId() const { return FGeonameId; }
    void SetGeonameId(int64_t v) { FGeonameId = v; }
    const std::string& ISOCode() const { return FISOCode; }
    void SetISOCode(const std::string& v) { FISOCode = v; }
    bool IsInEuropeanUnion() const { return FIsInEuropeanUnion; }
    void SetIsInEuropeanUnion(bool v) { FIsInEuropeanUnion = v; }

private:
    int64_t FGeonameId = 0;
    std::string FISOCode;
    bool FIsInEuropeanUnion = false;
};

class TMMDBRepresentedCountryInfo : public TMMDBCountryInfo {
    ZARVO_MMDB_RECORD(TMMDBRepresentedCountryInfo)
    const std::string& RType() const { return FType; }
    void SetRType(const std::string& v) { FType = v; }

private:
    std::string FType;
};

class TMMDBCountryInfoEx : public TMMDBCountryInfo {
    ZARVO_MMDB_RECORD(TMMDBCountryInfoEx)
    const TMMDBStringDictionary& Names() const { return FNames; }

private:
    TMMDBStringDictionary FNames;
};

class TMMDBRepresentedCountryInfoEx : public TMMDBCountryInfoEx {
    ZARVO_MMDB_RECORD(TMMDBRepresentedCountryInfoEx)
    const std::string& RType() const { return FType; }
    void SetRType(const std::string& v) { FType = v; }

private:
    std::string FType;
};

class TMMDBSubdivisionEx : public TMMDBCountryInfoEx {
    ZARVO_MMDB_RECORD(TMMDBSubdivisionEx)
};

class TMMDBTraitsInfo : public TMMDBRecord {
    ZARVO_MMDB_RECORD(TMMDBTraitsInfo)
    bool IsAnonymousProxy() const { return FIsAnonymousProxy; }
    void SetIsAnonymousProxy(bool v) { FIsAnonymousProxy = v; }
    bool IsSatelliteProvider() const { return FIsSatelliteProvider; }
    void SetIsSatelliteProvider(bool v) { FIsSatelliteProvider = v; }

private:
    bool FIsAnonymousProxy = false;
    bool FIsSatelliteProvider = false;
};

class TMMDBCityInfo : public TMMDBRecord {
    ZARVO_MMDB_RECORD(TMMDBCityInfo)
    int64_t GeonameId() const { return FGeonameId; }
    void SetGeonameId(int64_t v) { FGeonameId = v; }

private:
    int64_t FGeonameId = 0;
};

class TMMDBCityInfoEx : public TMMDBCityInfo {
    ZARVO_MMDB_RECORD(TMMDBCityInfoEx)
    const TMMDBStringDictionary& Names() const { return FNames; }

private:
    TMMDBStringDictionary FNames;
};

class TMMDBLocation : public TMMDBRecord {
    ZARVO_MMDB_RECORD(TMMDBLocation)
    int32_t Accuracy() const { return FAccuracyRadius; }
    void SetAccuracy(int32_t v) { FAccuracyRadius = v; }
    double Latitude() const { return FLatitude; }
    void SetLatitude(double v) { FLatitude = v; }
    double Longitude() const { return FLongitude; }
    void SetLongitude(double v) { FLongitude = v; }
    int32_t MetroCode() const { return FMetroCode; }
    void SetMetroCode(int32_t v) { FMetroCode = v; }
    const std::string& TimeZone() const { return FTimeZone; }
    void SetTimeZone(const std::string& v) { FTimeZone = v; }

private:
    int32_t FAccuracyRadius = 0;
    double FLatitude = 0;
    double FLongitude = 0;
    int32_t FMetroCode = 0;
    std::string FTimeZone;
};

class TMMDBPostal : public TMMDBRecord {
    ZARVO_MMDB_RECORD(TMMDBPostal)
    const std::string& Code() const { return FCode; }
    void SetCode(const std::string& v) { FCode = v; }

private:
    std::string FCode;
};

// Country level, without names: the enumeration of country databases.
class TMMDBIPCountryInfo : public TMMDBRecord {
    ZARVO_MMDB_RECORD(TMMDBIPCountryInfo)
    const TMMDBContinentInfo& Continent() const { return FContinent; }
    const TMMDBCountryInfo& Country() const { return FCountry; }
    const TMMDBCountryInfo& RegisteredCountry() const { return FRegisteredCountry; }
    const TMMDBRepresentedCountryInfo& RepresentedCountry() const { return FRepresentedCountry; }
    const TMMDBTraitsInfo& Traits() const { return FTraits; }

private:
    TMMDBContinentInfo FContinent;
    TMMDBCountryInfo FCountry;
    TMMDBCountryInfo FRegisteredCountry;
    TMMDBRepresentedCountryInfo FRepresentedCountry;
    TMMDBTraitsInfo FTraits;
};

// Country level with names: lookups in country databases.
class TMMDBIPCountryInfoEx : public TMMDBRecord {
    ZARVO_MMDB_RECORD(TMMDBIPCountryInfoEx)
    const TMMDBContinentInfoEx& Continent() const { return FContinent; }
    const TMMDBCountryInfoEx& Country() const { return FCountry; }
    const TMMDBCountryInfoEx& RegisteredCountry() const { return FRegisteredCountry; }
    const TMMDBRepresentedCountryInfoEx& RepresentedCountry() const { return FRepresentedCountry; }
    const TMMDBTraitsInfo& Traits() const { return FTraits; }

private:
    TMMDBContinentInfoEx FContinent;
    TMMDBCountryInfoEx FCountry;
    TMMDBCountryInfoEx FRegisteredCountry;
    TMMDBRepresentedCountryInfoEx FRepresentedCountry;
    TMMDBTraitsInfo FTraits;
};

// City level: lookups in and the enumeration of city databases.
class TMMDBIPCountryCityInfoEx : public TMMDBIPCountryInfoEx {
    ZARVO_MMDB_RECORD(TMMDBIPCountryCityInfoEx)
    const TMMDBCityInfoEx& City() const { return FCity; }
    const TMMDBLocation& Location() const { return FLocation; }
    const TMMDBPostal& Postal() const { return FPostal; }
    const TMMDBObjectList<TMMDBSubdivisionEx>& Subdivisions() const { return FSubdivisions; }

private:
    TMMDBCityInfoEx FCity;
    TMMDBLocation FLocation;
    TMMDBPostal FPostal;
    TMMDBObjectList<TMMDBSubdivisionEx> FSubdivisions;
};

// True when the database type ends in "-city" (any letter case).
bool IsCityDatabaseType(const std::string& databaseType);

// The record as one line of JSON: the keys of its table that the data filled
// (TMMDBRecord::Stored), in table order.
std::string MMDBRecordToJson(TMMDBRecord& record);

} // namespace zarvo
