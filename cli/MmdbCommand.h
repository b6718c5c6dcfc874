// zarvo-cli mmdb and lookup: the words to their arguments by each command's option
// table, then the run (RunMmdb, RunLookup in ZarvoCli.h).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/CliArgs.h"

namespace zarvo::cli {

struct TMmdbArgs {
    bool Help = false;
    std::string File;
    std::optional<std::string> DateFormat; // the viewer's default when unset
    bool All = false;                      // every network, no cap
    bool Networks = false;                 // the blocks of Countries instead
    std::vector<std::string> Countries;    // upper case
    bool IPv4 = false, IPv6 = false;       // with Networks; neither: both

    bool operator==(const TMmdbArgs&) const = default;
};

struct TLookupArgs {
    bool Help = false;
    bool Json = false;
    bool Network = false;            // the matched network instead of the prefix length
    std::vector<std::string> Fields; // the record's values by path instead of the country code
    std::string File;
    std::vector<std::string> Addresses;
    unsigned Threads = 0; // 0: one per core, at most 4

    bool operator==(const TLookupArgs&) const = default;
};

std::vector<TOption> MmdbOptions(TMmdbArgs& into);
std::vector<TOption> LookupOptions(TLookupArgs& into);
std::string MmdbHelp();
std::string LookupHelp();

// Raise TUsageError (exit code 2); with Help set nothing after --help was read.
TMmdbArgs ParseMmdbArgs(const std::vector<std::string>& args);
TLookupArgs ParseLookupArgs(const std::vector<std::string>& args);
// The mmdb options that depend on each other (--networks needs --country, ...) and the
// country codes; raises TUsageError.
void CheckMmdbArgs(const TMmdbArgs& args);

} // namespace zarvo::cli
