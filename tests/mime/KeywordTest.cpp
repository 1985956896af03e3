#include "mime/Keyword.h"

#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace {

struct Case {
    const char* name;
    std::string_view keywords;
    std::string_view text;
    bool found;
};

class KeywordTest : public testing::TestWithParam<Case> {};

TEST_P(KeywordTest, Matches) {
    EXPECT_EQ(ContainsAnyKeyword(GetParam().keywords, GetParam().text), GetParam().found);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, KeywordTest,
    testing::Values(Case{"EmptyListEmptyText", "", "", true},
                    Case{"EmptyListAnyText", "", "abc", true},
                    Case{"KeywordInText", "abc", "xxabcxx", true},
                    Case{"KeywordNotInText", "abc", "xxabxcx", false},
                    Case{"KeywordLongerThanText", "abcd", "abc", false},
                    Case{"KeywordInEmptyText", "abc", "", false},
                    Case{"SecondKeywordMatches", "foo,bar", "a bar", true},
                    Case{"NoKeywordMatches", "foo,bar", "baz", false},
                    Case{"TrailingCommaMatchesAll", "foo,", "baz", true},
                    Case{"LeadingCommaMatchesAll", ",foo", "baz", true},
                    Case{"DoubleCommaMatchesAll", "foo,,bar", "baz", true},
                    Case{"SpaceAfterCommaIsPartOfKeyword", "abc, def", "xdef", false},
                    Case{"SpaceAfterCommaMatchesSpace", "abc, def", "x def", true},
                    Case{"SpaceBeforeCommaIsPartOfKeyword", "abc ,def", "abc", false},
                    Case{"CaseSensitive", "abc", "ABC", false},
                    // "件名，x": the full-width comma is one keyword's middle, not a separator.
                    Case{"FullWidthCommaDoesNotSplit", "\x8C\x8F\x96\xBC\x81\x43x",
                         "\x8C\x8F\x96\xBC", false},
                    Case{"FullWidthCommaInText", "\x8C\x8F\x96\xBC\x81\x43x",
                         "[\x8C\x8F\x96\xBC\x81\x43x]", true},
                    // "アA": the bytes "AA" start on the second byte of "ア" (0x83 0x41).
                    Case{"NotOnSecondByte", "AA", "\x83\x41\x41", false},
                    Case{"LaterCharacterStart", "A", "\x83\x41\x41", true},
                    // "表示": the second byte of "表" is a backslash.
                    Case{"BackslashInsideCharacter", "\\", "\x95\x5C\x8E\xA6", false},
                    Case{"SecondByteAndNextCharacter", "\x5C\x8E", "\x95\x5C\x8E\xA6", false},
                    Case{"EveryCandidateOnSecondByte", "A\x83", "\x83\x41\x83\x41\x83", false},
                    Case{"WholeDoubleByteKeyword", "\x8E\xA6", "\x95\x5C\x8E\xA6", true},
                    Case{"LeadByteAtEndIsACharacter", "\x83", "a\x83", true},
                    Case{"HighLeadRange", "A", "\xE0\x41\xFC\x41", false},
                    Case{"HalfWidthKatakanaIsSingleByte", "A", "\xB1\x41", true},
                    Case{"ByteAboveLeadRangeIsSingleByte", "A", "\xFD\x41", true}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
