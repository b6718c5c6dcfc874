// zarvo-cli rdns against dnsmasq and a silent server on loopback: the lines it
// prints and files, in input order, the line rules on the way in, and what makes a
// run fail (exit 1) or its words wrong (exit 2).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "cli/FdStream.h"
#include "cli/ZarvoCli.h"
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
    EXPECT_EQ(silent.QueryCount(), 4u);

    r = Rdns({"-s", silent.Server(), "--timeout", "200"}, input);
    EXPECT_EQ(r.Code, 0);
    EXPECT_EQ(r.Out, "");
    EXPECT_EQ(r.Err, "0 resolved, 8 unresolved\n");
    EXPECT_EQ(silent.QueryCount(), 12u);
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
        {{}, 1, "zarvo-cli rdns: No DNS Servers specified\n"},
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
        {{"-s", server, "--timeout", "5s"},
         2,
         "zarvo-cli rdns: '5s' is not a valid integer value (--timeout)" + usage},
        {{"-s"}, 2, "zarvo-cli rdns: option '-s' needs a value" + usage},
        {{"-s", ""}, 2, "zarvo-cli rdns: option '-s' needs a value that is not empty" + usage},
        {{"-s", server, "--bogus"}, 2, "zarvo-cli rdns: unknown option '--bogus'" + usage},
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

TEST(RdnsCliHelp, HelpAndCommandList) {
    const TRun r = Rdns({"--help"});
    EXPECT_EQ(r.Code, 0);
    EXPECT_EQ(r.Out.rfind("Usage: zarvo-cli rdns -s SERVER [-s SERVER...] [OPTIONS] [FILE|-]\n", 0), 0u);
    for (const char* option : {"--server SERVER", "--delimiter TEXT", "--unresolved FILE", "--in-flight N",
                               "--timeout MS", "--rate QPS", "Examples:"})
        EXPECT_NE(r.Out.find(option), std::string::npos) << option;
    std::istringstream in;
    std::ostringstream out, err;
    EXPECT_EQ(zarvo::cli::RunCli({"--help"}, in, out, err), 0);
    EXPECT_NE(out.str().find("\n  rdns "), std::string::npos);
}

} // namespace
