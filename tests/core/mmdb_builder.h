// Builds small MaxMind DB images byte by byte for tests: data-section values,
// search-tree nodes of 24, 28 or 32 bits, and the metadata behind the marker.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <unistd.h>

#include "mmdb/uMMDBReader.h"
#include "support/ZarvoText.h"

namespace mmdbtest {

// A database of the format's own test set.
inline std::string TestDb(const std::string& name) {
    return std::string(ZARVO_TESTDATA_DIR) + "/mmdb/" + name;
}

// The message of what f raises, or "" when it raises nothing.
inline std::string ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const zarvo::Exception& e) {
        return e.what();
    }
    return "";
}

using Bytes = std::string;

// A control byte (with extended type and size bytes as needed).
inline Bytes Ctrl(int type, uint32_t size) {
    Bytes b;
    uint8_t first = 0;
    Bytes ext, sz;
    if (type <= 7) {
        first = static_cast<uint8_t>(type << 5);
    } else {
        ext.push_back(static_cast<char>(type - 7));
    }
    if (size < 29) {
        first |= static_cast<uint8_t>(size);
    } else if (size < 285) {
        first |= 29;
        sz.push_back(static_cast<char>(size - 29));
    } else if (size < 65821) {
        first |= 30;
        const uint32_t v = size - 285;
        sz.push_back(static_cast<char>(v >> 8));
        sz.push_back(static_cast<char>(v));
    } else {
        first |= 31;
        const uint32_t v = size - 65821;
        sz.push_back(static_cast<char>(v >> 16));
        sz.push_back(static_cast<char>(v >> 8));
        sz.push_back(static_cast<char>(v));
    }
    b.push_back(static_cast<char>(first));
    return b + ext + sz;
}

inline Bytes Str(const std::string& s) {
    return Ctrl(2, static_cast<uint32_t>(s.size())) + s;
}
inline Bytes BigEndian(uint64_t v, int n) {
    Bytes b;
    for (int i = n - 1; i >= 0; --i) b.push_back(i < 8 ? static_cast<char>(v >> (8 * i)) : '\0');
    return b;
}
inline Bytes UInt(int type, uint64_t v, int n) {
    return Ctrl(type, static_cast<uint32_t>(n)) + BigEndian(v, n);
}
inline Bytes U16(uint16_t v) {
    return UInt(5, v, 2);
}
inline Bytes U32(uint32_t v) {
    return UInt(6, v, 4);
}
inline Bytes Map(uint32_t n) {
    return Ctrl(7, n);
}
inline Bytes Arr(uint32_t n) {
    return Ctrl(11, n);
}
inline Bytes Bool(bool v) {
    return Ctrl(14, v ? 1 : 0);
}
inline Bytes Dbl(double d) {
    uint64_t v;
    std::memcpy(&v, &d, 8);
    return Ctrl(3, 8) + BigEndian(v, 8);
}
// A 4-byte pointer (offset from the section's base).
inline Bytes Ptr(uint32_t offset) {
    return Bytes(1, static_cast<char>(0x38)) + BigEndian(offset, 4);
}

// One tree node with the given record size.
inline Bytes Node(int recordSize, uint32_t left, uint32_t right) {
    switch (recordSize) {
    case 24:
        return BigEndian(left, 3) + BigEndian(right, 3);
    case 28: {
        Bytes b = BigEndian(left & 0xFFFFFF, 3);
        b.push_back(static_cast<char>(((left >> 20) & 0xF0) | ((right >> 24) & 0x0F)));
        return b + BigEndian(right & 0xFFFFFF, 3);
    }
    default:
        return BigEndian(left, 4) + BigEndian(right, 4);
    }
}

struct Meta {
    int64_t NodeCount = 0;
    int RecordSize = 24;
    int IPVersion = 4;
    std::string DatabaseType = "Test";
    std::vector<std::pair<std::string, std::string>> Description;
    std::vector<std::string> Languages;
    uint64_t BuildEpoch = 0;
};

inline Bytes MetadataMap(const Meta& m) {
    Bytes b = Map(9);
    b += Str("binary_format_major_version") + U16(2);
    b += Str("binary_format_minor_version") + U16(0);
    b += Str("build_epoch") + UInt(9, m.BuildEpoch, 8);
    b += Str("database_type") + Str(m.DatabaseType);
    b += Str("description") + Map(static_cast<uint32_t>(m.Description.size()));
    for (const auto& [k, v] : m.Description) b += Str(k) + Str(v);
    b += Str("ip_version") + U16(static_cast<uint16_t>(m.IPVersion));
    b += Str("languages") + Arr(static_cast<uint32_t>(m.Languages.size()));
    for (const auto& l : m.Languages) b += Str(l);
    b += Str("node_count") + U32(static_cast<uint32_t>(m.NodeCount));
    b += Str("record_size") + U16(static_cast<uint16_t>(m.RecordSize));
    return b;
}

inline Bytes Marker() {
    return Bytes(reinterpret_cast<const char*>(zarvo::kMMDBMetadataMarker.data()),
                 zarvo::kMMDBMetadataMarker.size());
}

// tree + 16 zero bytes + data + marker + metadata.
inline std::vector<uint8_t> Image(const Bytes& tree, const Bytes& data, const Meta& m) {
    const Bytes all = tree + Bytes(16, '\0') + data + Marker() + MetadataMap(m);
    return std::vector<uint8_t>(all.begin(), all.end());
}

// A tree record value that points at data-section offset off.
inline uint32_t DataRecord(const Meta& m, uint32_t off) {
    return static_cast<uint32_t>(m.NodeCount) + 16 + off;
}

// Tests run as processes side by side, and several write the same database: each writes
// a file of its own and renames it into place, so that no reader sees one half written.
inline std::string WriteTemp(const std::vector<uint8_t>& image, const std::string& name) {
    const std::string path = std::string(::testing::TempDir()) + name;
    const std::string mine = path + "." + std::to_string(::getpid());
    {
        std::ofstream out(mine, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    }
    std::rename(mine.c_str(), path.c_str());
    return path;
}

} // namespace mmdbtest
