// Tagged addresses, their bit arithmetic, the growable lists and wildcard masks.
#include <gtest/gtest.h>

#include <set>

#include "net/uIntList.h"
#include "net/uZarvo.h"
#include "support/ZarvoRandom.h"

using namespace zarvo;

namespace {

std::string S(const TIPAddr& a) {
    return IPAddrToStr(a, false);
}

TEST(IPAddr, ParseFormatAndQuadrants) {
    EXPECT_EQ(StrToIPAddr("10.1.2.3").ip_family, IPv4);
    EXPECT_EQ(StrToIPAddr("::1").ip_family, IPv6);
    EXPECT_THROW(StrToIPAddr("1.2.3"), EIPv4Error);
    EXPECT_THROW(StrToIPAddr("1::2::3"), EIPv6Error);
    TIPAddr a;
    EXPECT_FALSE(TryStrToIPAddr("1.2.3", a));
    EXPECT_TRUE(TryStrToIPAddr("1.2.3.4", a));
    EXPECT_EQ(IPAddrToStr(StrToIPAddr("::1"), true), "[::1]");
    EXPECT_EQ(IPAddrToStr(StrToIPAddr("10.0.0.1"), true), "10.0.0.1");

    const TIPAddr v4 = StrToIPAddr("192.168.1.100");
    const char* v4q[] = {"", "192", "168", "1", "100", "", "", "", "", ""};
    for (int n = 0; n <= 9; ++n) EXPECT_EQ(IPAddrQuadrant(v4, n), v4q[n]) << n;
    const TIPAddr v6 = StrToIPAddr("2001:DB8::ABCD:1");
    const char* v6q[] = {"", "2001", "db8", "0", "0", "0", "0", "abcd", "1", ""};
    for (int n = 0; n <= 9; ++n) EXPECT_EQ(IPAddrQuadrant(v6, n), v6q[n]) << n;
}

TEST(IPAddr, Masks) {
    struct Case {
        TIPAddrFamily family;
        int net, host;
        const char* mask;
    };
    const Case cases[] = {
        {IPv4, 16, 24, "255.255.0.255"},
        {IPv4, 24, 32, "255.255.255.0"},
        {IPv4, 8, 8, "255.255.255.255"},
        {IPv4, 0, 32, "0.0.0.0"},
        {IPv4, 0, 0, "255.255.255.255"},
        {IPv4, 40, 40, "255.255.255.255"},
        {IPv4, 1, 31, "128.0.0.1"},
        {IPv6, 48, 60, "FFFF:FFFF:FFFF:F:FFFF:FFFF:FFFF:FFFF"},
        {IPv6, 120, 128, "FFFF:FFFF:FFFF:FFFF:FFFF:FFFF:FFFF:FF00"},
        {IPv6, 0, 128, "::"},
        {IPv6, 1, 127, "8000::1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mask);
        EXPECT_EQ(S(MakeIPAddrMask(c.family, c.net, c.host)), c.mask);
    }
}

TEST(IPAddr, AddBitCarriesAndWraps) {
    struct Case {
        const char* from;
        int bit;
        const char* to;
    };
    const Case cases[] = {
        {"255.255.255.255", 0, "0.0.0.0"},
        {"10.0.0.255", 0, "10.0.1.0"},
        {"10.255.0.0", 16, "11.0.0.0"},
        {"1.2.3.4", 32, "1.2.3.5"}, // bit mod 32
        {"FFFF:FFFF:FFFF:FFFF:FFFF:FFFF:FFFF:FFFF", 0, "::"},
        {"::FFFF", 0, "::1:0"},
        {"0:0:0:FFFF:FFFF:FFFF:FFFF:FFFF", 0, "::1:0:0:0:0:0"},
        {"::", 127, "8000::"},
        {"8000::", 127, "::"},
        {"::5", 128, "::5"},
        {"::5", 200, "::5"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.from) + " + 2^" + std::to_string(c.bit));
        TIPAddr a = StrToIPAddr(c.from);
        IPAddrAddBit(a, c.bit);
        EXPECT_EQ(S(a), c.to);
    }
}

TEST(IPAddr, BitOperationsRespectFamilies) {
    TIPAddr a = StrToIPAddr("10.1.2.3");
    IPAddrAnd(a, StrToIPAddr("::"));
    EXPECT_EQ(S(a), "10.1.2.3");
    IPAddrOr(a, StrToIPAddr("::1"));
    EXPECT_EQ(S(a), "10.1.2.3");
    IPAddrAnd(a, StrToIPAddr("255.255.0.0"));
    EXPECT_EQ(S(a), "10.1.0.0");
    IPAddrNot(a);
    EXPECT_EQ(S(a), "245.254.255.255");
    TIPAddr b = StrToIPAddr("FFFF::1");
    IPAddrNot(b);
    EXPECT_EQ(S(b), "::FFFF:FFFF:FFFF:FFFF:FFFF:FFFF:FFFE");
    const TIPAddr m = StrToIPAddr("255.255.255.0");
    EXPECT_TRUE(IPAddrMaskedEqual(StrToIPAddr("10.0.0.1"), StrToIPAddr("10.0.0.99"), m));
    EXPECT_FALSE(IPAddrMaskedEqual(StrToIPAddr("10.0.1.1"), StrToIPAddr("10.0.0.99"), m));
    EXPECT_FALSE(IPAddrMaskedEqual(StrToIPAddr("10.0.0.1"), StrToIPAddr("::"), m));
    EXPECT_FALSE(IPAddrEqual(StrToIPAddr("0.0.0.0"), StrToIPAddr("::")));
}

TEST(IPAddr, RandomBitsOnlySetBitsInTheirField) {
    RandomSeed(7);
    uint32_t seenOr = 0, seenAnd = 0xFFFFFFFF;
    for (int i = 0; i < 2000; ++i) {
        TIPAddr a = StrToIPAddr("10.0.0.1");
        IPAddrRandomBits(a, 4, 8); // bits 4..11
        seenOr |= a.IPv4.Value;
        seenAnd &= a.IPv4.Value;
    }
    EXPECT_EQ(seenOr, StrToIPv4("10.0.15.241").Value); // every field bit reached, nothing outside
    EXPECT_EQ(seenAnd, StrToIPv4("10.0.0.1").Value);   // the typed 1 bits stay set

    TIPAddr top = StrToIPAddr("::");
    for (int i = 0; i < 64; ++i) IPAddrRandomBits(top, 120, 20); // clipped at bit 127
    EXPECT_EQ(S(top), "FF00::");
    TIPAddr none = StrToIPAddr("1.2.3.4");
    IPAddrRandomBits(none, 0, 0);
    IPAddrRandomBits(none, 32, 5);
    EXPECT_EQ(S(none), "1.2.3.4");
}

TEST(Random, BoundedDrawsAreUniform) {
    RandomSeed(12345);
    // 3 does not divide 2^64: a modulo draw would favour 0 (negligibly here, but
    // the counts must also reach the top value as often as the bottom one).
    const int n = 3, draws = 300000;
    int counts[n] = {};
    for (int i = 0; i < draws; ++i) ++counts[RandomBelow(n)];
    for (int c : counts) EXPECT_NEAR(c, draws / n, draws / n / 50);
    for (uint64_t bound : {1ull, 2ull, 1000ull, (1ull << 63) + 1})
        for (int i = 0; i < 1000; ++i) ASSERT_LT(RandomBelow(bound), bound);
}

TEST(Lists, GrowthRuleAndIndexErrors) {
    TIPAddrList list;
    std::vector<int32_t> caps;
    for (int i = 0; i < 77; ++i) {
        list.Add(StrToIPAddr("1.1.1.1"));
        if (caps.empty() || caps.back() != list.Capacity()) caps.push_back(list.Capacity());
    }
    EXPECT_EQ(caps, (std::vector<int32_t>{4, 8, 12, 28, 44, 60, 76, 95}));

    TIntList ints;
    ints.SetCapacity(100);
    for (int i = 0; i < 101; ++i) ints.Add(i);
    EXPECT_EQ(ints.Capacity(), 125);
    EXPECT_EQ(ints[100], 100);
    ints.Insert(0, -1);
    EXPECT_EQ(ints[0], -1);
    EXPECT_EQ(ints[1], 0);
    ints.Delete(0);
    EXPECT_EQ(ints[0], 0);
    try {
        ints.GetValue(101);
        ADD_FAILURE();
    } catch (const EIntListError& e) {
        EXPECT_STREQ(e.what(), "List index out of bounds (101)");
    }
    EXPECT_THROW(ints.Insert(103, 1), EIntListError);
    EXPECT_THROW(list.Delete(-1), EIPAddrListError);
    try {
        ints.SetCapacity(3);
        ADD_FAILURE();
    } catch (const EIntListError& e) {
        EXPECT_STREQ(e.what(), "List capacity out of bounds (3)");
    }
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.Capacity(), 0);
}

TEST(Mask, Matching) {
    struct Case {
        const char* mask;
        const char* text;
        bool match;
    };
    const Case cases[] = {
        {"*.0", "10.0.0.0", true},
        {"*.0", "10.0.0.10", false},
        {"10.0.0.?", "10.0.0.7", true},
        {"10.0.0.?", "10.0.0.17", false},
        {"*:ff", "2001:DB8::FF", true},
        {"*:FF", "2001:db8::ff", true},
        {"10.*.*.1", "10.20.30.1", true},
        {"10.*.*.1", "10.20.30.11", false},
        {"*", "", true},
        {"*?", "", true}, // a "?" right behind "*" is dropped
        {"?", "", false},
        {"*1*", "10.0.0.0", true},
        {"10.0.0.[0-4]", "10.0.0.3", true},
        {"10.0.0.[0-4]", "10.0.0.5", false},
        {"10.0.0.[!0-4]", "10.0.0.5", true},
        {"10.0.0.[!0-4]", "10.0.0.", false},
        {"[a-c]*", "B::1", true},
        {"[AC]*", "b::1", false},
        {"*.25[0-5]", "10.0.0.255", true},
        {"*.25[0-5]", "10.0.0.25", false},
        {"***.0", "1.1.1.0", true},
        {"1*1*1", "1.1", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.mask) + " ~ " + c.text);
        EXPECT_EQ(TMask(c.mask).Matches(c.text), c.match);
    }
}

TEST(Mask, CompileErrors) {
    struct Case {
        std::string mask;
        int pos;
    };
    std::string thirtyOne, thirty;
    for (int i = 0; i < 31; ++i) thirtyOne += "*a";
    for (int i = 0; i < 30; ++i) thirty += "*a";
    const Case cases[] = {
        {"[", 2}, {"[]", 2}, {"a[-b]", 3}, {"[abc", 5}, {"[a-", 4}, {"1.[!]", 5}, {thirtyOne, 62},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mask);
        try {
            TMask m(c.mask);
            ADD_FAILURE() << "compiled";
        } catch (const Exception& e) {
            EXPECT_EQ(std::string(e.what()),
                      "'" + c.mask + "' is an invalid mask at (" + std::to_string(c.pos) + ")");
        }
    }
    EXPECT_NO_THROW(TMask m(thirty));
    EXPECT_NO_THROW(TMask m("*****a")); // consecutive stars count once

    TExcludeList list;
    list.Add("*.0");
    list.Add("*.255");
    EXPECT_EQ(list.Count(), 2);
    EXPECT_TRUE(list.Excludes("10.0.0.255"));
    EXPECT_FALSE(list.Excludes("10.0.0.1"));
    EXPECT_TRUE(list.GetExcludeMask(0).Matches("1.1.1.0"));
}

} // namespace
