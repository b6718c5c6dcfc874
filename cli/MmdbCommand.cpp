// zarvo-cli mmdb / lookup: a geolocation database as CSV lines, and single lookups.
#include "cli/MmdbCommand.h"

#include <iostream>

#include "cli/FdStream.h"
#include "cli/ZarvoCli.h"
#include "mmdb/uMMDBInfo.h"
#include "mmdb/uMMDBLineReader.h"
#include "mmdb/uMMDBReader.h"
#include "net/uZarvo.h"

namespace zarvo::cli {

namespace {

const char* const kMmdbUsage = R"(Usage: zarvo-cli mmdb [OPTIONS] FILE.mmdb

Prints a MaxMind DB file (GeoIP2 / GeoLite2 ".mmdb") as the file viewer shows it:
its metadata as name,value lines, a CSV header, then one row per IPv4 network in
ascending order, at most 1000 lines in all. City databases (type ending in
"-city") get the city columns.

)";

const char* const kMmdbEpilogue = R"(
Exit status: 0 on success, 1 when the file cannot be read as a database or the
output cannot be written (the message goes to standard error), 2 for bad
options.

Example:
  zarvo-cli mmdb GeoLite2-Country.mmdb | head -20
)";

const char* const kLookupUsage = R"(Usage: zarvo-cli lookup [OPTIONS] FILE.mmdb ADDRESS...

Looks IPv4 and IPv6 addresses up in a MaxMind DB file and prints one line per
address: the address, the prefix length of the database network that holds it,
and the network's two-letter country code, separated by tabs. The code column
is empty when the network has no country, and "-" when the address lies in no
network of the database (the prefix length then tells where the search stopped).
IPv4 prefix lengths count from the IPv4 part of an IPv6 database.

)";

const char* const kLookupEpilogue = R"(
Exit status: 0 when every address was looked up, 1 when the database cannot be
read, an address is not valid or the output cannot be written (messages go to
standard error), 2 for bad options.

Examples:
  zarvo-cli lookup GeoLite2-Country.mmdb 81.2.69.160 2001:218::1
  zarvo-cli lookup --json GeoLite2-City.mmdb 81.2.69.142
)";

const char* const kEmptyFile = "the database file name is empty";

int Usage(std::ostream& err, const char* command, const std::string& message) {
    err << "zarvo-cli " << command << ": " << message << "\nRun 'zarvo-cli " << command
        << " --help' for the options.\n";
    return 2;
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
        {.Short = "-h", .Long = "--help", .Kind = TOptionKind::Help, .Help = "this help"},
    };
}

std::vector<TOption> LookupOptions(TLookupArgs& a) {
    return {
        {.Section = "Options:",
         .Long = "--json",
         .Help = "one JSON object per address instead, with the decoded record: "
                 "{\"address\":..,\"prefix_length\":..,\"found\":.., \"record\":{..}} (city record for "
                 "\"-city\" databases)",
         .Set = [&a](const TOptionValue&) { a.Json = true; }},
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
    bool haveFile = false;
    const auto file = [&](const std::string& word) {
        if (haveFile) throw TUsageError("give one database file");
        if (word.empty()) throw TUsageError(kEmptyFile);
        a.File = word;
        haveFile = true;
    };
    if (!ParseOptions(args, MmdbOptions(a), file)) {
        a.Help = true;
        return a;
    }
    if (!haveFile) throw TUsageError("give the database file");
    return a;
}

TLookupArgs ParseLookupArgs(const std::vector<std::string>& args) {
    TLookupArgs a;
    bool haveFile = false;
    const auto word = [&](const std::string& w) {
        if (haveFile) {
            a.Addresses.push_back(w);
            return;
        }
        if (w.empty()) throw TUsageError(kEmptyFile);
        a.File = w;
        haveFile = true;
    };
    if (!ParseOptions(args, LookupOptions(a), word)) {
        a.Help = true;
        return a;
    }
    if (!haveFile) throw TUsageError("give the database file");
    if (a.Addresses.empty()) throw TUsageError("give at least one address");
    return a;
}

int RunMmdb(const std::vector<std::string>& words, std::istream&, std::ostream& out, std::ostream& err) {
    TMmdbArgs args;
    try {
        args = ParseMmdbArgs(words);
    } catch (const TUsageError& e) {
        return Usage(err, "mmdb", e.what());
    }
    if (args.Help) {
        out << MmdbHelp();
        return 0;
    }
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

int RunLookup(const std::vector<std::string>& words, std::istream&, std::ostream& out, std::ostream& err) {
    TLookupArgs args;
    try {
        args = ParseLookupArgs(words);
    } catch (const TUsageError& e) {
        return Usage(err, "lookup", e.what());
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
    const bool city = IsCityDatabaseType(reader->Metadata().DatabaseType());
    TMMDBIPCountryInfoEx countryInfo;
    TMMDBIPCountryCityInfoEx cityInfo;
    TMMDBIPCountryInfoEx& record = city ? cityInfo : countryInfo;
    int rc = 0;
    for (const std::string& text : args.Addresses) {
        try {
            const TIPAddr addr = StrToIPAddr(text);
            const TMMDBIPAddress ip =
                addr.ip_family == zarvo::IPv6 ? TMMDBIPAddress(addr.IPv6) : TMMDBIPAddress(addr.IPv4);
            int32_t prefix = 0;
            const bool found = reader->Lookup(ip, prefix, record);
            if (args.Json) {
                out << "{\"address\":\"" << ip.ToString() << "\",\"prefix_length\":" << prefix
                    << ",\"found\":" << (found ? "true" : "false");
                if (found) out << ",\"record\":" << MMDBRecordToJson(record);
                out << "}\n";
            } else {
                out << ip.ToString() << '\t' << prefix << '\t' << (found ? record.Country().ISOCode() : "-")
                    << '\n';
            }
        } catch (const std::exception& e) {
            // The lines so far first, so that the message stands after them.
            CheckOutput(out);
            err << text << ": " << ErrorMessage(e) << "\n";
            rc = 1;
        }
        // A failed output ends the run at the address where it is seen.
        if (!out) throw TOutputError(StreamErrno(out));
    }
    CheckOutput(out);
    return rc;
}

} // namespace zarvo::cli
