#include "field_exchange.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

struct UnsignedCase {
    const char* text;
    std::optional<std::uint32_t> expected;
};

void PrintTo(const UnsignedCase& c, std::ostream* out) {
    *out << '"' << c.text << '"';
}

class UnsignedField : public ::testing::TestWithParam<UnsignedCase> {};

TEST_P(UnsignedField, ParsesOrRefuses) {
    EXPECT_EQ(ParseUnsignedField(GetParam().text), GetParam().expected) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, UnsignedField,
    ::testing::Values(UnsignedCase{"4196", 4196U}, UnsignedCase{"  4196 \t", 4196U},
                      UnsignedCase{"\t4196", 4196U}, UnsignedCase{"+4196", 4196U},
                      UnsignedCase{"0", 0U}, UnsignedCase{"  000", 0U},
                      UnsignedCase{"4294967295", 4294967295U},
                      UnsignedCase{"4294967296", 4294967295U},
                      UnsignedCase{"99999999999999999999", 4294967295U},
                      UnsignedCase{"", std::nullopt}, UnsignedCase{"   ", std::nullopt},
                      UnsignedCase{"abc", std::nullopt}, UnsignedCase{"-1", std::nullopt},
                      UnsignedCase{"4196x", std::nullopt}, UnsignedCase{"41 96", std::nullopt},
                      UnsignedCase{"+0", std::nullopt}, UnsignedCase{"+", std::nullopt},
                      UnsignedCase{"0x10", std::nullopt}));

TEST(UnsignedFieldLimit, OnlyTheFirst31CharactersAreRead) {
    const std::string padded = std::string(27, ' ') + "4196";  // 31 characters
    EXPECT_EQ(ParseUnsignedField(padded), 4196U);
    EXPECT_EQ(ParseUnsignedField(padded + "x"), 4196U);  // the 32nd is not looked at
    EXPECT_EQ(ParseUnsignedField(std::string(28, ' ') + "4196"), 419U);
    // Characters, not bytes: 30 two-byte characters then a digit.
    std::string wide;
    for (int n = 0; n < 31; ++n) {
        wide += "\xC2\xA0";
    }
    EXPECT_EQ(ParseUnsignedField(wide + "5"), std::nullopt);
}

TEST(ByteField, TakesZeroTo255) {
    EXPECT_EQ(ParseByteField("255"), 255);
    EXPECT_EQ(ParseByteField(" 0 "), 0);
    EXPECT_EQ(ParseByteField("256"), std::nullopt);
    EXPECT_EQ(ParseByteField("4294967296"), std::nullopt);
    EXPECT_EQ(ParseByteField("-0"), std::nullopt);
    EXPECT_EQ(ParseWordField("65535"), 65535);
    EXPECT_EQ(ParseWordField("65536"), std::nullopt);
    EXPECT_EQ(ParseWordField("4294967296"), std::nullopt);
}

struct FloatCase {
    const char* text;
    std::optional<float> expected;
};

void PrintTo(const FloatCase& c, std::ostream* out) {
    *out << '"' << c.text << '"';
}

class FloatField : public ::testing::TestWithParam<FloatCase> {};

TEST_P(FloatField, ParsesOrRefuses) {
    EXPECT_EQ(ParseFloatField(GetParam().text), GetParam().expected) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, FloatField,
    ::testing::Values(FloatCase{"2.5", 2.5F}, FloatCase{" -2.5 ", -2.5F}, FloatCase{"+1e2", 100.0F},
                      FloatCase{"5.", 5.0F}, FloatCase{".5", 0.5F}, FloatCase{"1E-1", 0.1F},
                      FloatCase{"0", 0.0F}, FloatCase{"0.000", 0.0F}, FloatCase{"1e", std::nullopt},
                      FloatCase{"", std::nullopt}, FloatCase{".", std::nullopt},
                      FloatCase{"-0", std::nullopt}, FloatCase{".0", std::nullopt},
                      FloatCase{"abc", std::nullopt}, FloatCase{"2.5v", std::nullopt},
                      FloatCase{"1e5x", std::nullopt}, FloatCase{"nan", std::nullopt},
                      FloatCase{"inf", std::nullopt}));

TEST(FieldFormat, ShowsSixSignificantDigitsWithoutTrailingZeros) {
    EXPECT_EQ(FormatFloatField(4.9951171875F), "4.99512");
    EXPECT_EQ(FormatFloatField(0.0F), "0");
    EXPECT_EQ(FormatFloatField(2.5F), "2.5");
    EXPECT_EQ(FormatFloatField(319.9951171875F), "319.995");
    EXPECT_EQ(FormatFloatField(1234567.0F), "1.23457e+06");
    EXPECT_EQ(FormatUnsignedField(4294967295U), "4294967295");
}

}  // namespace
