// The integer-text rule and the other shared text helpers.
#include <gtest/gtest.h>

#include "support/ZarvoText.h"

using namespace zarvo;

TEST(IntegerText, Rule) {
    struct Case {
        const char* text;
        std::optional<int32_t> value;
    };
    const Case cases[] = {
        {"0", 0},
        {"42", 42},
        {"  42", 42},
        {"42 ", std::nullopt},
        {"+7", 7},
        {"-7", -7},
        {"$1F", 31},
        {"x1f", 31},
        {"X10", 16},
        {"0x10", 16},
        {"0X10", 16},
        {"-$10", -16},
        {"007", 7},
        {"", std::nullopt},
        {" ", std::nullopt},
        {"-", std::nullopt},
        {"$", std::nullopt},
        {"0x", std::nullopt},
        {"1.5", std::nullopt},
        {"abc", std::nullopt},
        {"\t5", std::nullopt},
        {"2147483647", 2147483647},
        {"2147483648", std::nullopt},
        {"-2147483648", INT32_MIN},
        {"-2147483649", std::nullopt},
        {"$7FFFFFFF", 2147483647},
        {"$FFFFFFFF", std::nullopt},
        {"99999999999999999999", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("'") + c.text + "'");
        EXPECT_EQ(TryStrToInt(c.text), c.value);
    }
    EXPECT_EQ(StrToIntDef("abc", 10), 10);
    try {
        StrToInt("12a");
        ADD_FAILURE();
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "'12a' is not a valid integer value");
    }
}

TEST(Text, TrimAndCompare) {
    EXPECT_EQ(Trim(" \t\r\n a b \x01"), "a b");
    EXPECT_EQ(Trim("   "), "");
    EXPECT_TRUE(SameText("GeoIP2-City", "geoip2-CITY"));
    EXPECT_FALSE(SameText("abc", "abd"));
    EXPECT_TRUE(EndsWithText("GeoLite2-City", "-city"));
    std::string s = "a#b##";
    ReplaceAll(s, "#", "12");
    EXPECT_EQ(s, "a12b1212");
    EXPECT_EQ(Format("Too many IPs (%d)\r\nMax. IP count: %d", 5, 3), "Too many IPs (5)\r\nMax. IP count: 3");
}

TEST(Text, ByteSizes) {
    const std::pair<uint64_t, const char*> cases[] = {
        {0, "0 bytes"},
        {1023, "1023 bytes"},
        {1024, "1 KB"},
        {1536, "1.5 KB"},
        {(uint64_t{1} << 20) - 1, "1 MB"},
        {uint64_t{3} << 29, "1.5 GB"},
        {(uint64_t{8} << 30) + (uint64_t{1} << 26), "8.1 GB"},
        {UINT64_MAX, "16 EB"},
    };
    for (const auto& [bytes, text] : cases) EXPECT_EQ(FormatByteSize(bytes), text) << bytes;
}
