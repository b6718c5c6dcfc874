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
