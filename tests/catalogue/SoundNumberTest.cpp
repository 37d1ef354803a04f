#include "SoundNumber.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

struct ParseCase {
    std::string text;
    std::int32_t expected;
};

class ParseSoundNumberTest : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseSoundNumberTest, ReadsHexadecimal) {
    EXPECT_EQ(ParseSoundNumber(GetParam().text), GetParam().expected) << "text: \"" << GetParam().text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseSoundNumberTest,
    testing::Values(
        // As typed or stored.
        ParseCase{"", 0}, ParseCase{"10", 0x10}, ParseCase{"1f", 31}, ParseCase{"1F", 31}, ParseCase{"0x1f", 31},
        ParseCase{"0X1F", 31}, ParseCase{"0x01f4", 0x1F4}, ParseCase{"fffe", 0xFFFE}, ParseCase{"aBcD", 0xABCD},
        ParseCase{"-0x1f", -31}, ParseCase{"-1", -1}, ParseCase{"-2", -2}, ParseCase{"-0X2", -2},
        // Trailing text and what ends a number.
        ParseCase{"12g4", 0x12}, ParseCase{"12 ", 0x12}, ParseCase{"1f\r\n", 31},
        ParseCase{std::string("12\0003", 4), 0x12}, ParseCase{"12\x80", 0x12},
        ParseCase{"1\xFF"
                  "2",
                  1},
        ParseCase{"\xE3\x81\x82", 0}, ParseCase{"0x\xB1", 0},
        // No digit where one is required.
        ParseCase{" 12", 0}, ParseCase{"0x", 0}, ParseCase{"0X", 0}, ParseCase{"x1", 0}, ParseCase{"0x-5", 0},
        ParseCase{"-", 0}, ParseCase{"--5", 0}, ParseCase{"-x5", 0}, ParseCase{"+5", 0}, ParseCase{"g", 0},
        // One prefix only, and only after the sign.
        ParseCase{"0x0x5", 0}, ParseCase{"0-5", 0}, ParseCase{"00x5", 0}, ParseCase{"0", 0}, ParseCase{"-0", 0},
        ParseCase{"0xg", 0},
        // 32-bit two's-complement wrap-around: of more than eight digits the last eight count.
        ParseCase{"123456789", 0x23456789}, ParseCase{"ffffffff", -1}, ParseCase{"7fffffff", 0x7FFFFFFF},
        ParseCase{"80000000", INT32_MIN}, ParseCase{"-80000000", INT32_MIN}, ParseCase{"-7fffffff", -0x7FFFFFFF},
        ParseCase{"-ffffffff", 1}, ParseCase{"100000000", 0}, ParseCase{"1000000000001", 1},
        ParseCase{"-123456789", -0x23456789}, ParseCase{"0x10001", 0x10001}, ParseCase{"ffffffffffffffffffff", -1}));

TEST(FormatSoundNumberTest, FourLowerCaseDigits) {
    const struct {
        std::uint16_t number;
        const char* text;
    } cases[] = {{0x0000, "0000"}, {0x0001, "0001"}, {0x00AB, "00ab"}, {0x01F4, "01f4"},
                 {0xABCD, "abcd"}, {0xFFFE, "fffe"}, {0xFFFF, "ffff"}, {0x1000, "1000"}};
    for (const auto& c : cases) {
        EXPECT_EQ(FormatSoundNumber(c.number), c.text);
    }
}

TEST(FormatSoundNumberTest, ParseReadsEveryFormattedNumberBack) {
    for (std::uint32_t n = 0; n <= 0xFFFF; ++n) {
        const std::string text = FormatSoundNumber(static_cast<std::uint16_t>(n));
        ASSERT_EQ(ParseSoundNumber(text), static_cast<std::int32_t>(n)) << text;
        ASSERT_EQ(ParseSoundNumber("0x" + text), static_cast<std::int32_t>(n)) << text;
    }
}
