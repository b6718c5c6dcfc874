// zarvo-cli rdns: reverse DNS lookup of address lines.
#include "cli/RdnsCommand.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <iostream>
#include <memory>
#include <string_view>

#include "cli/FdStream.h"
#include "cli/ZarvoCli.h"
#include "dns/LookupLines.h"
#include "dns/ResolvConf.h"
#include "dns/ReverseLookup.h"
#include "options/ZarvoSettings.h"
#include "support/AtomicFile.h"
#include "support/TextDecode.h"
#include "support/ZarvoText.h"

namespace zarvo::cli {

namespace {

const char* const kUsage = R"(Usage: zarvo-cli rdns [-s SERVER...] [OPTIONS] [FILE|-]

Looks the addresses of FILE (standard input when FILE is "-" or left out) up in
reverse DNS: one PTR query over UDP per address, several in flight, the servers
taken in turn (the first address to the first server, the second to the second,
and so on). Lines are read as the window's output pane holds them: ADDRESS,
ADDRESS:PORT, [IPv6]:PORT, "NAME ADDRESS", "ADDRESS CC" (a country code), or
fields separated by a tab, ",", ";" or the --delimiter text, of which the first
that is an address counts. An address on consecutive lines (one line per port)
is asked once. IPv6 addresses are asked under ip6.arpa. A list saved with ","
or ";" between its lines (generate -o, the window's "Save to file") is read
whole with --list-delimiter. The input may be UTF-8 or, with a byte-order mark,
UTF-16; it is read as a stream, and a line of more than 1048576 bytes is refused
with its line number.

Each resolved address gives the line ADDRESS,NAME on standard output (with
--format jsonl each looked-up address a JSON object, see below), in input
order, as soon as it and every address before it are done (written out before
the run waits for replies). Each line without an address, and each with more
than one (only one is asked), is named on standard error with its line number
(the first 10 of each kind; the others are counted). The summary goes to
standard error: "N resolved, M unresolved", followed by ", K lines without an
address" and ", L lines with more than one address" when there were any.

)";

const char* const kEpilogue = R"(
With --format jsonl each looked-up address gives one line such as
{"address":"192.0.2.1","name":"host.example","status":"NOERROR","server":"192.0.2.53:53","tries":1,"rtt_ms":0.412}
"name" only when resolved; "status" NOERROR (resolved), NOPTR (an answer without
a PTR record), the reply's RCODE (NXDOMAIN, SERVFAIL, REFUSED, FORMERR, NOTIMP,
YXDOMAIN, ...), TIMEOUT (no reply in time), MALFORMED (a reply that failed the
checks) or UNREACHABLE (the send failed, or the server's port is unreachable);
"tries" the datagrams sent (1 and the resends), "rtt_ms" from the first sending
to the end of the query.

A query without a reply is sent again (--retries), each datagram from a socket
of its own on a fresh random port; a reply to any of its sends is taken, and
the query ends no later than --timeout after its first send. The queries in
flight grow towards --in-flight as answers come, and halve when lost datagrams
come with a queue at the server (or most are lost), so that a server that drops
queries is asked more slowly rather than losing answers.

A SERVER is an IPv4 or IPv6 address with an optional port (192.0.2.53,
192.0.2.53:5353, 2001:db8::53, [2001:db8::53]:5353) or a host name, which is
resolved once, when the run starts, through the system's resolver; a name that
does not resolve fails the run. One -s may list several servers separated by
"," or ";". Without -s the servers are the "nameserver" lines of /etc/resolv.conf
(IPv4, or IPv6 with the zone of a link-local address; the first three), as dig
takes them; a file that lists none fails the run.

Exit status: 0 when every line was looked up (unresolved addresses are a
result, not an error); 1 when a line had no address or more than one (after
the run, with the summary), or when the run could not be done: no server (no
-s, and none in /etc/resolv.conf), a server entry that names none, a server
name that does not resolve, no socket to be had, input that cannot be read, output or the --unresolved file that
cannot be written (the message goes to standard error, and no summary); 2 for
bad options. A closed pipe (| head) ends the program quietly.
SIGINT (Ctrl+C) and SIGTERM end it by the signal (130, 143) once the temporary
file of --unresolved FILE is removed: an existing FILE stays as it was.

Examples:
  zarvo-cli rdns -s 192.0.2.53 addresses.txt
  zarvo-cli generate 192.0.2.0/24 | zarvo-cli rdns -s 192.0.2.53 -s 198.51.100.53 > names.csv
  zarvo-cli rdns -s '[2001:db8::53]:5353' --unresolved missing.txt --timeout 2000 hosts.txt
  zarvo-cli rdns -s dns.example --in-flight 4 --rate 50 -d ' | ' - < hosts.txt
  zarvo-cli generate --list-delimiter comma -o list.txt 192.0.2.0/28
  zarvo-cli rdns -s 192.0.2.53,198.51.100.53 --list-delimiter comma list.txt
)";

// As long as a range line may be: the lines come from the same output pane.
constexpr size_t kMaxLine = kMaxSettingsLine;
static_assert(kMaxLine == 1048576, "the help text names the cap");

[[noreturn]] void Fail(const std::string& message) {
    throw Exception("zarvo-cli rdns: " + message);
}

// The input's bytes: a file read through its descriptor, or standard input.
class TInput {
public:
    TInput(const std::string& path, std::istream& in) : FIn(in) {
        if (path.empty() || path == "-") {
            FName = "standard input";
            return;
        }
        FName = "'" + path + "'";
        FFd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (FFd < 0) Fail("cannot read " + FName + ": " + std::strerror(errno));
    }
    ~TInput() {
        if (FFd >= 0) ::close(FFd);
    }
    TInput(const TInput&) = delete;
    TInput& operator=(const TInput&) = delete;

    const std::string& Name() const { return FName; }

    size_t Read(char* data, size_t size) {
        if (FFd < 0) {
            FIn.read(data, static_cast<std::streamsize>(size));
            const int error = StreamErrno(FIn);
            if (error != 0 || FIn.bad())
                Fail("cannot read " + FName + ": " + std::strerror(error ? error : EIO));
            return static_cast<size_t>(FIn.gcount());
        }
        for (;;) {
            const ssize_t got = ::read(FFd, data, size);
            if (got >= 0) return static_cast<size_t>(got);
            if (errno != EINTR) Fail("cannot read " + FName + ": " + std::strerror(errno));
        }
    }

private:
    std::istream& FIn;
    std::string FName;
    int FFd = -1;
};

// Without -s: the system's servers, as dig takes them.
std::vector<dns::TDnsServer> SystemServers(const std::string& resolvConf) {
    std::vector<dns::TDnsServer> servers;
    try {
        servers = dns::ReadResolvConf(resolvConf);
    } catch (const dns::EReverseLookupError& e) {
        Fail(std::string("No DNS Servers specified, and ") + e.what());
    }
    if (servers.empty())
        Fail("No DNS Servers specified, and " + resolvConf + " lists no usable nameserver: give one with -s");
    return servers;
}

std::vector<dns::TDnsServer> ParseServers(const std::vector<std::string>& entries) {
    std::vector<dns::TDnsServer> servers;
    for (const std::string& entry : entries) {
        std::string bad;
        if (dns::ParseServerList(entry, servers, bad)) continue;
        const std::string what = bad == entry ? "'" + entry + "'" : "'" + bad + "' (in '" + entry + "')";
        Fail(what + " is not a DNS server: give ADDRESS, ADDRESS:PORT, [IPv6]:PORT or a host name" +
             (bad == entry ? "" : ", several separated by \",\" or \";\""));
    }
    return servers;
}

// "standard input, line 4" for the line the reader gave last ("..., line 1, item 3"
// in a list with another delimiter than line breaks).
std::string LineName(const std::string& input, const TTextLineReader& reader, TListDelimiter list) {
    std::string name = input + ", line " + std::to_string(reader.LineNumber());
    if (list != ldEndOfLine) name += ", item " + std::to_string(reader.ItemNumber());
    return name;
}

// A line's text in a message: its start, without control characters.
std::string Excerpt(std::string_view text) {
    constexpr size_t kMax = 60;
    text = Trim(text);
    size_t cut = std::min(text.size(), kMax);
    while (cut < text.size() && cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    std::string out(text.substr(0, cut));
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return cut < text.size() ? out + "..." : out;
}

// The lines that are not looked up as they stand, each named on standard error (the
// first kMaxNamed of a kind; the rest counted): lines without an address, and lines
// with more than one, of which only one is asked.
class TLineNotes {
public:
    TLineNotes(const std::string& input, TListDelimiter list, std::ostream& err)
        : FInput(input), FList(list), FErr(err) {}

    void NoAddress(const TTextLineReader& reader, std::string_view line) {
        if (++FNoAddress <= kMaxNamed) Say(reader, "no address in '" + Excerpt(line) + "'");
    }
    void SeveralAddresses(const TTextLineReader& reader, const dns::TLookupLine& line) {
        if (++FSeveral > kMaxNamed) return;
        std::string text =
            std::to_string(line.OtherAddresses + 1) + " addresses, only " + line.Address + " asked";
        if (FList == ldEndOfLine) text += "; read a list with --list-delimiter comma or semicolon";
        Say(reader, text);
    }
    // The counts of the lines not named; whether there were any such lines at all.
    bool Finish() {
        if (FNoAddress > kMaxNamed) More(FNoAddress, "without an address");
        if (FSeveral > kMaxNamed) More(FSeveral, "with more than one address");
        return FNoAddress != 0 || FSeveral != 0;
    }
    // ", K lines without an address, L lines with more than one address" for those there were.
    std::string Summary() const {
        std::string text;
        if (FNoAddress) text += ", " + Lines(FNoAddress) + " without an address";
        if (FSeveral) text += ", " + Lines(FSeveral) + " with more than one address";
        return text;
    }

private:
    static constexpr uint64_t kMaxNamed = 10;

    static std::string Lines(uint64_t n) { return std::to_string(n) + (n == 1 ? " line" : " lines"); }
    void Say(const TTextLineReader& reader, const std::string& text) {
        FErr << "zarvo-cli rdns: " << LineName(FInput, reader, FList) << ": " << text << "\n";
    }
    void More(uint64_t n, const char* what) {
        FErr << "zarvo-cli rdns: " << FInput << ": " << (n - kMaxNamed) << " more "
             << (n - kMaxNamed == 1 ? "line " : "lines ") << what << "\n";
    }

    const std::string& FInput;
    TListDelimiter FList;
    std::ostream& FErr;
    uint64_t FNoAddress = 0, FSeveral = 0;
};

// The addresses of the input's lines, in order, each line read by the window's rules;
// the lines not looked up as they stand go to the notes.
class TAddressLines {
public:
    TAddressLines(TInput& input, const TRdnsArgs& args, std::ostream& err)
        : FInput(input), FList(args.ListDelimiter),
          FReader([&input](char* data, size_t size) { return input.Read(data, size); }, kMaxLine),
          FFilter(args.Delimiter.value_or("")), FNotes(input.Name(), args.ListDelimiter, err),
          FShard(args.Shard) {
        if (FList != ldEndOfLine) FReader.SetSeparator(ListDelimiter(FList).front());
    }

    // The next address to look up; false at the end. Raises for a line over the cap
    // and for input that cannot be read.
    bool Next(std::string& address) {
        for (;;) {
            switch (FReader.Next(FLine)) {
            case TTextLineReader::TResult::Line:
                break;
            case TTextLineReader::TResult::End:
                return false;
            case TTextLineReader::TResult::TooLong:
                Fail(Format("%s: line longer than %zu %s", LineName(FInput.Name(), FReader, FList).c_str(),
                            kMaxLine,
                            FReader.Encoding() == TTextEncoding::Utf8 ? "bytes" : "UTF-16 code units"));
            }
            switch (FFilter.Read(FLine, FEntry)) {
            case dns::TLookupAddressFilter::TVerdict::Empty:
            case dns::TLookupAddressFilter::TVerdict::Repeat:
                continue;
            case dns::TLookupAddressFilter::TVerdict::NoAddress:
                FNotes.NoAddress(FReader, FLine);
                continue;
            case dns::TLookupAddressFilter::TVerdict::Address:
                break;
            }
            if (FEntry.OtherAddresses != 0) FNotes.SeveralAddresses(FReader, FEntry);
            // --shard: every shard reads every line; each asks its share of the addresses.
            if (!FShard.Wants(FAddresses++)) continue;
            address = std::move(FEntry.Address);
            return true;
        }
    }
    TLineNotes& Notes() { return FNotes; }

private:
    TInput& FInput;
    TListDelimiter FList;
    TTextLineReader FReader;
    dns::TLookupAddressFilter FFilter;
    TLineNotes FNotes;
    std::string FLine;
    dns::TLookupLine FEntry;
    TShard FShard;
    uint64_t FAddresses = 0; // addresses read, those of other shards included
};

// The run; raises Exception for what makes it fail (exit code 1), TOutputError for
// standard output. Returns the exit code of a run that went to its end: 1 when a line
// was not looked up as it stands.
int RunLookup(const TRdnsArgs& args, std::istream& in, std::ostream& out, std::ostream& err) {
    std::vector<dns::TDnsServer> servers =
        args.Servers.empty() ? SystemServers(args.ResolvConf) : ParseServers(args.Servers);
    TInput input(args.Input, in);
    // Opened before the first query, so that a file that cannot be written costs no
    // run; replaced only once every address is done.
    std::unique_ptr<TAtomicFileWriter> unresolvedFile;
    if (!args.Unresolved.empty()) unresolvedFile = std::make_unique<TAtomicFileWriter>(args.Unresolved);

    TAddressLines lines(input, args, err);
    dns::TLookupSettings settings;
    settings.InFlight = args.InFlight;
    settings.TimeoutMs = args.TimeoutMs;
    settings.Retries = args.Retries;
    settings.RateQps = static_cast<double>(args.RateQps);
    dns::TReverseLookup lookup(std::move(servers), settings);

    // A failure inside the run (input, output) stops it at once and is raised once
    // it has returned.
    std::atomic<bool> stop = false;
    std::exception_ptr failure;
    const auto failWith = [&](std::exception_ptr e) {
        if (!failure) failure = std::move(e);
        stop = true;
    };

    const auto source = [&](std::string& address) {
        try {
            return lines.Next(address);
        } catch (...) {
            failWith(std::current_exception());
            return false;
        }
    };

    uint64_t resolved = 0, unresolved = 0;
    bool unflushed = false;
    std::string text;
    const auto write = [&] {
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        if (!out) throw TOutputError(StreamErrno(out));
        unflushed = true;
    };
    const auto sink = [&](const dns::TLookupResult& r) {
        if (stop) return;
        try {
            if (args.Format == TRdnsFormat::Jsonl) {
                text.clear();
                AppendJsonLine(text, r);
                write();
            }
            text = r.Address;
            if (r.Resolved) {
                if (args.Format == TRdnsFormat::Csv) {
                    text += ',';
                    text += r.HostName;
                    text += '\n';
                    write();
                }
                ++resolved;
            } else {
                text += '\n';
                if (unresolvedFile) unresolvedFile->Write(text);
                ++unresolved;
            }
        } catch (...) {
            failWith(std::current_exception());
        }
    };
    // Lines done reach the reader before the run waits, so that one that is
    // interrupted there keeps them.
    const auto beforeWait = [&] {
        if (!unflushed || stop) return;
        unflushed = false;
        try {
            CheckOutput(out);
        } catch (...) {
            failWith(std::current_exception());
        }
    };

    lookup.Run(source, sink, &stop, beforeWait);
    if (failure) std::rethrow_exception(failure);
    CheckOutput(out);
    if (unresolvedFile) unresolvedFile->Commit();
    const bool notLookedUp = lines.Notes().Finish();
    err << resolved << " resolved, " << unresolved << " unresolved" << lines.Notes().Summary() << "\n";
    return notLookedUp ? 1 : 0;
}

// text as a JSON string: quotes, backslash and control characters escaped, the rest
// as UTF-8 with ill-formed bytes replaced.
void AppendJsonString(std::string& out, std::string_view text) {
    static thread_local std::string utf8;
    utf8.clear();
    AppendSanitizedUtf8(utf8, text);
    out += '"';
    for (const char c : utf8) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20 || u == 0x7F) {
            out += Format("\\u%04x", u);
        } else {
            out += c;
        }
    }
    out += '"';
}

// The help of the options whose bounds and defaults are the lookup's (dns/ReverseLookup.h),
// made from them once.
const std::string& InFlightHelp() {
    static const std::string text =
        Format("queries outstanding at once, 1 to %u (default %u); a run starts with at most %u and "
               "widens as answers come, and narrows when the server drops queries",
               dns::kMaxInFlight, dns::kDefaultInFlight, dns::kDefaultInFlight);
    return text;
}
const std::string& TimeoutHelp() {
    static const std::string text =
        Format("how long each query waits for a reply to any of its sends, in milliseconds, 1 to %u "
               "(default %u); the resends go out within it",
               dns::kMaxTimeoutMs, dns::kDefaultTimeoutMs);
    return text;
}
const std::string& RetriesHelp() {
    static const std::string text =
        Format("send a query without a reply again up to N times, 0 to %u (default %u), each time from "
               "a fresh port, after a wait that doubles (1 s, 2 s with the default timeout, shorter "
               "when the server answers faster); 0 sends each query once",
               dns::kMaxRetries, dns::kDefaultRetries);
    return text;
}
const std::string& RateHelp() {
    static const std::string text =
        Format("send at most QPS queries per second, resends included, 1 to %u (default: no limit)",
               dns::kMaxRateQps);
    return text;
}

} // namespace

void AppendJsonLine(std::string& out, const dns::TLookupResult& r) {
    out += "{\"address\":";
    AppendJsonString(out, r.Address);
    if (r.Resolved) {
        out += ",\"name\":";
        AppendJsonString(out, r.HostName);
    }
    out += ",\"status\":\"";
    out += dns::LookupStatusName(r.Status, r.RCode);
    out += "\",\"server\":";
    if (r.Server.empty())
        out += "null";
    else
        AppendJsonString(out, r.Server);
    out += Format(",\"tries\":%u,\"rtt_ms\":%.3f}\n", r.Tries, r.RttMs);
}

std::vector<TOption> RdnsOptions(TRdnsArgs& a) {
    using K = TOptionKind;
    using V = const TOptionValue&;
    const auto inRange = [](const char* name, uint64_t value, uint64_t low, uint64_t high) {
        if (value < low || value > high)
            throw TUsageError(Format("%s takes %llu to %llu", name, static_cast<unsigned long long>(low),
                                     static_cast<unsigned long long>(high)));
        return static_cast<unsigned>(value);
    };
    return {
        {.Section = "Options:",
         .Short = "-s",
         .Long = "--server",
         .ValueName = "SERVER",
         .Kind = K::Text,
         .Help = "a DNS server to ask; repeatable, the servers are taken in turn (default: the nameserver "
                 "lines of /etc/resolv.conf)",
         .Examples = {{"-s", "192.0.2.53", "-s", "[2001:db8::53]:5353"}},
         .Set = [&a](V v) { a.Servers.push_back(v.Text); }},
        {.Short = "-d",
         .Long = "--delimiter",
         .ValueName = "TEXT",
         .Kind = K::Text,
         .SingleLine = true,
         .Help = "a field delimiter of the input lines besides blank, tab, \",\" and \";\"",
         .Examples = {{"-d", " | "}},
         .Set = [&a](V v) { a.Delimiter = v.Text; }},
        {.Long = "--list-delimiter",
         .ValueName = "D",
         .Kind = K::Choice,
         .Choices = ListDelimiterWords(),
         .Help = "between the input's lines, as generate --list-delimiter writes them: eol (line breaks "
                 "only, the default), comma, semicolon; a line break always ends a line",
         .Set = [&a](V v) { a.ListDelimiter = static_cast<TListDelimiter>(v.Number); }},
        {.Long = "--unresolved",
         .ValueName = "FILE",
         .Kind = K::Text,
         .Help = "write the unresolved addresses to FILE, one per line; an existing FILE is replaced only "
                 "when the run completes",
         .Set = [&a](V v) { a.Unresolved = v.Text; }},
        {.Long = "--format",
         .ValueName = "FORMAT",
         .Kind = K::Choice,
         .Choices = {"csv", "jsonl"},
         .Help = "standard output as csv (ADDRESS,NAME per resolved address, the default) or jsonl (a JSON "
                 "object per looked-up address with its status, server, tries and time)",
         .Set = [&a](V v) { a.Format = static_cast<TRdnsFormat>(v.Number); }},
        {.Long = "--shard",
         .ValueName = "I/N",
         .Kind = K::Text,
         .SingleLine = true,
         .Help =
             "ask share I of N (I from 1 to N) of the addresses: the I-th, the (I+N)-th, ...; every line is "
             "read, and the N shards together ask every address once",
         .Examples = {{"--shard", "2/8"}},
         .Set = [&a](V v) { a.Shard = ReadOptionValue([&] { return ParseShard(v.Text); }); }},
        {.Long = "--in-flight",
         .ValueName = "N",
         .Kind = K::UInt,
         .Help = InFlightHelp().c_str(),
         .Set = [&a, inRange](V v) { a.InFlight = inRange("--in-flight", v.Number, 1, dns::kMaxInFlight); }},
        {.Long = "--timeout",
         .ValueName = "MS",
         .Kind = K::UInt,
         .Help = TimeoutHelp().c_str(),
         .Set = [&a, inRange](V v) { a.TimeoutMs = inRange("--timeout", v.Number, 1, dns::kMaxTimeoutMs); }},
        {.Long = "--retries",
         .ValueName = "N",
         .Kind = K::UInt,
         .Help = RetriesHelp().c_str(),
         .Set = [&a, inRange](V v) { a.Retries = inRange("--retries", v.Number, 0, dns::kMaxRetries); }},
        {.Long = "--rate",
         .ValueName = "QPS",
         .Kind = K::UInt,
         .Help = RateHelp().c_str(),
         .Set = [&a, inRange](V v) { a.RateQps = inRange("--rate", v.Number, 1, dns::kMaxRateQps); }},
        {.Short = "-h", .Long = "--help", .Kind = K::Help, .Help = "this help"},
    };
}

std::string RdnsHelp() {
    TRdnsArgs unused;
    return kUsage + OptionsHelp(RdnsOptions(unused)) + kEpilogue;
}

TRdnsArgs ParseRdnsArgs(const std::vector<std::string>& args) {
    TRdnsArgs a;
    TFileWord input(a.Input, "input file");
    if (!ParseOptions(args, RdnsOptions(a), std::ref(input))) {
        a.Help = true;
        return a;
    }
    return a;
}

int RunRdns(const std::vector<std::string>& words, std::istream& in, std::ostream& out, std::ostream& err) {
    TRdnsArgs args;
    try {
        args = ParseRdnsArgs(words);
    } catch (const TUsageError& e) {
        return ReportUsageError(err, "rdns", e.what());
    }
    if (args.Help) {
        out << RdnsHelp();
        return 0;
    }
    try {
        return RunLookup(args, in, out, err);
    } catch (const TOutputError&) {
        throw;
    } catch (const dns::EReverseLookupError& e) {
        err << "zarvo-cli rdns: " << ErrorMessage(e) << "\n";
        return 1;
    } catch (const std::exception& e) {
        err << ErrorMessage(e) << "\n";
        return 1;
    }
}

} // namespace zarvo::cli
