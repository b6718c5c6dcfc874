// Address values: parsing, formatting and the agreement of the three views.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "net/DottedQuad.h"
#include "net/IPTypesX.h"

using namespace zarvo;

namespace {

struct V4Case {
    const char* text;
    bool valid;
    const char* formatted; // when valid
};

const V4Case kV4Cases[] = {
    {"10.0.0.1", true, "10.0.0.1"},
    {"1.2.3", false, nullptr},
    {"", false, nullptr},
    {"1.2.3.4.5", true, "1.2.3.4"},
    {"1..3.4", true, "1.0.3.4"},
    {"1.2.3.x", true, "1.2.3.0"},
    {"300.1.1.1", true, "0.1.1.1"},
    {"-1.1.1.1", true, "0.1.1.1"},
    {" 1.2.3.4", true, "1.2.3.4"},
    {"1.2.3.4 ", true, "1.2.3.0"},
    {"0x0A.0.0.1", true, "10.0.0.1"},
    {"$ff.x10.0X1.+7", true, "255.16.1.7"},
    {"255.255.255.255", true, "255.255.255.255"},
    {"4294967296.1.1.1", true, "0.1.1.1"},
};

TEST(IPv4, ParseAndFormat) {
    for (const auto& c : kV4Cases) {
        SCOPED_TRACE(c.text);
        bool valid = true;
        const TIPv4 ip = ParseIPv4(c.text, false, valid);
        ASSERT_EQ(valid, c.valid);
        if (c.valid) {
            EXPECT_EQ(IPv4ToStr(ip), c.formatted);
            EXPECT_EQ(IPv4ToStr(StrToIPv4(c.text)), c.formatted);
        } else {
            try {
                StrToIPv4(c.text);
                ADD_FAILURE() << "no exception";
            } catch (const EIPv4Error& e) {
                EXPECT_EQ(std::string(e.what()), "'" + std::string(c.text) + "' is not a valid IPv4 address");
            }
        }
    }
}

TEST(IPv4, ViewsAgree) {
    const TIPv4 ip = StrToIPv4("10.20.30.1");
    EXPECT_EQ(ip.A, 10);
    EXPECT_EQ(ip.D, 1);
    EXPECT_EQ(ip.Value, (10u << 24) + (20u << 16) + (30u << 8) + 1u);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(ip.Groups[i], (ip.Value >> (8 * i)) & 0xFF);
    EXPECT_EQ(ip.Groups[3], ip.A);
}

struct V6Case {
    const char* text;
    const char* formatted; // nullptr: not valid
};

const V6Case kV6Cases[] = {
    {"::", "::"},
    {"fe80::1", "FE80::1"},
    {"::1", "::1"},
    {"1::", "1::"},
    {"0001::", "1::"},
    {"1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8"},
    {"1:2:3:4:5:6:7:0", "1:2:3:4:5:6:7::"},
    {"1:2:3:4:5:6:7", nullptr},
    {"1:2:3:4:5:6:7:8:9", "1:2:3:4:5:6:7:8"},
    {"1:2:3:4::5:6:7:8", "1:2:3:4:5:6:7:8"},
    {"2001:db8:0:0:1:0:0:1", "2001:DB8::1:0:0:1"},
    {"1:0:2:0:0:0:0:3", "1::2:0:0:0:0:3"},
    {"0:0:0:0:0:0:0:1", "::1"},
    {"::ffff:192.168.0.1", "::FFFF:C0A8:1"},
    {"garbage::FFFF:10.0.0.1", "::FFFF:A00:1"},
    {"::1.2.3.4", nullptr},
    {"::FFFF:1.2.3.256", nullptr},
    {"::FFFF:1.2.3", nullptr},
    {"::FFFF:1.2.3.x", nullptr},
    {"12345::", nullptr},
    {"g::", nullptr},
    {" 1::", nullptr},
    {"1:::2", nullptr},
    {"1::2::3", nullptr},
    {":1::2", nullptr},
    {"1::2:", nullptr},
    {"1:2:3:4:5:6:7:8::", nullptr},
    {"1::2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8"},
    {"1:2::3:4:5:6:7:8:9", nullptr},
    {"1:2:3:4:5:6:7:-8", nullptr},
    {"1:2:3:4:5:6:7: 8", nullptr},
};

TEST(IPv6, ParseAndFormat) {
    for (const auto& c : kV6Cases) {
        SCOPED_TRACE(c.text);
        bool valid = false;
        const TIPv6 ip = ParseIPv6(c.text, false, valid);
        ASSERT_EQ(valid, c.formatted != nullptr);
        if (valid) {
            EXPECT_EQ(IPv6ToStr(ip), c.formatted);
        } else {
            try {
                StrToIPv6(c.text);
                ADD_FAILURE() << "no exception";
            } catch (const EIPv6Error& e) {
                EXPECT_EQ(std::string(e.what()), "'" + std::string(c.text) + "' is not a valid IPv6 address");
            }
        }
    }
}

TEST(IPv6, ViewsAgree) {
    const TIPv6 ip = StrToIPv6("::ffff:192.168.0.1");
    EXPECT_EQ(ip.F, 0xFFFF);
    EXPECT_EQ(ip.G, 0xC0A8);
    EXPECT_EQ(ip.H, 0x0001);
    EXPECT_EQ(ip.Groups[0], ip.H);
    EXPECT_EQ(ip.Groups[7], ip.A);
    EXPECT_EQ(ip.Values[0], ip.Groups[0] + (static_cast<uint32_t>(ip.Groups[1]) << 16));
    EXPECT_EQ(ip.Values[1], 0xFFFFu);
}

TEST(IPv6, FormatParsesBackToSameValue) {
    // Every formatted text reads back as the same bits, whatever the zero pattern.
    for (uint32_t pattern = 0; pattern < 256; ++pattern) {
        TIPv6 ip{};
        for (int g = 0; g < 8; ++g)
            ip.Groups[g] = (pattern >> g & 1) ? static_cast<uint16_t>(0x1000 * g + 0xA) : 0;
        const std::string text = IPv6ToStr(ip);
        SCOPED_TRACE(text);
        const TIPv6 back = StrToIPv6(text);
        for (int g = 0; g < 8; ++g) EXPECT_EQ(back.Groups[g], ip.Groups[g]);
    }
}

// The strict readings against the C library's inet_pton, which reads the forms of RFC
// 4291 2.2 and refuses a leading zero in a dotted quad; the quick dotted quad against
// both. Each text: valid or not, and the same bits.
void ExpectStrictAsInetPton(const std::string& text) {
    SCOPED_TRACE("'" + text + "'");
    unsigned char want4[4], want6[16];
    const bool pton4 = ::inet_pton(AF_INET, text.c_str(), want4) == 1;
    const bool pton6 = ::inet_pton(AF_INET6, text.c_str(), want6) == 1;
    TIPv4 v4{};
    ASSERT_EQ(TryStrictIPv4(text, v4), pton4);
    if (pton4) {
        EXPECT_EQ(v4.Value,
                  uint32_t{want4[0]} << 24 | uint32_t{want4[1]} << 16 | uint32_t{want4[2]} << 8 | want4[3]);
    }
    TIPv6 v6{};
    ASSERT_EQ(TryStrictIPv6(text, v6), pton6);
    for (int g = 0; pton6 && g < 8; ++g)
        EXPECT_EQ(v6.Groups[7 - g], want6[2 * g] << 8 | want6[2 * g + 1]) << g;
    // The quick reading, with bytes behind the text that could pass for more of it.
    for (const char* behind : {"\n", "0", ".", "5.5.5.5.5.5.5.5.5"}) {
        std::string padded = text + behind;
        padded.resize(std::max(padded.size(), text.size() + kDottedQuadReadAhead), '1');
        uint32_t quick = 0;
        ASSERT_EQ(ReadPaddedDottedQuad(std::string_view(padded.data(), text.size()), quick), pton4) << behind;
        if (pton4) {
            EXPECT_EQ(quick, v4.Value);
        }
    }
}

TEST(StrictAddress, ReadsAsInetPton) {
    const char* const cases[] = {
        "0.0.0.0",
        "255.255.255.255",
        "81.2.69.160",
        "1.2.3.4",
        "01.2.3.4",
        "1.2.3.04",
        "0.0.0.00",
        "00.0.0.0",
        "256.1.1.1",
        "1.2.3.256",
        "1.2.3",
        "1.2.3.4.5",
        "1..2.3",
        "1.2.3.",
        ".1.2.3",
        "1.2.3.x",
        "a.b.c.d",
        "81.2.69.160/32",
        " 1.2.3.4",
        "1.2.3.4 ",
        "0x1.2.3.4",
        "1.2.3.-1",
        "1.2.3.+1",
        "1.2.3.0004",
        "1234.1.1.1",
        "",
        ".",
        "...",
        "::",
        "::1",
        "1::",
        "fe80::1",
        "FE80::1",
        "2001:218::1",
        "2001:0218:0000:0000:0000:0000:0000:0001",
        "1:2:3:4:5:6:7:8",
        "1:2:3:4:5:6:7",
        "1:2:3:4:5:6:7:8:9",
        "1:2:3:4::5:6:7:8",
        "1:2:3:4:5:6:7::",
        "::2:3:4:5:6:7:8",
        "1::2::3",
        "1:::2",
        ":::",
        ":1::",
        "1:",
        ":1",
        "1:2:3:4:5:6:7:8:",
        ":1:2:3:4:5:6:7:8",
        "12345::",
        "00000::",
        "0000::",
        "g::",
        "::g",
        "::ffff:1.2.3.4",
        "::FFFF:81.2.69.160",
        "::1.2.3.4",
        "::ffff:01.2.3.4",
        "::ffff:1.2.3",
        "::ffff:256.1.1.1",
        "1:2:3:4:5:6:1.2.3.4",
        "1:2:3:4:5:6:7:1.2.3.4",
        "1::1.2.3.4",
        "::1:2:3:4:5:6:1.2.3.4",
        "1.2.3.4::",
        "::1.2.3.4:1",
        "::1.2.3.4.5",
        "::.1.2.3",
        "::1..2.3",
        "64:ff9b::192.0.2.33",
        "fe80::1%eth0",
        "[::1]",
        "::1/128",
        " ::1",
        "::1 ",
        "2001:218::1#",
        "1:2:3:4:5:6:7:8/64",
        "::12345.1.1.1",
        "::ab.1.2.3",
        "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255",
    };
    for (const char* text : cases) ExpectStrictAsInetPton(text);
    // Dotted quads of every kind of part.
    const char* const parts[] = {"0",   "00",  "01",  "1",   "9",    "10", "99", "100",
                                 "199", "255", "256", "999", "1000", "",   "x"};
    for (const char* a : parts)
        for (const char* b : parts)
            for (const char* c : {"0", "01", "255", "256", ""})
                for (const char* d : parts)
                    ExpectStrictAsInetPton(std::string(a) + "." + b + "." + c + "." + d);
    // Texts drawn from the characters of addresses, many of them near one.
    std::mt19937 rng(20261211);
    const std::string alphabet = "0123456789abcdefABCDEF.:::..0001/ x";
    for (int k = 0; k < 200000; ++k) {
        std::string text;
        const size_t length = rng() % 24;
        for (size_t i = 0; i < length; ++i) text += alphabet[rng() % alphabet.size()];
        ExpectStrictAsInetPton(text);
        if (HasFailure()) return;
    }
    // Addresses as inet_ntop and IPv6ToStr write them (runs of zero groups, IPv4 tails),
    // and each with one character changed, dropped or doubled.
    for (int k = 0; k < 20000; ++k) {
        unsigned char bytes[16];
        for (int g = 0; g < 8; ++g) {
            const unsigned v = rng() % 3 == 0 ? 0 : rng() % 4 == 0 ? 0xFFFF : rng() & 0xFFFF;
            bytes[2 * g] = static_cast<unsigned char>(v >> 8);
            bytes[2 * g + 1] = static_cast<unsigned char>(v);
        }
        char written[INET6_ADDRSTRLEN];
        ASSERT_NE(::inet_ntop(AF_INET6, bytes, written, sizeof written), nullptr);
        TIPv6 ip{};
        for (int g = 0; g < 8; ++g)
            ip.Groups[7 - g] = static_cast<uint16_t>(bytes[2 * g] << 8 | bytes[2 * g + 1]);
        for (std::string text : {std::string(written), IPv6ToStr(ip)}) {
            ExpectStrictAsInetPton(text);
            const size_t at = rng() % text.size();
            const char c = alphabet[rng() % alphabet.size()];
            ExpectStrictAsInetPton(std::string(text).replace(at, 1, 1, c));
            ExpectStrictAsInetPton(std::string(text).erase(at, 1));
            ExpectStrictAsInetPton(std::string(text).insert(at, 1, text[at]));
        }
        if (HasFailure()) return;
    }
}

TEST(StrictAddress, MessagesAreTheParsers) {
    EXPECT_THROW(StrictStrToIPv4("81.2.69.x"), EIPv4Error);
    try {
        StrictStrToIPv6("1::2::3");
        FAIL();
    } catch (const EIPv6Error& e) {
        EXPECT_STREQ(e.what(), "'1::2::3' is not a valid IPv6 address");
    }
    try {
        StrictStrToIPv4("256.1.1.1");
        FAIL();
    } catch (const EIPv4Error& e) {
        EXPECT_STREQ(e.what(), "'256.1.1.1' is not a valid IPv4 address");
    }
}

// The range box's reading is lenient (a bad IPv4 field reads 0, text after the address is
// passed over); ReadsWhole tells the texts it reads as they stand from those it reads in part.
TEST(RangeBoxAddress, ReadsWholeOnlyWhatItUses) {
    struct Case {
        const char* text;
        bool whole;
    };
    const Case cases[] = {
        {"10.0.0.5", true},         {"10.0.0.0x10", true}, // the integer-text rule: hexadecimal
        {"10. 0.0.5", true},                               // and leading blanks
        {"10.0.0.5 GB", false},     {"10.0.0.300", false},        {"10.0.0.-1", false},
        {"10.0..5", false},         {"10.0.0.5.7", false},        {"host1 10.0.0.1", false},
        {"1:2:3:4:5:6:7:8", true},  {"1:2:3:4:5:6:7:8:9", false}, {"FD00::1", true},
        {"::FFFF:10.0.0.1", true},  {"0:0::ffff:10.0.0.1", true}, {"1::FFFF:10.0.0.1", false},
        {"::FFFFx10.0.0.1", false}, {"::FFFF:10.0.0.1.9", false},
    };
    for (const Case& c : cases) {
        bool valid = false;
        if (std::strchr(c.text, ':'))
            ParseIPv6(c.text, false, valid);
        else
            ParseIPv4(c.text, false, valid);
        // Every case is one the lenient reading takes; whole or not is the question.
        EXPECT_TRUE(valid) << c.text;
        EXPECT_EQ(ReadsWhole(c.text), c.whole) << c.text;
    }
}

} // namespace
