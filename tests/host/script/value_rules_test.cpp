#include "host/script/value_rules.h"

#include <gtest/gtest.h>

#include <string>

namespace kelvra::script {
namespace {

TEST(NumberRule, ReadsLikeTheCLibraryAndNeverFailsLoudly) {
    struct Case {
        std::string value;
        std::uint32_t expected;
    };
    const Case cases[] = {
        {"0X1F", 0x1F},
        {"0x1f", 0x1F},
        {"10x", 0x10},  // holds "0x": read in base 16
        {"ff0x", 0xFF0},
        {"0x", 0},
        {"0xg", 0},
        {"0xFFFFFFFF", 0xFFFFFFFF},
        {"0x100000000", 0},
        {"1234", 1234},
        {"  42", 42},
        {"\t42", 42},
        {"+7", 7},
        {"12abc", 12},
        {"4294967295", 0xFFFFFFFF},
        {"4294967296", 0},
        {std::string(10000, '9'), 0},
        {"abc", 0},
        {"", 0},
        {"-", 0},
        {"-1", 0xFFFFFFFF},
        {"-0x10", 0xFFFFFFF0},
        {"all", 0xFFFFFFFF},
        {"All", 0},
        {"all ", 0},
    };
    for (const auto &c : cases) EXPECT_EQ(ParseNumber(c.value), c.expected) << "[" << c.value << "]";
}

TEST(WordRule, FourWordsAreKnownToEveryWordOption) {
    EXPECT_EQ(ParseWord("true"), 1);
    EXPECT_EQ(ParseWord("uarttousb"), 1);
    EXPECT_EQ(ParseWord("false"), 0);
    EXPECT_EQ(ParseWord("usbtouart"), 0);
    EXPECT_EQ(ParseWord("\"tr\"ue\""), 1);  // every quote is removed
    EXPECT_EQ(ParseWord("TRUE"), -100);
    EXPECT_EQ(ParseWord("1"), -100);
    EXPECT_EQ(ParseWord(""), -100);
    EXPECT_EQ(ParseWord("true "), -100);
}

TEST(DecimalInt32, AcceptsOnlyNumbersThatFit) {
    EXPECT_TRUE(IsDecimalInt32(" -5 "));
    EXPECT_TRUE(IsDecimalInt32("-2147483648"));
    EXPECT_TRUE(IsDecimalInt32("2147483647xyz"));
    EXPECT_FALSE(IsDecimalInt32("2147483648"));
    EXPECT_FALSE(IsDecimalInt32(" -addr "));
    EXPECT_FALSE(IsDecimalInt32("-"));
    EXPECT_FALSE(IsDecimalInt32(" \t-5"));  // only blanks (0x20) may lead
    EXPECT_FALSE(IsDecimalInt32("\n5"));
    EXPECT_FALSE(IsDecimalInt32("   "));
    EXPECT_FALSE(IsDecimalInt32(std::string(5000, '1')));
}

}  // namespace
}  // namespace kelvra::script
