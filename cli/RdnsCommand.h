// zarvo-cli rdns: the window's reverse lookup for scripts and pipelines. The words
// to TRdnsArgs (ParseRdnsArgs), then the run (RunRdns in ZarvoCli.h): lines from a
// file or standard input through the window's field rules, PTR queries through the
// shared lookup, resolved lines on standard output as they are done.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/CliArgs.h"
#include "dns/ResolvConf.h"
#include "dns/ReverseLookup.h"
#include "generator/RunShape.h"
#include "support/ListFile.h"

namespace zarvo::cli {

// What standard output gets: "address,name" per resolved address, or a JSON object
// per looked-up address with its status.
enum class TRdnsFormat { Csv, Jsonl };

struct TRdnsArgs {
    bool Help = false;
    std::vector<std::string> Servers; // entries as given, checked when the run starts
    std::string Input;                // a file, or "-" / empty for standard input
    std::string Unresolved;           // file for the unresolved addresses; empty for none
    std::optional<std::string> Delimiter;
    TListDelimiter ListDelimiter = ldEndOfLine; // between lines besides line breaks
    unsigned InFlight = dns::kDefaultInFlight;
    unsigned TimeoutMs = dns::kDefaultTimeoutMs;
    unsigned Retries = dns::kDefaultRetries;
    uint64_t RateQps = 0; // 0: no limit
    TRdnsFormat Format = TRdnsFormat::Csv;
    // The share of the looked-up addresses this run asks (every Count-th from Index).
    TShard Shard;
    // Where the servers come from when Servers is empty.
    std::string ResolvConf = dns::kResolvConfPath;

    bool operator==(const TRdnsArgs&) const = default;
};

std::vector<TOption> RdnsOptions(TRdnsArgs& into);
std::string RdnsHelp();

// The JSON line of one looked-up address (with its line break): address, name (when
// resolved), status, server, tries, rtt_ms. Text is escaped for JSON, ill-formed
// UTF-8 replaced by U+FFFD.
void AppendJsonLine(std::string& out, const dns::TLookupResult& result);

// Raises TUsageError (exit code 2): an unknown option, a number out of its range,
// more than one input. With Help set nothing after --help was read. Servers are
// not checked here: a run without a usable server could not run (exit code 1).
TRdnsArgs ParseRdnsArgs(const std::vector<std::string>& args);

} // namespace zarvo::cli
