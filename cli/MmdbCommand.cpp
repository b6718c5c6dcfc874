// zarvo-cli mmdb / lookup: a geolocation database as CSV lines, and single lookups.
#include "cli/MmdbCommand.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <iostream>
#include <memory>
#include <span>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "cli/FdStream.h"
#include "cli/ZarvoCli.h"
#include "mmdb/uMMDBCountryBlocks.h"
#include "mmdb/uMMDBCountryCodes.h"
#include "mmdb/uMMDBInfo.h"
#include "mmdb/uMMDBLineReader.h"
#include "mmdb/uMMDBReader.h"
#include "mmdb/uMMDBValues.h"
#include "net/DottedQuad.h"
#include "net/uZarvo.h"
#include "support/OrderedPipeline.h"
#include "support/TextDecode.h"
#include "support/ZarvoText.h"

namespace zarvo::cli {

namespace {

const char* const kMmdbUsage = R"(Usage: zarvo-cli mmdb [OPTIONS] FILE.mmdb

Prints a MaxMind DB file (GeoIP2 / GeoLite2 ".mmdb") as the file viewer shows it:
its metadata as name,value lines, a CSV header, then one row per IPv4 network in
ascending order, at most 1000 lines in all. City databases (type ending in
"-city") get the city columns. --all writes every network, IPv4 then IPv6, as
the tree is walked; --networks --country prints a country's address blocks.

)";

const char* const kMmdbEpilogue = R"(
Exit status: 0 on success, 1 when the file cannot be read as a database or the
output cannot be written (the message goes to standard error), 2 for bad
options.

Examples:
  zarvo-cli mmdb GeoLite2-Country.mmdb | head -20
  zarvo-cli mmdb --all GeoLite2-City.mmdb > city.csv
  zarvo-cli mmdb --networks --country DE,AT --ipv4 GeoLite2-Country.mmdb
)";

const char* const kLookupUsage = R"(Usage: zarvo-cli lookup [OPTIONS] FILE.mmdb ADDRESS...
       zarvo-cli lookup [OPTIONS] FILE.mmdb - < ADDRESSES

Looks IPv4 and IPv6 addresses up in a MaxMind DB file and prints one line per
address: the address, the prefix length of the database network that holds it,
and the network's two-letter country code, separated by tabs. The code column
is empty when the network has no country, and "-" when the address lies in no
network of the database (the prefix length then tells where the search stopped).
IPv4 prefix lengths count from the IPv4 part of an IPv6 database. The code is the
one "generate --country" gives: only the record's country is decoded, the rest
stepped over with its bounds and size checks; --json decodes the whole record,
and --field prints chosen values of it instead of the code.

With "-" the addresses come from standard input, one a line (blanks around it
and text from "#" on are passed over, and so are lines left empty); their lines
go out as the input is read, in input order, the same as for addresses given as
arguments. An address is read whole and strictly, as inet_pton reads it: four
decimal numbers 0 to 255 without leading zeros, or an IPv6 address in the forms
of RFC 4291 (an IPv4 tail included); a prefix ("/32") or any other text makes
it not valid. An address that is not valid, or whose lookup fails, gets no line:
it is reported on standard error with its line number (addresses given as
arguments count as lines 1, 2, ...), and the run goes on.

)";

const char* const kLookupEpilogue = R"(
Exit status: 0 when every address was looked up, 1 when the database cannot be
read, an address is not valid, standard input cannot be read or the output
cannot be written (messages go to standard error), 2 for bad options.

Examples:
  zarvo-cli lookup GeoLite2-Country.mmdb 81.2.69.160 2001:218::1
  zarvo-cli lookup --json GeoLite2-City.mmdb 81.2.69.142
  zarvo-cli lookup --network --field city.names.en --field location.latitude GeoLite2-City.mmdb 81.2.69.160
  zarvo-cli generate --random --total 1000 0.0.0.0/0 | zarvo-cli lookup GeoLite2-City.mmdb -
)";

// The longest input line taken; a longer one ends the run with its line number.
constexpr size_t kMaxLine = 1048576;
// The addresses read, looked up and written at a time, and the most input text
// they may hold, so that any input streams through a bounded amount of memory.
constexpr size_t kBatchLines = 4096;
constexpr size_t kBatchText = size_t{1} << 20;
// The most text the record memo may hold before it starts afresh.
constexpr size_t kMemoText = size_t{32} << 20;

const char* const kDatabaseFile = "database file";

// What a lookup line holds besides the address.
struct TLookupForm {
    bool Json = false;
    bool Network = false;               // the network in CIDR notation instead of the prefix length
    std::vector<TMMDBFieldPath> Fields; // instead of the country code
};

// The network of the prefix length's first bits of ip, in CIDR notation.
std::string NetworkOf(const TMMDBIPAddress& ip, int32_t prefix) {
    uint8_t b[16];
    const int n = ip.GetAddressBytes(b);
    for (int bit = std::max(prefix, 0); bit < n * 8; ++bit)
        b[bit / 8] &= static_cast<uint8_t>(~(0x80u >> (bit % 8)));
    return TMMDBIPAddress(b, static_cast<size_t>(n)).ToString() + "/" + std::to_string(prefix);
}

// The lines of lookups. A line's country code is the country column's
// (TMMDBCountryCodes: only the record's country is decoded, the rest stepped over with
// its checks), so that lookup and a generation run give an address the same code, and
// the same error. A JSON line's record is decoded in full; it depends on nothing but
// the record, so it is made once for each record and kept. A record that fails to
// decode is decoded again for every address, so that each raises its error as the
// first did.
class TLookupLines {
public:
    // The memo of JSON records (or field values) holds at most memoText of them before
    // it starts afresh.
    TLookupLines(TMMDBReader& reader, const TLookupForm& form, size_t memoText = kMemoText)
        : FReader(reader), FForm(form), FJson(form.Json),
          FCity(IsCityDatabaseType(reader.Metadata().DatabaseType())), FMemoText(memoText),
          FValues(reader.Decoder()) {
        if (!FJson && form.Fields.empty()) FCodes = std::make_unique<TMMDBCountryCodes>(reader);
        for (size_t k = 0; k < form.Fields.size(); ++k) FNoRecord += "\t-";
    }
    TLookupLines(const TLookupLines&) = delete;
    TLookupLines& operator=(const TLookupLines&) = delete;

    // Ahead of the Append calls of many walks: known[k] is the code kept for records[k]
    // (nullptr when none is kept, and always for JSON), and the data of the records to
    // decode is asked for, so that their cache misses overlap.
    void LookAhead(std::span<const int64_t> records, std::span<const std::string*> known) {
        if (FCodes) return FCodes->LookAhead(records, known);
        for (size_t k = 0; k < records.size(); ++k) {
            known[k] = nullptr;
            if (records[k] > 0) FReader.PrefetchRecord(records[k]);
        }
    }

    // Appends the line of the address whose walk gave tree record value r and the
    // prefix length; raises the errors of decoding the record.
    // known: what LookAhead gave for r.
    void Append(std::string& out, const TMMDBIPAddress& ip, int64_t r, int32_t prefix,
                const std::string* known = nullptr) {
        char digits[16];
        const auto prefixEnd = std::to_chars(digits, digits + sizeof digits, prefix).ptr;
        const std::string_view prefixText(digits, static_cast<size_t>(prefixEnd - digits));
        if (FJson) return AppendJson(out, ip, r, prefix, prefixText);
        if (FCodes && !FForm.Network) {
            const std::string_view code = known    ? std::string_view(*known)
                                          : r == 0 ? std::string_view("-")
                                                   : std::string_view(FCodes->CodeOf(r));
            return AppendCodeLine(out, ip, prefixText, code);
        }
        // The matched network, or the fields: the country code's line in its general form.
        const std::string_view rest = FCodes   ? std::string_view()
                                      : r == 0 ? std::string_view(FNoRecord)
                                               : std::string_view(Part(r));
        out += ip.ToString();
        out += '\t';
        if (FForm.Network)
            out += NetworkOf(ip, prefix);
        else
            out += prefixText;
        if (FCodes) {
            out += '\t';
            out += known ? std::string_view(*known) : r == 0 ? std::string_view("-") : FCodes->CodeOf(r);
        }
        out += rest;
        out += '\n';
    }

private:
    void AppendJson(std::string& out, const TMMDBIPAddress& ip, int64_t r, int32_t prefix,
                    std::string_view prefixText) {
        const std::string* part = r == 0 ? nullptr : &Part(r);
        out += "{\"address\":\"";
        out += ip.ToString();
        if (FForm.Network) {
            out += "\",\"network\":\"";
            out += NetworkOf(ip, prefix);
            out += '"';
        } else {
            out += "\",\"prefix_length\":";
            out += prefixText;
        }
        out += part ? ",\"found\":true,\"record\":" : ",\"found\":false";
        if (part) out += *part;
        out += "}\n";
    }

    static void AppendCodeLine(std::string& out, const TMMDBIPAddress& ip, std::string_view prefixText,
                               std::string_view code) {
        if (!ip.IsIPv6()) {
            // Written in place: most lines are an IPv4 address and a code.
            const size_t at = out.size();
            out.resize(at + kIPv4TextRoom + prefixText.size() + code.size() + 3);
            char* p = IPv4ToChars(ip.IPv4(), out.data() + at);
            *p++ = '\t';
            p = std::copy(prefixText.begin(), prefixText.end(), p);
            *p++ = '\t';
            p = std::copy(code.begin(), code.end(), p);
            *p++ = '\n';
            out.resize(static_cast<size_t>(p - out.data()));
        } else {
            out += ip.ToString();
            out += '\t';
            out += prefixText;
            out += '\t';
            out += code;
            out += '\n';
        }
    }

    // The values of the fields of tree record value r, each behind a tab.
    std::string FieldsText(int64_t r) {
        std::string text;
        const int64_t offset = FReader.RecordOffset(r);
        for (const TMMDBFieldPath& path : FForm.Fields) {
            text += '\t';
            FValues.AppendField(offset, path, text);
        }
        return text;
    }

    struct TSlot {
        int64_t Record = 0; // 0: empty
        uint32_t Part = 0;  // index into FParts
    };
    static constexpr size_t kSlots = size_t{1} << 18;

    static size_t Slot(int64_t r) {
        return static_cast<size_t>(static_cast<uint64_t>(r) * 0x9E3779B97F4A7C15ull >> 46) & (kSlots - 1);
    }

    // The JSON (or the fields' values) of tree record value r.
    const std::string& Part(int64_t r) {
        // Made with the first record, so that a lookup that finds none costs nothing.
        if (FSlots.empty()) FSlots.resize(kSlots);
        size_t i = Slot(r);
        for (; FSlots[i].Record != 0; i = (i + 1) & (kSlots - 1))
            if (FSlots[i].Record == r) return FParts[FSlots[i].Part];
        std::string part;
        if (FJson) {
            TMMDBIPCountryInfoEx& record = FCity ? FCityInfo : FCountryInfo;
            FReader.LoadRecordInto(r, record);
            part = MMDBRecordToJson(record);
        } else {
            part = FieldsText(r);
        }
        // Half full, or too much text: the memo starts afresh.
        if (FParts.size() == kSlots / 2 || FPartsText + part.size() > FMemoText) {
            std::fill(FSlots.begin(), FSlots.end(), TSlot{});
            FParts.clear();
            FPartsText = 0;
            for (i = Slot(r); FSlots[i].Record != 0;) i = (i + 1) & (kSlots - 1);
        }
        FPartsText += part.size();
        FSlots[i] = TSlot{r, static_cast<uint32_t>(FParts.size())};
        FParts.push_back(std::move(part));
        return FParts.back();
    }

    TMMDBReader& FReader;
    const TLookupForm& FForm;
    bool FJson, FCity;
    std::unique_ptr<TMMDBCountryCodes> FCodes; // for the lines without JSON
    TMMDBIPCountryInfoEx FCountryInfo;
    TMMDBIPCountryCityInfoEx FCityInfo;
    std::vector<TSlot> FSlots;
    std::vector<std::string> FParts;
    size_t FPartsText = 0;
    size_t FMemoText;
    TMMDBValueReader FValues;
    std::string FNoRecord; // the fields of an address in no network
};

// Writes text to out; a failed output ends the run there.
void Put(std::ostream& out, std::string_view text) {
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (!out) throw TOutputError(StreamErrno(out));
}

// One address line of a batch: its number and text (none for a plain dotted quad),
// and its address or why it has none.
struct TLookupEntry {
    static constexpr uint32_t kNoError = UINT32_MAX;
    uint64_t Line;
    std::string_view Text; // in the batch's Input
    uint32_t Error;        // index into the batch's Errors, or kNoError
    size_t Address;        // index into the batch's addresses when there is no error
};

// A batch of standard input's lines: read on the command's thread, parsed and looked up
// on any lane, written back on the command's thread in input order.
struct TLookupBatch {
    uint64_t FirstLine = 1; // the number of the first line of Input
    std::string Input;      // the lines read, each followed by a LF at the offset Ends gives
    std::vector<uint32_t> Ends;
    std::vector<TLookupEntry> Entries;
    std::vector<std::string> Errors;
    std::vector<TMMDBIPAddress> Addresses;
    std::vector<int64_t> Records;
    std::vector<int32_t> Prefixes;
    std::vector<const std::string*> Known; // the codes kept for the records (TLookupLines::LookAhead)
    std::string Text;                      // the batch's lines
    // The messages of the lines that failed, each with the length of Text before it.
    std::vector<std::pair<size_t, std::string>> Messages;
    std::string Failure; // the input's own failure, which ends the run after this batch
};

// What a lane looks addresses up with: a twin of the command's reader, and its lines.
struct TLookupLane {
    std::unique_ptr<TMMDBReader> Reader;
    std::unique_ptr<TLookupLines> Lines;
};

// Walks the batch's addresses and makes its lines and messages.
void LookUpBatch(TMMDBReader& reader, TLookupLines& lines, TLookupBatch& b) {
    b.Input.append(kDottedQuadReadAhead, '\0'); // ReadPaddedDottedQuad reads ahead
    // The addresses of the lines: blanks around them and text from "#" on passed over.
    b.Entries.clear();
    b.Errors.clear();
    b.Addresses.clear();
    for (size_t k = 0, start = 0; k < b.Ends.size(); start = b.Ends[k++] + 1) {
        std::string_view address(b.Input.data() + start, b.Ends[k] - start);
        const uint64_t line = b.FirstLine + k;
        // A plain dotted quad is kept without its text, which is the address's own; most
        // lines are one and nothing else.
        uint32_t v = 0;
        bool plain = ReadPaddedDottedQuad(address, v);
        if (!plain) {
            address = Trim(address.substr(0, address.find('#')));
            if (address.empty()) continue;
            plain = ReadPaddedDottedQuad(address, v);
        }
        if (plain) {
            b.Entries.push_back(TLookupEntry{line, {}, TLookupEntry::kNoError, b.Addresses.size()});
            b.Addresses.emplace_back(MakeIPv4(v));
            continue;
        }
        TLookupEntry& e = b.Entries.emplace_back(TLookupEntry{line, address, TLookupEntry::kNoError, 0});
        try {
            e.Address = b.Addresses.size();
            const TIPAddr addr = StrictStrToIPAddr(address);
            if (addr.ip_family == zarvo::IPv6)
                b.Addresses.emplace_back(addr.IPv6);
            else
                b.Addresses.emplace_back(addr.IPv4);
        } catch (const std::exception& ex) {
            e.Error = static_cast<uint32_t>(b.Errors.size());
            b.Errors.push_back(ErrorMessage(ex));
        }
    }
    b.Text.clear();
    b.Messages.clear();
    b.Records.resize(b.Addresses.size());
    b.Prefixes.resize(b.Addresses.size());
    reader.WalkTrees(b.Addresses, b.Records, b.Prefixes);
    b.Known.resize(b.Records.size());
    lines.LookAhead(b.Records, b.Known);
    for (const TLookupEntry& e : b.Entries) {
        try {
            if (e.Error != TLookupEntry::kNoError) throw Exception(b.Errors[e.Error]);
            const TMMDBIPAddress& ip = b.Addresses[e.Address];
            int32_t prefix = b.Prefixes[e.Address];
            // A failed walk: the plain walk at the address raises its error.
            const int64_t r = b.Records[e.Address] == TMMDBReader::kWalkFailed ? reader.WalkTree(ip, prefix)
                                                                               : b.Records[e.Address];
            lines.Append(b.Text, ip, r, prefix, b.Known[e.Address]);
        } catch (const std::exception& ex) {
            const std::string address =
                e.Text.empty() ? b.Addresses[e.Address].ToString() : std::string(e.Text);
            b.Messages.emplace_back(b.Text.size(),
                                    Format("line %llu: %s: %s", static_cast<unsigned long long>(e.Line),
                                           address.c_str(), ErrorMessage(ex).c_str()));
        }
    }
}

// The addresses of standard input, read a batch at a time; the batches are looked up on
// lanes threads (TOrderedPipeline) and written in input order.
// Returns the exit code.
int LookupInput(TMMDBReader& reader, const TLookupForm& form, unsigned lanes, std::istream& in,
                std::ostream& out, std::ostream& err) {
    TTextLineReader input(
        [&in](char* data, size_t size) {
            in.read(data, static_cast<std::streamsize>(size));
            const int error = StreamErrno(in);
            if (error != 0 || in.bad())
                throw Exception(Format("cannot read standard input: %s", std::strerror(error ? error : EIO)));
            return static_cast<size_t>(in.gcount());
        },
        kMaxLine);
    // Each lane keeps its own record memo; together they hold what one would.
    const size_t memoText = kMemoText / lanes;
    TLookupLines mine(reader, form, memoText);
    std::vector<TLookupLane> others(lanes);
    TOrderedPipeline<TLookupBatch> pipe(lanes, 2 * size_t{lanes} + 2, [&](TLookupBatch& b, unsigned lane) {
        if (lane == 0) return LookUpBatch(reader, mine, b);
        TLookupLane& l = others[lane];
        if (!l.Reader) {
            // Made on the lane's thread, which reads nothing of the command's reader but its image.
            l.Reader = reader.Twin();
            l.Lines = std::make_unique<TLookupLines>(*l.Reader, form, memoText);
        }
        LookUpBatch(*l.Reader, *l.Lines, b);
    });
    int rc = 0;
    const auto report = [&](const std::string& message) {
        // The lines so far first, so that the message stands after them.
        out.flush();
        if (!out) throw TOutputError(StreamErrno(out));
        err << message << "\n";
        rc = 1;
    };
    const auto take = [&](TLookupBatch& b) {
        size_t at = 0;
        for (const auto& [end, message] : b.Messages) {
            Put(out, std::string_view(b.Text).substr(at, end - at));
            at = end;
            report(message);
        }
        Put(out, std::string_view(b.Text).substr(at));
        if (!b.Failure.empty()) report(b.Failure);
    };
    for (bool more = true; more;) {
        TLookupBatch& b = pipe.Filling();
        b.Input.clear();
        b.Ends.clear();
        b.Failure.clear();
        b.FirstLine = input.LineNumber() + 1;
        try {
            switch (input.NextLines(b.Input, b.Ends, kBatchLines, kBatchText)) {
            case TTextLineReader::TResult::Line:
                break;
            case TTextLineReader::TResult::End:
                more = false;
                break;
            case TTextLineReader::TResult::TooLong:
                b.Failure = Format("line %llu: line longer than %zu %s",
                                   static_cast<unsigned long long>(input.LineNumber()), kMaxLine,
                                   input.Encoding() == TTextEncoding::Utf8 ? "bytes" : "UTF-16 code units");
                more = false;
                break;
            }
        } catch (const std::exception& e) {
            b.Failure = ErrorMessage(e);
            more = false;
        }
        pipe.Submit(take);
    }
    pipe.Drain(take);
    return rc;
}

// mmdb --all and --networks: the lines go out as the tree is walked. Returns the exit code.
int RunMmdbWalk(const TMmdbArgs& args, std::ostream& out, std::ostream& err) {
    std::string buf;
    const auto write = [&out](std::string_view text) { Put(out, text); };
    try {
        TMMDBReader reader(args.File);
        if (args.All) {
            WriteMMDBLines(reader, args.DateFormat.value_or(kMMDBDefaultShortDateFormat), write);
        } else {
            const bool both = !args.IPv4 && !args.IPv6;
            MMDBCountryBlocks(reader, args.Countries, both || args.IPv4, both || args.IPv6,
                              [&](const TMMDBIPAddress& start, int32_t prefix) {
                                  buf += start.ToString();
                                  buf += '/';
                                  buf += std::to_string(prefix);
                                  buf += '\n';
                                  if (buf.size() >= (size_t{1} << 16)) {
                                      write(buf);
                                      buf.clear();
                                  }
                              });
            write(buf);
        }
    } catch (const TOutputError&) {
        throw;
    } catch (const std::exception& e) {
        // The lines so far first, so that the message stands after them.
        write(buf);
        CheckOutput(out);
        err << ErrorMessage(e) << "\n";
        return 1;
    }
    CheckOutput(out);
    return 0;
}

} // namespace

std::vector<TOption> MmdbOptions(TMmdbArgs& a) {
    return {
        {.Section = "Options:",
         .Long = "--date-format",
         .ValueName = "F",
         .Kind = TOptionKind::Text,
         .SingleLine = true,
         .Help = "short date format of build_epoch: d or dd the day, m (or M) or mm the month, yy or yyyy "
                 "the year, ddd and dddd the weekday's name, mmm and mmmm the month's, 'text' as it is; "
                 "default yyyy-mm-dd",
         .Examples = {{"--date-format", "dd.mm.yyyy"}},
         .Set = [&a](const TOptionValue& v) { a.DateFormat = v.Text; }},
        {.Long = "--all",
         .Help = "every network of the database, IPv4 then IPv6, without the 1000-line cap: the rows are "
                 "written as the tree is walked, in memory that does not grow with the database",
         .Set = [&a](const TOptionValue&) { a.All = true; }},
        {.Section = "Country blocks:",
         .Long = "--networks",
         .Help = "print instead the fewest CIDR blocks, one a line, whose union is every address the "
                 "database places in the countries of --country (by the record's country.iso_code): "
                 "IPv4 first, then IPv6",
         .Set = [&a](const TOptionValue&) { a.Networks = true; }},
        {.Long = "--country",
         .ValueName = "CC[,CC...]",
         .Kind = TOptionKind::Text,
         .SingleLine = true,
         .Help = "the two-letter country codes of --networks, separated by commas (any letter case)",
         .Examples = {{"--networks", "--country", "DE,FR"}},
         .Set =
             [&a](const TOptionValue& v) {
                 a.Countries = ReadOptionValue([&] { return ParseCountryCodes(v.Text, "--country"); });
             }},
        {.Long = "--ipv4",
         .Help = "with --networks, the IPv4 blocks alone",
         .Set = [&a](const TOptionValue&) { a.IPv4 = true; }},
        {.Long = "--ipv6",
         .Help = "with --networks, the IPv6 blocks alone",
         .Set = [&a](const TOptionValue&) { a.IPv6 = true; }},
        {.Short = "-h", .Long = "--help", .Kind = TOptionKind::Help, .Help = "this help"},
    };
}

std::vector<TOption> LookupOptions(TLookupArgs& a) {
    return {
        {.Section = "Options:",
         .Long = "--json",
         .Help = "one JSON object per address instead, with the decoded record: "
                 "{\"address\":..,\"prefix_length\":..,\"found\":.., \"record\":{..}} (city record for "
                 "\"-city\" databases; the keys of the record the database holds)",
         .Set = [&a](const TOptionValue&) { a.Json = true; }},
        {.Long = "--field",
         .ValueName = "PATH",
         .Kind = TOptionKind::Text,
         .SingleLine = true,
         .Help = "print this value of the record instead of the country code; may be given more than once, "
                 "the values follow in the order given, each behind a tab. PATH is the record's keys and "
                 "array indexes joined by dots (country.iso_code, city.names.en, subdivisions.0.iso_code, "
                 "location.latitude, autonomous_system_number, isp). A string prints as it is (a tab, line "
                 "break or backslash in it as \\t, \\n, \\r, \\\\), a number as JSON writes it, a "
                 "map or array as compact JSON; the value is empty when the record lacks it, \"-\" when "
                 "the address lies in no network",
         .Examples = {{"--field", "city.names.en", "--field", "location.latitude"}},
         .Set =
             [&a](const TOptionValue& v) {
                 ReadOptionValue([&] { return ParseMMDBFieldPath(v.Text); });
                 a.Fields.push_back(v.Text);
             }},
        {.Long = "--network",
         .Help = "print the matched network in CIDR notation (81.2.69.160/27) instead of the prefix length "
                 "(--json: \"network\" instead of \"prefix_length\"); an IPv4 address found through an "
                 "IPv6 tree gets an IPv4 network",
         .Set = [&a](const TOptionValue&) { a.Network = true; }},
        {.Long = "--threads",
         .ValueName = "N",
         .Kind = TOptionKind::UInt,
         .Help = "with -, look the addresses up on N threads, 1 to 64 (default: one per core beyond the "
                 "first, at most 4, and one on a machine of two cores or fewer)",
         .Set =
             [&a](const TOptionValue& v) {
                 if (v.Number < 1 || v.Number > 64) throw TUsageError("--threads takes 1 to 64");
                 a.Threads = static_cast<unsigned>(v.Number);
             }},
        {.Short = "-h", .Long = "--help", .Kind = TOptionKind::Help, .Help = "this help"},
    };
}

std::string MmdbHelp() {
    TMmdbArgs unused;
    return kMmdbUsage + OptionsHelp(MmdbOptions(unused)) + kMmdbEpilogue;
}

std::string LookupHelp() {
    TLookupArgs unused;
    return kLookupUsage + OptionsHelp(LookupOptions(unused)) + kLookupEpilogue;
}

TMmdbArgs ParseMmdbArgs(const std::vector<std::string>& args) {
    TMmdbArgs a;
    TFileWord file(a.File, kDatabaseFile);
    if (!ParseOptions(args, MmdbOptions(a), std::ref(file))) {
        a.Help = true;
        return a;
    }
    file.Require();
    return a;
}

void CheckMmdbArgs(const TMmdbArgs& a) {
    if (a.Networks && a.Countries.empty()) throw TUsageError("--networks needs --country");
    if (!a.Networks && !a.Countries.empty()) throw TUsageError("--country goes with --networks");
    if (!a.Networks && (a.IPv4 || a.IPv6)) throw TUsageError("--ipv4 and --ipv6 go with --networks");
    if (a.Networks && a.All) throw TUsageError("give either --all or --networks");
    if (a.Networks && a.DateFormat)
        throw TUsageError("--date-format goes with the database's lines, not --networks");
}

TLookupArgs ParseLookupArgs(const std::vector<std::string>& args) {
    TLookupArgs a;
    // The first word is the database, the others addresses.
    TFileWord file(a.File, kDatabaseFile);
    const auto word = [&](const std::string& w) {
        if (file.Given()) {
            a.Addresses.push_back(w);
            return;
        }
        file(w);
    };
    if (!ParseOptions(args, LookupOptions(a), word)) {
        a.Help = true;
        return a;
    }
    file.Require();
    if (a.Addresses.empty()) throw TUsageError("give at least one address");
    if (a.Addresses.size() > 1 && std::find(a.Addresses.begin(), a.Addresses.end(), "-") != a.Addresses.end())
        throw TUsageError("give either addresses or '-' for standard input");
    if (a.Json && !a.Fields.empty()) throw TUsageError("give either --json or --field");
    return a;
}

int RunMmdb(const std::vector<std::string>& words, std::istream&, std::ostream& out, std::ostream& err) {
    TMmdbArgs args;
    try {
        args = ParseMmdbArgs(words);
        if (!args.Help) CheckMmdbArgs(args);
    } catch (const TUsageError& e) {
        return ReportUsageError(err, "mmdb", e.what());
    }
    if (args.Help) {
        out << MmdbHelp();
        return 0;
    }
    if (args.All || args.Networks) return RunMmdbWalk(args, out, err);
    try {
        TMMDBMetaReader reader(args.File, 0, args.DateFormat.value_or(kMMDBDefaultShortDateFormat));
        std::string buf;
        while (!reader.EndOfLines()) {
            buf += reader.ReadLine();
            buf += '\n';
        }
        out << buf;
    } catch (const std::exception& e) {
        err << ErrorMessage(e) << "\n";
        return 1;
    }
    CheckOutput(out);
    return 0;
}

int RunLookup(const std::vector<std::string>& words, std::istream& in, std::ostream& out, std::ostream& err) {
    TLookupArgs args;
    try {
        args = ParseLookupArgs(words);
    } catch (const TUsageError& e) {
        return ReportUsageError(err, "lookup", e.what());
    }
    if (args.Help) {
        out << LookupHelp();
        return 0;
    }

    std::unique_ptr<TMMDBReader> reader;
    try {
        reader = std::make_unique<TMMDBReader>(args.File);
    } catch (const std::exception& e) {
        err << ErrorMessage(e) << "\n";
        return 1;
    }
    TLookupForm form{args.Json, args.Network, {}};
    for (const std::string& f : args.Fields) form.Fields.push_back(ParseMMDBFieldPath(f));
    if (args.Addresses == std::vector<std::string>{"-"}) {
        const int rc =
            LookupInput(*reader, form, args.Threads ? args.Threads : DefaultLookupLanes(4), in, out, err);
        CheckOutput(out);
        return rc;
    }
    TLookupLines lines(*reader, form);
    int rc = 0;
    std::string text;
    // The addresses count as lines 1, 2, ... in their order, so that a message names
    // the one it is about as the same list on standard input would.
    uint64_t line = 0;
    for (const std::string& address : args.Addresses) {
        ++line;
        try {
            const TIPAddr addr = StrictStrToIPAddr(address);
            const TMMDBIPAddress ip =
                addr.ip_family == zarvo::IPv6 ? TMMDBIPAddress(addr.IPv6) : TMMDBIPAddress(addr.IPv4);
            int32_t prefix = 0;
            const int64_t r = reader->WalkTree(ip, prefix);
            lines.Append(text, ip, r, prefix);
            Put(out, text);
            text.clear();
        } catch (const TOutputError&) {
            throw;
        } catch (const std::exception& e) {
            // The lines so far first, so that the message stands after them.
            CheckOutput(out);
            err << "line " << line << ": " << address << ": " << ErrorMessage(e) << "\n";
            rc = 1;
        }
    }
    CheckOutput(out);
    return rc;
}

} // namespace zarvo::cli
