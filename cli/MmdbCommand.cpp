// zarvo-cli mmdb / lookup: a geolocation database as CSV lines, and single lookups.
#include <iostream>

#include "cli/CliArgs.h"
#include "cli/ZarvoCli.h"
#include "net/uZarvo.h"
#include "mmdb/uMMDBInfo.h"
#include "mmdb/uMMDBLineReader.h"
#include "mmdb/uMMDBReader.h"

namespace zarvo::cli {

namespace {

const char* const kMmdbHelp = R"(Usage: zarvo-cli mmdb [OPTIONS] FILE.mmdb

Prints a MaxMind DB file (GeoIP2 / GeoLite2 ".mmdb") as the file viewer shows it:
its metadata as name,value lines, a CSV header, then one row per IPv4 network in
ascending order, at most 1000 lines in all. City databases (type ending in
"-city") get the city columns.

Options:
      --date-format F    short date format of build_epoch (default yyyy-mm-dd;
                         runs of d, m and y, e.g. dd.mm.yyyy)
  -h, --help             this help

Exit status: 0 on success, 1 when the file cannot be read as a database (the
message goes to standard error), 2 for bad options.

Example:
  zarvo-cli mmdb GeoLite2-Country.mmdb | head -20
)";

const char* const kLookupHelp = R"(Usage: zarvo-cli lookup [OPTIONS] FILE.mmdb ADDRESS...

Looks IPv4 and IPv6 addresses up in a MaxMind DB file and prints one line per
address: the address, the prefix length of the database network that holds it,
and the network's two-letter country code, separated by tabs. The code column
is empty when the network has no country, and "-" when the address lies in no
network of the database (the prefix length then tells where the search stopped).
IPv4 prefix lengths count from the IPv4 part of an IPv6 database.

Options:
      --json             one JSON object per address instead, with the decoded
                         record: {"address":..,"prefix_length":..,"found":..,
                         "record":{..}} (city record for "-city" databases)
  -h, --help             this help

Exit status: 0 when every address was looked up, 1 when the database cannot be
read or an address is not valid (messages go to standard error), 2 for bad
options.

Examples:
  zarvo-cli lookup GeoLite2-Country.mmdb 81.2.69.160 2001:218::1
  zarvo-cli lookup --json GeoLite2-City.mmdb 81.2.69.142
)";

int Usage(std::ostream& err, const char* command, const std::string& message) {
    err << "zarvo-cli " << command << ": " << message << "\nRun 'zarvo-cli " << command
        << " --help' for the options.\n";
    return 2;
}

} // namespace

int RunMmdb(const std::vector<std::string>& args, std::istream&, std::ostream& out, std::ostream& err) {
    std::string file, dateFormat = kMMDBDefaultShortDateFormat;
    TArgParser p(args, "mmdb");
    try {
        while (p.Next()) {
            if (p.Is("-h", "--help")) {
                out << kMmdbHelp;
                return 0;
            } else if (p.Is("--date-format")) {
                dateFormat = p.Value();
            } else if (p.IsOption()) {
                throw TUsageError("unknown option '" + p.Arg() + "'");
            } else if (file.empty()) {
                file = p.Arg();
            } else {
                throw TUsageError("give one database file");
            }
        }
        if (file.empty()) throw TUsageError("give the database file");
    } catch (const TUsageError& e) {
        return Usage(err, "mmdb", e.what());
    }
    try {
        TMMDBMetaReader reader(file, 0, dateFormat);
        std::string buf;
        while (!reader.EndOfLines()) {
            buf += reader.ReadLine();
            buf += '\n';
        }
        out << buf;
    } catch (const std::exception& e) {
        err << PlainMessage(e.what()) << "\n";
        return 1;
    }
    out.flush();
    return out.good() ? 0 : 1;
}

int RunLookup(const std::vector<std::string>& args, std::istream&, std::ostream& out, std::ostream& err) {
    std::string file;
    std::vector<std::string> addresses;
    bool json = false;
    TArgParser p(args, "lookup");
    try {
        while (p.Next()) {
            if (p.Is("-h", "--help")) {
                out << kLookupHelp;
                return 0;
            } else if (p.Is("--json")) {
                json = true;
            } else if (p.IsOption()) {
                throw TUsageError("unknown option '" + p.Arg() + "'");
            } else if (file.empty()) {
                file = p.Arg();
            } else {
                addresses.push_back(p.Arg());
            }
        }
        if (file.empty()) throw TUsageError("give the database file");
        if (addresses.empty()) throw TUsageError("give at least one address");
    } catch (const TUsageError& e) {
        return Usage(err, "lookup", e.what());
    }

    std::unique_ptr<TMMDBReader> reader;
    try {
        reader = std::make_unique<TMMDBReader>(file);
    } catch (const std::exception& e) {
        err << PlainMessage(e.what()) << "\n";
        return 1;
    }
    const bool city = IsCityDatabaseType(reader->Metadata().DatabaseType());
    TMMDBIPCountryInfoEx countryInfo;
    TMMDBIPCountryCityInfoEx cityInfo;
    TMMDBIPCountryInfoEx& record = city ? cityInfo : countryInfo;
    int rc = 0;
    for (const std::string& text : addresses) {
        try {
            const TIPAddr addr = StrToIPAddr(text);
            const TMMDBIPAddress ip =
                addr.ip_family == zarvo::IPv6 ? TMMDBIPAddress(addr.IPv6) : TMMDBIPAddress(addr.IPv4);
            int32_t prefix = 0;
            const bool found = reader->Lookup(ip, prefix, record);
            if (json) {
                out << "{\"address\":\"" << ip.ToString() << "\",\"prefix_length\":" << prefix
                    << ",\"found\":" << (found ? "true" : "false");
                if (found) out << ",\"record\":" << MMDBRecordToJson(record);
                out << "}\n";
            } else {
                out << ip.ToString() << '\t' << prefix << '\t' << (found ? record.Country().ISOCode() : "-")
                    << '\n';
            }
        } catch (const std::exception& e) {
            out.flush();
            err << text << ": " << PlainMessage(e.what()) << "\n";
            rc = 1;
        }
    }
    out.flush();
    return out.good() ? rc : 1;
}

} // namespace zarvo::cli
