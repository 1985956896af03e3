#include "tallwynd/SettingEditor.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/Text.h"

namespace {

struct SetRow {
    const char* name;
    const char* key;
    std::string value;  // UTF-8, as on the command line
    bool taken;
    std::string expected;  // the field afterwards: text fields as code page 932 bytes,
                           // numbers and flags as decimal text; "" when refused
};

std::string FieldText(const CSetting& s, std::string_view key) {
    if (key == "ENABLE")
        return std::to_string(s.ENABLE);
    if (key == "FILTER_TYPE")
        return std::to_string(s.FILTER_TYPE);
    if (key == "MAIL_LIMIT_ENABLE")
        return std::to_string(s.MAIL_LIMIT_ENABLE);
    if (key == "MAIL_LIMIT_BYTE")
        return std::to_string(s.MAIL_LIMIT_BYTE);
    if (key == "MAIL_LIMIT_BYTE2")
        return std::to_string(s.MAIL_LIMIT_BYTE2);
    if (key == "MAIL_LIST_COUNT")
        return std::to_string(s.MAIL_LIST_COUNT);
    if (key == "MAIL_LIST_ORDER")
        return std::to_string(s.MAIL_LIST_ORDER);
    if (key == "MAIL_PAGE_STYLE")
        return std::to_string(s.MAIL_PAGE_STYLE);
    if (key == "NAME")
        return s.NAME;
    if (key == "FILTER1")
        return s.FILTER1;
    if (key == "WEB_PASS")
        return s.WEB_PASS;
    if (key == "MAIL_SERVER")
        return s.MAIL_SERVER;
    if (key == "MAIL_PASS")
        return s.MAIL_PASS;
    return "?";
}

class SetTest : public testing::TestWithParam<SetRow> {};

TEST_P(SetTest, TakesOrRefusesAndLeavesTheSettingAsItWas) {
    const SetRow& row = GetParam();
    CSetting setting;
    setting.MAIL_LIST_COUNT = 5;
    CSetting before = setting;
    std::string problem = CSettingEditor(setting).Set(row.key, row.value);

    auto canonical = CSettingEditor::CanonicalKey(row.key);
    ASSERT_TRUE(canonical.has_value());
    if (row.taken) {
        EXPECT_EQ(problem, "");
        EXPECT_EQ(FieldText(setting, *canonical), row.expected);
    } else {
        EXPECT_NE(problem, "");
        EXPECT_EQ(FieldText(setting, *canonical), FieldText(before, *canonical));
        EXPECT_NE(problem.find(*canonical), std::string::npos) << problem;
    }
}

// "会議" in code page 932.
const std::string kKaigiCp932 = "\x89\xEF\x8B\x63";

INSTANTIATE_TEST_SUITE_P(
    Values, SetTest,
    testing::Values(
        SetRow{"FlagOne", "ENABLE", "1", true, "1"},
        SetRow{"KeyInLowerCase", "mail_limit_enable", "1", true, "1"},
        SetRow{"FlagTwoRefused", "ENABLE", "2", false, ""},
        SetRow{"FlagWordRefused", "ENABLE", "true", false, ""},
        SetRow{"FlagEmptyRefused", "ENABLE", "", false, ""},
        SetRow{"NegativeNumber", "MAIL_LIMIT_BYTE2", "-5", true, "-5"},
        SetRow{"NumberWithPlus", "MAIL_LIMIT_BYTE", "+7", true, "7"},
        SetRow{"NumberWithTextRefused", "MAIL_LIMIT_BYTE", "12ab", false, ""},
        SetRow{"NumberWithBlankRefused", "MAIL_LIMIT_BYTE", " 12", false, ""},
        SetRow{"EmptyNumberRefused", "MAIL_LIMIT_BYTE", "", false, ""},
        SetRow{"DoubleSignRefused", "MAIL_LIMIT_BYTE", "+-1", false, ""},
        SetRow{"NumberBeyondIntRefused", "MAIL_LIMIT_BYTE", "2147483648", false, ""},
        SetRow{"LargestInt", "MAIL_LIMIT_BYTE", "2147483647", true, "2147483647"},
        SetRow{"FilterTypeTwo", "FILTER_TYPE", "2", true, "2"},
        SetRow{"FilterTypeThreeRefused", "FILTER_TYPE", "3", false, ""},
        SetRow{"ListCountOfFourDigitsRefused", "MAIL_LIST_COUNT", "1000", false, ""},
        SetRow{"ListCountNegativeRefused", "MAIL_LIST_COUNT", "-1", false, ""},
        SetRow{"NewestFirst", "MAIL_LIST_ORDER", "1", true, "1"},
        SetRow{"ListOrderTwoRefused", "MAIL_LIST_ORDER", "2", false, ""},
        SetRow{"ModernPages", "MAIL_PAGE_STYLE", "1", true, "1"},
        SetRow{"PageStyleTwoRefused", "MAIL_PAGE_STYLE", "2", false, ""},
        SetRow{"PageStyleNegativeRefused", "MAIL_PAGE_STYLE", "-1", false, ""},
        SetRow{"JapaneseNameStoredAsCp932", "NAME", "会議", true, kKaigiCp932},
        SetRow{"EmojiRefused", "NAME", "meeting \xF0\x9F\x98\x80", false, ""},
        SetRow{"InvalidUtf8Refused", "NAME", "\xFF\xFE", false, ""},
        SetRow{"TrailingBlankKept", "NAME", "inbox ", true, "inbox "},
        SetRow{"LeadingTabKept", "FILTER1", "\tword", true, "\tword"},
        SetRow{"LineBreakRefused", "NAME", "two\nlines", false, ""},
        SetRow{"Name255Bytes", "NAME", std::string(255, 'n'), true, std::string(255, 'n')},
        SetRow{"Name256BytesRefused", "NAME", std::string(256, 'n'), false, ""},
        // 32 double-byte characters are 64 bytes, 33 are one too many.
        SetRow{"Filter64Bytes", "FILTER1", Repeat(16, "会議"), true, Repeat(16, kKaigiCp932)},
        SetRow{"Filter66BytesRefused", "FILTER1", Repeat(16, "会議") + "会", false, ""},
        SetRow{"EmptyFilter", "FILTER1", "", true, ""},
        SetRow{"MailPasswordKeepsBlanks", "MAIL_PASS", " pass word ", true, " pass word "},
        SetRow{"MailPassword30Bytes", "MAIL_PASS", std::string(30, 'p'), true,
               std::string(30, 'p')},
        SetRow{"MailPassword31BytesRefused", "MAIL_PASS", std::string(31, 'p'), false, ""},
        SetRow{"WebPasswordOfPathCharacters", "WEB_PASS", "Ab9-._~!$&'()*+,;=:@", true,
               "Ab9-._~!$&'()*+,;=:@"},
        SetRow{"WebPasswordWithBlankRefused", "WEB_PASS", "a b", false, ""},
        SetRow{"WebPasswordWithSlashRefused", "WEB_PASS", "a/b", false, ""},
        SetRow{"WebPasswordWithPercentRefused", "WEB_PASS", "a%20", false, ""},
        SetRow{"WebPasswordWithQuestionMarkRefused", "WEB_PASS", "a?b", false, ""},
        SetRow{"WebPasswordJapaneseRefused", "WEB_PASS", "会議", false, ""},
        SetRow{"WebPasswordWithHttpRefused", "WEB_PASS", "myHTTPpass", false, ""},
        SetRow{"ServerName", "MAIL_SERVER", "pop.example.jp", true, "pop.example.jp"},
        SetRow{"ServerWithPort", "MAIL_SERVER", "127.0.0.1:1100", true, "127.0.0.1:1100"},
        SetRow{"ServerWithHighestPort", "MAIL_SERVER", "pop:65535", true, "pop:65535"},
        SetRow{"ServerWithEmptyPortRefused", "MAIL_SERVER", "pop.example.jp:", false, ""},
        SetRow{"ServerWithPortZeroRefused", "MAIL_SERVER", "pop:0", false, ""},
        SetRow{"ServerWithPortBeyondRangeRefused", "MAIL_SERVER", "pop:99999", false, ""},
        SetRow{"ServerWithSignedPortRefused", "MAIL_SERVER", "pop:+110", false, ""},
        SetRow{"PortWithoutHostRefused", "MAIL_SERVER", ":110", false, ""},
        SetRow{"ServerWithBlankRefused", "MAIL_SERVER", "pop example", false, ""},
        SetRow{"TlsServer", "MAIL_SERVER", "pop3s://pop.example.jp", true,
               "pop3s://pop.example.jp"},
        SetRow{"TlsServerWithPort", "MAIL_SERVER", "POP3S://pop:1995", true, "POP3S://pop:1995"},
        SetRow{"PlainUrl", "MAIL_SERVER", "pop3://pop:110", true, "pop3://pop:110"},
        SetRow{"OtherSchemeRefused", "MAIL_SERVER", "imaps://pop.example.jp", false, ""},
        SetRow{"TlsWithPortZeroRefused", "MAIL_SERVER", "pop3s://pop:0", false, ""},
        SetRow{"EmptyServer", "MAIL_SERVER", "", true, ""}),
    [](const testing::TestParamInfo<SetRow>& info) { return std::string(info.param.name); });

TEST(SettingEditorTest, UnknownKeyIsRefusedWithTheListOfKeys) {
    CSetting setting;
    std::string problem = CSettingEditor(setting).Set("MAIL_HOST", "x");
    EXPECT_NE(problem.find("MAIL_HOST"), std::string::npos);
    EXPECT_NE(problem.find("MAIL_SERVER"), std::string::npos);
}

TEST(SettingEditorTest, RefusalNeverRepeatsAPassword) {
    CSetting setting;
    CSettingEditor editor(setting);
    for (const char* key : {"WEB_PASS", "MAIL_PASS"}) {
        std::string secret = std::string("s3cr3t") + std::string(40, 'x');
        std::string problem = editor.Set(key, secret);
        ASSERT_NE(problem, "");
        EXPECT_EQ(problem.find("s3cr3t"), std::string::npos) << problem;
    }
    EXPECT_EQ(editor.Set("WEB_PASS", "s3cr3t/x").find("s3cr3t"), std::string::npos);
}

TEST(SettingEditorTest, OnlyThePasswordsReadFromStandardInput) {
    for (auto key : CSettingEditor::Keys()) {
        EXPECT_EQ(CSettingEditor::IsPasswordKey(key), key == "WEB_PASS" || key == "MAIL_PASS")
            << key;
    }
}

struct SplitRow {
    const char* name;
    const char* text;
    bool ok;
    const char* key;
    const char* value;
};

class SplitTest : public testing::TestWithParam<SplitRow> {};

TEST_P(SplitTest, SplitsAtTheFirstEqualsSign) {
    const SplitRow& row = GetParam();
    std::string_view key, value;
    ASSERT_EQ(CSettingEditor::SplitAssignment(row.text, key, value), row.ok);
    if (row.ok) {
        EXPECT_EQ(key, row.key);
        EXPECT_EQ(value, row.value);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Values, SplitTest,
    testing::Values(SplitRow{"Plain", "NAME=inbox", true, "NAME", "inbox"},
                    SplitRow{"EmptyValue", "FILTER1=", true, "FILTER1", ""},
                    SplitRow{"EqualsInValue", "WEB_PASS=a=b", true, "WEB_PASS", "a=b"},
                    SplitRow{"NoEquals", "ENABLE", false, "", ""},
                    SplitRow{"NoKey", "=1", false, "", ""}),
    [](const testing::TestParamInfo<SplitRow>& info) { return std::string(info.param.name); });

TEST(SettingEditorTest, ShowMasksPasswordsAndPrintsTextAsUtf8) {
    CSetting setting;
    setting.NAME = kKaigiCp932;
    setting.WEB_PASS = "hunter2";
    setting.MAIL_PASS = "";
    setting.MAIL_LIMIT_BYTE2 = -3;
    std::string shown = CSettingEditor::Show(setting);
    EXPECT_EQ(shown.find("hunter2"), std::string::npos);
    EXPECT_NE(shown.find("WEB_PASS            (set)\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("MAIL_PASS           (empty)\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("NAME                会議\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("MAIL_LIMIT_BYTE2    -3\n"), std::string::npos) << shown;
    // Every key once, in the order of the settings file; an empty value leaves no
    // blanks at the end of its line.
    std::istringstream lines(shown);
    std::vector<std::string> keys;
    for (std::string line; std::getline(lines, line);) {
        EXPECT_NE(line.back(), ' ') << line;
        std::istringstream words(line);
        keys.emplace_back();
        words >> keys.back();
    }
    EXPECT_EQ(keys, std::vector<std::string>(CSettingEditor::Keys().begin(),
                                             CSettingEditor::Keys().end()));
}

TEST(SettingEditorTest, ShowTransportSaysHowTheServerIsReached) {
    CSetting setting;
    setting.MAIL_SERVER = "pop3s://pop.example.jp";
    EXPECT_EQ(CSettingEditor::ShowTransport(setting),
              "  connects            TLS to pop.example.jp port 995\n");
    setting.MAIL_SERVER = "127.0.0.1:1100";
    EXPECT_EQ(CSettingEditor::ShowTransport(setting),
              "  connects            plain to 127.0.0.1 port 1100\n");
}

}  // namespace
