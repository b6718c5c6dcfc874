// The generation engine: range syntax, plans, limits, enumeration and line layout.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>

#include "generator/ZarvoUtilsUnit.h"
#include "support/uProgress.h"

using namespace zarvo;

namespace {

struct RunResult {
    std::vector<std::string> lines;
    std::string result;
};

class Engine : public ::testing::Test {
protected:
    TProgress progress;
    TZarvoUtils u{&progress};
    TGenerateRequest q;

    RunResult Generate(std::vector<std::string> ranges) {
        q.IPRanges = std::move(ranges);
        RunResult r;
        EXPECT_TRUE(u.PerformGenerateIPList(q, r.result));
        for (size_t i = 0; i < u.IPList().Count(); ++i) r.lines.emplace_back(u.IPList()[i]);
        return r;
    }
    std::string Fails(std::vector<std::string> ranges) {
        q.IPRanges = std::move(ranges);
        std::string result;
        try {
            u.PerformGenerateIPList(q, result);
        } catch (const Exception& e) {
            return e.what();
        }
        return "(no error)";
    }
    void Names(const std::string& tmpl, const std::string& delim = " ", int first = 1, int step = 1,
               int digits = 1) {
        q.GenerateNames = true;
        q.Names.Template = tmpl;
        q.Names.Symbol = "#";
        q.Names.First = first;
        q.Names.Step = step;
        q.Names.Digits = digits;
        q.Names.Delimiter = delim;
    }
};

using Lines = std::vector<std::string>;

TEST_F(Engine, RangeSyntax) {
    struct Case {
        const char* line;
        size_t count;
        const char* firstLine;
        const char* lastLine;
    };
    const Case cases[] = {
        {"127.0.0.1/24", 256, "127.0.0.0", "127.0.0.255"},
        {"A=192.168.1.100/16/24", 256, "192.168.0.100", "192.168.255.100"},
        {"fdc7:200d:3e17::/120", 256, "FDC7:200D:3E17::", "FDC7:200D:3E17::FF"},
        {"B=fdc7:200d:3e17::fb05/48/60", 4096, "FDC7:200D:3E17::FB05", "FDC7:200D:3E17:FFF0::FB05"},
        {"10.0.0.1", 1, "10.0.0.1", "10.0.0.1"},
        {"  10.0.0.0/ ", 1, "10.0.0.0", "10.0.0.0"},
        {"10.0.0.0/8/8", 1, "10.0.0.0", "10.0.0.0"},
        {";label=10.0.0.0/31", 2, "10.0.0.0", "10.0.0.1"},
        {"x = 10.0.0.4/30", 4, "10.0.0.4", "10.0.0.7"},
        {"10.0.0.0/0x1E", 4, "10.0.0.0", "10.0.0.3"},
        {"0.0.0.0/32/32", 1, "0.0.0.0", "0.0.0.0"},
        {"255.255.255.254/31", 2, "255.255.255.254", "255.255.255.255"},
        {"FFFF:FFFF:FFFF:FFFF:FFFF:FFFF:FFFF:FFFE/127", 2, "FFFF:FFFF:FFFF:FFFF:FFFF:FFFF:FFFF:FFFE",
         "FFFF:FFFF:FFFF:FFFF:FFFF:FFFF:FFFF:FFFF"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const RunResult r = Generate({c.line});
        ASSERT_EQ(r.lines.size(), c.count);
        EXPECT_EQ(r.lines.front(), c.firstLine);
        EXPECT_EQ(r.lines.back(), c.lastLine);
        EXPECT_EQ(r.result, std::to_string(c.count) + " IPs generated.");
    }
}

TEST_F(Engine, SkippedLines) {
    const char* skipped[] = {"",
                             "   ",
                             "; 10.0.0.0/24",
                             "10.0.0.0/33",
                             "::/129",
                             "10.0.0.0/24/16",
                             "10.0.0.0/abc",
                             "10.0.0.0//24",
                             "1.2.3/24",
                             "A=",
                             "A= ;10.0.0.0",
                             "10.0.0.0/-1",
                             "10.0.0.0/24 x",
                             "/24",
                             "1::2::3/64"};
    for (const char* line : skipped) {
        SCOPED_TRACE(line);
        const RunResult r = Generate({line});
        EXPECT_TRUE(r.lines.empty());
        EXPECT_EQ(r.result, "0 IPs generated.");
    }
}

TEST_F(Engine, Limits) {
    EXPECT_EQ(Fails({"10.0.0.0/8"}), "Too many IPs (2^24)\r\nMax. IP count: 1000000");
    EXPECT_EQ(Generate({"10.0.0.0/12"}).lines.size(), 1048576u);
    // Per range: two full ranges together above the maximum still pass.
    EXPECT_EQ(Generate({"10.0.0.0/12", "11.0.0.0/12"}).lines.size(), 2097152u);

    q.Mode = gcTotalCount;
    q.Count = 2000000;
    EXPECT_EQ(Fails({"not a range"}), "Too many IPs (2000000)\r\nMax. IP count: 1000000");

    q.Mode = gcForEach;
    q.Count = 400000;
    EXPECT_EQ(Fails({"10.0.0.0/8", "bad", "11.0.0.0/8", "12.0.0.0/8"}),
              "Too many IPs (1200000)\r\nMax. IP count: 1000000");
}

// Nothing is refused for the lines a run might make: ports give the lines of the
// addresses the filters and the count let through, however many ports there are.
TEST_F(Engine, PortsAreNeverRefusedByAnEstimate) {
    q.Ports = "1-65535";
    EXPECT_EQ(Generate({"10.0.0.1"}).lines.size(), 65535u);
    q.Mode = gcTotalCount;
    q.Count = 20;
    EXPECT_EQ(Generate({"10.0.0.0/8"}).lines.size(), 1310700u);
    q.Mode = gcForEach;
    q.Count = 2;
    const RunResult each = Generate({"10.0.0.0/8", "11.0.0.0/8"});
    ASSERT_EQ(each.lines.size(), 4u * 65535u);
    EXPECT_EQ(each.lines[2 * 65535], "11.0.0.0:1");
    q.Mode = gcAllCount;

    // A long list is counted from its ranges, never expanded: 6553500000 ports.
    std::string many;
    for (int i = 0; i < 100000; ++i) many += "1-65535,";
    struct Case {
        const char* what;
        std::string ports;
        bool usable;
        std::vector<std::string> excludes, ranges;
        size_t lines;
        const char* first;
    };
    const Case cases[] = {
        {"every address excluded", "80-90", false, {"*"}, {"10.0.0.0/12"}, 0, ""},
        {"every address excluded, 2^31 addresses by 6553500000 ports",
         many,
         false,
         {"*"},
         std::vector<std::string>(2048, "10.0.0.0/12"),
         0,
         ""},
        {"no usable host", many, true, {}, {"10.0.0.0/31", "10.0.0.1"}, 0, ""},
        {"one address left of 256",
         "1-65535",
         false,
         {"*[!9]", "10.0.0.?*9"},
         {"10.0.0.0/24"},
         65535,
         "10.0.0.9:1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        q.Ports = c.ports;
        q.UsableHosts = c.usable;
        q.ExcludeMasks = c.excludes;
        const RunResult r = Generate(c.ranges);
        EXPECT_EQ(r.result, Format("%zu IPs generated.", c.lines));
        ASSERT_EQ(r.lines.size(), c.lines);
        if (c.lines) {
            EXPECT_EQ(r.lines.front(), c.first);
        }
    }
}

// 16 addresses by 65535 ports: every line in order, through the sink, none held.
TEST_F(Engine, PortLinesStreamThroughTheSinkInOrder) {
    q.Ports = "1-65535";
    size_t n = 0, wrong = 0, largest = 0;
    std::string want, firstWrong;
    q.LineSink = [&](const TStringList& chunk) {
        largest = std::max(largest, chunk.Count());
        for (size_t i = 0; i < chunk.Count(); ++i, ++n) {
            want = "10.0.0." + std::to_string(16 + n / 65535) + ":" + std::to_string(n % 65535 + 1);
            if (chunk[i] != want && wrong++ == 0) firstWrong = std::string(chunk[i]) + " for " + want;
        }
    };
    const RunResult r = Generate({"10.0.0.16/28"});
    EXPECT_EQ(n, 16u * 65535u);
    EXPECT_EQ(wrong, 0u) << firstWrong;
    EXPECT_EQ(r.result, "1048560 IPs generated.");
    EXPECT_TRUE(r.lines.empty());
    EXPECT_LE(largest, 65536u);
}

TEST_F(Engine, UsableHostsAndExclusions) {
    EXPECT_EQ(Generate({"192.168.1.0/30"}).lines,
              (Lines{"192.168.1.0", "192.168.1.1", "192.168.1.2", "192.168.1.3"}));
    q.UsableHosts = true;
    EXPECT_EQ(Generate({"192.168.1.0/30"}).lines, (Lines{"192.168.1.1", "192.168.1.2"}));
    EXPECT_TRUE(Generate({"10.0.0.1/32", "10.0.0.0/31", "::1/128"}).lines.empty());
    // With a sub-prefix the first and last sub-network positions are dropped.
    EXPECT_EQ(Generate({"10.0.0.7/22/24"}).lines, (Lines{"10.0.1.7", "10.0.2.7"}));
    EXPECT_EQ(Generate({"fd00::/126"}).lines, (Lines{"FD00::1", "FD00::2"}));

    q.UsableHosts = false;
    q.ExcludeMasks = {"*.0", ""};
    const RunResult r = Generate({"10.0.0.0/23"});
    EXPECT_EQ(r.lines.size(), 510u);
    EXPECT_EQ(std::count(r.lines.begin(), r.lines.end(), "10.0.1.0"), 0);
    // Excluded candidates do not count toward the count.
    q.Mode = gcTotalCount;
    q.Count = 2;
    EXPECT_EQ(Generate({"10.0.0.0/23"}).lines, (Lines{"10.0.0.1", "10.0.0.2"}));
    q.ExcludeMasks = {"[oops"};
    EXPECT_EQ(Fails({"10.0.0.0/30"}), "'[oops' is an invalid mask at (6)");
    // A "-" inside a set is a mask's; one outside, or a "/", could never match an address,
    // so a line that is no block or range then is a mistake, not a mask that drops nothing.
    q.ExcludeMasks = {"10.0.0.[0-1]", "10.0.0.[!0-2]"};
    EXPECT_EQ(Generate({"10.0.0.0/30"}).lines, (Lines{"10.0.0.2"}));
    for (const std::string bad : {"10.0.0.0/33", "10.0.0.1-10.0.0.300", "*-*", "10.0.[0-1]/24"}) {
        q.ExcludeMasks = {bad};
        EXPECT_EQ(Fails({"10.0.0.0/30"}),
                  "'" + bad + "' is not an address, block or range, and as a mask it matches no address");
    }
}

// A plan keeps only the field's first address and its place; its last address and the
// field's size are what the mask of the two prefix lengths draws.
TEST_F(Engine, PlansHoldTheFieldTheMaskDraws) {
    struct Case {
        const char* Line;
        TIPAddrFamily Family;
        int P, S;
    } cases[] = {
        {"10.0.0.5/24/30", IPv4, 24, 30},
        {"10.1.2.3", IPv4, 32, 32},
        {"0.0.0.0/0", IPv4, 0, 32},
        {"10.0.0.7/22/24", IPv4, 22, 24},
        {"fd00::5/16/112", IPv6, 16, 112},
        {"fd00::1/63/127", IPv6, 63, 127},
        {"::/0", IPv6, 0, 128},
        {"fd00::7/64", IPv6, 64, 128},
        {"ffff::f/1/65", IPv6, 1, 65},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Line);
        q.IPRanges = {c.Line};
        std::vector<std::string> sources;
        const std::vector<TRangePlan> plans = TZarvoUtils::ParseRanges(q, &sources);
        ASSERT_EQ(plans.size(), 1u);
        EXPECT_EQ(sources, (Lines{c.Line}));
        const TIPAddr mask = MakeIPAddrMask(c.Family, c.P, c.S);
        TIPAddr first = StrToIPAddr(std::string(c.Line).substr(0, std::string(c.Line).find('/')));
        IPAddrAnd(first, mask);
        TIPAddr last = mask;
        IPAddrNot(last);
        IPAddrOr(last, first);
        EXPECT_TRUE(IPAddrEqual(plans[0].First, first)) << IPAddrToStr(plans[0].First, false);
        EXPECT_TRUE(IPAddrEqual(plans[0].Last(), last)) << IPAddrToStr(plans[0].Last(), false);
        EXPECT_EQ(plans[0].Span, c.S - c.P);
        EXPECT_EQ(plans[0].StepBits, (c.Family == IPv4 ? 32 : 128) - c.S);
        EXPECT_EQ(plans[0].Positions(), uint64_t{1} << std::min(c.S - c.P, 63));
    }
    // Usable hosts drop the first and the last position of a field above the low 64 bits too.
    q.UsableHosts = true;
    EXPECT_EQ(Generate({"fd00::5/94/96"}).lines, (Lines{"FD00::1:0:5", "FD00::2:0:5"}));
}

TEST_F(Engine, Counts) {
    q.Mode = gcForEach;
    q.Count = 2;
    EXPECT_EQ(Generate({"10.0.0.0/24", "10.1.0.0/24"}).lines,
              (Lines{"10.0.0.0", "10.0.0.1", "10.1.0.0", "10.1.0.1"}));
    q.Mode = gcTotalCount;
    q.Count = 3;
    EXPECT_EQ(Generate({"10.0.0.0/24", "10.1.0.0/24"}).lines, (Lines{"10.0.0.0", "10.0.0.1", "10.0.0.2"}));
    q.Count = 5;
    EXPECT_EQ(Generate({"10.0.0.0/30", "10.1.0.0/24"}).lines,
              (Lines{"10.0.0.0", "10.0.0.1", "10.0.0.2", "10.0.0.3", "10.1.0.0"}));
    for (int count : {0, -5}) {
        q.Count = count;
        EXPECT_TRUE(Generate({"10.0.0.0/24"}).lines.empty());
        q.RandomOrder = true;
        EXPECT_TRUE(Generate({"10.0.0.0/24"}).lines.empty());
        q.RandomOrder = false;
    }
}

TEST_F(Engine, RandomOrder) {
    q.RandomOrder = true;
    // All: a permutation of the whole field.
    RunResult r = Generate({"10.0.0.0/24"});
    Lines sorted = r.lines;
    std::sort(sorted.begin(), sorted.end());
    q.RandomOrder = false;
    Lines plain = Generate({"10.0.0.0/24"}).lines;
    std::sort(plain.begin(), plain.end());
    EXPECT_EQ(sorted, plain);
    q.RandomOrder = true;

    // A total from a huge range: distinct addresses, all inside it, typed 1 bits kept.
    q.Mode = gcTotalCount;
    q.Count = 100;
    r = Generate({"10.0.0.1/8"});
    ASSERT_EQ(r.lines.size(), 100u);
    std::set<std::string> distinct(r.lines.begin(), r.lines.end());
    EXPECT_EQ(distinct.size(), 100u);
    for (const auto& l : r.lines) {
        const TIPv4 ip = StrToIPv4(l);
        EXPECT_EQ(ip.A, 10);
        EXPECT_EQ(ip.D & 1, 1);
    }

    // Each range: Count from each, and a range smaller than the count gives all it has.
    q.Mode = gcForEach;
    q.Count = 3;
    r = Generate({"a=10.0.0.0/8", "b=fd00::/16", "c=192.168.0.0/31"});
    ASSERT_EQ(r.lines.size(), 8u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(r.lines[i].rfind("10.", 0), 0u);
    for (size_t i = 3; i < 6; ++i) EXPECT_EQ(r.lines[i].rfind("FD00:", 0), 0u);
    std::set<std::string> last(r.lines.begin() + 6, r.lines.end());
    EXPECT_EQ(last, (std::set<std::string>{"192.168.0.0", "192.168.0.1"}));
}

TEST_F(Engine, SeededRunsRepeatAndUnseededDiffer) {
    q.RandomOrder = true;
    q.Mode = gcTotalCount;
    q.Count = 50;
    q.RandomSeed = 99;
    const Lines a = Generate({"fd00::/32"}).lines;
    EXPECT_EQ(Generate({"fd00::/32"}).lines, a);
    q.RandomSeed.reset();
    EXPECT_NE(Generate({"fd00::/32"}).lines, Generate({"fd00::/32"}).lines);
}

TEST_F(Engine, RandomSelectionIsUniform) {
    // Picking 1 of 4 addresses many times: each must come up about equally often.
    q.RandomOrder = true;
    q.Mode = gcTotalCount;
    q.Count = 1;
    std::map<std::string, int> seen;
    for (int i = 0; i < 4000; ++i) {
        q.RandomSeed = static_cast<uint64_t>(i);
        ++seen[Generate({"10.0.0.0/30"}).lines.at(0)];
    }
    ASSERT_EQ(seen.size(), 4u);
    for (const auto& [addr, n] : seen) EXPECT_NEAR(n, 1000, 150) << addr;
}

TEST_F(Engine, PortsLayout) {
    q.Ports = "80,443";
    const RunResult r = Generate({"192.168.1.0/30"});
    ASSERT_EQ(r.lines.size(), 8u);
    EXPECT_EQ(r.lines[0], "192.168.1.0:80");
    EXPECT_EQ(r.lines[1], "192.168.1.0:443");
    EXPECT_EQ(r.lines[7], "192.168.1.3:443");
    EXPECT_EQ(r.result, "8 IPs generated.");

    q.Ports = "80";
    EXPECT_EQ(Generate({"::1/128"}).lines, (Lines{"::1:80"}));
    q.EscapeIPv6 = true;
    EXPECT_EQ(Generate({"::1/128"}).lines, (Lines{"[::1]:80"}));
    q.Ports = "0;70000,abc";
    EXPECT_TRUE(Generate({"10.0.0.0/30"}).lines.empty());
}

// IPv6 in lower case on request: every way a line carries the address, the zero
// groups shortened as in upper case, IPv4 and the rest of the line as they were, and
// the masks still matching without regard to case.
TEST_F(Engine, IPv6InLowerCase) {
    struct Case {
        const char* what;
        std::function<void(TGenerateRequest&)> set;
        Lines upper, lower;
    };
    const std::vector<Case> cases = {
        {"plain", [](TGenerateRequest&) {}, {"FD00:AB::A", "FD00:AB::B"}, {"fd00:ab::a", "fd00:ab::b"}},
        {"escaped, with a port",
         [](TGenerateRequest& r) {
             r.EscapeIPv6 = true;
             r.Ports = "80";
         },
         {"[FD00:AB::A]:80", "[FD00:AB::B]:80"},
         {"[fd00:ab::a]:80", "[fd00:ab::b]:80"}},
        {"an exclusion mask in upper case",
         [](TGenerateRequest& r) { r.ExcludeMasks = {"*:B"}; },
         {"FD00:AB::A"},
         {"fd00:ab::a"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        q = TGenerateRequest();
        c.set(q);
        EXPECT_EQ(Generate({"fd00:ab::a/127"}).lines, c.upper);
        q.LowerIPv6 = true;
        EXPECT_EQ(Generate({"fd00:ab::a/127"}).lines, c.lower);
    }
    // Names take the parts as before (they are lower case either way); IPv4 has no letters.
    q = TGenerateRequest();
    q.LowerIPv6 = true;
    Names("H-%1-%2", " ");
    EXPECT_EQ(Generate({"ABCD::E/128", "10.0.0.1"}).lines, (Lines{"H-abcd-0 abcd::e", "H-10-0 10.0.0.1"}));
}

// The port list as the lines' suffixes, ":" and the port, in order.
Lines PortSuffixes(const TPortList& list) {
    Lines out;
    for (const TPortRange& r : list.Ranges)
        for (uint32_t p = r.Low; p <= r.High; ++p) out.push_back(":" + std::to_string(p));
    EXPECT_EQ(static_cast<int64_t>(out.size()), list.Count);
    return out;
}

TEST(PortList, Parsing) {
    struct Case {
        const char* text;
        Lines ports;
    };
    const Case cases[] = {
        {"80,3128-3130", {":80", ":3128", ":3129", ":3130"}},
        {"3130-3128", {":3128", ":3129", ":3130"}},
        {" 22 ; 80 ,,", {":22", ":80"}},
        {"80,80", {":80", ":80"}},
        {"0", {}},
        {"70000", {}},
        {"abc", {}},
        {"0-2", {":1", ":2"}},
        {"65534-70000", {":65534", ":65535"}},
        {"-5", {}},
        {"$50", {":80"}},
        {"1 - 2", {":1", ":2"}},
        {"", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(PortSuffixes(TZarvoUtils::ParsePortNumbers(c.text)), c.ports);
    }
    EXPECT_EQ(TZarvoUtils::ParsePortNumbers("1-65535").Count, 65535);
}

TEST_F(Engine, HostNames) {
    Names("mail#.example", " ", 1, 1, 3);
    EXPECT_EQ(Generate({"10.0.0.0/31"}).lines,
              (Lines{"mail001.example 10.0.0.0", "mail002.example 10.0.0.1"}));
    Names("host-%4");
    EXPECT_EQ(Generate({"10.0.0.7/32"}).lines, (Lines{"host-7 10.0.0.7"}));
    Names("%1-%2-%8-%s", ",");
    EXPECT_EQ(Generate({"A=2001:db8::1/128", "10.1.2.3"}).lines,
              (Lines{"2001-db8-1-A,2001:DB8::1", "10-1--10.1.2.3,10.1.2.3"}));
    // The counter runs across every port line; negative values pad in front of the sign.
    Names("h#", "\t", -1, 1, 3);
    q.Ports = "1,2";
    EXPECT_EQ(Generate({"10.0.0.0/31"}).lines,
              (Lines{"h0-1\t10.0.0.0:1", "h000\t10.0.0.0:2", "h001\t10.0.0.1:1", "h002\t10.0.0.1:2"}));
    q.Ports.reset();
    // No symbol in the template: no counter; an empty symbol never counts.
    Names("fixed");
    EXPECT_EQ(Generate({"10.0.0.0/31"}).lines, (Lines{"fixed 10.0.0.0", "fixed 10.0.0.1"}));
    Names("a#b");
    q.Names.Symbol = "";
    EXPECT_EQ(Generate({"10.0.0.5"}).lines, (Lines{"a#b 10.0.0.5"}));
}

TEST_F(Engine, CounterWrapsAt32Bits) {
    Names("n#", " ", INT32_MAX, 1, 1);
    EXPECT_EQ(Generate({"10.0.0.0/31"}).lines, (Lines{"n2147483647 10.0.0.0", "n-2147483648 10.0.0.1"}));
    Names("n#", " ", INT32_MIN, -1, 1);
    EXPECT_EQ(Generate({"10.0.0.0/31"}).lines, (Lines{"n-2147483648 10.0.0.0", "n2147483647 10.0.0.1"}));
}

TEST_F(Engine, AppendKeepsTheListAndCountsIt) {
    u.IPList().Add("kept line");
    q.Append = true;
    const RunResult r = Generate({"10.0.0.0/31"});
    EXPECT_EQ(r.lines, (Lines{"kept line", "10.0.0.0", "10.0.0.1"}));
    EXPECT_EQ(r.result, "3 IPs generated.");
    EXPECT_EQ(Generate({"junk"}).result, "3 IPs generated.");
    q.Append = false;
    EXPECT_EQ(Generate({"junk"}).result, "0 IPs generated.");
}

TEST_F(Engine, CountryColumnChecksComeFirst) {
    q.ResolveCountry = true;
    u.IPList().Add("old");
    q.MMDBFilePath = "";
    EXPECT_EQ(Fails({"10.0.0.1"}), "Invalid arguments");
    q.MMDBFilePath = "/nonexistent/file.mmdb";
    EXPECT_EQ(Fails({"10.0.0.1"}), "MMDB File not found");
    EXPECT_EQ(u.IPList().Count(), 1u); // untouched by the argument checks
}

TEST_F(Engine, ProgressCountsCandidates) {
    q.UsableHosts = true;
    Generate({"10.0.0.0/24"});
    EXPECT_EQ(progress.Max(), 256);
    EXPECT_EQ(progress.Processed(), 254);
    EXPECT_EQ(progress.Position(), 256);
    EXPECT_EQ(progress.Status(), "Action: Generate IP List");
}

TEST(Engine_, BitsForCount) {
    const std::pair<int64_t, int> cases[] = {{-1, 0},       {0, 0},        {1, 0},       {2, 1},
                                             {3, 2},        {4, 2},        {5, 3},       {100, 7},
                                             {1000000, 20}, {1048576, 20}, {1048577, 21}};
    for (auto [n, bits] : cases) EXPECT_EQ(TZarvoUtils::BitsForCount(n), bits) << n;
}

} // namespace

namespace {

TEST_F(Engine, SinkReceivesTheSameLinesInChunks) {
    q.RandomOrder = true;
    q.RandomSeed = 5;
    const Lines held = Generate({"10.0.0.0/15"}).lines; // 131072 lines: more than one chunk
    Lines streamed;
    size_t chunks = 0;
    q.LineSink = [&](const TStringList& chunk) {
        ++chunks;
        for (size_t i = 0; i < chunk.Count(); ++i) streamed.emplace_back(chunk[i]);
    };
    u.IPList().Clear();
    u.IPList().Add("left alone");
    const RunResult r = Generate({"10.0.0.0/15"});
    EXPECT_EQ(streamed, held);
    EXPECT_GT(chunks, 1u);
    EXPECT_EQ(r.lines, (Lines{"left alone"}));
    EXPECT_EQ(r.result, "131072 IPs generated.");
}

} // namespace

TEST_F(Engine, RandomPicksFromManyLargeRangesHoldOnlyWhatTheyTake) {
    // 2000 ranges of 2^17 positions each: a table of every position would take a
    // gigabyte; the walk holds only the slots it has moved.
    q.RandomOrder = true;
    q.Mode = gcTotalCount;
    q.Count = 100000;
    q.RandomSeed = 1;
    const Lines lines = Generate(std::vector<std::string>(2000, "10.0.0.0/8")).lines;
    EXPECT_EQ(lines.size(), 100000u);

    // Uniform over the ranges too: 4100 distinct /22 ranges, 1000 picks each run.
    std::vector<std::string> ranges;
    for (int i = 0; i < 4100; ++i) ranges.push_back(Format("10.%d.%d.0/22", i / 64, (i % 64) * 4));
    q.Count = 1000;
    int firstHalf = 0;
    for (uint64_t seed = 0; seed < 20; ++seed) {
        q.RandomSeed = seed;
        const Lines picked = Generate(ranges).lines;
        ASSERT_EQ(std::set<std::string>(picked.begin(), picked.end()).size(), 1000u);
        for (const std::string& l : picked) {
            const TIPAddr a = StrToIPAddr(l);
            const int range = static_cast<int>((a.IPv4.Value >> 10) & 0x3FFF);
            ASSERT_LT(range, 4100) << l;
            firstHalf += range < 2050;
        }
    }
    EXPECT_NEAR(firstHalf, 10000, 300);
}

// Says "stop" from the n-th time it is asked on, as a Break in the middle of a run.
class TStopAfter : public IProgressSink {
public:
    explicit TStopAfter(int n) : FLeft(n) {}
    void ReportStatus(const std::string&) override {}
    void ReportRange(int64_t) override {}
    void ReportAdvance(int64_t) override {}
    void ReportDone() override {}
    bool StopRequested() const override { return --FLeft <= 0; }
    mutable int FLeft;
};

TEST(EngineStop, ABrokenRunEndsEarlyWithTheLinesSoFar) {
    struct Case {
        const char* name;
        TGenerateCounts mode;
        bool random;
        std::vector<std::string> exclude;
        int32_t count;
        std::vector<std::string> ranges;
    };
    // Each walks 2^24 positions or (many) more without the stop.
    const Case cases[] = {
        {"all in order", gcAllCount, false, {}, 0, {"0.0.0.0/8"}},
        {"nothing survives", gcTotalCount, false, {"*.*"}, 1, {"0.0.0.0/0"}},
        {"nothing survives in any range", gcForEach, false, {"*:*"}, 1, {"::/0", "::/0"}},
        {"random, nothing survives",
         gcTotalCount,
         true,
         {"*.*"},
         1000000,
         std::vector<std::string>(5000, "10.0.0.0/8")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TStopAfter stop(50); // asked once every 4096 positions
        TZarvoUtils u(&stop);
        TGenerateRequest q;
        q.MaxIPs = INT32_MAX;
        q.Mode = c.mode;
        q.Count = c.count;
        q.RandomOrder = c.random;
        q.ExcludeMasks = c.exclude;
        q.IPRanges = c.ranges;
        std::string result;
        u.PerformGenerateIPList(q, result);
        EXPECT_LE(u.IPList().Count(), 50u * 4096u);
        EXPECT_EQ(result, Format("%d IPs generated.", static_cast<int>(u.IPList().Count())));
    }
}

TEST_F(Engine, ALineTooLongIsRefusedBeforeItIsBuilt) {
    Names("#", " ", 1, 1, INT32_MAX);
    EXPECT_EQ(Fails({"10.0.0.1"}), "Line too long (2147483656 characters)");
    Names("a#b#", ",", 1, 1, 9000000);
    EXPECT_EQ(Fails({"10.0.0.1"}), "Line too long (18000011 characters)");
}

TEST_F(Engine, ChunksAreBoundedByTheirSize) {
    Names("#", " ", 1, 1, 100000); // lines of 100000 characters and more
    size_t chunks = 0, lines = 0, largest = 0;
    q.LineSink = [&](const TStringList& chunk) {
        ++chunks;
        lines += chunk.Count();
        largest = std::max(largest, chunk.TextSize());
    };
    Generate({"10.0.0.0/24"});
    EXPECT_EQ(lines, 256u);
    EXPECT_GT(chunks, 1u);
    EXPECT_LE(largest, (size_t{4} << 20) + 100020);
}

TEST_F(Engine, RunningOutOfMemoryIsReportedInWords) {
    u.IPList().Add("kept");
    q.Append = true;
    q.LineSink = [](const TStringList&) { throw std::bad_alloc(); };
    EXPECT_EQ(Fails({"10.0.0.0/30"}), "Not enough memory");
    EXPECT_EQ(u.IPList().Count(), 1u);
}

// A run's lines are counted against its memory budget as they are made, by what
// each costs the list (text, line break, 8-byte entry: "10.0.0.N" 17, "kept" 13);
// the first line past the budget breaks the run off, and the list is as it was.
TEST_F(Engine, AMemoryBudgetBreaksTheRunOffAtTheFirstLineThatDoesNotFit) {
    struct Case {
        const char* what;
        std::vector<std::string> kept;
        std::string ports;
        bool sink;
        uint64_t budget;
        std::string error; // empty: the run fits
        size_t lines = 0;  // on success, kept ones included
    };
    const Case cases[] = {
        {"just fits", {}, "", false, 68, "", 4},
        {"one byte short",
         {},
         "",
         false,
         67,
         "Too many lines (more than 3)\r\nMax. memory for the list: 67 bytes"},
        {"appending: kept lines count", {"kept"}, "", false, 81, "", 5},
        {"appending, one byte short",
         {"kept", "kept too"},
         "",
         false,
         80 + 17,
         "Too many lines (more than 5)\r\nMax. memory for the list: 97 bytes"},
        {"lines handed to a sink count", {}, "", true, 68, "", 4},
        {"a sink, one byte short",
         {},
         "",
         true,
         67,
         "Too many lines (more than 3)\r\nMax. memory for the list: 67 bytes"},
        // The sink's owner tells what it keeps: an appending window's pane.
        {"a sink appending: kept lines count", {"kept"}, "", true, 81, "", 5},
        {"a sink appending, one byte short",
         {"kept", "kept too"},
         "",
         true,
         80 + 17,
         "Too many lines (more than 5)\r\nMax. memory for the list: 97 bytes"},
        // Ports 1-9 cost 19 each, 10-99 20, 100-999 21, 1000-9999 22: 218871 for the
        // first 9999 lines; 36074 more at 23 fit into 1 MB, all from the first address.
        {"counted per port line",
         {},
         "1-65535",
         false,
         1 << 20,
         "Too many lines (more than 46073)\r\nMax. memory for the list: 1 MB"},
        {"no budget", {}, "1-65535", false, 0, "", 4 * 65535},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        u.IPList().Clear();
        for (const std::string& line : c.kept) u.IPList().Add(line);
        q.Append = !c.kept.empty();
        if (c.ports.empty())
            q.Ports.reset();
        else
            q.Ports = c.ports;
        q.MemoryBudget = c.budget;
        size_t sunk = 0;
        q.LineSink = nullptr;
        q.SinkKeptLines = 0;
        q.SinkKeptBytes = 0;
        if (c.sink) {
            q.LineSink = [&sunk](const TStringList& chunk) { sunk += chunk.Count(); };
            q.SinkKeptLines = c.kept.size();
            q.SinkKeptBytes = u.IPList().LinesSize();
        }
        if (c.error.empty()) {
            const RunResult r = Generate({"10.0.0.0/30"});
            EXPECT_EQ(r.result, Format("%zu IPs generated.", c.lines));
            EXPECT_EQ(c.sink ? c.kept.size() + sunk : r.lines.size(), c.lines);
            continue;
        }
        const size_t keptText = u.IPList().TextSize();
        EXPECT_EQ(Fails({"10.0.0.0/30"}), c.error);
        EXPECT_EQ(sunk, 0u);
        // Nothing of the run stays: the kept lines alone, their text where it ended.
        ASSERT_EQ(u.IPList().Count(), c.kept.size());
        for (size_t i = 0; i < c.kept.size(); ++i) EXPECT_EQ(u.IPList()[i], c.kept[i]);
        EXPECT_EQ(u.IPList().TextSize(), keptText);
        // And the list takes lines after them as before.
        q.LineSink = nullptr;
        q.MemoryBudget = 0;
        q.Ports.reset();
        const RunResult again = Generate({"10.0.0.0/31"});
        EXPECT_EQ(again.lines.size(), c.kept.size() + 2);
        EXPECT_EQ(again.lines.back(), "10.0.0.1");
    }
    q.LineSink = nullptr;
    // Unless set, half of this machine's memory.
    EXPECT_GT(DefaultMemoryBudget(), uint64_t{1} << 20);
    EXPECT_EQ(TGenerateRequest().MemoryBudget, DefaultMemoryBudget());
}

TEST_F(Engine, AMaskOfStarsOnlyLeavesNothingToWalk) {
    // Without the shortcut each run walks 2^32 or 2^63 positions.
    q.Count = 1;
    for (const char* mask : {"*", "**"}) {
        SCOPED_TRACE(mask);
        q.ExcludeMasks = {"*.0", mask};
        q.Mode = gcTotalCount;
        EXPECT_EQ(Generate({"0.0.0.0/0"}).result, "0 IPs generated.");
        q.Mode = gcForEach;
        EXPECT_EQ(Generate({"::/0", "10.0.0.0/8"}).result, "0 IPs generated.");
    }
    EXPECT_TRUE(TMask("*").MatchesEverything());
    for (const char* mask : {"*.*", "?*", "*[0-9]", "a"})
        EXPECT_FALSE(TMask(mask).MatchesEverything()) << mask;
}

namespace {

// The plan carries the request's settings on, with those the run does not read made
// plain; the budget goes through as it was asked for.
TEST(GeneratePlan, CarriesTheRequestsSettings) {
    TGenerateRequest q;
    q.IPRanges = {"10.0.0.0/30", "no range"};
    q.Count = 7; // not read when all are asked for
    q.Names.Template = "h-%s";
    q.Append = true;
    q.SinkKeptLines = 3;
    q.SinkKeptBytes = 48;
    q.MemoryBudget = 12345;
    q.ExcludeMasks = {"", "*.1"};
    q.Ports = "80,90-91";
    std::vector<size_t> noRanges;
    q.OnNoRanges = [&](const std::vector<std::string>& lines, std::span<const size_t> places) {
        EXPECT_EQ(&lines, &q.IPRanges);
        noRanges.assign(places.begin(), places.end());
    };
    TGeneratePlan plan = TZarvoUtils::BuildPlan(q);
    EXPECT_EQ(noRanges, std::vector<size_t>{1});
    EXPECT_EQ(plan.MemoryBudget, 12345u);
    EXPECT_EQ(plan.Count, 0);
    EXPECT_EQ(plan.Names.Template, "");   // no names asked for
    EXPECT_EQ(plan.Names.Delimiter, " "); // before a country code
    EXPECT_TRUE(plan.Sources.empty());
    EXPECT_GE(plan.CountryLanes, 1u);
    EXPECT_EQ(plan.SinkKeptLines, 0u); // kept by the engine's list, not a sink's owner
    EXPECT_EQ(plan.Excludes.Count(), 1);
    ASSERT_TRUE(plan.Ports);
    EXPECT_EQ(plan.Ports->Count, 3);
    EXPECT_EQ(plan.Limits.Total, 4);

    q.LineSink = [](const TStringList&) {};
    q.GenerateNames = true;
    plan = TZarvoUtils::BuildPlan(q);
    EXPECT_EQ(plan.SinkKeptLines, 3u);
    EXPECT_EQ(plan.SinkKeptBytes, 48u);
    EXPECT_EQ(plan.Names.Template, "h-%s");
    EXPECT_EQ(plan.Sources, std::vector<std::string>{"10.0.0.0/30"});
}

} // namespace
