#include "mime/Codepage.h"

#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace {

std::string RowName(const char* name) {
    return name;
}

struct RoundTrip {
    const char* name;
    std::string_view utf8;
    std::string_view cp932;
};

class CodepageRoundTripTest : public testing::TestWithParam<RoundTrip> {};

TEST_P(CodepageRoundTripTest, BothWays) {
    EXPECT_EQ(Utf8ToCp932(GetParam().utf8), std::string(GetParam().cp932));
    EXPECT_EQ(Cp932ToUtf8(GetParam().cp932), std::string(GetParam().utf8));
    EXPECT_EQ(Cp932ToUtf8Lossy(GetParam().cp932), GetParam().utf8);
}

// The rows marked CP932 are where code page 932 differs from plain Shift_JIS.
INSTANTIATE_TEST_SUITE_P(
    Texts, CodepageRoundTripTest,
    testing::Values(RoundTrip{"Empty", "", ""},
                    RoundTrip{"Ascii", "Subject: hi\r\n", "Subject: hi\r\n"},
                    RoundTrip{"Hiragana", "こんにちは", "\x82\xB1\x82\xF1\x82\xC9\x82\xBF\x82\xCD"},
                    RoundTrip{"HalfWidthKatakana", "ｱ", "\xB1"},
                    RoundTrip{"FullWidthTildeCp932", "～", "\x81\x60"},
                    RoundTrip{"FullWidthMinusCp932", "－", "\x81\x7C"},
                    RoundTrip{"CircledDigitCp932", "①", "\x87\x40"},
                    RoundTrip{"NotSignCp932", "￢", "\x81\xCA"},
                    RoundTrip{"IbmExtensionCp932", "髙", "\xFB\xFC"},
                    RoundTrip{"FontName", "ＭＳ Ｐゴシック",
                              "\x82\x6C\x82\x72\x20\x82\x6F\x83\x53\x83\x56\x83\x62\x83\x4E"}),
    [](const testing::TestParamInfo<RoundTrip>& info) { return RowName(info.param.name); });

TEST(CodepageTest, LongTextRoundTrips) {
    std::string utf8;
    std::string cp932;
    for (int i = 0; i < 10000; ++i) {
        utf8 += "あa";
        cp932 +=
            "\x82\xA0"
            "a";
    }
    EXPECT_EQ(Utf8ToCp932(utf8), cp932);
    EXPECT_EQ(Cp932ToUtf8(cp932), utf8);
    EXPECT_EQ(Cp932ToUtf8Lossy(cp932), utf8);
}

struct Refusal {
    const char* name;
    std::string_view input;
};

class Cp932RefusalTest : public testing::TestWithParam<Refusal> {};

TEST_P(Cp932RefusalTest, IsRefused) {
    EXPECT_EQ(Cp932ToUtf8(GetParam().input), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, Cp932RefusalTest,
    testing::Values(Refusal{"LoneLeadByte", "\x81"}, Refusal{"LeadByteAtEnd", "abc\x82"},
                    Refusal{"LeadByteBeforeSpace", "\x81 x"}, Refusal{"UnassignedPair", "\x85\x40"},
                    Refusal{"ByteWithoutCharacter", "a\x80"}),
    [](const testing::TestParamInfo<Refusal>& info) { return RowName(info.param.name); });

class Utf8RefusalTest : public testing::TestWithParam<Refusal> {};

TEST_P(Utf8RefusalTest, IsRefused) {
    EXPECT_EQ(Utf8ToCp932(GetParam().input), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Texts, Utf8RefusalTest,
                         testing::Values(Refusal{"Emoji", "a😀"}, Refusal{"Hangul", "한"},
                                         Refusal{"InvalidByte", "a\xFF"},
                                         Refusal{"CutSequence", "a\xE3\x81"},
                                         Refusal{"Overlong", "\xC0\xAF"}),
                         [](const testing::TestParamInfo<Refusal>& info) {
                             return RowName(info.param.name);
                         });

struct Lossy {
    const char* name;
    std::string_view cp932;
    std::string_view utf8;
};

class LossyTest : public testing::TestWithParam<Lossy> {};

TEST_P(LossyTest, ReplacesWhatDoesNotConvert) {
    EXPECT_EQ(Cp932ToUtf8Lossy(GetParam().cp932), GetParam().utf8);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, LossyTest,
    testing::Values(Lossy{"LoneLeadByte", "\x81", "\uFFFD"},
                    Lossy{"LeadByteAtEnd", "a\x82", "a\uFFFD"},
                    // An ASCII byte after a broken lead byte is kept, so markup survives.
                    Lossy{"AsciiAfterLeadByteKept", "\x81<br>", "\uFFFD<br>"},
                    Lossy{"UnassignedPairWithAsciiSecond", "\x85\x40", "\uFFFD@"},
                    Lossy{"UnassignedPairWithHighSecond",
                          "\x85\x9F"
                          "a",
                          "\uFFFD"
                          "a"},
                    Lossy{"ByteWithoutCharacter", "\x80\x82\xA0", "\uFFFDあ"},
                    Lossy{"SeveralFaults", "\x80x\xFDy\x81", "\uFFFDx\uFFFDy\uFFFD"}),
    [](const testing::TestParamInfo<Lossy>& info) { return RowName(info.param.name); });

}  // namespace
