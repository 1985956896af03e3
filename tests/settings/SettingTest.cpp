#include "settings/Setting.h"

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "settings/IniDocument.h"
#include "settings/PassCoder.h"
#include "settings/Profile.h"
#include "support/TempDir.h"

namespace {

// "新しい設定001" in code page 932
const std::string kDefaultName1 =
    "\x90\x56\x82\xB5\x82\xA2\x90\xDD\x92\xE8"
    "001";

const std::vector<std::string> kSaveOrder = {"NAME",
                                             "ENABLE",
                                             "FILTER_TYPE",
                                             "FILTER1",
                                             "FILTER2",
                                             "WEB_PASS",
                                             "MAIL_SERVER",
                                             "MAIL_ACCOUNT",
                                             "MAIL_PASS",
                                             "MAIL_LIMIT_ENABLE",
                                             "MAIL_LIMIT_BYTE",
                                             "MAIL_LIMIT_ENABLE2",
                                             "MAIL_LIMIT_BYTE2",
                                             "MAIL_LIST_COUNT",
                                             "MAIL_LIST_ORDER",
                                             "MAIL_PAGE_STYLE"};

std::vector<std::string> Lines(const std::string& bytes) {
    std::vector<std::string> lines;
    std::istringstream in(bytes);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

TEST(SettingTest, HandWrittenFileIsRead) {
    TempDir dir;
    CProfile profile(dir.File(kSettingsFileName));
    CPassCoder coder;
    WriteBytes(profile.Path(),
               "; settings of the mail gateway\r\n"
               "[other]\r\nNAME=wrong\r\n"
               "  [ setting001 ]  \r\n"
               "name =  Home  \r\n"
               ";ENABLE=0\r\n"
               "\tEnable\t=\t1\r\n"
               "Filter_Type=2\n"
               "filter2=spam,ad\r\n"
               "WEB_PASS=" +
                   coder.Encode("web") +
                   "\r\n"
                   "mail_server = pop.example.test\r\n"
                   "MAIL_PASS = " +
                   coder.Encode("mail") +
                   " \r\n"
                   "MAIL_LIMIT_ENABLE2=1\r\n"
                   "MAIL_LIMIT_BYTE2=40\r\n");
    CSetting setting;
    setting.Load(profile, 1);
    EXPECT_TRUE(setting.IsLoaded());
    EXPECT_EQ(setting.number, 1);
    EXPECT_EQ(setting.NAME, "Home");
    EXPECT_TRUE(setting.ENABLE);
    EXPECT_EQ(setting.FILTER_TYPE, 2);
    EXPECT_EQ(setting.FILTER1, "");
    EXPECT_EQ(setting.FILTER2, "spam,ad");
    EXPECT_EQ(setting.WEB_PASS, "web");
    EXPECT_EQ(setting.MAIL_SERVER, "pop.example.test");
    EXPECT_EQ(setting.MAIL_ACCOUNT, "");
    EXPECT_EQ(setting.MAIL_PASS, "mail");
    EXPECT_FALSE(setting.MAIL_LIMIT_ENABLE);
    EXPECT_EQ(setting.MAIL_LIMIT_BYTE, 1000);
    EXPECT_TRUE(setting.MAIL_LIMIT_ENABLE2);
    EXPECT_EQ(setting.MAIL_LIMIT_BYTE2, 40);
    EXPECT_EQ(setting.MAIL_LIST_COUNT, 5);
}

struct Absent {
    const char* name;
    const char* file;  // nullptr: no file at all
};
void PrintTo(const Absent& row, std::ostream* os) {
    *os << row.name;
}

class SettingDefaultsTest : public testing::TestWithParam<Absent> {};

TEST_P(SettingDefaultsTest, GiveADisabledSettingWithDefaultValues) {
    TempDir dir;
    CProfile profile(dir.File(kSettingsFileName));
    if (GetParam().file != nullptr) {
        WriteBytes(profile.Path(), GetParam().file);
    }
    CSetting setting;
    setting.Load(profile, 1);
    EXPECT_EQ(setting.NAME, kDefaultName1);
    EXPECT_FALSE(setting.ENABLE);
    EXPECT_EQ(setting.FILTER_TYPE, 0);
    EXPECT_EQ(setting.WEB_PASS + setting.MAIL_PASS + setting.MAIL_SERVER, "");
    EXPECT_FALSE(setting.MAIL_LIMIT_ENABLE || setting.MAIL_LIMIT_ENABLE2);
    EXPECT_EQ(setting.MAIL_LIMIT_BYTE, 1000);
    EXPECT_EQ(setting.MAIL_LIMIT_BYTE2, 80);
    EXPECT_EQ(setting.MAIL_LIST_COUNT, 5);
    EXPECT_EQ(setting.MAIL_LIST_ORDER, CSetting::kListOldestFirst);
    EXPECT_EQ(setting.MAIL_PAGE_STYLE, CSetting::kPageClassic);
    setting.Load(profile, 2);
    EXPECT_EQ(setting.NAME, kDefaultName1.substr(0, kDefaultName1.size() - 1) + "2");
}

INSTANTIATE_TEST_SUITE_P(Files, SettingDefaultsTest,
                         testing::Values(Absent{"NoFile", nullptr},
                                         Absent{"NoSection", "[SETTING003]\r\nNAME=x\r\n"},
                                         Absent{"NoKeys", "[SETTING001]\r\n[SETTING002]\r\n"}),
                         [](const auto& info) { return std::string(info.param.name); });

struct Value {
    const char* name;
    const char* key;
    std::string stored;
    std::function<std::string(const CSetting&)> field;
    std::string expected;
};
void PrintTo(const Value& row, std::ostream* os) {
    *os << row.name;
}

std::string Enable(const CSetting& s) {
    return s.ENABLE ? "true" : "false";
}

class SettingValueTest : public testing::TestWithParam<Value> {};

TEST_P(SettingValueTest, IsReadAsStored) {
    TempDir dir;
    CProfile profile(dir.File(kSettingsFileName));
    WriteBytes(profile.Path(),
               "[SETTING001]\r\n" + std::string(GetParam().key) + "=" + GetParam().stored + "\r\n");
    CSetting setting;
    setting.Load(profile, 1);
    EXPECT_EQ(GetParam().field(setting), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, SettingValueTest,
    testing::Values(Value{"FlagOne", "ENABLE", "1", Enable, "true"},
                    Value{"FlagZeroOne", "ENABLE", "01", Enable, "true"},
                    Value{"FlagOneAndText", "ENABLE", "1abc", Enable, "true"},
                    Value{"FlagTwo", "ENABLE", "2", Enable, "false"},
                    Value{"FlagWord", "ENABLE", "true", Enable, "false"},
                    Value{"FlagEmpty", "ENABLE", "", Enable, "false"},
                    Value{"FilterTypeUnchecked", "FILTER_TYPE", "7",
                          [](const CSetting& s) { return std::to_string(s.FILTER_TYPE); }, "7"},
                    Value{"NumberOfLetters", "MAIL_LIMIT_BYTE", "abc",
                          [](const CSetting& s) { return std::to_string(s.MAIL_LIMIT_BYTE); }, "0"},
                    Value{"EmptyCountIsZero", "MAIL_LIST_COUNT", "",
                          [](const CSetting& s) { return std::to_string(s.MAIL_LIST_COUNT); }, "0"},
                    Value{"NewestFirst", "MAIL_LIST_ORDER", "1",
                          [](const CSetting& s) { return std::to_string(s.MAIL_LIST_ORDER); }, "1"},
                    Value{"ModernPages", "MAIL_PAGE_STYLE", "1",
                          [](const CSetting& s) { return s.ModernPages() ? "1" : "0"; }, "1"},
                    Value{"UnknownPageStyleIsClassic", "MAIL_PAGE_STYLE", "2",
                          [](const CSetting& s) { return s.ModernPages() ? "1" : "0"; }, "0"},
                    Value{"EmptyName", "NAME", "", [](const CSetting& s) { return s.NAME; }, ""},
                    Value{"LongNameCut", "NAME", std::string(300, 'n'),
                          [](const CSetting& s) { return s.NAME; }, std::string(255, 'n')},
                    Value{"PasswordNotScrambled", "WEB_PASS", "secret",
                          [](const CSetting& s) { return s.WEB_PASS; }, ""}),
    [](const auto& info) { return std::string(info.param.name); });

CSetting Filled(int number) {
    CSetting setting;
    setting.number = number;
    setting.NAME = "\x83\x65\x83\x58\x83\x67";  // "テスト"
    setting.ENABLE = true;
    setting.FILTER_TYPE = 1;
    setting.FILTER1 = "\x95\x5C,\x8C\x8F\x96\xBC";  // "表,件名": 表 ends in 0x5C
    setting.FILTER2 = "a=b";
    setting.WEB_PASS = "\x83\x70\x83\x58";  // "パス"
    setting.MAIL_SERVER = "127.0.0.1";
    setting.MAIL_ACCOUNT = "user";
    setting.MAIL_PASS = "p;w=d \"x\"";
    setting.MAIL_LIMIT_ENABLE = true;
    setting.MAIL_LIMIT_BYTE = -3;
    setting.MAIL_LIMIT_ENABLE2 = false;
    setting.MAIL_LIMIT_BYTE2 = 0;
    setting.MAIL_LIST_COUNT = 12;
    setting.MAIL_LIST_ORDER = CSetting::kListNewestFirst;
    setting.MAIL_PAGE_STYLE = CSetting::kPageModern;
    return setting;
}

TEST(SettingTest, SaveCreatesOneSectionInSaveOrderThatLoadsBackByteForByte) {
    TempDir dir;
    CProfile profile(dir.File(kSettingsFileName));
    const CSetting saved = Filled(1);
    ASSERT_TRUE(saved.Save(profile));

    const std::string bytes = ReadBytes(profile.Path());
    const auto lines = Lines(bytes);
    ASSERT_EQ(lines.size(), 17u);
    EXPECT_EQ(lines[0], "[SETTING001]\r");
    for (std::size_t i = 0; i < kSaveOrder.size(); ++i) {
        EXPECT_EQ(lines[i + 1].rfind(kSaveOrder[i] + "=", 0), 0u) << lines[i + 1];
        EXPECT_EQ(lines[i + 1].back(), '\r');
    }
    EXPECT_EQ(lines[2], "ENABLE=1\r");
    EXPECT_EQ(lines[11], "MAIL_LIMIT_BYTE=-3\r");

    CSetting loaded;
    loaded.Load(profile, 1);
    for (const auto& field :
         {&CSetting::NAME, &CSetting::FILTER1, &CSetting::FILTER2, &CSetting::WEB_PASS,
          &CSetting::MAIL_SERVER, &CSetting::MAIL_ACCOUNT, &CSetting::MAIL_PASS}) {
        EXPECT_EQ(loaded.*field, saved.*field);
    }
    EXPECT_EQ(loaded.ENABLE, saved.ENABLE);
    EXPECT_EQ(loaded.FILTER_TYPE, saved.FILTER_TYPE);
    EXPECT_EQ(loaded.MAIL_LIMIT_ENABLE, saved.MAIL_LIMIT_ENABLE);
    EXPECT_EQ(loaded.MAIL_LIMIT_ENABLE2, saved.MAIL_LIMIT_ENABLE2);
    EXPECT_EQ(loaded.MAIL_LIMIT_BYTE, saved.MAIL_LIMIT_BYTE);
    EXPECT_EQ(loaded.MAIL_LIMIT_BYTE2, saved.MAIL_LIMIT_BYTE2);
    EXPECT_EQ(loaded.MAIL_LIST_COUNT, saved.MAIL_LIST_COUNT);
    EXPECT_EQ(loaded.MAIL_LIST_ORDER, saved.MAIL_LIST_ORDER);
    EXPECT_EQ(loaded.MAIL_PAGE_STYLE, saved.MAIL_PAGE_STYLE);
}

TEST(SettingTest, SavingSetting2FirstPutsItsSectionFirst) {
    TempDir dir;
    CProfile profile(dir.File(kSettingsFileName));
    ASSERT_TRUE(Filled(2).Save(profile));
    ASSERT_TRUE(Filled(1).Save(profile));
    const auto lines = Lines(ReadBytes(profile.Path()));
    ASSERT_EQ(lines.size(), 34u);
    EXPECT_EQ(lines[0], "[SETTING002]\r");
    EXPECT_EQ(lines[17], "[SETTING001]\r");
    CSetting second;
    second.Load(profile, 2);
    EXPECT_EQ(second.MAIL_PASS, Filled(2).MAIL_PASS);
}

TEST(SettingTest, SaveReplacesValuesAndKeepsEverythingElse) {
    TempDir dir;
    CProfile profile(dir.File(kSettingsFileName));
    const std::string before =
        "; my settings\r\n[setting001]\r\nenable = 01\r\nLOOK=keep me\r\n; note\r\n"
        "NAME=old\r\n\r\n[SETTING002]\nNAME=two\n";
    WriteBytes(profile.Path(), before);
    CSetting setting;
    setting.Load(profile, 1);
    ASSERT_TRUE(setting.Save(profile));

    const auto lines = Lines(ReadBytes(profile.Path()));
    const std::vector<std::string> expectedStart = {"; my settings\r", "[setting001]\r",
                                                    "ENABLE=1\r",      "LOOK=keep me\r",
                                                    "; note\r",        "NAME=old\r"};
    ASSERT_GE(lines.size(), expectedStart.size() + 14 + 3);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 6), expectedStart);
    // The fourteen keys the file lacked follow the section's last key, in save order.
    EXPECT_EQ(lines[6].rfind("FILTER_TYPE=", 0), 0u);
    EXPECT_EQ(lines[17], "MAIL_LIST_COUNT=5\r");
    EXPECT_EQ(lines[18], "MAIL_LIST_ORDER=0\r");
    EXPECT_EQ(lines[19], "MAIL_PAGE_STYLE=0\r");
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              (std::vector<std::string>{"\r", "[SETTING002]", "NAME=two"}));
}

TEST(SettingTest, FailedSaveIsReportedAndLeavesTheFile) {
    TempDir dir;
    CProfile profile(dir.File(kSettingsFileName));
    const std::string before = "[SETTING001]\r\nNAME=old\r\n";
    WriteBytes(profile.Path(), before);
    std::filesystem::create_directory(CProfile::TemporaryPath(profile.Path()));
    EXPECT_FALSE(Filled(1).Save(profile));
    CSetting broken = Filled(1);
    broken.NAME = "two\r\nlines";
    EXPECT_FALSE(broken.Save(profile));
    EXPECT_EQ(ReadBytes(profile.Path()), before);
}

}  // namespace
