#include "gateway/ListPage.h"

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "settings/Setting.h"

namespace {

// "テスト", "日本語の件名", "あい", "あいう" and "絵文字" in code page 932.
const std::string kTest = "\x83\x65\x83\x58\x83\x67";
const std::string kJapaneseSubject = "\x93\xFA\x96\x7B\x8C\xEA\x82\xCC\x8C\x8F\x96\xBC";
const std::string kAi = "\x82\xA0\x82\xA2";
const std::string kAiu = kAi + "\x82\xA4";  // three double-byte characters
const std::string kEmoji = "\x8A\x47\x95\xB6\x8E\x9A";
const std::string kEmpty(CListPage::kEmptyText);

// A RETR answer: status line, header, empty line, body, end line.
std::string Message(const std::string& header, const std::string& body = "Hello.\r\n") {
    return "+OK 120 octets\r\n" + header + "\r\n" + body + ".\r\n";
}

std::string Row(int number, const std::string& text, const std::string& head = "001") {
    char link[32];
    std::snprintf(link, sizeof link, "mail%03d", number);
    return "<A HREF='" + head + link + "'>" + text + " </A><BR>";
}

struct Case {
    const char* name;
    std::vector<std::string> answers;
    std::string expected;
    int filterType = 0;
    std::string filter1{};
    std::string filter2{};
    bool limitSubject = false;
    int subjectLimit = 80;
    int listCount = 5;
    std::string settingText = "001";
    std::string passText{};
};

// Feeds the answers the way the POP3 dialogue does: message 1, 2, ... while the page
// wants more, line by line until the page says the answer is complete.
struct Outcome {
    std::string page;
    int retrieved = 0;
};

Outcome RunList(const Case& c) {
    CSetting setting;
    setting.FILTER_TYPE = c.filterType;
    setting.FILTER1 = c.filter1;
    setting.FILTER2 = c.filter2;
    setting.MAIL_LIMIT_ENABLE2 = c.limitSubject;
    setting.MAIL_LIMIT_BYTE2 = c.subjectLimit;
    setting.MAIL_LIST_COUNT = c.listCount;
    CListPage page(setting, c.settingText, c.passText);
    Outcome outcome;
    for (std::size_t i = 0; i < c.answers.size() && page.WantsMore(); ++i) {
        page.BeginMessage(static_cast<int>(i + 1));
        ++outcome.retrieved;
        const std::string& answer = c.answers[i];
        bool complete = false;
        for (std::size_t pos = 0; pos < answer.size() && !complete;) {
            const std::size_t end = answer.find('\n', pos) + 1;
            complete = page.FeedLine(std::string_view(answer).substr(pos, end - pos), outcome.page);
            pos = end;
        }
        EXPECT_TRUE(complete) << "answer " << i + 1 << " not taken as complete";
    }
    if (page.Listed() == 0) {
        outcome.page += kEmpty;
    }
    return outcome;
}

class ListPageTest : public testing::TestWithParam<Case> {};

TEST_P(ListPageTest, WritesRows) {
    EXPECT_EQ(RunList(GetParam()).page, GetParam().expected);
}

Case Filtered(const char* name, int type, std::string filter1, std::string filter2,
              std::string expected) {
    Case c{name,
           {Message("Subject: apple pie\r\n"), Message("Subject: banana\r\n"),
            Message("Subject: cherry\r\n")},
           std::move(expected)};
    c.filterType = type;
    c.filter1 = std::move(filter1);
    c.filter2 = std::move(filter2);
    return c;
}

// A subject folded over ten thousand lines: the row shows the first 4 KiB of its page
// text, cut before a double-byte character that would not fit whole.
Case EndlesslyFolded(const char* name, const std::string& line, const std::string& text,
                     std::size_t shownBytes) {
    static_assert(CListPage::kSubjectKept == 4096);
    std::string header = "Subject: " + line;
    std::string shown = text;
    for (int i = 0; i < 10000; ++i) {
        header += " " + line;
        shown += text;
    }
    return Case{name, {Message(header)}, Row(1, shown.substr(0, shownBytes))};
}

Case Limited(const char* name, std::string subject, int limit, std::string shown) {
    Case c{name, {Message("Subject: " + subject + "\r\n")}, Row(1, shown)};
    c.limitSubject = true;
    c.subjectLimit = limit;
    return c;
}

INSTANTIATE_TEST_SUITE_P(
    Subjects, ListPageTest,
    testing::Values(
        Case{"PlainKeepsItsLineBreak", {Message("Subject: Hello\r\n")}, Row(1, "Hello\r\n")},
        Case{"EncodedWord",
             {Message("Subject: =?ISO-2022-JP?B?GyRCRnxLXDhsJE43b0w+GyhC?=\r\n")},
             Row(1, kJapaneseSubject)},
        Case{"EncodedWordInLowerCase",
             {Message("Subject: =?iso-2022-jp?b?GyRCJUYlOSVIGyhC?=\r\n")},
             Row(1, kTest)},
        Case{"RawJis", {Message("Subject: \x1b$B%F%9%H\x1b(B\r\n")}, Row(1, kTest + "\r\n")},
        Case{"FoldedOverEncodedWords",
             {Message("Subject: =?ISO-2022-JP?B?GyRCJUYlOSVIGyhC?=\r\n"
                      " =?ISO-2022-JP?B?GyRCRnxLXDhsJE43b0w+GyhC?=\r\n")},
             Row(1, kTest + kJapaneseSubject)},
        Case{"FoldedWithTab", {Message("Subject: one\r\n\ttwo\r\n")}, Row(1, "one\r\ntwo\r\n")},
        Case{"DateBeforeSubject",
             {Message("Date: Mon, 1 Jan 2024 09:00:00 +0900\r\nSubject: Hello\r\n")},
             Row(1, "Hello\r\n")},
        Case{"DateAfterSubject",
             {Message("Subject: Hello\r\nDate: Mon, 1 Jan 2024 09:00:00 +0900\r\n")},
             Row(1, "Hello\r\n")},
        Case{"FoldedLaterHeaderNotAppended",
             {Message("Subject: Hello\r\nTo: a@example.jp,\r\n b@example.jp\r\n")},
             Row(1, "Hello\r\n")},
        Case{"SecondSubjectIgnored",
             {Message("Subject: one\r\nX: y\r\nSubject: two\r\n")},
             Row(1, "one\r\n")},
        Case{"LowerCaseSubject", {Message("subject: Hello\r\n")}, Row(1, "Hello\r\n")},
        Case{"NoBlankAfterColon", {Message("SUBJECT:Undelivered\r\n")}, Row(1, "Undelivered\r\n")},
        Case{"LongerNameNotTheSubject",
             {Message("Subjectx: no\r\nSubject-Id: no\r\nSubject: yes\r\n")},
             Row(1, "yes\r\n")},
        Case{"Utf8WordWithEmoji",
             {Message("Subject: =?utf-8?B?57W15paH5a2X8J+OhQ==?=\r\n")},
             Row(1, kEmoji + "&#127877;")},
        Case{"QWordAmidText",
             {Message("Subject: Die =?iso-8859-1?q?Fr=F6sche_=28alle=29?= sind da\r\n")},
             Row(1, "Die Fr&#246;sche (alle) sind da\r\n")},
        Case{"QWordWithRawLatin1",
             {Message("Subject: =?iso-8859-1?Q?Fr\xF6sche?=\r\n")},
             Row(1, "Fr&#246;sche")},
        Case{"CharacterSplitAcrossWords",
             {Message("Subject: =?UTF-8?B?44GC4w==?=\r\n =?UTF-8?B?gYQ=?=\r\n")},
             Row(1, kAi)},
        Case{"TwoJisWordsOnOneLine",
             {Message("Subject: =?ISO-2022-JP?B?GyRCJUYlOSVIGyhC?= "
                      "=?ISO-2022-JP?B?GyRCRnxLXDhsJE43b0w+GyhC?=\r\n")},
             Row(1, kTest + kJapaneseSubject)},
        Case{"FoldedTextAfterWordKeepsItsBreak",
             {Message("Subject: =?UTF-8?Q?caf=C3=A9?=\r\n (12)\r\n")},
             Row(1, "caf&#233;\r\n(12)\r\n")},
        Case{"WordsInTwoCharsetsJoinedWithoutBlank",
             {Message("Subject: =?iso-8859-1?q?=E9?= =?utf-8?b?44GC?=\r\n")},
             Row(1, "&#233;\x82\xA0")},
        Case{"RawUtf8",
             {Message("Subject: \xF0\x9F\x8E\x89 Sale\r\n")},
             Row(1, "&#127881; Sale\r\n")},
        Case{"RawShiftJis", {Message("Subject: " + kTest + "\r\n")}, Row(1, kTest + "\r\n")},
        Case{"UnknownCharsetReadAsUnlabelled",
             {Message("Subject: =?x-nobody?B?44GC?=\r\n")},
             Row(1, "\x82\xA0")},
        Case{"BrokenWordsAsWritten",
             {Message("Subject: =?UTF-8?B?no base64?= =?UTF-8?X?abc?= =?UTF-8?B?44GC\r\n")},
             Row(1, "=?UTF-8?B?no base64?= =?UTF-8?X?abc?= =?UTF-8?B?44GC\r\n")},
        Case{"NoSubject", {Message("From: a@example.jp\r\n")}, Row(1, "")},
        Case{"StatusLineNotAHeader", {"+OK Subject: x\r\nFrom: a\r\n\r\n.\r\n"}, Row(1, "")},
        Case{"NoEmptyLineNoRow", {"+OK\r\nSubject: Hello\r\n.\r\n"}, kEmpty},
        Case{"BodyNotSearched", {Message("From: a\r\n", "Subject: body\r\n")}, Row(1, "")},
        Case{"SubjectEscaped",
             {Message("Subject: <b>Tom & \"Jerry's\"</b>\r\n")},
             Row(1, "&lt;b&gt;Tom &amp; &quot;Jerry&#39;s&quot;&lt;/b&gt;\r\n")},
        EndlesslyFolded("EndlesslyFolded", "abc" + kAiu + "\r\n", "abc" + kAiu + "\r\n", 4095),
        EndlesslyFolded("EndlesslyFoldedWords", "=?UTF-8?B?44GC?=\r\n", "\x82\xA0", 4096)),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

Case WithLinkHead(const char* name, std::string settingText, std::string passText,
                  std::string head) {
    Case c{name, {Message("Subject: x\r\n")}, Row(1, "x\r\n", head)};
    c.settingText = std::move(settingText);
    c.passText = std::move(passText);
    return c;
}

Case Counted(const char* name, int listCount, int messages, std::string expected) {
    Case c{name, {}, std::move(expected)};
    for (int i = 0; i < messages; ++i) {
        c.answers.push_back(Message("Subject: m" + std::to_string(i + 1) + "\r\n"));
    }
    c.listCount = listCount;
    return c;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ListPageTest,
    testing::Values(
        WithLinkHead("LinkHeadAsSent", "1ab", "pw", "1abpw"),
        WithLinkHead("LinkHeadEscaped", "001", "a'b&<", "001a&#39;b&amp;&lt;"),
        Case{"VanishedMessageGoesOn",
             {"-ERR no such message\r\n", Message("Subject: second\r\n")},
             Row(2, "second\r\n")},
        Case{"AllVanished", {"-ERR gone\r\n", "-ERR gone\r\n"}, kEmpty},
        Case{"EndLikeBodyLineStuffed",
             {Message("Subject: one\r\n", "..\r\n...more\r\n"), Message("Subject: two\r\n")},
             Row(1, "one\r\n") + Row(2, "two\r\n")},
        Counted("ListCountStopsTheList", 2, 3, Row(1, "m1\r\n") + Row(2, "m2\r\n")),
        Counted("ListCountZero", 0, 3, kEmpty), Counted("ListCountNegative", -1, 3, kEmpty),
        Counted("NoMessages", 5, 0, kEmpty)),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Filters, ListPageTest,
    testing::Values(Filtered("NoFilter", 0, "", "",
                             Row(1, "apple pie\r\n") + Row(2, "banana\r\n") + Row(3, "cherry\r\n")),
                    Filtered("ShowMatching", 1, "pie,cherry", "",
                             Row(1, "apple pie\r\n") + Row(3, "cherry\r\n")),
                    Filtered("ShowWithEmptyListShowsAll", 1, "", "",
                             Row(1, "apple pie\r\n") + Row(2, "banana\r\n") + Row(3, "cherry\r\n")),
                    Filtered("ShowWithTrailingCommaShowsAll", 1, "zzz,", "",
                             Row(1, "apple pie\r\n") + Row(2, "banana\r\n") + Row(3, "cherry\r\n")),
                    Filtered("HideMatching", 2, "", "banana",
                             Row(1, "apple pie\r\n") + Row(3, "cherry\r\n")),
                    Filtered("HideWithEmptyListHidesAll", 2, "", "", kEmpty),
                    Filtered("UnknownFilterShowsNone", 7, "", "", kEmpty),
                    Filtered("FilterLooksAtDecodedSubject", 1, kTest, "", kEmpty)),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Limits, ListPageTest,
    testing::Values(Limited("CutAtCharacterBoundary", kAiu, 4, kAiu.substr(0, 4)),
                    Limited("CutNeverSplitsCharacter", kAiu, 3, kAiu.substr(0, 2)),
                    Limited("CutBeforeFirstCharacter", kAiu, 1, ""),
                    Limited("MixedWidths", "a" + kAiu, 4, "a" + kAiu.substr(0, 2)),
                    Limited("CutCountsLineBreak", "abc", 4, "abc\r"),
                    Limited("ShortSubjectWhole", "abc", 80, "abc\r\n"),
                    Limited("ZeroLimit", "abc", 0, ""), Limited("NegativeLimit", "abc", -5, ""),
                    Limited("CutBeforeEscape", "a&b", 2, "a&amp;"),
                    Limited("CutCountsForeignCharacterAsTwo", "=?utf-8?q?=C3=A9t=C3=A9?=", 4,
                            "&#233;t"),
                    Limited("CutNeverSplitsForeignCharacter", "=?utf-8?q?=C3=A9?=", 1, "")),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(ListPage, FilterMatchesWithinEncodedSubject) {
    Case c = Filtered("x", 1, kTest, "", "");
    c.answers = {Message("Subject: plain\r\n"),
                 Message("Subject: =?ISO-2022-JP?B?GyRCJUYlOSVIGyhC?=\r\n"),
                 Message("Subject: =?UTF-8?B?44OG44K544OI?=\r\n")};
    EXPECT_EQ(RunList(c).page, Row(2, kTest) + Row(3, kTest));
}

TEST(ListPage, MessagesAfterTheListCountAreNeverRetrieved) {
    const Outcome outcome = RunList(Counted("x", 5, 20, ""));
    EXPECT_EQ(outcome.retrieved, 5);
}

TEST(ListPage, FourDigitMessageNumberInLink) {
    CSetting setting;
    CListPage page(setting, "001", "");
    std::string out;
    page.BeginMessage(1000);
    for (std::string_view line : {"+OK\r\n", "Subject: x\r\n", "\r\n", ".\r\n"}) {
        page.FeedLine(line, out);
    }
    EXPECT_EQ(out, Row(1000, "x\r\n"));
}

}  // namespace
