#include "mime/MimeDecoder.h"

#include <iconv.h>

#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "support/Text.h"

namespace {

using namespace std::string_view_literals;

struct Case {
    const char* name;
    std::string_view input;
    std::string_view expected;
};

std::string RowName(const testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

class Base64Test : public testing::TestWithParam<Case> {};

TEST_P(Base64Test, Decodes) {
    EXPECT_EQ(CMimeDecoder().DecodeBase64(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Base64Test,
    testing::Values(
        Case{"Empty", "", ""}, Case{"OneGroup", "QUJD", "ABC"},
        Case{"TwoGroups", "QUJDREVG", "ABCDEF"}, Case{"OneEqualsGivesTwoBytes", "QUI=", "AB"},
        Case{"TwoEqualsGiveOneByte", "QQ==", "A"}, Case{"MissingPaddingCountsAsZero", "QUI", "AB"},
        Case{"ZeroByteEndsResult", "QQ==QUJD", "A"},
        // The space takes a place in the next group, so everything after it shifts.
        Case{"SpaceShiftsLaterGroups", "QUJD REVG", "ABC\x01\x11\x15\x18"},
        Case{"LineBreakShiftsLaterGroups", "QUJD\r\nREVG", "ABC"},
        Case{"ForeignCharacterIsZero", "QU!D", "A@\x03"}, Case{"HighBytes", "////", "\xFF\xFF\xFF"},
        // The encoded word of the subject "こん" (ESC $ B $3$s ESC ( B).
        Case{"EncodedSubject", "GyRCJDMkcxsoQg==", "\x1B$B$3$s\x1B(B"}),
    RowName);

TEST(Base64ValueTest, EveryByteAgainstTheAlphabet) {
    const std::string_view alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int c = 0; c < 256; ++c) {
        const std::size_t index = alphabet.find(static_cast<char>(c));
        const int expected = index == std::string_view::npos ? 0 : static_cast<int>(index);
        EXPECT_EQ(CMimeDecoder::Base64Value(static_cast<unsigned char>(c)), expected)
            << "byte " << c;
    }
}

class JisTest : public testing::TestWithParam<Case> {};

TEST_P(JisTest, Decodes) {
    EXPECT_EQ(CMimeDecoder().DecodeJis(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, JisTest,
    testing::Values(Case{"Empty", "", ""}, Case{"Ascii", "Subject: hi", "Subject: hi"},
                    // "こん"
                    Case{"TwoByteText", "\x1B$B$3$s\x1B(B", "\x82\xB1\x82\xF1"},
                    Case{"TextAroundTwoByte", "a\x1B$B$3\x1B(Bb",
                         "a\x82\xB1"
                         "b"},
                    Case{"BareLf", "a\nb", "a\r\nb"}, Case{"CrLfUnchanged", "a\r\nb", "a\r\nb"},
                    Case{"LfFirst", "\nx", "\r\nx"}, Case{"LoneCrUnchanged", "a\rb", "a\rb"},
                    Case{"TwoBareLfs", "\n\n", "\r\n\r\n"}, Case{"CrCrLf", "\r\r\n", "\r\r\n"},
                    // The byte before the LF is the escape's "B", not the CR.
                    Case{"LfAfterEscapeAfterCr", "\r\x1B(B\n", "\r\r\n"},
                    Case{"SpaceBetweenPairs", "\x1B$B$3 $s\x1B(B", "\x82\xB1 \x82\xF1"},
                    Case{"BareLfInTwoByteMode", "\x1B$B$3\n$s", "\x82\xB1\r\n\x82\xF1"},
                    Case{"CrLfInTwoByteMode", "\x1B$B$3\r\n$s", "\x82\xB1\r\n\x82\xF1"},
                    Case{"EscParenJNotRecognised", "\x1B(Jab", "\x1B(Jab"},
                    // In two-byte mode the "(" "J" after the written ESC form a pair.
                    Case{"EscParenJInTwoByteMode", "\x1B$B\x1B(J$3", "\x1B\x84\xC8\x82\xB1"},
                    Case{"EscDollarAtNotRecognised", "\x1B$@a", "\x1B$@a"},
                    Case{"EscapeCutOffAtEnd", "ab\x1B$", "ab\x1B$"},
                    Case{"PairFollowedByCrEnds", "\x1B$B$3$\r\n", "\x82\xB1"},
                    Case{"PairWithDelEnds", "\x1B$B$3$\x7F", "\x82\xB1"},
                    Case{"PairWithEscEnds", "\x1B$B$3$\x1B(Bab", "\x82\xB1"},
                    Case{"LeadByteAtEnd", "\x1B$B$3$", "\x82\xB1"},
                    Case{"ZeroByteEnds", "ab\0cd"sv, "ab"},
                    Case{"ZeroByteAsSecondOfPair", "\x1B$B$3$\0"sv, "\x82\xB1"},
                    // 8-bit text passes through in either mode.
                    Case{"HighBytesSingleByteMode", "\x82\xA0", "\x82\xA0"},
                    Case{"HighBytesTwoByteMode", "\x1B$B\x82\xA0$3", "\x82\xA0\x82\xB1"},
                    // No escape on this line: an earlier line's two-byte mode does not carry over.
                    Case{"PairsWithoutEscapeStaySingleByte", "$3$s", "$3$s"}),
    RowName);

TEST(JisTest, EachCallStartsInSingleByteMode) {
    const CMimeDecoder decoder;
    EXPECT_EQ(decoder.DecodeJis("\x1B$B$3"), "\x82\xB1");
    EXPECT_EQ(decoder.DecodeJis("$3"), "$3");
}

// Converts with glibc's iconv; false when it refuses.
bool Iconv(const char* to, const char* from, std::string_view in, std::string& out) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        ADD_FAILURE() << "iconv cannot convert " << from << " to " << to;
        return false;
    }
    std::string source(in);
    char buffer[64];
    char* src = source.data();
    std::size_t srcLeft = source.size();
    char* dst = buffer;
    std::size_t dstLeft = sizeof buffer;
    bool ok = iconv(cd, &src, &srcLeft, &dst, &dstLeft) != static_cast<std::size_t>(-1) &&
              iconv(cd, nullptr, nullptr, &dst, &dstLeft) != static_cast<std::size_t>(-1);
    iconv_close(cd);
    out.assign(buffer, static_cast<std::size_t>(dst - buffer));
    return ok;
}

TEST(JisTest, EveryJisX0208CharacterMatchesIconv) {
    const CMimeDecoder decoder;
    int compared = 0;
    for (int j1 = 0x21; j1 <= 0x7E; ++j1) {
        for (int j2 = 0x21; j2 <= 0x7E; ++j2) {
            std::string jis = "\x1B$B";
            jis += static_cast<char>(j1);
            jis += static_cast<char>(j2);
            jis += "\x1B(B";
            std::string expected;
            if (!Iconv("CP932", "ISO-2022-JP", jis, expected)) {
                continue;  // not an assigned character
            }
            ++compared;
            EXPECT_EQ(decoder.DecodeJis(jis), expected) << std::hex << j1 << ' ' << j2;
        }
    }
    EXPECT_EQ(compared, 6879);  // the characters JIS X 0208 assigns
}

struct LimitCase {
    const char* name;
    std::string input;
    std::size_t size;      // of the result
    std::string_view end;  // the result's last bytes
};

class JisLimitTest : public testing::TestWithParam<LimitCase> {};

TEST_P(JisLimitTest, CutsAtTheLimit) {
    const std::string result = CMimeDecoder().DecodeJis(GetParam().input);
    EXPECT_EQ(result.size(), GetParam().size);
    EXPECT_TRUE(result.ends_with(GetParam().end));
}

// A pair or a CR LF that does not fit whole is left out.
INSTANTIATE_TEST_SUITE_P(
    HugeInput, JisLimitTest,
    testing::Values(
        LimitCase{"PlainBytes", std::string(100000, 'a'), kDecodeLimit, "aa"},
        LimitCase{"BareLfsFitExactly", "a" + std::string(40000, '\n'), kDecodeLimit, "\r\n\r\n"},
        LimitCase{"BareLfNotSplit", std::string(40000, '\n'), kDecodeLimit - 1, "\r\n\r\n"},
        LimitCase{"PairsFitExactly", "a\x1B$B" + Repeat(40000, "$3"), kDecodeLimit,
                  "\x82\xB1\x82\xB1"},
        LimitCase{"PairNotSplit", "\x1B$B" + Repeat(40000, "$3"), kDecodeLimit - 1,
                  "\x82\xB1\x82\xB1"},
        LimitCase{"PlainAfterPairs",
                  "\x1B$B" + Repeat(100, "$3") + "\x1B(B" + std::string(70000, 'b'), kDecodeLimit,
                  "bb"}),
    [](const testing::TestParamInfo<LimitCase>& info) { return std::string(info.param.name); });

TEST(Base64LimitTest, CutsAtTheLimit) {
    const std::string result = CMimeDecoder().DecodeBase64(Repeat(30000, "QUJD"));
    EXPECT_EQ(result, Repeat(kDecodeLimit / 3, "ABC"));
}

}  // namespace
