#include "mime/DecimalValue.h"

#include <climits>

#include <gtest/gtest.h>

namespace {

struct Case {
    const char* name;
    const char* text;
    int value;
};

class DecimalValueTest : public testing::TestWithParam<Case> {};

TEST_P(DecimalValueTest, ReadsLikeTheRuntime) {
    EXPECT_EQ(DecimalValue(GetParam().text), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, DecimalValueTest,
    testing::Values(Case{"Plain", "12", 12}, Case{"LeadingZeros", "080", 80},
                    Case{"TrailingText", "12ab", 12}, Case{"NoDigits", "abc", 0},
                    Case{"Empty", "", 0}, Case{"Negative", "-5", -5}, Case{"Plus", "+7", 7},
                    Case{"LeadingWhiteSpace", " \t\r\n\v\f42", 42},
                    Case{"SignWithoutDigits", "-", 0}, Case{"SpaceAfterSign", "- 3", 0},
                    Case{"StatReply", " 12 3456\r\n", 12},
                    Case{"Saturates", "99999999999999", INT_MAX},
                    Case{"SaturatesNegative", "-99999999999999", INT_MIN}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
