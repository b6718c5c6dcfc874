// A database rendered as CSV lines for the file viewer: the metadata as name,value
// lines, a header, then one row per IPv4 network, at most 1000 lines in all.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "mmdb/uMMDBInfo.h"
#include "mmdb/uMMDBReader.h"
#include "readers/uLineReaderWriter.h"

namespace zarvo {

// The short date format used when none is given (the window passes its locale's).
constexpr const char* kMMDBDefaultShortDateFormat = "yyyy-mm-dd";

// The words and digits a date is written with: English and ASCII digits unless a
// caller gives its locale's.
struct TDateTexts {
    std::array<std::string, 12> ShortMonths, LongMonths; // January first
    std::array<std::string, 7> ShortDays, LongDays;      // Sunday first
    std::array<std::string, 10> Digits;
    static const TDateTexts& English();
};

class TMMDBMetaReader : public TLineReader {
public:
    static constexpr int kMaxLines = 1000;

    // Builds every line; fails with the errors of opening and enumerating the
    // database. bufferSize is accepted for the reader-class signature and unused.
    TMMDBMetaReader(const std::string& Filename, int32_t BufferSize,
                    const std::string& shortDateFormat = kMMDBDefaultShortDateFormat,
                    const TDateTexts& dateTexts = TDateTexts::English());
    ~TMMDBMetaReader() override;

    const TMMDBReader& MMDBReader() const { return *FMMDBReader; }

    // The reader class for the viewer, with the locale's short date format and words.
    static TLineReaderClass ReaderClass(const std::string& shortDateFormat = kMMDBDefaultShortDateFormat,
                                        const TDateTexts& dateTexts = TDateTexts::English());

    static std::string RenderCountryRow(const TMMDBIPAddress& start, int32_t prefix,
                                        const TMMDBIPCountryInfo& r);
    static std::string RenderCityRow(const TMMDBIPAddress& start, int32_t prefix,
                                     const TMMDBIPCountryCityInfoEx& r);

private:
    void Build(TStringList& lines, const std::string& shortDateFormat, const TDateTexts& dateTexts);

    std::unique_ptr<TMMDBReader> FMMDBReader;
};

// The lines above the rows: the metadata as name,value lines and the CSV header.
std::vector<std::string> MMDBMetadataLines(const TMMDBMetadata& m, const std::string& shortDateFormat,
                                           const TDateTexts& dateTexts = TDateTexts::English());

// The whole database as the viewer's lines, without their cap: the metadata lines, the
// header, then a row for every network (TMMDBNetworkWalk: IPv4, then IPv6), handed to
// write a block of lines at a time as the tree is walked, so that memory does not grow
// with the database. Raises the errors of the walk and of decoding a record, after
// handing on the lines before.
void WriteMMDBLines(TMMDBReader& reader, const std::string& shortDateFormat,
                    const std::function<void(std::string_view)>& write);

// How the viewer shows a file (the command line and the window alike).
enum class TViewerFileKind { Text, Database };

// The bytes at the end of a file in which the viewer looks for a database's
// metadata marker.
constexpr size_t kViewerMarkerSearch = size_t{128} << 10;

// A name that ends in ".csv" or ".txt" (in any letter case) is text and one that
// ends in ".mmdb" a database, whatever they hold. Any other name is a database when
// its last kViewerMarkerSearch bytes hold the metadata marker followed by metadata
// that decodes, and the file opens as a database; anything else, a file that cannot
// be read included, is text (reading it as text then tells why it cannot be read).
TViewerFileKind ViewerFileKind(const std::string& name);

// A date (seconds after 1970-01-01 00:00 UTC, date part only) in a short date
// format, read as Qt reads a locale's (QLocale::dateFormat) and as the command line
// documents it: d and dd the day, ddd and dddd the weekday's short and long name;
// M (or m) and MM the month, MMM and MMMM its names; y and yy the year's last two
// digits, three or more y the whole year. A longer run of d or M is one of four
// letters, then the rest. Text between single quotes stays as it is, '' is a quote;
// any other character stays too.
std::string FormatShortDate(uint64_t epochSeconds, const std::string& format,
                            const TDateTexts& texts = TDateTexts::English());

} // namespace zarvo
