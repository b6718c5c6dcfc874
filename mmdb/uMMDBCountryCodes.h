// The country code of a database's data records, as the country column and the
// lookup command's lines show it.
#pragma once

#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "mmdb/uMMDBInfo.h"
#include "mmdb/uMMDBReader.h"

namespace zarvo {

// Only "country" is decoded, with all of its checks; the rest of a record is stepped
// over with the bounds and size checks its decoding would make, as nothing else of it
// is read. Each record is decoded once: its code is kept by tree record value, and a
// country object seen before at the same place and depth is not decoded again. A
// record that fails is decoded again every time, so that each raises its error.
// One thread at a time, like its reader.
class TMMDBCountryCodes {
public:
    explicit TMMDBCountryCodes(TMMDBReader& reader);

    // The code of tree record value r: "" for 0 (no record) and for a record without a
    // country. Raises the errors of decoding the record. Valid until the next call.
    const std::string& CodeOf(int64_t r);
    // The same, decoded now and not kept by record (for a caller that keeps what it
    // needs of it); the country objects' codes are kept as for CodeOf.
    const std::string& DecodeCode(int64_t r);
    // The code kept for r, or nullptr. A kept code stays where it is for the life of
    // this object.
    const std::string* Known(int64_t r) const;
    // Ahead of many CodeOf calls: known[k] = Known(records[k]) (nullptr for no record),
    // and the data of the other records asked for, so that their cache misses overlap.
    void LookAhead(std::span<const int64_t> records, std::span<const std::string*> known);

private:
    // Codes by tree record value: an open-addressing table of record values and
    // indexes into the few distinct codes, small enough to stay in the cache.
    class TCodeMemo {
    public:
        const std::string* Find(int64_t r) const;
        // Larger than a core's cache: its slots are worth asking for ahead.
        bool Large() const { return FSlots.size() * sizeof(TSlot) > (size_t{256} << 10); }
        void Prefetch(int64_t r) const {
            if (!FSlots.empty()) __builtin_prefetch(&FSlots[Hash(r) & FMask]);
        }
        void Add(int64_t r, const std::string& code);

    private:
        struct TSlot {
            uint32_t Record; // 0: empty (a data record value is above NodeCount, never 0)
            uint32_t Code;
        };
        static size_t Hash(int64_t r) {
            return static_cast<size_t>(static_cast<uint64_t>(r) * 0x9E3779B97F4A7C15ull >> 20);
        }
        void Insert(int64_t r, uint32_t code);
        void Grow();
        std::vector<TSlot> FSlots;
        size_t FMask = 0, FCount = 0;
        std::deque<std::string> FCodes; // a deque: a code stays where it is as more are added
        std::unordered_map<std::string, uint32_t> FIndex; // a code's place in FCodes
    };

    static uint64_t CountryKey(int64_t target, int depth) {
        return static_cast<uint64_t>(target) << 10 | static_cast<uint64_t>(depth);
    }
    static bool KnownCountry(const void* self, int64_t target, int depth);
    void Load(int64_t r, bool known);

    TMMDBReader& FReader;
    TMMDBIPCountryInfoEx FCountryInfo;
    TMMDBIPCountryCityInfoEx FCityInfo;
    TMMDBIPCountryInfoEx& FRecord; // the city record for a city database
    void* (*FCountryField)(TMMDBRecord&);
    TCodeMemo FCodes;
    // The codes of country objects decoded before, by the place and depth of their decode.
    static constexpr size_t kMaxCountries = 65536;
    std::unordered_map<uint64_t, std::string> FCountryCodes;
    const std::string FNoCode;
};

} // namespace zarvo
