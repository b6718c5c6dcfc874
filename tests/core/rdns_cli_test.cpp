// zarvo-cli rdns against dnsmasq and a silent server on loopback: the lines it
// prints and files, in input order, the line rules on the way in, and what makes a
// run fail (exit 1) or its words wrong (exit 2).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "cli/FdStream.h"
#include "cli/RdnsCommand.h"
#include "cli/ZarvoCli.h"
#include "cli_run.h"
#include "common/DnsTestServers.h"
#include "test_files.h"

using namespace zarvo::test;

namespace {

struct TRun {
    int Code;
    std::string Out, Err;
};

TRun Rdns(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), "rdns");
    std::istringstream in(input);
    std::ostringstream out, err;
    const int code = zarvo::cli::RunCli(args, in, out, err);
    return {code, out.str(), err.str()};
}

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// 10.99.0.0 to 10.99.0.63; every address but each fourth one has a PTR name.
std::string Address(int i) {
    return "10.99.0." + std::to_string(i);
}
bool HasName(int i) {
    return i % 4 != 3;
}
std::string Name(int i) {
    return "host-" + std::to_string(i) + ".zarvo.test";
}
constexpr int kAddresses = 64;

class RdnsCli : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::vector<THostEntry> hosts;
        for (int i = 0; i < kAddresses; ++i)
            if (HasName(i)) hosts.push_back({Address(i), Name(i)});
        Dnsmasq = std::make_unique<TDnsmasq>(hosts);
    }
    static void TearDownTestSuite() { Dnsmasq.reset(); }
    static std::unique_ptr<TDnsmasq> Dnsmasq;
    TTempDir Dir{"rdns-cli"};
};
std::unique_ptr<TDnsmasq> RdnsCli::Dnsmasq;

// The 64 addresses in the pane's line forms; an address with several ports comes
// once. The same result however many queries are in flight and wherever the lines
// come from.
TEST_F(RdnsCli, ResolvedLinesInInputOrderAndTheUnresolvedInTheirFile) {
    std::string input, resolved, unresolved;
    for (int i = 0; i < kAddresses; ++i) {
        const std::string a = Address(i);
        switch (i % 5) {
        case 0:
            input += a + "\n";
            break;
        case 1:
            input += a + ":80\n" + a + ":3128\n" + a + ":3129\n";
            break;
        case 2:
            input += "web-" + std::to_string(i) + " " + a + "\n";
            break;
        case 3:
            input += a + " DE\r\n";
            break;
        case 4:
            input += "name | " + a + " | x\n";
            break;
        }
        (HasName(i) ? resolved : unresolved) += HasName(i) ? a + "," + Name(i) + "\n" : a + "\n";
    }
    const std::string file = Dir / "in.txt", unresolvedFile = Dir / "unresolved.txt";
    WriteFile(file, input);
    struct Case {
        const char* What;
        std::vector<std::string> Args;
        std::string Stdin;
    } const cases[] = {
        {"file", {file}, ""},
        {"standard input", {}, input},
        {"-", {"-"}, input},
        {"one in flight", {"--in-flight", "1", file}, ""},
        {"all in flight, paced", {"--in-flight", "1024", "--rate", "100000", file}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        std::vector<std::string> args = {"-s",  Dnsmasq->Server(), "-d",
                                         " | ", "--unresolved",    unresolvedFile};
        args.insert(args.end(), c.Args.begin(), c.Args.end());
        std::filesystem::remove(unresolvedFile);
        const TRun r = Rdns(args, c.Stdin);
        EXPECT_EQ(r.Code, 0);
        EXPECT_EQ(r.Out, resolved);
        EXPECT_EQ(r.Err, "48 resolved, 16 unresolved\n");
        EXPECT_EQ(ReadFile(unresolvedFile), unresolved);
    }
}

// Two servers in turn, the second one silent: the odd addresses wait out their
// --timeout and are unresolved; a server that answers nothing at all makes every
// address unresolved, and that is still a completed run.
TEST_F(RdnsCli, ServersInTurnAndASilentServer) {
    TScriptedDnsServer silent([](const TBytes&) { return std::vector<TDatagram>{}; });
    std::string input, inTurn;
    for (int i = 0; i < 8; ++i) {
        input += Address(i) + "\n";
        if (i % 2 == 0 && HasName(i)) inTurn += Address(i) + "," + Name(i) + "\n";
    }
    TRun r = Rdns({"-s", Dnsmasq->Server(), "-s", silent.Server(), "--timeout", "200"}, input);
    EXPECT_EQ(r.Code, 0);
    EXPECT_EQ(r.Out, inTurn);
    EXPECT_EQ(r.Err, "4 resolved, 4 unresolved\n");
    EXPECT_EQ(silent.QueryCount(), 4u * 3); // each sent three times: two retries by default

    r = Rdns({"-s", silent.Server(), "--timeout", "200", "--retries", "0"}, input);
    EXPECT_EQ(r.Code, 0);
    EXPECT_EQ(r.Out, "");
    EXPECT_EQ(r.Err, "0 resolved, 8 unresolved\n");
    EXPECT_EQ(silent.QueryCount(), 12u + 8);
}

// A PTR name is the server's text: one that holds a line break or a comma cannot
// forge a second output line or a third field.
TEST_F(RdnsCli, AHostileNameStaysInItsLine) {
    TScriptedDnsServer hostile(
        [](const TBytes& q) { return std::vector<TDatagram>{{PtrReply(q, "a\n10.0.0.9,victim")}}; });
    const TRun r = Rdns({"-s", hostile.Server()}, "10.0.0.1\n");
    EXPECT_EQ(r.Code, 0);
    EXPECT_EQ(r.Out, "10.0.0.1,a\\01010.0.0.9\\044victim\n"); // RFC 1035 section 5.1 escapes
}

// A run that cannot be done says why and exits 1, leaving an existing --unresolved
// file as it was; wrong words exit 2 and say so.
TEST_F(RdnsCli, FailuresAndBadWords) {
    const std::string server = Dnsmasq->Server(), kept = Dir / "kept.txt", missing = Dir / "missing.txt";
    WriteFile(kept, "old\n");
    const std::string usage = "\nRun 'zarvo-cli rdns --help' for the options.\n";
    struct Case {
        std::vector<std::string> Args;
        int Code;
        std::string Err;
    } const cases[] = {
        {{"-s", "127.0.0.1:99999"},
         1,
         "zarvo-cli rdns: '127.0.0.1:99999' is not a DNS server: give ADDRESS, ADDRESS:PORT, [IPv6]:PORT or "
         "a "
         "host name\n"},
        {{"-s", server, missing},
         1,
         "zarvo-cli rdns: cannot read '" + missing + "': " + std::strerror(ENOENT) + "\n"},
        {{"-s", server, Dir.Path().string()},
         1,
         "zarvo-cli rdns: cannot read '" + Dir.Path().string() + "': " + std::strerror(EISDIR) + "\n"},
        {{"-s", server, "--unresolved", Dir / "no/such/folder.txt"},
         1,
         "Cannot create file \"" + (Dir / "no/such/folder.txt") + "\". " + std::strerror(ENOENT) + "\n"},
        {{"-s", server, "--in-flight", "0"}, 2, "zarvo-cli rdns: --in-flight takes 1 to 1024" + usage},
        {{"-s", server, "--in-flight", "1025"}, 2, "zarvo-cli rdns: --in-flight takes 1 to 1024" + usage},
        {{"-s", server, "--timeout", "0"}, 2, "zarvo-cli rdns: --timeout takes 1 to 3600000" + usage},
        {{"-s", server, "--rate", "0"}, 2, "zarvo-cli rdns: --rate takes 1 to 1000000" + usage},
        {{"-s", server, "--retries", "11"}, 2, "zarvo-cli rdns: --retries takes 0 to 10" + usage},
        {{"-s", server, "--retries", "-1"},
         2,
         "zarvo-cli rdns: '-1' is not a valid integer value (--retries)" + usage},
        {{"-s", server, "--timeout", "5s"},
         2,
         "zarvo-cli rdns: '5s' is not a valid integer value (--timeout)" + usage},
        {{"-s"}, 2, "zarvo-cli rdns: option '-s' needs a value" + usage},
        {{"-s", ""}, 2, "zarvo-cli rdns: option '-s' needs a value that is not empty" + usage},
        {{"-s", server, "--bogus"}, 2, "zarvo-cli rdns: unknown option '--bogus'" + usage},
        {{"-s", server, "--list-delimiter", "crlf"},
         2,
         "zarvo-cli rdns: --list-delimiter takes eol, comma or semicolon" + usage},
        {{"-s", server, "a.txt", "b.txt"}, 2, "zarvo-cli rdns: give one input file" + usage},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.Args;
        if (c.Code == 1 && std::find(args.begin(), args.end(), "--unresolved") == args.end())
            args.insert(args.end(), {"--unresolved", kept});
        const TRun r = Rdns(args, Address(0) + "\n");
        EXPECT_EQ(r.Code, c.Code) << r.Err;
        EXPECT_EQ(r.Err, c.Err);
        EXPECT_EQ(r.Out, "");
    }
    EXPECT_EQ(ReadFile(kept), "old\n");

    // A line over the cap ends the run at that line.
    const TRun r = Rdns({"-s", server}, Address(3) + "\n" + std::string(1048577, '1') + "\n");
    EXPECT_EQ(r.Code, 1);
    EXPECT_EQ(r.Err, "zarvo-cli rdns: standard input, line 2: line longer than 1048576 bytes\n");
}

// Standard output that fails is reported as for every command, and the
// --unresolved file of the lost run is not written.
TEST_F(RdnsCli, AFailedWriteFailsTheRun) {
    const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    const std::string unresolvedFile = Dir / "unresolved.txt";
    std::string input;
    for (int i = 0; i < kAddresses; ++i) input += Address(i) + "\n";
    int code = 0;
    std::ostringstream err;
    {
        zarvo::cli::TFdOutBuf buf(full);
        std::ostream out(&buf);
        std::istringstream in(input);
        code = zarvo::cli::RunCli({"rdns", "-s", Dnsmasq->Server(), "--unresolved", unresolvedFile}, in, out,
                                  err);
    }
    ::close(full);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(err.str(), std::string("zarvo-cli: cannot write output: ") + std::strerror(ENOSPC) + "\n");
    EXPECT_FALSE(std::filesystem::exists(unresolvedFile));
}

// ---- every line accounted for ----

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(pos, end - pos));
        pos = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    }
    return lines;
}

// An address by the system's own reading (inet_pton), with a port or brackets cut:
// independent of the command's field rules.
bool IsAddressToken(std::string t) {
    if (!t.empty() && t.front() == '[') t = t.substr(1, t.find(']') - 1);
    if (std::count(t.begin(), t.end(), ':') == 1) t = t.substr(0, t.find(':'));
    unsigned char buf[16];
    return inet_pton(AF_INET, t.c_str(), buf) == 1 || inet_pton(AF_INET6, t.c_str(), buf) == 1;
}
std::string CutToken(std::string t) {
    if (!t.empty() && t.front() == '[') return t.substr(1, t.find(']') - 1);
    if (std::count(t.begin(), t.end(), ':') == 1) return t.substr(0, t.find(':'));
    return t;
}

std::vector<std::string> Tokens(const std::string& line) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos <= line.size()) {
        size_t end = line.find_first_of(" \t,;|", pos);
        if (end == std::string::npos) end = line.size();
        if (end > pos) out.push_back(line.substr(pos, end - pos));
        pos = end + 1;
    }
    return out;
}

// The number n in "..., n lines WHAT" of the summary (the last line of err), 0 without.
uint64_t SummaryCount(const std::string& err, const std::string& what) {
    const std::string last = SplitLines(err).empty() ? "" : SplitLines(err).back();
    const size_t at = last.find(what);
    if (at == std::string::npos) return 0;
    const size_t start = last.rfind(", ", at) + 2;
    return std::stoull(last.substr(start));
}

// Every line the input holds is accounted for: an address of it is among the output
// lines or the unresolved ones, or a message names its place, or the count of the
// lines not named covers it; and the summary adds up (its counts are those of the
// output, the unresolved file and the lines without an address).
void ExpectEveryLineAccountedFor(const std::string& input, char listDelimiter, const TRun& r,
                                 const std::string& unresolved) {
    std::set<std::string> results;
    const std::vector<std::string> outLines = SplitLines(r.Out), unresolvedLines = SplitLines(unresolved);
    for (const std::string& l : outLines) results.insert(l.substr(0, l.find(',')));
    results.insert(unresolvedLines.begin(), unresolvedLines.end());
    uint64_t notNamed = 0, withoutAddress = 0, withoutAddressNotNamed = 0;
    const std::vector<std::string> lines = SplitLines(input);
    for (size_t l = 0; l < lines.size(); ++l) {
        std::vector<std::string> items = {lines[l]};
        if (listDelimiter != 0) {
            items.clear();
            std::istringstream split(lines[l]);
            for (std::string item; std::getline(split, item, listDelimiter);) items.push_back(item);
        }
        for (size_t i = 0; i < items.size(); ++i) {
            const std::vector<std::string> tokens = Tokens(items[i]);
            if (tokens.empty()) continue;
            std::string place = ", line " + std::to_string(l + 1);
            if (listDelimiter != 0) place += ", item " + std::to_string(i + 1);
            const bool named = r.Err.find(place + ": ") != std::string::npos;
            const bool hasAddress = std::any_of(tokens.begin(), tokens.end(), IsAddressToken);
            const bool looked = std::any_of(tokens.begin(), tokens.end(), [&](const std::string& t) {
                return results.count(CutToken(t)) != 0;
            });
            EXPECT_EQ(hasAddress, looked) << "'" << items[i] << "'" << place;
            if (!hasAddress) ++withoutAddress;
            if (!hasAddress && !named) ++withoutAddressNotNamed;
            if (!looked && !named) ++notNamed;
        }
    }
    EXPECT_EQ(notNamed, withoutAddressNotNamed);
    EXPECT_EQ(SummaryCount(r.Err, "without an address"), withoutAddress);
    const size_t more = r.Err.find(" more lines without an address");
    const size_t moreOne = r.Err.find(" more line without an address");
    const size_t m = more != std::string::npos ? more : moreOne;
    EXPECT_EQ(m == std::string::npos ? 0 : std::stoull(r.Err.substr(r.Err.rfind(": ", m) + 2)),
              withoutAddressNotNamed);
    std::string summary = std::to_string(outLines.size()) + " resolved, " +
                          std::to_string(unresolvedLines.size()) + " unresolved";
    EXPECT_EQ(SplitLines(r.Err).back().rfind(summary, 0), 0u) << r.Err;
}

std::string Resolved(std::initializer_list<int> is) {
    std::string out;
    for (int i : is) out += Address(i) + "," + Name(i) + "\n";
    return out;
}
std::string Unresolved(std::initializer_list<int> is) {
    std::string out;
    for (int i : is) out += Address(i) + "\n";
    return out;
}

// The lines a user has: good ones in every form of the pane, malformed ones, lines
// without an address, the project's own lists in every delimiter (generate -o, the
// window's saved result lists, rdns's own output) with and without --list-delimiter.
// Each case is checked whole, and every line is accounted for.
TEST_F(RdnsCli, EveryLineIsAccountedFor) {
    const auto generated = [&](std::vector<std::string> args) {
        const std::string file = Dir / "generated.txt";
        args.insert(args.begin(), {"generate", "-o", file});
        const zarvo::test::CliRun g = zarvo::test::Cli(args);
        EXPECT_EQ(g.Code, 0) << g.Err;
        return ReadFile(file);
    };
    const std::string hint = "; read a list with --list-delimiter comma or semicolon";
    std::string junk, junkErr;
    for (int i = 1; i <= 200000; ++i) {
        junk += "junk line " + std::to_string(i) + "\n";
        if (i <= 10)
            junkErr += "zarvo-cli rdns: standard input, line " + std::to_string(i) +
                       ": no address in 'junk line " + std::to_string(i) + "'\n";
    }
    junk += Address(0) + "\n";
    struct Case {
        const char* What;
        std::string Input;
        std::vector<std::string> Args;
        int Code;
        std::string Out, Unresolved, Err;
    };
    const Case cases[] = {
        {"the pane's lines",
         Address(0) + "\n" + Address(1) + ":80\r\n" + Address(1) + ":81\n\n  \nweb-2 " + Address(2) +
             " DE\n" + Address(3) + " DE\nweb-4," + Address(4) + "\n" + Address(5) + ",host-5.zarvo.test\n",
         {},
         0,
         Resolved({0, 1, 2, 4, 5}),
         Unresolved({3}),
         "5 resolved, 1 unresolved\n"},
        {"malformed lines",
         Address(0) + "\n10.99.0.256\nh," + "10.99.0.256\na,b;c\n1.2.3\n" + Address(6) + " 10.99.0.1x\n",
         {},
         1,
         Resolved({0, 6}),
         "",
         "zarvo-cli rdns: standard input, line 2: no address in '10.99.0.256'\n"
         "zarvo-cli rdns: standard input, line 3: no address in 'h,10.99.0.256'\n"
         "zarvo-cli rdns: standard input, line 4: no address in 'a,b;c'\n"
         "zarvo-cli rdns: standard input, line 5: no address in '1.2.3'\n"
         "2 resolved, 0 unresolved, 4 lines without an address\n"},
        {"generate -o, eol",
         generated({"10.99.0.0/29"}),
         {},
         0,
         Resolved({0, 1, 2, 4, 5, 6}),
         Unresolved({3, 7}),
         "6 resolved, 2 unresolved\n"},
        {"generate -o, eol, read as such",
         generated({"10.99.0.0/29"}),
         {"--list-delimiter", "eol"},
         0,
         Resolved({0, 1, 2, 4, 5, 6}),
         Unresolved({3, 7}),
         "6 resolved, 2 unresolved\n"},
        {"generate -o, comma",
         generated({"--list-delimiter", "comma", "10.99.0.0/29"}),
         {"--list-delimiter", "comma"},
         0,
         Resolved({0, 1, 2, 4, 5, 6}),
         Unresolved({3, 7}),
         "6 resolved, 2 unresolved\n"},
        {"generate -o, semicolon",
         generated({"--list-delimiter", "semicolon", "10.99.0.0/29"}),
         {"--list-delimiter", "semicolon"},
         0,
         Resolved({0, 1, 2, 4, 5, 6}),
         Unresolved({3, 7}),
         "6 resolved, 2 unresolved\n"},
        {"generate -o, comma, read as lines",
         generated({"--list-delimiter", "comma", "10.99.0.0/29"}),
         {},
         1,
         Resolved({0}),
         "",
         "zarvo-cli rdns: standard input, line 1: 8 addresses, only 10.99.0.0 asked" + hint +
             "\n1 resolved, 0 unresolved, 1 line with more than one address\n"},
        {"generate -o, semicolon, read as lines",
         generated({"--list-delimiter", "semicolon", "10.99.0.0/29"}),
         {},
         1,
         Resolved({0}),
         "",
         "zarvo-cli rdns: standard input, line 1: 8 addresses, only 10.99.0.0 asked" + hint +
             "\n1 resolved, 0 unresolved, 1 line with more than one address\n"},
        {"generate -o with ports, comma",
         generated({"--list-delimiter", "comma", "--ports", "80,81", "10.99.0.0/30"}),
         {"--list-delimiter", "comma"},
         0,
         Resolved({0, 1, 2}),
         Unresolved({3}),
         "3 resolved, 1 unresolved\n"},
        {"generate -o with names after a comma, semicolon",
         generated(
             {"--list-delimiter", "semicolon", "--names", "h#", "--delimiter", "comma", "10.99.0.4/30"}),
         {"--list-delimiter", "semicolon"},
         0,
         Resolved({4, 5, 6}),
         Unresolved({7}),
         "3 resolved, 1 unresolved\n"},
        {"the window's resolved list, End-Of-Line",
         Address(0) + "," + Name(0) + "\r\n" + Address(1) + "," + Name(1),
         {},
         0,
         Resolved({0, 1}),
         "",
         "2 resolved, 0 unresolved\n"},
        {"the window's resolved list, Comma: the names are lines without an address",
         Address(0) + "," + Name(0) + "," + Address(1) + "," + Name(1),
         {"--list-delimiter", "comma"},
         1,
         Resolved({0, 1}),
         "",
         "zarvo-cli rdns: standard input, line 1, item 2: no address in '" + Name(0) +
             "'\n"
             "zarvo-cli rdns: standard input, line 1, item 4: no address in '" +
             Name(1) +
             "'\n"
             "2 resolved, 0 unresolved, 2 lines without an address\n"},
        {"the window's unresolved list, Semicolon",
         Address(3) + ";" + Address(7),
         {"--list-delimiter", "semicolon"},
         0,
         "",
         Unresolved({3, 7}),
         "0 resolved, 2 unresolved\n"},
        {"rdns's own output",
         Resolved({0, 1, 2}),
         {},
         0,
         Resolved({0, 1, 2}),
         "",
         "3 resolved, 0 unresolved\n"},
        {"a comma list of lines with blanks and a stray item",
         "web-0 " + Address(0) + " DE,junk," + Address(1) + "\r\n" + Address(2) + ",\r\n",
         {"--list-delimiter", "comma"},
         1,
         Resolved({0, 1, 2}),
         "",
         "zarvo-cli rdns: standard input, line 1, item 2: no address in 'junk'\n"
         "3 resolved, 0 unresolved, 1 line without an address\n"},
        {"a million lines of junk, shortened",
         junk,
         {},
         1,
         Resolved({0}),
         "",
         junkErr + "zarvo-cli rdns: standard input: 199990 more lines without an address\n"
                   "1 resolved, 0 unresolved, 200000 lines without an address\n"},
    };
    const std::string unresolvedFile = Dir / "unresolved.txt";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        std::vector<std::string> args = {"-s", Dnsmasq->Server(), "--unresolved", unresolvedFile};
        args.insert(args.end(), c.Args.begin(), c.Args.end());
        std::filesystem::remove(unresolvedFile);
        const TRun r = Rdns(args, c.Input);
        EXPECT_EQ(r.Code, c.Code);
        EXPECT_EQ(r.Out, c.Out);
        EXPECT_EQ(r.Err.substr(0, 4000), c.Err.substr(0, 4000));
        EXPECT_EQ(ReadFile(unresolvedFile), c.Unresolved);
        const auto list = std::find(c.Args.begin(), c.Args.end(), "--list-delimiter");
        const char delimiter = list == c.Args.end() || list[1] == "eol" ? 0 : list[1] == "comma" ? ',' : ';';
        ExpectEveryLineAccountedFor(c.Input, delimiter, r, ReadFile(unresolvedFile));
    }
}

// "-s" entries separated by "," or ";" are several servers, taken in turn; an entry
// that names none is refused with its text, before any query (nothing is sent to the
// system's resolver for text that cannot be a host name).
TEST_F(RdnsCli, ServerLists) {
    std::vector<std::unique_ptr<TScriptedDnsServer>> servers;
    for (int s = 0; s < 3; ++s)
        servers.push_back(std::make_unique<TScriptedDnsServer>([s](const TBytes& q) {
            return std::vector<TDatagram>{{PtrReply(q, "s" + std::to_string(s) + ".example")}};
        }));
    std::string input, expected;
    for (int i = 0; i < 6; ++i) {
        input += Address(i) + "\n";
        expected += Address(i) + ",s" + std::to_string(i % 3) + ".example\n";
    }
    for (const std::vector<std::string>& words :
         {std::vector<std::string>{"-s", servers[0]->Server() + "," + servers[1]->Server(), "-s",
                                   servers[2]->Server()},
          {"-s", servers[0]->Server() + "; " + servers[1]->Server() + " ;" + servers[2]->Server()}}) {
        const TRun r = Rdns(words, input);
        EXPECT_EQ(r.Code, 0) << r.Err;
        EXPECT_EQ(r.Out, expected);
    }
    const std::string hint = " is not a DNS server: give ADDRESS, ADDRESS:PORT, [IPv6]:PORT or a host name";
    const std::string several = ", several separated by \",\" or \";\"\n";
    const std::string one = servers[0]->Server();
    struct Case {
        std::string Entry, Err;
    } const cases[] = {
        {one + ",", "zarvo-cli rdns: '' (in '" + one + ",')" + hint + several},
        {one + ",127.0.0.1 127.0.0.2",
         "zarvo-cli rdns: '127.0.0.1 127.0.0.2' (in '" + one + ",127.0.0.1 127.0.0.2')" + hint + several},
        {one + ";dns!example",
         "zarvo-cli rdns: 'dns!example' (in '" + one + ";dns!example')" + hint + several},
        {"127.0.0.1:99999", "zarvo-cli rdns: '127.0.0.1:99999'" + hint + "\n"},
        {"dns example", "zarvo-cli rdns: 'dns example'" + hint + "\n"},
    };
    for (const Case& c : cases) {
        const TRun r = Rdns({"-s", c.Entry}, input);
        EXPECT_EQ(r.Code, 1);
        EXPECT_EQ(r.Err, c.Err);
        EXPECT_EQ(r.Out, "");
    }
    size_t queries = 0;
    for (const auto& server : servers) queries += server->QueriesAsked().size();
    EXPECT_EQ(queries, 12u); // the two good runs only
}

// ---- the built program ----

// zarvo-cli run as its own process, standard input and output from and to files,
// standard error to a pipe.
class TProgram {
public:
    struct TOptions {
        std::vector<std::string> Args; // Args[0] is the program
        std::string Stdin = "/dev/null", Stdout = "/dev/null";
        rlim_t Files = RLIM_INFINITY; // RLIMIT_NOFILE of the child
    };
    explicit TProgram(const TOptions& o) {
        std::vector<char*> argv;
        for (const std::string& a : o.Args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        int err[2];
        if (::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
        FPid = ::fork();
        if (FPid == 0) {
            // Only calls that are safe between fork and exec.
            const int i = ::open(o.Stdin.c_str(), O_RDONLY);
            const int out = ::open(o.Stdout.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (i < 0 || out < 0 || ::dup2(i, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err[1], 2) < 0)
                ::_exit(126);
            // Only the standard streams, whatever the test runner left open.
            ::close_range(3, ~0u, 0);
            const struct rlimit files = {o.Files, o.Files};
            if (o.Files != RLIM_INFINITY && ::setrlimit(RLIMIT_NOFILE, &files) != 0) ::_exit(125);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(err[1]);
        FErr = err[0];
    }
    ~TProgram() {
        if (FPid > 0) {
            ::kill(FPid, SIGKILL);
            Wait();
        }
    }
    TProgram(const TProgram&) = delete;
    TProgram& operator=(const TProgram&) = delete;

    void Signal(int sig) { ::kill(FPid, sig); }
    // The status as waitpid gives it, and standard error.
    int Wait() {
        for (ssize_t n; FErr >= 0 && (n = ::read(FErr, FBuf, sizeof FBuf)) != 0;) {
            if (n > 0)
                FErrText.append(FBuf, static_cast<size_t>(n));
            else if (errno != EINTR)
                break;
        }
        if (FErr >= 0) ::close(FErr);
        FErr = -1;
        int status = 0;
        if (FPid > 0) ::waitpid(FPid, &status, 0);
        FPid = -1;
        return status;
    }
    const std::string& Err() const { return FErrText; }

private:
    pid_t FPid = -1;
    int FErr = -1;
    char FBuf[4096];
    std::string FErrText;
};

// Waits until the file holds at least lines lines; false after about 20 s.
bool WaitForLines(const std::string& path, size_t lines) {
    for (int i = 0; i < 2000; ++i) {
        const std::string text = ReadFile(path);
        if (static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) >= lines) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Lines done are written out before the run waits: with one silent address in the
// middle, the lines before it are in the file while the run waits for it, and an
// interrupt there keeps them.
TEST_F(RdnsCli, AnInterruptedRunKeepsTheLinesItFound) {
    TScriptedDnsServer server([](const TBytes& q) {
        const std::string name = QuestionName(q);
        const int n = std::atoi(name.substr(0, name.find('.')).c_str());
        return n == 3 ? std::vector<TDatagram>{} : std::vector<TDatagram>{{PtrReply(q, Name(n))}};
    });
    std::string input;
    for (int i = 0; i < 8; ++i) input += Address(i) + "\n";
    const std::string in = Dir / "in.txt", out = Dir / "out.txt";
    WriteFile(in, input);
    TProgram run(
        {.Args = {ZARVO_CLI, "rdns", "-s", server.Server(), "--timeout", "600000", in}, .Stdout = out});
    ASSERT_TRUE(WaitForLines(out, 3)) << ReadFile(out);
    ASSERT_TRUE(server.AwaitQueries(8));
    run.Signal(SIGINT);
    const int status = run.Wait();
    EXPECT_TRUE((WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) ||
                (WIFEXITED(status) && WEXITSTATUS(status) == 130))
        << status;
    EXPECT_EQ(ReadFile(out), Resolved({0, 1, 2}));
}

// Out of descriptors the run keeps fewer queries in flight instead of filing the
// addresses as unresolved; with none to be had at all it fails with the reason.
TEST_F(RdnsCli, RunningOutOfDescriptors) {
#ifdef __SANITIZE_ADDRESS__
    // The sanitizers' check of a dynamic type reads the object through a pipe, which
    // a process out of descriptors cannot make: it reports the program's own calls.
    GTEST_SKIP() << "a process out of descriptors under the sanitizers";
#endif
    std::string input;
    for (int i = 0; i < 2000; ++i) input += Address(i % kAddresses) + "\n";
    const std::string in = Dir / "in.txt", out = Dir / "out.txt";
    WriteFile(in, input);
    // The reference: the same run with descriptors to spare.
    const TRun free = Rdns({"-s", Dnsmasq->Server(), in});
    ASSERT_EQ(free.Code, 0) << free.Err;
    {
        TProgram run({.Args = {ZARVO_CLI, "rdns", "-s", Dnsmasq->Server(), "--in-flight", "64", in},
                      .Stdout = out,
                      .Files = 20});
        const int status = run.Wait();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << run.Err();
        EXPECT_EQ(run.Err(), free.Err);
        const std::string got = ReadFile(out);
        EXPECT_TRUE(got == free.Out) << std::count(got.begin(), got.end(), '\n') << " lines";
    }
    {
        // Standard streams and the wake-up pipe take all five.
        TProgram run(
            {.Args = {ZARVO_CLI, "rdns", "-s", Dnsmasq->Server()}, .Stdin = in, .Stdout = out, .Files = 5});
        const int status = run.Wait();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
        EXPECT_EQ(run.Err(),
                  std::string("zarvo-cli rdns: Cannot open a socket: ") + std::strerror(EMFILE) + "\n");
        EXPECT_EQ(ReadFile(out), "");
    }
}

// A scripted server on port 53 of an address of 127/8 that no other test is likely to
// take (resolv.conf names no port); null when none could be had.
std::unique_ptr<TScriptedDnsServer> Port53Server(const TScriptedDnsServer::THandler& handler,
                                                 uint32_t& address) {
    std::mt19937 random(std::random_device{}());
    for (int attempt = 0; attempt < 20; ++attempt) {
        address = (127u << 24) | (std::uniform_int_distribution<uint32_t>(100, 199)(random) << 16) |
                  (std::uniform_int_distribution<uint32_t>(1, 250)(random) << 8) |
                  std::uniform_int_distribution<uint32_t>(1, 250)(random);
        try {
            return std::make_unique<TScriptedDnsServer>(handler, address, 53);
        } catch (const std::exception&) {
        }
    }
    return nullptr;
}

// The command run in a mount namespace of its own, with resolv over /etc/resolv.conf:
// nothing it asks the system's resolver leaves the machine.
std::vector<std::string> Isolated(const std::string& resolv, std::vector<std::string> args) {
    std::vector<std::string> all = {"/usr/bin/unshare",
                                    "-m",
                                    "/bin/sh",
                                    "-c",
                                    "mount --bind \"$0\" /etc/resolv.conf && exec \"$@\"",
                                    resolv};
    all.insert(all.end(), args.begin(), args.end());
    return all;
}

// Whether Isolated works here (unshare and mount are allowed); why not in why.
bool CanIsolate(const std::string& resolv, const std::string& scratch, std::string& why) {
    TProgram probe({.Args = Isolated(resolv, {"/bin/cat", "/etc/resolv.conf"}), .Stdout = scratch});
    const int status = probe.Wait();
    why = probe.Err();
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 && ReadFile(scratch) == ReadFile(resolv);
}

// A host name among the servers is resolved through the system, here with a private
// resolv.conf that points at a scripted server on a loopback address of its own (in a
// mount namespace of the run's own: no query leaves the machine). A name that does
// not resolve fails the run with its text.
TEST_F(RdnsCli, ServerHostNames) {
    uint32_t address = 0;
    const auto handler = [&address](const TBytes& q) {
        const std::string name = QuestionName(q);
        const uint16_t type = QuestionType(q);
        if (name == "dns.zarvo.test" && type == 1) {
            const TBytes a = {127, static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 8),
                              static_cast<uint8_t>(address)};
            return std::vector<TDatagram>{{TReplyBuilder(q).Record(0, 1, a).Bytes()}};
        }
        if (name == "dns.zarvo.test") return std::vector<TDatagram>{{TReplyBuilder(q).Bytes()}};
        const int n = std::atoi(name.c_str());
        if (type == 12 && name.find(".99.10.in-addr.arpa") != std::string::npos && HasName(n))
            return std::vector<TDatagram>{{PtrReply(q, Name(n))}};
        return std::vector<TDatagram>{{RcodeReply(q, 3)}};
    };
    std::unique_ptr<TScriptedDnsServer> dns = Port53Server(handler, address);
    ASSERT_TRUE(dns) << "no loopback address with a free port 53";
    const std::string resolv = Dir / "resolv.conf", out = Dir / "out.txt", in = Dir / "in.txt";
    WriteFile(resolv, "nameserver " + dns->Address() + "\noptions timeout:1 attempts:1\n");
    ::chmod(resolv.c_str(), 0644);
    WriteFile(in, Address(0) + "\n" + Address(3) + "\n");
    std::string why;
    if (!CanIsolate(resolv, out, why))
        GTEST_SKIP() << "unshare -m with a bind mount of resolv.conf is not allowed here: " << why;
    {
        TProgram run(
            {.Args = Isolated(resolv, {ZARVO_CLI, "rdns", "-s", "dns.zarvo.test", in}), .Stdout = out});
        const int status = run.Wait();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << run.Err();
        EXPECT_EQ(run.Err(), "1 resolved, 1 unresolved\n");
        EXPECT_EQ(ReadFile(out), Address(0) + "," + Name(0) + "\n");
    }
    {
        TProgram run(
            {.Args = Isolated(resolv, {ZARVO_CLI, "rdns", "-s", dns->Server() + ",nosuch.zarvo.test", in}),
             .Stdout = out});
        const int status = run.Wait();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
        EXPECT_EQ(run.Err().rfind("zarvo-cli rdns: Cannot resolve the DNS server nosuch.zarvo.test: ", 0), 0u)
            << run.Err();
        EXPECT_EQ(ReadFile(out), "");
    }
    const std::vector<std::string> asked = dns->Questions();
    EXPECT_NE(std::find(asked.begin(), asked.end(), "dns.zarvo.test"), asked.end());
    EXPECT_NE(std::find(asked.begin(), asked.end(), "nosuch.zarvo.test"), asked.end());
}

// Without -s the run asks the nameserver lines of /etc/resolv.conf (here a private one
// in a mount namespace of the run's own, pointing at a scripted server on loopback);
// a file that lists none fails the run.
TEST_F(RdnsCli, SystemServersWithoutS) {
    uint32_t address = 0;
    const auto handler = [](const TBytes& q) {
        const std::string name = QuestionName(q);
        const int n = std::atoi(name.c_str());
        if (QuestionType(q) == 12 && name.find(".99.10.in-addr.arpa") != std::string::npos && HasName(n))
            return std::vector<TDatagram>{{PtrReply(q, Name(n))}};
        return std::vector<TDatagram>{{RcodeReply(q, 3)}};
    };
    std::unique_ptr<TScriptedDnsServer> dns = Port53Server(handler, address);
    ASSERT_TRUE(dns) << "no loopback address with a free port 53";
    const std::string resolv = Dir / "resolv.conf", out = Dir / "out.txt", in = Dir / "in.txt";
    WriteFile(resolv, "# made by the test\n; nameserver 192.0.2.1\nsearch zarvo.test\noptions timeout:1\n"
                      "nameserver dns.zarvo.test\nnameserver " +
                          dns->Address() + " # loopback\n");
    ::chmod(resolv.c_str(), 0644);
    WriteFile(in, Address(0) + "\n" + Address(3) + "\n" + Address(4) + "\n");
    std::string why;
    if (!CanIsolate(resolv, out, why))
        GTEST_SKIP() << "unshare -m with a bind mount of resolv.conf is not allowed here: " << why;
    {
        TProgram run({.Args = Isolated(resolv, {ZARVO_CLI, "rdns", "--timeout", "2000", in}), .Stdout = out});
        const int status = run.Wait();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << run.Err();
        EXPECT_EQ(run.Err(), "2 resolved, 1 unresolved\n");
        EXPECT_EQ(ReadFile(out), Address(0) + "," + Name(0) + "\n" + Address(4) + "," + Name(4) + "\n");
        std::vector<std::string> asked = dns->QueriesAsked();
        std::sort(asked.begin(), asked.end());
        EXPECT_EQ(asked, (std::vector<std::string>{"0.0.99.10.in-addr.arpa", "3.0.99.10.in-addr.arpa",
                                                   "4.0.99.10.in-addr.arpa"}));
    }
    WriteFile(resolv, "search zarvo.test\nnameserver dns.zarvo.test\n# nameserver 127.0.0.1\n");
    {
        TProgram run({.Args = Isolated(resolv, {ZARVO_CLI, "rdns", in}), .Stdout = out});
        const int status = run.Wait();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
        EXPECT_EQ(run.Err(), "zarvo-cli rdns: No DNS Servers specified, and /etc/resolv.conf lists no usable "
                             "nameserver: give one with -s\n");
        EXPECT_EQ(ReadFile(out), "");
    }
}

// --format jsonl: a JSON object per looked-up address, in input order, with the
// reason of each outcome; the unresolved addresses still go to their file.
TEST_F(RdnsCli, JsonLinesGiveEachAddressItsStatus) {
    const auto handler = [](const TBytes& q, const TReceived& info) -> std::vector<TDatagram> {
        const int n = std::atoi(QuestionName(q).c_str());
        switch (n) {
        case 1:
        case 15:
            return {{PtrReply(q, "host-" + std::to_string(n) + ".zarvo.test")}};
        case 2:
            return {{RcodeReply(q, 3)}};
        case 3:
            return {{RcodeReply(q, 2)}};
        case 4:
            return {{RcodeReply(q, 5)}};
        case 5:
            return {{RcodeReply(q, 1)}};
        case 6:
            return {{RcodeReply(q, 4)}};
        case 7:
            return {{RcodeReply(q, 6)}};
        case 8:
            return {{RcodeReply(q, 12)}};
        case 9:
            return {}; // silence
        case 10: {
            TBytes cut = PtrReply(q, "host-10.zarvo.test");
            cut.resize(cut.size() - 3); // the record runs past the end
            return {{cut}};
        }
        case 11:
            return {{TReplyBuilder(q).Bytes()}}; // no record at all
        case 12:
            return {{TReplyBuilder(q).Record(0, 1, {192, 0, 2, 1}).Bytes()}}; // an A record only
        case 13:
            return {{PtrReply(q, "q\"b\\s\x01.zarvo.test")}};
        case 14:
            return {{TBytes(q.begin(), q.begin() + 6)}}; // too short to be a reply
        case 16: // the first reply lost on its way, the resend answered
            return {{RcodeReply(q, 3), false, 0, info.Send == 1}};
        default:
            return {{RcodeReply(q, 3)}};
        }
    };
    TScriptedDnsServer server{TScriptedDnsServer::TSendHandler(handler)};
    // The first query for 10.0.0.15 is lost before the server.
    server.LoseQueries([](const std::string& question) { return std::atoi(question.c_str()) == 15; });
    const std::string at = server.Server();
    const struct Case {
        int N;
        std::string Status, Name;
        int Tries = 1;
    } cases[] = {
        {1, "NOERROR", "host-1.zarvo.test"},
        {2, "NXDOMAIN", ""},
        {3, "SERVFAIL", ""},
        {4, "REFUSED", ""},
        {5, "FORMERR", ""},
        {6, "NOTIMP", ""},
        {7, "YXDOMAIN", ""},
        {8, "RESERVED12", ""},
        {9, "TIMEOUT", "", 3}, // the first send and two resends, all within --timeout
        {10, "MALFORMED", ""},
        {11, "NOPTR", ""},
        {12, "NOPTR", ""},
        {13, "NOERROR", R"(q\"b\\092s\\001.zarvo.test)"},
        {14, "MALFORMED", ""},
        {15, "NOERROR", "host-15.zarvo.test", 2},
        {16, "NXDOMAIN", "", 2},
    };
    std::string input, expected, unresolved;
    for (const Case& c : cases) {
        const std::string address = "10.0.0." + std::to_string(c.N);
        input += address + "\n";
        expected += "{\"address\":\"" + address + "\"" +
                    (c.Name.empty() ? "" : ",\"name\":\"" + c.Name + "\"") + ",\"status\":\"" + c.Status +
                    "\",\"server\":\"" + at + "\",\"tries\":T,\"rtt_ms\":X}\n";
        if (c.Name.empty()) unresolved += address + "\n";
    }
    const std::string missing = Dir / "missing.txt";
    const TRun r = Rdns({"-s", at, "--timeout", "300", "--format", "jsonl", "--unresolved", missing}, input);
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(r.Err, "3 resolved, 13 unresolved\n");
    // The round trip's time varies, and so may the sends of a query answered late (a
    // resend falls due when the reply is slower than the run has seen): checked apart.
    EXPECT_EQ(std::regex_replace(r.Out, std::regex(R"("tries":([0-9]+),"rtt_ms":[0-9]+\.[0-9]{3}\})"),
                                 "\"tries\":T,\"rtt_ms\":X}"),
              expected);
    std::istringstream lines(r.Out);
    std::string line;
    for (const Case& c : cases) {
        ASSERT_TRUE(std::getline(lines, line));
        std::smatch m;
        ASSERT_TRUE(std::regex_search(line, m, std::regex(R"("tries":([0-9]+),)"))) << line;
        const int tries = std::stoi(m[1]);
        if (c.Status == "TIMEOUT") {
            EXPECT_EQ(tries, c.Tries) << line;
        } else {
            EXPECT_GE(tries, c.Tries) << line;
            EXPECT_LE(tries, 3) << line;
        }
    }
    EXPECT_EQ(ReadFile(missing), unresolved);

    // csv, the default, stays ADDRESS,NAME for the resolved addresses only.
    const TRun csv = Rdns({"-s", at, "--timeout", "300", "--format", "csv"}, "10.0.0.1\n10.0.0.2\n");
    EXPECT_EQ(csv.Out, "10.0.0.1,host-1.zarvo.test\n");

    // A port where nothing listens: the network says so at once.
    const TRun closed =
        Rdns({"-s", "127.0.0.1:" + std::to_string(FreeLoopbackPort()), "--format", "jsonl"}, "10.0.0.1\n");
    EXPECT_EQ(closed.Code, 0) << closed.Err;
    EXPECT_NE(closed.Out.find("\"status\":\"UNREACHABLE\""), std::string::npos) << closed.Out;
}

// JSON text: quotes, backslashes and control characters escaped, ill-formed UTF-8
// replaced, an IPv6 server in brackets, no name for an unresolved address.
TEST(RdnsJson, EscapedText) {
    zarvo::dns::TLookupResult r;
    r.Address = "2001:db8::1";
    r.HostName = std::string("a\x01\"\\\x7f\xff\xc3\xa9\n", 10); // a NUL at its end
    r.Resolved = true;
    r.Status = zarvo::dns::TLookupStatus::Answer;
    r.Server = "[::1]:53";
    r.Tries = 1;
    r.RttMs = 1.5;
    std::string line;
    zarvo::cli::AppendJsonLine(line, r);
    EXPECT_EQ(
        line,
        "{\"address\":\"2001:db8::1\",\"name\":\"a\\u0001\\\"\\\\\\u007f\xef\xbf\xbd\xc3\xa9\\u000a\\u0000\","
        "\"status\":\"NOERROR\",\"server\":\"[::1]:53\",\"tries\":1,\"rtt_ms\":1.500}\n");
    r.Resolved = false;
    r.Status = zarvo::dns::TLookupStatus::NotAsked;
    r.Server.clear();
    r.Tries = 0;
    r.RttMs = 0;
    line.clear();
    zarvo::cli::AppendJsonLine(line, r);
    EXPECT_EQ(line, "{\"address\":\"2001:db8::1\",\"status\":\"NOTASKED\",\"server\":null,\"tries\":0,"
                    "\"rtt_ms\":0.000}\n");
}

TEST(RdnsCliHelp, HelpAndCommandList) {
    const TRun r = Rdns({"--help"});
    EXPECT_EQ(r.Code, 0);
    EXPECT_EQ(r.Out.rfind("Usage: zarvo-cli rdns [-s SERVER...] [OPTIONS] [FILE|-]\n", 0), 0u);
    for (const char* option :
         {"--server SERVER", "--delimiter TEXT", "--list-delimiter D", "--unresolved FILE", "--format FORMAT",
          "--in-flight N", "--timeout MS", "--retries N", "--rate QPS", "Examples:"})
        EXPECT_NE(r.Out.find(option), std::string::npos) << option;
    std::istringstream in;
    std::ostringstream out, err;
    EXPECT_EQ(zarvo::cli::RunCli({"--help"}, in, out, err), 0);
    EXPECT_NE(out.str().find("\n  rdns "), std::string::npos);
}

} // namespace
