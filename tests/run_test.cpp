// Operands 2 and 3 are read as atoi reads them, clamped to 32 bits.
#include <climits>
#include <string>

#include <gtest/gtest.h>

#include "cli/run.h"

namespace {

void VerifyOperand(const std::string& text, int32_t expected)
{
    EXPECT_EQ(parse_operand(text.c_str()), expected) << "operand \"" << text << "\"";
}

TEST(ParseOperand, AsAtoi)
{
    VerifyOperand("1", 1);
    VerifyOperand("01", 1);
    VerifyOperand("+1", 1);
    VerifyOperand("1x", 1);
    VerifyOperand("1.9", 1);
    VerifyOperand(" \t\n\v\f\r1", 1);
    VerifyOperand("-1", -1);
    VerifyOperand("x1", 0);
    VerifyOperand("", 0);
    VerifyOperand("-", 0);
    VerifyOperand("+-1", 0);
    VerifyOperand("- 1", 0);
    VerifyOperand("\xc2\xa0" "1", 0);
    VerifyOperand("12", 12);
}

TEST(ParseOperand, OutOfRangeClamps)
{
    VerifyOperand("2147483647", INT32_MAX);
    VerifyOperand("2147483648", INT32_MAX);
    VerifyOperand("4294967297", INT32_MAX);
    VerifyOperand("99999999999999999999999999", INT32_MAX);
    VerifyOperand("-2147483648", INT32_MIN);
    VerifyOperand("-2147483649", INT32_MIN);
    VerifyOperand("-99999999999999999999999999", INT32_MIN);
    VerifyOperand("00000000000000000000000001", 1);
}

} // namespace
