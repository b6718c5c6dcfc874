// Any value of a record, read by its path without a record class: the values that
// "lookup --field" prints. A path is the record's keys and array indexes joined by
// dots ("city.names.en", "subdivisions.0.iso_code"); only the maps and arrays on the
// way are read, the rest stepped over with the decoder's bounds checks.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "mmdb/uMMDBDecoder.h"

namespace zarvo {

struct TMMDBFieldPath {
    std::string Text;               // as given
    std::vector<std::string> Steps; // the keys (and indexes) in order
};

// Raises "the field path 'P' has an empty part" for "", "a..b", ".a" or "a.".
TMMDBFieldPath ParseMMDBFieldPath(std::string_view text);

class TMMDBValueReader {
public:
    explicit TMMDBValueReader(const TMMDBDecoder& decoder) : FDecoder(decoder) {}

    // Appends the value at path inside the data at offset: a string as its text (ill-formed
    // UTF-8 replaced, then written as a tab-separated field: TEscapeStyle::TabField), a
    // number as JSON writes it (integers exact, doubles in the shortest text that reads
    // back the same), a boolean as true or false, a map or an array (and bytes, as an
    // array of numbers) as compact JSON. False, and nothing appended, when the data holds
    // nothing at path: a key it lacks, an index past an array's end, a step into a value
    // that is no map or array. Raises the errors of bad data on the way.
    bool AppendField(int64_t offset, const TMMDBFieldPath& path, std::string& out) const;
    // Where the value at path inside the data at offset stands, pointers followed (the
    // place AppendField would print from; one place for all the records that share it),
    // or -1 when the data holds nothing at path.
    int64_t FieldOffset(int64_t offset, const TMMDBFieldPath& path) const;
    // Appends the value at offset as compact JSON; returns the offset behind it.
    int64_t AppendJson(int64_t offset, std::string& out, int depth = 0) const;

private:
    // Follows pointers from offset to a value; depth counts them; at, when given, gets
    // the value's place.
    TMMDBDecoder::TControl Resolve(int64_t offset, int& depth, int64_t* at = nullptr) const;
    // The offset of the value at step inside the map or array c; -1 when there is none.
    int64_t Step(const TMMDBDecoder::TControl& c, const std::string& step, int depth) const;
    void AppendScalar(const TMMDBDecoder::TControl& c, std::string& out, bool inJson) const;
    int64_t AppendContainer(const TMMDBDecoder::TControl& c, std::string& out, int depth) const;

    const TMMDBDecoder& FDecoder;
};

} // namespace zarvo
