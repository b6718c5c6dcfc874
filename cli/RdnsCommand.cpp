// zarvo-cli rdns: reverse DNS lookup of address lines.
#include "cli/RdnsCommand.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <iostream>
#include <memory>

#include "cli/FdStream.h"
#include "cli/ZarvoCli.h"
#include "dns/LookupLines.h"
#include "dns/ReverseLookup.h"
#include "support/AtomicFile.h"
#include "support/TextDecode.h"
#include "support/ZarvoText.h"

namespace zarvo::cli {

namespace {

const char* const kUsage = R"(Usage: zarvo-cli rdns -s SERVER [-s SERVER...] [OPTIONS] [FILE|-]

Looks the addresses of FILE (standard input when FILE is "-" or left out) up in
reverse DNS: one PTR query over UDP per address, several in flight, the servers
taken in turn (the first address to the first server, the second to the second,
and so on). Lines are read as the window's output pane holds them: ADDRESS,
ADDRESS:PORT, [IPv6]:PORT, "NAME ADDRESS", "ADDRESS CC" (a country code), or
fields separated by a tab, ",", ";" or the --delimiter text, of which the first
that is an address counts. An address on consecutive lines (one line per port)
is asked once. IPv6 addresses are asked under ip6.arpa. The input may be UTF-8
or, with a byte-order mark, UTF-16; it is read as a stream, and a line of more
than 1048576 bytes is refused with its line number.

Each resolved address gives the line ADDRESS,NAME on standard output, in input
order, as soon as it and every address before it are done. The summary
"N resolved, M unresolved" goes to standard error.

)";

const char* const kEpilogue = R"(
A SERVER is an IPv4 or IPv6 address with an optional port (192.0.2.53,
192.0.2.53:5353, 2001:db8::53, [2001:db8::53]:5353) or a host name, which is
resolved once, when the run starts, through the system's resolver.

Exit status: 0 when every address was looked up (unresolved addresses are a
result, not an error), 1 when the run could not be done: no server, a server
entry that names none, input that cannot be read, output or the --unresolved
file that cannot be written (the message goes to standard error, and no
summary); 2 for bad options. A closed pipe (| head) ends the program quietly.
SIGINT (Ctrl+C) and SIGTERM end it by the signal (130, 143) once the temporary
file of --unresolved FILE is removed: an existing FILE stays as it was.

Examples:
  zarvo-cli rdns -s 192.0.2.53 addresses.txt
  zarvo-cli generate 192.0.2.0/24 | zarvo-cli rdns -s 192.0.2.53 -s 198.51.100.53 > names.csv
  zarvo-cli rdns -s '[2001:db8::53]:5353' --unresolved missing.txt --timeout 2000 hosts.txt
  zarvo-cli rdns -s dns.example --in-flight 4 --rate 50 -d ' | ' - < hosts.txt
)";

// As long as a range line may be: the lines come from the same output pane.
constexpr size_t kMaxLine = 1048576;

// Lines resolved in quick succession are handed on in one write; a line that
// follows a pause goes out at once, so that a pipeline sees a slow run progress.
constexpr auto kFlushInterval = std::chrono::milliseconds(50);

int Usage(std::ostream& err, const std::string& message) {
    err << "zarvo-cli rdns: " << message << "\nRun 'zarvo-cli rdns --help' for the options.\n";
    return 2;
}

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

std::vector<dns::TDnsServer> ParseServers(const std::vector<std::string>& entries) {
    if (entries.empty()) Fail("No DNS Servers specified");
    std::vector<dns::TDnsServer> servers;
    for (const std::string& entry : entries) {
        std::optional<dns::TDnsServer> server = dns::ParseServerEntry(entry);
        if (!server)
            Fail("'" + entry +
                 "' is not a DNS server: give ADDRESS, ADDRESS:PORT, [IPv6]:PORT or a host name");
        servers.push_back(std::move(*server));
    }
    return servers;
}

// The run; raises Exception for what makes it fail (exit code 1), TOutputError for
// standard output.
void RunLookup(const TRdnsArgs& args, std::istream& in, std::ostream& out, std::ostream& err) {
    std::vector<dns::TDnsServer> servers = ParseServers(args.Servers);
    TInput input(args.Input, in);
    // Opened before the first query, so that a file that cannot be written costs no
    // run; replaced only once every address is done.
    std::unique_ptr<TAtomicFileWriter> unresolvedFile;
    if (!args.Unresolved.empty()) unresolvedFile = std::make_unique<TAtomicFileWriter>(args.Unresolved);

    TTextLineReader reader([&input](char* data, size_t size) { return input.Read(data, size); }, kMaxLine);
    dns::TLookupAddressFilter filter(args.Delimiter.value_or(""));
    dns::TLookupSettings settings;
    settings.InFlight = args.InFlight;
    settings.TimeoutMs = args.TimeoutMs;
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

    std::string line;
    const auto source = [&](std::string& address) {
        try {
            for (;;) {
                switch (reader.Next(line)) {
                case TTextLineReader::TResult::Line:
                    if (filter.Take(line, address)) return true;
                    break;
                case TTextLineReader::TResult::End:
                    return false;
                case TTextLineReader::TResult::TooLong:
                    Fail(Format("%s, line %llu: line longer than %zu %s", input.Name().c_str(),
                                static_cast<unsigned long long>(reader.LineNumber()), kMaxLine,
                                reader.Encoding() == TTextEncoding::Utf8 ? "bytes" : "UTF-16 code units"));
                }
            }
        } catch (...) {
            failWith(std::current_exception());
            return false;
        }
    };

    uint64_t resolved = 0, unresolved = 0;
    auto lastFlush = std::chrono::steady_clock::now();
    std::string text;
    const auto sink = [&](const dns::TLookupResult& r) {
        if (stop) return;
        try {
            text = r.Address;
            if (r.Resolved) {
                text += ',';
                text += r.HostName;
                text += '\n';
                out.write(text.data(), static_cast<std::streamsize>(text.size()));
                const auto now = std::chrono::steady_clock::now();
                if (now - lastFlush >= kFlushInterval) {
                    out.flush();
                    lastFlush = now;
                }
                if (!out) throw TOutputError(StreamErrno(out));
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

    lookup.Run(source, sink, &stop);
    if (failure) std::rethrow_exception(failure);
    CheckOutput(out);
    if (unresolvedFile) unresolvedFile->Commit();
    err << resolved << " resolved, " << unresolved << " unresolved\n";
}

} // namespace

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
         .Help = "a DNS server to ask; repeatable, the servers are taken in turn",
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
        {.Long = "--unresolved",
         .ValueName = "FILE",
         .Kind = K::Text,
         .Help = "write the unresolved addresses to FILE, one per line; an existing FILE is replaced only "
                 "when the run completes",
         .Set = [&a](V v) { a.Unresolved = v.Text; }},
        {.Long = "--in-flight",
         .ValueName = "N",
         .Kind = K::UInt,
         .Help = "queries outstanding at once, 1 to 1024 (default 32)",
         .Set = [&a, inRange](V v) { a.InFlight = inRange("--in-flight", v.Number, 1, kRdnsMaxInFlight); }},
        {.Long = "--timeout",
         .ValueName = "MS",
         .Kind = K::UInt,
         .Help = "how long each query waits for its reply, in milliseconds, 1 to 3600000 (default 5000); "
                 "nothing is sent again",
         .Set = [&a, inRange](V v) { a.TimeoutMs = inRange("--timeout", v.Number, 1, kRdnsMaxTimeoutMs); }},
        {.Long = "--rate",
         .ValueName = "QPS",
         .Kind = K::UInt,
         .Help = "send at most QPS queries per second (default: no limit)",
         .Set = [&a, inRange](V v) { a.RateQps = inRange("--rate", v.Number, 1, 1000000); }},
        {.Short = "-h", .Long = "--help", .Kind = K::Help, .Help = "this help"},
    };
}

std::string RdnsHelp() {
    TRdnsArgs unused;
    return kUsage + OptionsHelp(RdnsOptions(unused)) + kEpilogue;
}

TRdnsArgs ParseRdnsArgs(const std::vector<std::string>& args) {
    TRdnsArgs a;
    bool haveInput = false;
    const auto input = [&](const std::string& word) {
        if (haveInput) throw TUsageError("give one input file");
        if (word.empty()) throw TUsageError("the input file name is empty");
        a.Input = word;
        haveInput = true;
    };
    if (!ParseOptions(args, RdnsOptions(a), input)) {
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
        return Usage(err, e.what());
    }
    if (args.Help) {
        out << RdnsHelp();
        return 0;
    }
    try {
        RunLookup(args, in, out, err);
    } catch (const TOutputError&) {
        throw;
    } catch (const std::exception& e) {
        err << ErrorMessage(e) << "\n";
        return 1;
    }
    return 0;
}

} // namespace zarvo::cli
