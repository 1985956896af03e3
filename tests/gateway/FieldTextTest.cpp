#include "gateway/FieldText.h"

#include <cstdlib>

#include <gtest/gtest.h>

namespace {

using namespace std::literals;

enum class Kind { kSender, kList, kShortDate, kFullDate };

struct FieldCase {
    const char* name;
    Kind kind;
    std::string_view raw;
    std::string_view shown;  // page text
};

const std::string kLongName(5000, 'n');

// 2024-05-01 12:00 in Japan.
constexpr std::int64_t kNow = 1714532400;

class FieldTextTest : public testing::TestWithParam<FieldCase> {
protected:
    void SetUp() override { setenv("TZ", "JST-9", 1); }
};

TEST_P(FieldTextTest, ShowsTheValue) {
    const FieldCase& c = GetParam();
    switch (c.kind) {
        case Kind::kSender:
            EXPECT_EQ(SenderText(c.raw), c.shown);
            break;
        case Kind::kList:
            EXPECT_EQ(AddressListText(c.raw), c.shown);
            break;
        case Kind::kShortDate:
            EXPECT_EQ(ShortDateText(c.raw, kNow), c.shown);
            break;
        case Kind::kFullDate:
            EXPECT_EQ(FullDateText(c.raw), c.shown);
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Fields, FieldTextTest,
    testing::Values(
        FieldCase{"NameAndAddress", Kind::kSender, "Taro Yamada <taro@example.jp>", "Taro Yamada"},
        FieldCase{"AddressAlone", Kind::kSender, "taro@example.jp", "taro@example.jp"},
        FieldCase{"AngleAddressAlone", Kind::kSender, "<taro@example.jp>", "taro@example.jp"},
        FieldCase{"QuotedNameWithComma", Kind::kSender, "\"Yamada, Taro\" <t@example.jp>",
                  "Yamada, Taro"},
        FieldCase{"QuotedPairs", Kind::kSender, "\"a \\\"b\\\" c\" <t@example.jp>", "a \"b\" c"},
        FieldCase{"CommentLeftOut", Kind::kSender, "t@example.jp (Taro)", "t@example.jp"},
        // "山田" in UTF-8, in ISO-2022-JP, and as raw code page 932.
        FieldCase{"EncodedWordName", Kind::kSender, "=?UTF-8?B?5bGx55Sw?= <y@example.jp>",
                  "\x8E\x52\x93\x63"},
        FieldCase{"JisEncodedWordName", Kind::kSender,
                  "=?ISO-2022-JP?B?GyRCOzNFRBsoQg==?= <y@example.jp>", "\x8E\x52\x93\x63"},
        FieldCase{"RawCp932Name", Kind::kSender, "\x8E\x52\x93\x63 <y@example.jp>",
                  "\x8E\x52\x93\x63"},
        FieldCase{"FirstOfSeveral", Kind::kSender, "a@example.jp, b@example.jp", "a@example.jp"},
        FieldCase{"Empty", Kind::kSender, "", ""},
        FieldCase{"UnclosedQuote", Kind::kSender, "\"Taro <t@example.jp>", "Taro<t@example.jp>"},
        FieldCase{"UnclosedAngle", Kind::kSender, "Taro <t@example", "Taro"},
        FieldCase{"EndlessNameCut", Kind::kSender, kLongName,
                  std::string_view(kLongName).substr(0, kNameShown)},
        FieldCase{"ListOfThree", Kind::kList, "a@example.jp, \"B, C\" <b@example.jp>,Dee <d@x>",
                  "a@example.jp, B, C, Dee"},
        FieldCase{"GroupOpened", Kind::kList, "team: a@example.jp, b@example.jp;, c@example.jp",
                  "a@example.jp, b@example.jp, c@example.jp"},
        FieldCase{"EmptyGroup", Kind::kList, "undisclosed-recipients:;", ""},
        FieldCase{"Today", Kind::kShortDate, "Wed, 1 May 2024 09:05:00 +0900", "09:05"},
        FieldCase{"TodayFromAnotherZone", Kind::kShortDate, "Wed, 1 May 2024 01:05:00 +0100",
                  "09:05"},
        FieldCase{"ThisYear", Kind::kShortDate, "Mon, 1 Jan 2024 09:00:00 +0900", "01/01"},
        FieldCase{"YesterdayInJapan", Kind::kShortDate, "Tue, 30 Apr 2024 23:59:00 +0900", "04/30"},
        FieldCase{"OlderYear", Kind::kShortDate, "Sun, 31 Dec 2023 23:00:00 +0900", "2023/12/31"},
        FieldCase{"NotADate", Kind::kShortDate, "soon", ""},
        FieldCase{"EmptyDate", Kind::kShortDate, "", ""},
        FieldCase{"Whole", Kind::kFullDate, "Wed, 1 May 2024 00:05:00 +0000", "2024/05/01 09:05"}),
    [](const testing::TestParamInfo<FieldCase>& info) { return std::string(info.param.name); });

TEST(FieldText, RunsBlanksAndLineEndsTogether) {
    EXPECT_EQ(FieldText("  hi\r\n\tthere  "), "hi there");
    // Two encoded words with white space between them are one text.
    EXPECT_EQ(FieldText("=?UTF-8?B?5bGx?= =?UTF-8?B?55Sw?="), "\x8E\x52\x93\x63");
}

}  // namespace
