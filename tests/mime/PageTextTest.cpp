#include "mime/PageText.h"

#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "mime/Sjis.h"

namespace {

struct Conversion {
    const char* name;
    std::string_view charset;
    std::string_view input;
    std::string_view pageText;
};

// Converts input whole, and once more one byte at a time: a character or line cut by
// the end of a piece must come out the same.
std::string ConvertWhole(std::string_view charset, std::string_view input) {
    std::string out;
    CPageTextConverter converter(charset);
    converter.Convert(input, out);
    converter.Finish(out);
    return out;
}

std::string ConvertByteByByte(std::string_view charset, std::string_view input) {
    std::string out;
    CPageTextConverter converter(charset);
    for (std::size_t i = 0; i < input.size(); ++i) {
        converter.Convert(input.substr(i, 1), out);
    }
    converter.Finish(out);
    return out;
}

class PageTextConverterTest : public testing::TestWithParam<Conversion> {};

TEST_P(PageTextConverterTest, Converts) {
    EXPECT_EQ(ConvertWhole(GetParam().charset, GetParam().input), GetParam().pageText);
    EXPECT_EQ(ConvertByteByByte(GetParam().charset, GetParam().input), GetParam().pageText);
}

using namespace std::literals;

// Longer than DecodeJis could give in one call, and without a line break.
const std::string kLongRun(100000, 'x');

INSTANTIATE_TEST_SUITE_P(
    Charsets, PageTextConverterTest,
    testing::Values(
        Conversion{"JisRunWithoutBreakComesWhole", "ISO-2022-JP", kLongRun, kLongRun},
        Conversion{"Utf8Japanese", "UTF-8", "こんにちは\r\n",
                   "\x82\xB1\x82\xF1\x82\xC9\x82\xBF\x82\xCD\r\n"},
        Conversion{"Utf8LatinAsReference", "utf-8", "Fr\xC3\xB6sche", "Fr\0#246;sche"sv},
        Conversion{"Utf8EmojiAsReference", "UTF-8", "\xF0\x9F\x8E\x89!", "\0#127881;!"sv},
        Conversion{"Utf8AsciiLookalikesAsReferences", "UTF-8",
                   "\xC2\xA5"
                   "1,000 \xE2\x80\xBE",
                   "\0#165;1,000 \0#8254;"sv},
        // Their code page 932 bytes read back as the horizontal bar, the fullwidth
        // tilde, the parallel sign, the fullwidth hyphen-minus and the pound sign; the
        // fullwidth tilde, the horizontal bar and a kana with the same lead byte do not.
        Conversion{"Utf8MisreadDashesAndSignsAsReferences", "UTF-8",
                   "\xE2\x80\x94\xE3\x80\x9C\xE2\x80\x96\xE2\x88\x92\xC2\xA3"
                   "\xEF\xBD\x9E\xE2\x80\x95\xE3\x81\x82",
                   "\0#8212;\0#12316;\0#8214;\0#8722;\0#163;\x81\x60\x81\x5C\x82\xA0"sv},
        Conversion{"Utf8InvalidByteIsGeta", "UTF-8",
                   "a\xFF"
                   "b",
                   "a\x81\xAC"
                   "b"},
        Conversion{"Utf8CutAtEndIsGeta", "UTF-8", "a\xE3\x81", "a\x81\xAC\x81\xAC"},
        Conversion{"Utf8ZeroDropped", "UTF-8", "a\0b"sv, "ab"},
        Conversion{"EucJp", "EUC-JP", "\xA4\xA2\xA4\xA4", "\x82\xA0\x82\xA2"},
        Conversion{"EucJpAlias", "x-euc-jp", "\xA4\xA2", "\x82\xA0"},
        Conversion{"Latin1HoldsWindowsQuotes", "ISO-8859-1",
                   "\x93"
                   "caf\xE9\x94 \x96",
                   "\x81gcaf\0#233;\x81h \0#8211;"sv},
        Conversion{"Koi8r", "koi8-r", "\xF0\xD2\xC9", "\x84\x50\x84\x82\x84\x79"},
        Conversion{"ShiftJisAsItStands", "Shift_JIS", "\x82\xA0\x87\x40", "\x82\xA0\x87\x40"},
        Conversion{"UnknownCharsetAsItStands", "x-nobody-knows", "\x82\xA0", "\x82\xA0"},
        Conversion{"Iso2022JpKeepsNecSpecials", "ISO-2022-JP", "\x1B$B-!\x1B(B\r\n",
                   "\x87\x40\r\n"},
        Conversion{"UnlabelledJis", "", "\x1B$B$\"\x1B(B\r\n", "\x82\xA0\r\n"},
        Conversion{"UnlabelledRawCp932", "", "\x82\xA0\r\n", "\x82\xA0\r\n"},
        Conversion{"UnlabelledUtf8Line", "", "\xE3\x81\x82\xC3\xA9\r\n", "\x82\xA0\0#233;\r\n"sv}),
    [](const testing::TestParamInfo<Conversion>& info) { return std::string(info.param.name); });

TEST(PageTextTest, MarkIsOneCharacterAndEscapesAsReference) {
    const std::string text = "a\0#233;b"s;
    EXPECT_EQ(SjisCharLength(text, 1), 6u);
    EXPECT_EQ(ForeignMarkLength(text, 0), 0u);
    EXPECT_FALSE(CPageTextConverter("x-nobody-knows").Known());
}

}  // namespace
