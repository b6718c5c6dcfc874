// Address values: parsing, formatting and the agreement of the three views.
#include <gtest/gtest.h>

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

} // namespace
