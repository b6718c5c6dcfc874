// Fuzz target: open a database image, look addresses up and enumerate networks.
// Every failure must be a zarvo::Exception; anything else (a crash, a sanitizer
// report, another exception type) is a finding.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "mmdb/uMMDBInfo.h"
#include "mmdb/uMMDBLineReader.h"
#include "mmdb/uMMDBReader.h"

namespace {

using namespace zarvo;

template <class T, class Row> void Enumerate(TMMDBReader& reader, bool ipv4Only, Row row) {
    try {
        auto e = reader.EnumerateNetworks<T>(ipv4Only).GetEnumerator();
        for (int i = 0; i < 300 && e->MoveNext(); ++i) {
            const TMMDBIteratorNode<T>* n = e->Current();
            if (ipv4Only) row(n->Start, n->Prefix, *n->Data);
        }
        e->Reset();
        e->MoveNext();
    } catch (const Exception&) {
    }
}

void Lookups(TMMDBReader& reader, const uint8_t* data, size_t size, bool countryOnly = false) {
    TMMDBIPCountryInfoEx country;
    TMMDBIPCountryCityInfoEx city;
    const uint8_t fixed[][16] = {
        {0}, {1, 1, 1, 1}, {81, 2, 69, 160}, {255, 255, 255, 255}, {0x20, 0x01, 0x02, 0x18}};
    std::vector<TMMDBIPAddress> addrs;
    for (const auto& f : fixed) {
        addrs.emplace_back(f, 4);
        addrs.emplace_back(f, 16);
    }
    // Addresses taken from the input's first bytes reach the networks it describes.
    if (size >= 16) addrs.emplace_back(data, 16);
    if (size >= 4) addrs.emplace_back(data + size / 2 - (size / 2 >= 4 ? 4 : 0), 4);
    for (const TMMDBIPAddress& a : addrs) {
        for (TMMDBRecord* rec : {static_cast<TMMDBRecord*>(&country), static_cast<TMMDBRecord*>(&city)}) {
            if (countryOnly) reader.Decoder().SetOnlyField(rec, TMMDBIPCountryInfoEx::Table()[1].Get);
            try {
                int32_t prefix = 0;
                reader.Lookup(a, prefix, *rec);
            } catch (const Exception&) {
            }
            reader.Decoder().SetOnlyField(nullptr, nullptr);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        TMMDBReader reader(std::vector<uint8_t>(data, data + size), "fuzz.mmdb");
        Lookups(reader, data, size);
        // Again the way the country column looks up: only "country" decoded.
        Lookups(reader, data, size, true);
        // Enough IPv4 walks for the reader to build its prefix table, then more.
        uint32_t v = size ? data[0] : 0;
        for (int i = 0; i < 300; ++i) {
            v = v * 1103515245u + 12345u;
            try {
                int32_t prefix = 0;
                reader.WalkTree(TMMDBIPAddress(MakeIPv4(v)), prefix);
            } catch (const Exception&) {
            }
        }
        Enumerate<TMMDBIPCountryInfo>(reader, true, &TMMDBMetaReader::RenderCountryRow);
        Enumerate<TMMDBIPCountryCityInfoEx>(reader, true, &TMMDBMetaReader::RenderCityRow);
        Enumerate<TMMDBIPCountryInfoEx>(reader, false, [](const TMMDBIPAddress&, int32_t, const auto&) {});
    } catch (const Exception&) {
    }
    return 0;
}
