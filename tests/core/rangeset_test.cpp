// The range sets (net/RangeSet.h): intervals merged, subtracted and intersected, the
// fewest CIDR blocks, exact counts, the lines they are read from.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "net/RangeSet.h"

namespace zarvo {
namespace {

TUInt128 V6(const char* text) {
    return IPv6ToUInt128(StrictStrToIPv6(text));
}
uint32_t V4(const char* text) {
    return StrictStrToIPv4(text).Value;
}

std::vector<std::string> Blocks4(uint32_t low, uint32_t high) {
    std::vector<std::string> r;
    ForEachBlock(low, high, [&r](uint32_t start, int prefix) {
        r.push_back(IPv4ToStr(MakeIPv4(start)) + "/" + std::to_string(prefix));
    });
    return r;
}

std::vector<std::string> Blocks6(TUInt128 low, TUInt128 high) {
    std::vector<std::string> r;
    ForEachBlock(low, high, [&r](TUInt128 start, int prefix) {
        r.push_back(IPv6ToCanonicalStr(start) + "/" + std::to_string(prefix));
    });
    return r;
}

TEST(RangeSet, FewestBlocksOfAnIPv4Range) {
    struct Case {
        const char *Low, *High;
        std::vector<std::string> Blocks;
    };
    const std::vector<Case> cases = {
        {"10.0.0.1", "10.0.0.1", {"10.0.0.1/32"}},
        {"10.0.0.0", "10.0.0.255", {"10.0.0.0/24"}},
        {"10.0.0.1", "10.0.0.6", {"10.0.0.1/32", "10.0.0.2/31", "10.0.0.4/31", "10.0.0.6/32"}},
        {"0.0.0.0", "255.255.255.255", {"0.0.0.0/0"}},
        {"0.0.0.0",
         "255.255.255.254",
         {"0.0.0.0/1",          "128.0.0.0/2",        "192.0.0.0/3",        "224.0.0.0/4",
          "240.0.0.0/5",        "248.0.0.0/6",        "252.0.0.0/7",        "254.0.0.0/8",
          "255.0.0.0/9",        "255.128.0.0/10",     "255.192.0.0/11",     "255.224.0.0/12",
          "255.240.0.0/13",     "255.248.0.0/14",     "255.252.0.0/15",     "255.254.0.0/16",
          "255.255.0.0/17",     "255.255.128.0/18",   "255.255.192.0/19",   "255.255.224.0/20",
          "255.255.240.0/21",   "255.255.248.0/22",   "255.255.252.0/23",   "255.255.254.0/24",
          "255.255.255.0/25",   "255.255.255.128/26", "255.255.255.192/27", "255.255.255.224/28",
          "255.255.255.240/29", "255.255.255.248/30", "255.255.255.252/31", "255.255.255.254/32"}},
        {"255.255.255.255", "255.255.255.255", {"255.255.255.255/32"}},
        {"128.0.0.0", "255.255.255.255", {"128.0.0.0/1"}},
        {"0.0.0.1", "255.255.255.255", {}}, // 32 blocks; counted below
    };
    for (const Case& c : cases) {
        const auto got = Blocks4(V4(c.Low), V4(c.High));
        if (c.Blocks.empty())
            EXPECT_EQ(got.size(), 32u) << c.Low;
        else
            EXPECT_EQ(got, c.Blocks) << c.Low << "-" << c.High;
    }
}

TEST(RangeSet, FewestBlocksOfAnIPv6Range) {
    EXPECT_EQ(Blocks6(0, ~TUInt128{0}), std::vector<std::string>{"::/0"});
    EXPECT_EQ(Blocks6(V6("fd00::"), V6("fd00:0:ffff:ffff:ffff:ffff:ffff:ffff")),
              std::vector<std::string>{"fd00::/32"});
    EXPECT_EQ(Blocks6(V6("::1"), V6("::2")), (std::vector<std::string>{"::1/128", "::2/128"}));
    EXPECT_EQ(Blocks6(~TUInt128{0}, ~TUInt128{0}),
              std::vector<std::string>{"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff/128"});
    EXPECT_EQ(Blocks6(1, ~TUInt128{0}).size(), 128u);
    EXPECT_EQ(Blocks6(V6("8000::"), ~TUInt128{0}), std::vector<std::string>{"8000::/1"});
}

TEST(RangeSet, CanonicalIPv6Text) {
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"0:0:0:0:0:0:0:0", "::"},
        {"0:0:0:0:0:0:0:1", "::1"},
        {"FD00:0:0:0:0:0:0:0", "fd00::"},
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},    // the first of two runs as long
        {"2001:0:0:1:0:0:0:1", "2001:0:0:1::1"},          // the longer run
        {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"}, // one zero group stays "0"
        {"1:0:0:0:0:0:0:0", "1::"},
        {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
        {"::ffff:1.2.3.4", "::ffff:102:304"},
    };
    for (const auto& [in, want] : cases) EXPECT_EQ(IPv6ToCanonicalStr(V6(in)), want) << in;
}

TEST(RangeSet, NormalizeMergesOverlappingAndTouching) {
    struct Case {
        std::vector<TInterval<uint32_t>> In, Want;
    };
    const uint32_t top = 0xFFFFFFFF;
    const std::vector<Case> cases = {
        {{}, {}},
        {{{5, 9}, {1, 3}}, {{1, 3}, {5, 9}}},
        {{{5, 9}, {1, 4}}, {{1, 9}}},             // touching
        {{{1, 10}, {2, 3}, {4, 12}}, {{1, 12}}},  // inside, then overlapping
        {{{7, 7}, {7, 7}, {8, 8}}, {{7, 8}}},     // twice
        {{{top, top}, {0, top - 1}}, {{0, top}}}, // the top does not wrap
        {{{top - 1, top}, {top, top}}, {{top - 1, top}}},
        {{{0, 0}, {2, 2}}, {{0, 0}, {2, 2}}},
    };
    for (const Case& c : cases) {
        TIPv4Set s;
        for (const auto& i : c.In) s.Add(i.Low, i.High);
        s.Normalize();
        EXPECT_EQ(s.Items(), c.Want);
    }
}

TEST(RangeSet, LargeSetsSortAsSmallOnesDo) {
    // Past the size where the radix sort takes over, against a plain sort.
    std::mt19937 rng(7);
    TIPv4Set s;
    std::vector<uint32_t> values(20000);
    for (auto& v : values) {
        v = static_cast<uint32_t>(rng()) & 0xFFFFF;
        s.Add(v, v);
    }
    s.Normalize();
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
    size_t covered = 0;
    for (const auto& i : s.Items()) covered += i.High - i.Low + 1;
    EXPECT_EQ(covered, values.size());
    for (uint32_t v : values) EXPECT_TRUE(s.Contains(v));
    for (size_t k = 1; k < s.Items().size(); ++k) EXPECT_GT(s.Items()[k].Low, s.Items()[k - 1].High + 1);
}

TIPv4Set Set4(std::vector<TInterval<uint32_t>> items) {
    TIPv4Set s;
    for (const auto& i : items) s.Add(i.Low, i.High);
    s.Normalize();
    return s;
}

TEST(RangeSet, SubtractAndIntersect) {
    struct Case {
        std::vector<TInterval<uint32_t>> A, B, Minus, Common;
    };
    const uint32_t top = 0xFFFFFFFF;
    const std::vector<Case> cases = {
        {{{0, 10}}, {}, {{0, 10}}, {}},
        {{}, {{0, 10}}, {}, {}},
        {{{0, 10}}, {{3, 4}}, {{0, 2}, {5, 10}}, {{3, 4}}},
        {{{0, 10}}, {{0, 10}}, {}, {{0, 10}}},
        {{{5, 10}}, {{0, 6}, {9, 20}}, {{7, 8}}, {{5, 6}, {9, 10}}},
        {{{0, 3}, {6, 9}}, {{2, 7}}, {{0, 1}, {8, 9}}, {{2, 3}, {6, 7}}},
        {{{0, 3}, {6, 9}, {20, 30}}, {{4, 5}, {25, 40}}, {{0, 3}, {6, 9}, {20, 24}}, {{25, 30}}},
        {{{0, top}}, {{0, 0}, {top, top}}, {{1, top - 1}}, {{0, 0}, {top, top}}},
        {{{1, 2}, {4, 5}, {7, 8}}, {{0, top}}, {}, {{1, 2}, {4, 5}, {7, 8}}},
        // One interval of B over several of A, then on into the next.
        {{{1, 2}, {4, 5}, {7, 8}}, {{2, 7}}, {{1, 1}, {8, 8}}, {{2, 2}, {4, 5}, {7, 7}}},
    };
    for (size_t k = 0; k < cases.size(); ++k) {
        const Case& c = cases[k];
        const TIPv4Set a = Set4(c.A), b = Set4(c.B);
        EXPECT_EQ(TIPv4Set::Subtract(a, b).Items(), c.Minus) << "case " << k;
        EXPECT_EQ(TIPv4Set::Intersect(a, b).Items(), c.Common) << "case " << k;
        EXPECT_EQ(TIPv4Set::Intersect(b, a).Items(), c.Common) << "case " << k;
        // A = (A - B) + (A & B)
        EXPECT_EQ(TIPv4Set::Union(TIPv4Set::Subtract(a, b), TIPv4Set::Intersect(a, b)).Items(), a.Items())
            << "case " << k;
    }
}

TEST(RangeSet, CountsAreExact) {
    struct Case {
        std::vector<const char*> Lines;
        const char* Count;
    };
    const std::vector<Case> cases = {
        {{}, "0"},
        {{"10.0.0.1"}, "1"},
        {{"10.0.0.0/24", "10.0.0.128/25"}, "256"},
        {{"0.0.0.0/0"}, "4294967296"},
        {{"::/0"}, "340282366920938463463374607431768211456"},
        {{"::/0", "0.0.0.0/0"}, "340282366920938463463374607436063178752"},
        {{"::/1", "8000::/1"}, "340282366920938463463374607431768211456"},
        {{"fd00::/64"}, "18446744073709551616"},
        {{"::-ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe"}, "340282366920938463463374607431768211455"},
    };
    for (const Case& c : cases) {
        TRangeSet s;
        for (const char* line : c.Lines) {
            TAddressRange r;
            ASSERT_EQ(ParseRangeLine(line, r), TListLine::Range) << line;
            AddRange(s, r);
        }
        s.Normalize();
        EXPECT_EQ(s.Count().ToString(), c.Count);
    }
}

TEST(RangeSet, Lines) {
    struct Case {
        const char* Line;
        TListLine Kind;
        const char *Low = "", *High = "";
    };
    const std::vector<Case> cases = {
        {"", TListLine::Blank},
        {"  \t\r", TListLine::Blank},
        {"# a comment", TListLine::Blank},
        {"   # indented", TListLine::Blank},
        {"10.0.0.1", TListLine::Range, "10.0.0.1", "10.0.0.1"},
        {" 10.0.0.1 # the gateway", TListLine::Range, "10.0.0.1", "10.0.0.1"},
        {"10.0.0.0/8", TListLine::Range, "10.0.0.0", "10.255.255.255"},
        {"10.1.2.3/8", TListLine::Range, "10.0.0.0", "10.255.255.255"},
        {"10.0.0.0/32", TListLine::Range, "10.0.0.0", "10.0.0.0"},
        {"1.2.3.4/0", TListLine::Range, "0.0.0.0", "255.255.255.255"},
        {"10.0.0.5-10.0.0.9", TListLine::Range, "10.0.0.5", "10.0.0.9"},
        {"10.0.0.5 - 10.0.0.9", TListLine::Range, "10.0.0.5", "10.0.0.9"},
        {"10.0.0.5-10.0.0.5", TListLine::Range, "10.0.0.5", "10.0.0.5"},
        {"fd00::1", TListLine::Range, "fd00::1", "fd00::1"},
        {"FD00::/16", TListLine::Range, "fd00::", "fd00:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
        {"::/0", TListLine::Range, "::", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
        {"fd00::1-fd00::2", TListLine::Range, "fd00::1", "fd00::2"},
        {"::ffff:10.0.0.1", TListLine::Range, "::ffff:10.0.0.1", "::ffff:10.0.0.1"},
        {"10.0.0.1/33", TListLine::Bad},
        {"10.0.0.1/", TListLine::Bad},
        {"10.0.0.1/-1", TListLine::Bad},
        {"10.0.0.1/ 8x", TListLine::Bad},
        {"10.0.0.1/0x8", TListLine::Bad},
        {"fd00::/129", TListLine::Bad},
        {"10.0.0.9-10.0.0.5", TListLine::Bad}, // backwards
        {"10.0.0.1-fd00::1", TListLine::Bad},  // two families
        {"10.0.0.1-", TListLine::Bad},
        {"10.0.0.0/8-10.0.0.1", TListLine::Bad},
        {"10.0.0.256", TListLine::Bad},
        {"10.0.0", TListLine::Bad},
        {"010.0.0.1", TListLine::Bad},
        {"10.0.0.1:80", TListLine::Bad},
        {"[fd00::1]", TListLine::Bad},
        {"fd00::1%eth0", TListLine::Bad},
        {"host.example", TListLine::Bad},
        {"10.0.0.1 10.0.0.2", TListLine::Bad},
    };
    for (const Case& c : cases) {
        TAddressRange r;
        ASSERT_EQ(ParseRangeLine(c.Line, r), c.Kind) << c.Line;
        if (c.Kind != TListLine::Range) continue;
        const bool v6 = std::string_view(c.Low).find(':') != std::string_view::npos;
        EXPECT_EQ(r.Family, v6 ? zarvo::IPv6 : zarvo::IPv4) << c.Line;
        EXPECT_TRUE(r.Low == (v6 ? V6(c.Low) : V4(c.Low))) << c.Line;
        EXPECT_TRUE(r.High == (v6 ? V6(c.High) : V4(c.High))) << c.Line;
    }
}

} // namespace
} // namespace zarvo
