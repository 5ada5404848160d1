// Number reading by the 32-bit strtoul and strtol rules.
#include "protocol/numbers.h"

#include <gtest/gtest.h>

namespace {

struct UnsignedCase {
    const char* text;
    int base;
    uint32_t value;
    int consumed;    // characters taken, from the start of the text
};

class Unsigned32 : public ::testing::TestWithParam<UnsignedCase> {};

TEST_P(Unsigned32, ReadsValueAndEndPosition)
{
    const UnsignedCase& c = GetParam();
    const char* end = nullptr;
    EXPECT_EQ(ReadUnsigned32(c.text, &end, c.base), c.value);
    EXPECT_EQ(end - c.text, c.consumed);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, Unsigned32,
    ::testing::Values(UnsignedCase{"57", 10, 57, 2}, UnsignedCase{"007x", 10, 7, 3},
                      UnsignedCase{" \t+5", 10, 5, 4}, UnsignedCase{"-5", 10, 4294967291u, 2},
                      UnsignedCase{"4294967295", 10, 4294967295u, 10},
                      UnsignedCase{"4294967296", 10, 4294967295u, 10},
                      UnsignedCase{"-4294967296", 10, 4294967295u, 11},
                      UnsignedCase{"123456789012345678901234", 10, 4294967295u, 24},
                      UnsignedCase{"", 10, 0, 0}, UnsignedCase{"abc", 10, 0, 0}, UnsignedCase{"  -x", 10, 0, 0},
                      UnsignedCase{"+", 10, 0, 0}, UnsignedCase{"1F$", 16, 0x1F, 2},
                      UnsignedCase{"0x1f", 16, 0x1F, 4}, UnsignedCase{"0X", 16, 0, 1},
                      UnsignedCase{"FFFFFFFFF", 16, 0xFFFFFFFFu, 9}, UnsignedCase{"$", 16, 0, 0}));

struct SignedCase {
    const char* text;
    int32_t value;
    int consumed;
};

class Signed32 : public ::testing::TestWithParam<SignedCase> {};

TEST_P(Signed32, ReadsValueAndEndPosition)
{
    const SignedCase& c = GetParam();
    const char* end = nullptr;
    EXPECT_EQ(ReadSigned32(c.text, &end), c.value);
    EXPECT_EQ(end - c.text, c.consumed);
}

INSTANTIATE_TEST_SUITE_P(Rules, Signed32,
                         ::testing::Values(SignedCase{"100,2", 100, 3}, SignedCase{"-1$", -1, 2},
                                           SignedCase{"2147483647", INT32_MAX, 10},
                                           SignedCase{"2147483648", INT32_MAX, 10},
                                           SignedCase{"-2147483648", INT32_MIN, 11},
                                           SignedCase{"-2147483649", INT32_MIN, 11},
                                           SignedCase{"99999999999999999999", INT32_MAX, 20},
                                           SignedCase{"$", 0, 0}, SignedCase{" +7", 7, 3}));

}  // namespace
