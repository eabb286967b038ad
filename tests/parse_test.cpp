// The reading parser must give strtod's double, bit for bit, for any bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "read/power_logs.h"

namespace {

uint64_t bits(double d)
{
    uint64_t u;
    std::memcpy(&u, &d, sizeof u);
    return u;
}

// Parses token as the reading of a line "token\n" and returns the value.
double parse_line(const std::string& token, size_t* consumed = nullptr)
{
    std::string line = token + "\n";
    const char* end = nullptr;
    double value = parse_reading(line.data(), &end);
    if (consumed)
        *consumed = static_cast<size_t>(end - line.data());
    return value;
}

#if defined(ENERGY_TOTALS_WORD_FIELDS)
// The token's first field, the bytes before its first whitespace, parsed
// where its bounds are known, must give strtod's double too: with eight
// readable bytes before its end and without.
void VerifyFieldLikeStrtod(const std::string& token)
{
    std::string field = token.substr(0, token.find_first_of(" \t\n\v\f\r"));
    if (field.empty())
        return;
    double expected = std::strtod(field.c_str(), nullptr);
    std::string line = "12345678" + field + "\n";
    const char* q = line.data() + 8;
    ASSERT_EQ(bits(parse_field(q, field.size(), line.data())), bits(expected))
        << "field \"" << field << "\"";
    ASSERT_EQ(bits(parse_field(q, field.size(), q)), bits(expected)) << "field \"" << field << "\"";
}
#else
void VerifyFieldLikeStrtod(const std::string&) {}
#endif

// The token must parse as strtod parses it as a C string, to the bit, and
// the parse must end where strtod's does.
void VerifyLikeStrtod(const std::string& token)
{
    char* stop = nullptr;
    double expected = std::strtod(token.c_str(), &stop);
    size_t consumed = 0;
    double got = parse_line(token, &consumed);
    ASSERT_EQ(bits(got), bits(expected))
        << "token \"" << token << "\": got " << got << ", strtod gives " << expected;
    if (stop != token.c_str()) {
        ASSERT_EQ(consumed, static_cast<size_t>(stop - token.c_str())) << "token \"" << token << "\"";
    }
    VerifyFieldLikeStrtod(token);
}

void VerifyValue(const std::string& token, double expected)
{
    EXPECT_EQ(bits(parse_line(token)), bits(expected)) << "token \"" << token << "\"";
    VerifyLikeStrtod(token);
}

TEST(ParseReading, Decimals)
{
    VerifyValue("40", 40.0);
    VerifyValue("123.45", 123.45);
    VerifyValue("-7.25", -7.25);
    VerifyValue("+3.5", 3.5);
    VerifyValue("5.", 5.0);
    VerifyValue(".5", 0.5);
    VerifyValue("-.5", -0.5);
    VerifyValue("0.1", 0.1);
    VerifyValue("-0", -0.0);
    VerifyValue("-0.000", -0.0);
    VerifyValue("12W", 12.0);
    VerifyValue("1.5.6", 1.5);
    VerifyValue("9007199254740993", 9007199254740993.0); // above 2^53
    VerifyValue("1234567890123456789", 1234567890123456789.0);
    VerifyValue("0.3", 0.3);
    VerifyValue("2.2250738585072014e-308", 2.2250738585072014e-308);
}

TEST(ParseReading, NoNumber)
{
    VerifyValue("", 0.0);
    VerifyValue("power", 0.0);
    VerifyValue(".", 0.0);
    VerifyValue("-", 0.0);
    VerifyValue("+-1", 0.0);
    VerifyValue("- 1", 0.0);
    VerifyValue(".e5", 0.0);
    VerifyValue("W 12", 0.0);
    VerifyValue("i", 0.0);
    VerifyValue("na", 0.0);
}

TEST(ParseReading, Exponents)
{
    VerifyValue("3.5e1", 35.0);
    VerifyValue("1E3", 1000.0);
    VerifyValue("1e-3", 0.001);
    VerifyValue("1e+3", 1000.0);
    VerifyValue("1e", 1.0);
    VerifyValue("1e+", 1.0);
    VerifyValue("1e-", 1.0);
    VerifyValue("1ex", 1.0);
    VerifyValue("1e+x", 1.0);
    VerifyValue("0e999999999999999999", 0.0);
    VerifyValue("-0e-5", -0.0);
    VerifyValue("1e22", 1e22);
    VerifyValue("1e23", 1e23);
    VerifyValue("123456789e-22", 123456789e-22);
    VerifyValue("1e0000000000000000000000000005", 1e5);
}

TEST(ParseReading, Hexadecimal)
{
    VerifyValue("0x1p3", 8.0);
    VerifyValue("0X1P-2", 0.25);
    VerifyValue("-0x10", -16.0);
    VerifyValue("0x.8", 0.5);
    VerifyValue("0x1.8p1", 3.0);
    VerifyValue("0x", 0.0);
    VerifyValue("0xg", 0.0);
    VerifyValue("0x1p", 1.0);
    VerifyValue("00x1", 0.0);
    VerifyValue("0x1p-1074", 0x1p-1074);
    VerifyValue("0x1p1024", HUGE_VAL);
}

TEST(ParseReading, InfinityAndNan)
{
    VerifyValue("inf", HUGE_VAL);
    VerifyValue("-INF", -HUGE_VAL);
    VerifyValue("Infinity", HUGE_VAL);
    VerifyValue("infinit", HUGE_VAL);
    VerifyLikeStrtod("nan");
    VerifyLikeStrtod("-nan");
    VerifyLikeStrtod("NaN(123)");
    VerifyLikeStrtod("nan(abc_9)x");
    VerifyLikeStrtod("nan(unclosed");
    VerifyLikeStrtod("nan()");
    EXPECT_TRUE(std::isnan(parse_line("nan")));
    EXPECT_TRUE(std::signbit(parse_line("-nan")));
    EXPECT_FALSE(std::signbit(parse_line("+nan")));
}

TEST(ParseReading, OverflowAndUnderflow)
{
    VerifyValue("1e309", HUGE_VAL);
    VerifyValue("-1e400", -HUGE_VAL);
    VerifyValue("1.7976931348623157e308", 1.7976931348623157e308);
    VerifyValue("1e-400", 0.0);
    VerifyValue("-1e-400", -0.0);
    VerifyValue("4.9e-324", 4.9e-324);
    VerifyValue("2.4703282292062328e-324", 4.9e-324); // just over half the least subnormal
    VerifyValue("2.4703282292062327e-324", 0.0);
    VerifyValue("1e-310", 1e-310);
}

TEST(ParseReading, LongDigitStrings)
{
    VerifyLikeStrtod(std::string(400, '9'));
    VerifyLikeStrtod("0." + std::string(400, '0') + "1e400");
    VerifyLikeStrtod(std::string(100000, '1') + "e-99990");
    // Halfway between two doubles, decided only by a digit far out.
    VerifyLikeStrtod("9007199254740993" + std::string(300, '0'));
    VerifyLikeStrtod("9007199254740993" + std::string(300, '0') + "1");
    VerifyLikeStrtod("0.00000000000000000000000000001");
    VerifyLikeStrtod(std::string(30, '0') + "42");
    VerifyLikeStrtod("12345678901234567890"); // 20 digits
    VerifyLikeStrtod("1.00000000000000000000");
}

TEST(ParseReading, WhereTheLineAndStringEnd)
{
    // Blanks before the number are skipped, but not the line's newline.
    EXPECT_EQ(parse_line(" \t\v\f\r12.5"), 12.5);
    EXPECT_EQ(parse_line(" \n5"), 0.0);
    EXPECT_EQ(parse_line("\n"), 0.0);
    // A NUL byte ends the number, as it ends a C string.
    EXPECT_EQ(parse_line(std::string("12\0" "34", 5)), 12.0);
    EXPECT_EQ(parse_line(std::string("\0" "34", 3)), 0.0);
    EXPECT_EQ(parse_line(std::string("1e\0" "5", 4)), 1.0);
    EXPECT_EQ(parse_line(std::string("0x\0" "1", 4)), 0.0);
    EXPECT_EQ(parse_line(std::string("in\0f", 4)), 0.0);
    // Bytes above 127 are no number.
    EXPECT_EQ(parse_line("\xc2\xa0" "5"), 0.0);
}

// Random tokens, biased toward the characters numbers are made of.
TEST(ParseReading, MatchesStrtodOnGeneratedTokens)
{
    std::mt19937_64 rng(20261208);
    const std::string alphabet = "0123456789012345678901234567890123456789..eE+-xXpP"
                                 "aAbcdDfFiInNtTyY()_ \t";
    for (int i = 0; i < 200000; ++i) {
        std::string token;
        size_t length = rng() % 24;
        for (size_t j = 0; j < length; ++j)
            token += alphabet[rng() % alphabet.size()];
        VerifyLikeStrtod(token);
    }
}

// Well-formed decimals across the whole range, the inputs the fast path
// takes, and just beyond where it hands over to strtod.
TEST(ParseReading, MatchesStrtodOnGeneratedDecimals)
{
    std::mt19937_64 rng(42);
    char token[96];
    for (int i = 0; i < 100000; ++i) {
        uint64_t mantissa = rng() >> (rng() % 64);
        int point = static_cast<int>(rng() % 21);
        int exponent = static_cast<int>(rng() % 60) - 30;
        std::string digits = std::to_string(mantissa);
        if (point > 0 && static_cast<size_t>(point) < digits.size()) {
            size_t at = digits.size() - static_cast<size_t>(point);
            digits = digits.substr(0, at) + "." + digits.substr(at);
        }
        const char* sign = (rng() & 1) ? "-" : "";
        if (rng() % 3 == 0)
            std::snprintf(token, sizeof token, "%s%se%d", sign, digits.c_str(), exponent);
        else
            std::snprintf(token, sizeof token, "%s%s", sign, digits.c_str());
        VerifyLikeStrtod(token);
        // Printed doubles round-trip through the same parse.
        double d;
        uint64_t u = rng();
        std::memcpy(&d, &u, sizeof d);
        std::snprintf(token, sizeof token, "%.*g", static_cast<int>(rng() % 18) + 1, d);
        VerifyLikeStrtod(token);
    }
}

// Every shape of a short field of digits, points and a sign, the fields
// the word conversion takes or hands on.
TEST(ParseReading, MatchesStrtodOnShortFields)
{
    std::mt19937_64 rng(8);
    const char alphabet[] = "0123456789012345678.-";
    for (int i = 0; i < 200000; ++i) {
        std::string field;
        size_t length = 1 + rng() % 9;
        for (size_t j = 0; j < length; ++j)
            field += alphabet[rng() % (sizeof alphabet - 1)];
        VerifyFieldLikeStrtod(field);
    }
}

// Numbers longer than the digits a double's rounding can depend on, where
// any digit after them decides: halfway between 0 and the least double,
// and a hair above it.
TEST(ParseReading, LongNumbers)
{
    // 2^-1075 = 5^1075 / 10^1075, its digits worked out here.
    std::string five_power = "1";
    for (int i = 0; i < 1075; ++i) {
        int carry = 0;
        for (size_t j = five_power.size(); j-- > 0;) {
            int d = (five_power[j] - '0') * 5 + carry;
            five_power[j] = static_cast<char>('0' + d % 10);
            carry = d / 10;
        }
        if (carry > 0)
            five_power.insert(five_power.begin(), static_cast<char>('0' + carry));
    }
    std::string half_least = "0." + std::string(1075 - five_power.size(), '0') + five_power;
    std::string zeros(2000, '0');
    for (const std::string& token : std::vector<std::string>{half_least, half_least + zeros, half_least + zeros + "1", "-" + half_least + zeros + "1e0",
          "0x1." + zeros + "p-1075", "0x1." + zeros + "1p-1075", "0x" + zeros + "1" + zeros + "p-8000",
          "0." + zeros + "1e2001", "-" + zeros, "1" + zeros + "e-2000", "1" + zeros + "e+", "9" + zeros + "x",
          zeros + "." + zeros + "5", "1e" + zeros + "7", "nan(123)", "-nan(0x1f)", "nan(0x)", "nan(" + zeros + "9)",
          "nan(" + zeros + "_)", "nan(99999999999999999999999)", "nan(1", "infinit", "-.", "0x.", "0x.p1"})
        VerifyLikeStrtod(token);
}

} // namespace
