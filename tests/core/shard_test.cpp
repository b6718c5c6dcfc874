// generate's run shapes: --shard over every mode, excludes by block and range beside
// masks, --unique, --count-only; and rdns --shard's words.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "cli/GenerateCommand.h"
#include "cli/RdnsCommand.h"
#include "common/DnsTestServers.h"
#include "core/cli_run.h"

namespace zarvo::test {
namespace {

std::vector<std::string> LinesOf(const std::string& text) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = text.find('\n', at);
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

std::vector<std::string> Generate(std::vector<std::string> words) {
    words.insert(words.begin(), "generate");
    const CliRun r = Cli(words);
    EXPECT_EQ(r.Code, 0) << r.Err;
    return LinesOf(r.Out);
}

uint64_t CountOnly(std::vector<std::string> words) {
    words.insert(words.begin(), "--count-only");
    words.insert(words.begin(), "generate");
    const CliRun r = Cli(words);
    EXPECT_EQ(r.Code, 0) << r.Err;
    return std::stoull(r.Out);
}

struct TModeCase {
    const char* Name;
    std::vector<std::string> Words;
};

// Every mode, in order and random, with the filters, ports and names.
const std::vector<TModeCase> kModes = {
    {"all", {"10.0.0.0/28", "10.0.1.0/30"}},
    {"all random", {"--random", "--seed", "5", "10.0.0.0/28", "10.0.1.0/30"}},
    {"total", {"--total", "20", "10.0.0.0/28", "10.0.1.0/28"}},
    {"total random", {"--total", "20", "--random", "--seed", "6", "10.0.0.0/24", "fd00::/120"}},
    {"total random, span reduced", {"--total", "50", "--random", "--seed", "7", "fd00::/32"}},
    {"each", {"--each", "5", "10.0.0.0/28", "10.0.1.0/28", "10.0.2.0/31"}},
    {"each random", {"--each", "5", "--random", "--seed", "8", "A=192.168.1.100/16/24", "10.0.0.0/8"}},
    {"ports", {"--ports", "80,443-445", "10.0.0.0/29"}},
    {"ports random", {"--ports", "80,443-445", "--total", "9", "--random", "--seed", "9", "10.0.0.0/24"}},
    {"names", {"--names", "h#-%4", "--digits", "3", "--total", "17", "10.0.0.0/24"}},
    {"names and ports random",
     {"--names", "h#", "--step", "2", "--ports", "1-3", "--random", "--seed", "3", "10.0.0.0/29"}},
    {"usable, excludes", {"--usable", "--exclude", "*.7", "--exclude", "10.0.0.16/29", "10.0.0.0/26"}},
    {"usable, excludes random",
     {"--usable", "--exclude", "*.7", "--exclude", "10.0.0.16-10.0.0.40", "--random", "--seed", "4",
      "10.0.0.0/26"}},
    {"excludes, total random",
     {"--exclude", "10.0.0.0/25", "--total", "30", "--random", "--seed", "2", "10.0.0.0/24"}},
    {"unique", {"--unique", "10.0.0.0/29", "10.0.0.4/30", "10.0.0.6/31", "10.0.0.8/31"}},
    {"unique random", {"--unique", "--random", "--seed", "1", "10.0.0.0/28", "10.0.0.8/29", "10.0.0.0/27"}},
    {"unique each random",
     {"--unique", "--each", "6", "--random", "--seed", "1", "10.0.0.0/29", "10.0.0.0/29"}},
};

TEST(GenerateShards, ShardsHoldTheRunsLinesEachOnce) {
    for (const TModeCase& m : kModes) {
        const std::vector<std::string> whole = Generate(m.Words);
        ASSERT_FALSE(whole.empty()) << m.Name;
        EXPECT_EQ(CountOnly(m.Words), whole.size()) << m.Name;
        for (uint64_t n : {1u, 2u, 3u, 7u}) {
            size_t total = 0;
            for (uint64_t i = 1; i <= n; ++i) {
                std::vector<std::string> words = m.Words;
                words.push_back("--shard");
                words.push_back(std::to_string(i) + "/" + std::to_string(n));
                const std::vector<std::string> shard = Generate(words);
                // Lines i, i+n, ... of the whole run, in its order: so each line is in one
                // shard, and the sizes are within one.
                std::vector<std::string> want;
                for (size_t k = i - 1; k < whole.size(); k += n) want.push_back(whole[k]);
                EXPECT_EQ(shard, want) << m.Name << ", shard " << i << "/" << n;
                EXPECT_EQ(CountOnly(words), want.size()) << m.Name << ", shard " << i << "/" << n;
                total += shard.size();
            }
            EXPECT_EQ(total, whole.size()) << m.Name << ", " << n << " shards";
        }
    }
}

TEST(GenerateShards, Words) {
    struct Case {
        std::vector<std::string> Words;
        const char* Message;
    };
    const std::vector<Case> bad = {
        {{"--shard", "0/3", "10.0.0.0/30"}, "--shard takes I/N"},
        {{"--shard", "4/3", "10.0.0.0/30"}, "--shard takes I/N"},
        {{"--shard", "1/0", "10.0.0.0/30"}, "--shard takes I/N"},
        {{"--shard", "1", "10.0.0.0/30"}, "--shard takes I/N"},
        {{"--shard", "a/b", "10.0.0.0/30"}, "--shard takes I/N"},
        {{"--shard", "1/2", "--random", "10.0.0.0/30"}, "--shard with --random needs --seed"},
        {{"--count-only", "-o", "x.txt", "10.0.0.0/30"}, "--count-only makes no lines for -o FILE"},
    };
    for (const Case& c : bad) {
        std::vector<std::string> words = c.Words;
        words.insert(words.begin(), "generate");
        const CliRun r = Cli(words);
        EXPECT_EQ(r.Code, 2) << c.Words[1];
        EXPECT_NE(r.Err.find(c.Message), std::string::npos) << r.Err;
    }
    EXPECT_EQ(Generate({"--shard", "1/1", "10.0.0.0/30"}).size(), 4u);
    const CliRun count = Cli({"generate", "--count-only", "--ports", "1-65535", "10.0.0.0/12"});
    EXPECT_EQ(count.Code, 0);
    EXPECT_EQ(count.Out, "68718428160\n");
    EXPECT_EQ(count.Err, "");
}

TEST(GenerateExcludes, BlocksAndRangesBesideMasks) {
    struct Case {
        std::vector<std::string> Excludes;
        std::vector<std::string> Ranges;
        std::vector<std::string> Dropped; // addresses of the ranges that are left out
    };
    const std::vector<Case> cases = {
        {{"10.0.0.0/30"}, {"10.0.0.0/29"}, {"10.0.0.0", "10.0.0.1", "10.0.0.2", "10.0.0.3"}},
        {{" 10.0.0.2 - 10.0.0.4 "}, {"10.0.0.0/29"}, {"10.0.0.2", "10.0.0.3", "10.0.0.4"}},
        {{"10.0.0.6/31", "*.1"}, {"10.0.0.0/29"}, {"10.0.0.1", "10.0.0.6", "10.0.0.7"}},
        // A mask may hold "-" in a set (a "/" that makes no block fails the run: engine_test).
        {{"10.0.0.[2-3]"}, {"10.0.0.0/29"}, {"10.0.0.2", "10.0.0.3"}},
        // The block covers the range's addresses even when written inside it.
        {{"10.0.0.5/30"}, {"10.0.0.0/29"}, {"10.0.0.4", "10.0.0.5", "10.0.0.6", "10.0.0.7"}},
        {{"fd00::2-fd00::5", "FD00::7"},
         {"fd00::/125"},
         {"FD00::2", "FD00::3", "FD00::4", "FD00::5", "FD00::7"}},
        // Another family's block excludes nothing here.
        {{"::/0"}, {"10.0.0.0/30"}, {}},
        {{"0.0.0.0/0"}, {"10.0.0.0/30", "fd00::/127"}, {"10.0.0.0", "10.0.0.1", "10.0.0.2", "10.0.0.3"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> words;
        for (const std::string& e : c.Excludes) {
            words.push_back("--exclude");
            words.push_back(e);
        }
        std::vector<std::string> all = Generate(c.Ranges);
        for (const std::string& r : c.Ranges) words.push_back(r);
        std::vector<std::string> want;
        for (const std::string& a : all)
            if (std::find(c.Dropped.begin(), c.Dropped.end(), a) == c.Dropped.end()) want.push_back(a);
        EXPECT_EQ(Generate(words), want) << c.Excludes[0];
        EXPECT_EQ(CountOnly(words), want.size()) << c.Excludes[0];
        // In random order too: the same addresses.
        words.insert(words.begin(), {"--random", "--seed", "3"});
        std::vector<std::string> random = Generate(words);
        std::sort(random.begin(), random.end());
        std::sort(want.begin(), want.end());
        EXPECT_EQ(random, want) << c.Excludes[0];
    }
}

// Where the excluded blocks are the only filter, an IPv4 walk passes over each block
// whole and makes the addresses between blocks a run at a time; a mask beside them (one
// that matches no address) makes it test address by address. Both give the same lines.
TEST(GenerateExcludes, BlocksPassedOverWholeAsAddressByAddress) {
    std::vector<std::vector<std::string>> cases = {
        {"--exclude", "10.0.0.0/30", "--exclude", "10.0.1.250-10.0.2.5", "10.0.0.0/22"},
        // A sub-prefix walks the third octet, a stride of 256 addresses.
        {"--exclude", "10.0.0.0/24", "--exclude", "10.0.2.7-10.0.3.9", "A=10.0.0.9/22/24"},
        {"--exclude", "10.0.2.0/23", "--exclude", "10.0.5.0/24", "10.0.0.0/16/20"},
        // The count ends inside a run and inside a block.
        {"--total", "300", "--exclude", "10.0.0.100-10.0.0.199", "10.0.0.0/23"},
        {"--total", "150", "--exclude", "10.0.0.100-10.0.0.199", "10.0.0.0/23"},
        {"--each", "50", "--exclude", "10.0.0.16/28", "10.0.0.0/26", "10.0.1.0/26", "10.0.0.8/29"},
        // The ends of the space, a range all excluded, blocks of the other family.
        {"--exclude", "255.255.255.128/25", "--exclude", "0.0.0.0/31", "255.255.255.0/24", "0.0.0.0/28"},
        {"--exclude", "10.0.0.0/8", "--exclude", "fd00::/16", "10.1.0.0/16", "10.0.0.0/30", "11.0.0.0/30"},
        {"--exclude", "10.0.0.5", "--exclude", "10.0.0.7", "10.0.0.0/29", "10.0.0.0/29"},
    };
    // Many blocks of every size over a /16 walked across several slices.
    std::vector<std::string> many = {"10.0.0.0/16"};
    uint32_t x = 12345;
    for (int i = 0; i < 300; ++i) {
        x = x * 1103515245u + 12345u;
        const uint32_t prefix = 22 + (x >> 16) % 11, third = (x >> 4) % 256, fourth = (x >> 8) % 256;
        many.insert(many.begin(), {"--exclude", "10.0." + std::to_string(third) + "." +
                                                    std::to_string(fourth) + "/" + std::to_string(prefix)});
    }
    cases.push_back(many);
    for (const std::vector<std::string>& words : cases) {
        std::vector<std::string> tested = words;
        tested.insert(tested.begin(), {"--exclude", "none"});
        const std::vector<std::string> lines = Generate(words);
        EXPECT_EQ(lines, Generate(tested)) << words[1] << " " << words.back();
        EXPECT_EQ(CountOnly(words), lines.size()) << words[1] << " " << words.back();
    }
}

TEST(GenerateUnique, EachAddressOnceWhereItFirstAppears) {
    struct Case {
        std::vector<std::string> Words;
        std::vector<std::string> Lines;
    };
    const std::vector<Case> cases = {
        {{"--unique", "10.0.0.0/30", "10.0.0.2/31", "10.0.0.4/31"},
         {"10.0.0.0", "10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4", "10.0.0.5"}},
        {{"--unique", "10.0.0.2/31", "10.0.0.0/30"}, {"10.0.0.2", "10.0.0.3", "10.0.0.0", "10.0.0.1"}},
        // Counts count distinct addresses.
        {{"--unique", "--total", "3", "10.0.0.0/31", "10.0.0.0/30"}, {"10.0.0.0", "10.0.0.1", "10.0.0.2"}},
        {{"--unique", "--each", "2", "10.0.0.0/30", "10.0.0.0/30"},
         {"10.0.0.0", "10.0.0.1", "10.0.0.2", "10.0.0.3"}},
        // Usable hosts: the first of one range may be a host of another.
        {{"--unique", "--usable", "10.0.0.0/31", "10.0.0.0/30"}, {"10.0.0.1", "10.0.0.2"}},
        {{"--unique", "--usable", "10.0.0.4/30", "10.0.0.0/29"},
         {"10.0.0.5", "10.0.0.6", "10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4"}},
        // Without --unique the repeats stay.
        {{"10.0.0.0/31", "10.0.0.0/31"}, {"10.0.0.0", "10.0.0.1", "10.0.0.0", "10.0.0.1"}},
        {{"--unique", "fd00::/127", "FD00::1"}, {"FD00::", "FD00::1"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Generate(c.Words), c.Lines) << c.Words[1];
        EXPECT_EQ(CountOnly(c.Words), c.Lines.size()) << c.Words[1];
    }
    // Random order: a permutation of the distinct addresses.
    const std::vector<std::string> random =
        Generate({"--unique", "--random", "--seed", "11", "10.0.0.0/24", "10.0.0.128/25", "10.0.0.0/26"});
    EXPECT_EQ(random.size(), 256u);
    EXPECT_EQ(std::set<std::string>(random.begin(), random.end()).size(), 256u);
}

// Every N-th looked-up address: a run of lines with one address is one lookup, and
// the shards together ask each address once, in the order of the list.
TEST(RdnsShards, EveryNthAddress) {
    std::vector<THostEntry> hosts;
    std::string input;
    for (int i = 0; i < 30; ++i) {
        const std::string a = "10.98.0." + std::to_string(i);
        hosts.push_back({a, "n" + std::to_string(i) + ".zarvo.test"});
        input += a + "\n";
        if (i % 7 == 0) input += a + ":80\n"; // the same address again: no lookup of its own
        if (i % 9 == 0) input += "no address here\n";
    }
    TDnsmasq dnsmasq(hosts);
    const CliRun whole = Cli({"rdns", "-s", dnsmasq.Server(), "-"}, input);
    ASSERT_EQ(whole.Code, 1) << whole.Err; // the lines without an address
    const std::vector<std::string> all = LinesOf(whole.Out);
    ASSERT_EQ(all.size(), 30u);
    for (uint64_t n : {2u, 4u}) {
        for (uint64_t i = 1; i <= n; ++i) {
            const CliRun r = Cli(
                {"rdns", "-s", dnsmasq.Server(), "--shard", std::to_string(i) + "/" + std::to_string(n), "-"},
                input);
            EXPECT_EQ(r.Code, 1);
            std::vector<std::string> want;
            for (size_t k = i - 1; k < all.size(); k += n) want.push_back(all[k]);
            EXPECT_EQ(LinesOf(r.Out), want) << i << "/" << n;
            EXPECT_NE(r.Err.find(std::to_string(want.size()) + " resolved, 0 unresolved"), std::string::npos)
                << r.Err;
            EXPECT_NE(r.Err.find("no address in 'no address here'"), std::string::npos) << r.Err;
        }
    }
}

TEST(RdnsShards, Words) {
    EXPECT_EQ(cli::ParseRdnsArgs({"--shard", "2/5", "-"}).Shard, (TShard{1, 5}));
    EXPECT_EQ(cli::ParseRdnsArgs({"-"}).Shard, TShard{});
    const CliRun r = Cli({"rdns", "--shard", "6/5", "-"});
    EXPECT_EQ(r.Code, 2);
    EXPECT_NE(r.Err.find("--shard takes I/N"), std::string::npos) << r.Err;
}

} // namespace
} // namespace zarvo::test
