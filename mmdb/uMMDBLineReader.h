// A database rendered as CSV lines for the file viewer: the metadata as name,value
// lines, a header, then one row per IPv4 network, at most 1000 lines in all.
#pragma once

#include <memory>
#include <string>

#include "mmdb/uMMDBInfo.h"
#include "mmdb/uMMDBReader.h"
#include "viewer/uLineReaderWriter.h"

namespace zarvo {

// The short date format used when none is given (the window passes its locale's).
constexpr const char* kMMDBDefaultShortDateFormat = "yyyy-mm-dd";

class TMMDBMetaReader : public TLineReader {
public:
    static constexpr int kMaxLines = 1000;

    // Builds every line; fails with the errors of opening and enumerating the
    // database. bufferSize is accepted for the reader-class signature and unused.
    TMMDBMetaReader(const std::string& Filename, int32_t BufferSize,
                    const std::string& shortDateFormat = kMMDBDefaultShortDateFormat);
    ~TMMDBMetaReader() override;

    const TMMDBReader& MMDBReader() const { return *FMMDBReader; }

    // The reader class for the viewer, with the locale's short date format.
    static TLineReaderClass ReaderClass(const std::string& shortDateFormat = kMMDBDefaultShortDateFormat);

    static std::string RenderCountryRow(const TMMDBIPAddress& start, int32_t prefix,
                                        const TMMDBIPCountryInfo& r);
    static std::string RenderCityRow(const TMMDBIPAddress& start, int32_t prefix,
                                     const TMMDBIPCountryCityInfoEx& r);

private:
    void Build(TStringList& lines, const std::string& shortDateFormat);

    std::unique_ptr<TMMDBReader> FMMDBReader;
};

// A date (seconds after 1970-01-01 00:00 UTC, date part only) in a short date
// format: runs of d, m (or M) and y are day, month and year; other characters stay.
std::string FormatShortDate(uint64_t epochSeconds, const std::string& format);

} // namespace zarvo
