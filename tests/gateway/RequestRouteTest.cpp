#include "gateway/RequestRoute.h"

#include <gtest/gtest.h>

#include "settings/Profile.h"

namespace {

using Page = CRequestRoute::Page;

struct ParseCase {
    const char* name;
    const char* line;
    Page page;
    const char* settingText = "";
    int settingNumber = -1;
    const char* passText = "";
    int messageNumber = 0;
    int listFrom = 0;
    const char* token = nullptr;  // nullptr: the address carries none
    int part = 0;
};

class ParseRequestLineTest : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseRequestLineTest, SplitsThePath) {
    const ParseCase& c = GetParam();
    const CRequestRoute route = ParseRequestLine(c.line);
    EXPECT_EQ(route.page, c.page);
    EXPECT_EQ(route.settingNumber, c.settingNumber);
    if (c.page != CRequestRoute::kRefused) {
        EXPECT_EQ(route.settingText, c.settingText);
        EXPECT_EQ(route.passText, c.passText);
        EXPECT_EQ(route.messageNumber, c.messageNumber);
        EXPECT_EQ(route.listFrom, c.listFrom);
        EXPECT_EQ(route.hasToken, c.token != nullptr);
        EXPECT_EQ(route.token, c.token != nullptr ? c.token : "");
        EXPECT_EQ(route.part, c.part);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ParseRequestLineTest,
    testing::Values(
        ParseCase{"ListHttp11", "GET /001toplist HTTP/1.1\r\n", CRequestRoute::kList, "001", 1},
        ParseCase{"ListHttp10", "GET /001toplist HTTP/1.0\r\n", CRequestRoute::kList, "001", 1},
        ParseCase{"WithPassword", "GET /002s3cr&ttoplist HTTP/1.1\r\n", CRequestRoute::kList, "002",
                  2, "s3cr&t"},
        ParseCase{"Mail", "GET /001pwmail003 HTTP/1.1\r\n", CRequestRoute::kMail, "001", 1, "pw",
                  3},
        ParseCase{"SixBytePageWord", "GET /001mail01 HTTP/1.1\r\n", CRequestRoute::kMail, "001", 1,
                  "", 1},
        ParseCase{"AnyByteBeforeHttp", "GET /001toplistXHTTP/1.1\r\n", CRequestRoute::kList, "001",
                  1},
        ParseCase{"SettingTextAsSent", "GET /1abtoplist HTTP/1.1\r\n", CRequestRoute::kList, "1ab",
                  1},
        ParseCase{"QueryStringRefused", "GET /001toplist?a=1 HTTP/1.1\r\n", CRequestRoute::kRefused,
                  "", 1},
        ParseCase{"TrailingSlashRefused", "GET /001toplist/ HTTP/1.1\r\n", CRequestRoute::kRefused,
                  "", 1},
        ParseCase{"CapitalsRefused", "GET /001TOPLIST HTTP/1.1\r\n", CRequestRoute::kRefused, "",
                  1},
        ParseCase{"MailInCapitalsRefused", "GET /001MAIL001 HTTP/1.1\r\n", CRequestRoute::kRefused,
                  "", 1},
        ParseCase{"FourDigitMessage", "GET /001pwmail1000 HTTP/1.1\r\n", CRequestRoute::kMail,
                  "001", 1, "pw", 1000},
        ParseCase{"FourDigitsWithoutMailRefused", "GET /001pwxail1000 HTTP/1.1\r\n",
                  CRequestRoute::kRefused, "", 1},
        ParseCase{"LaterListPage", "GET /001pwtoplist21 HTTP/1.1\r\n", CRequestRoute::kList, "001",
                  1, "pw", 0, 21},
        ParseCase{"LaterListPageZero", "GET /001toplist0 HTTP/1.1\r\n", CRequestRoute::kList, "001",
                  1, "", 0, 0},
        ParseCase{"LaterListPageNegative", "GET /001pwtoplist-5 HTTP/1.1\r\n", CRequestRoute::kList,
                  "001", 1, "pw", 0, -5},
        ParseCase{"LaterListPageHugeSaturates", "GET /001pwtoplist99999999999999 HTTP/1.1\r\n",
                  CRequestRoute::kList, "001", 1, "pw", 0, 2147483647},
        ParseCase{"PasswordHoldingToplist", "GET /001toplisttoplist7 HTTP/1.1\r\n",
                  CRequestRoute::kList, "001", 1, "toplist", 0, 7},
        ParseCase{"ListNumberWithLettersRefused", "GET /001pwtoplist2x HTTP/1.1\r\n",
                  CRequestRoute::kRefused, "", 1},
        ParseCase{"ListSignAloneRefused", "GET /001pwtoplist- HTTP/1.1\r\n",
                  CRequestRoute::kRefused, "", 1},
        ParseCase{"MailWithToken", "GET /001pwmail003.0123456789ab HTTP/1.1\r\n",
                  CRequestRoute::kMail, "001", 1, "pw", 3, 0, "0123456789ab"},
        ParseCase{"AttachmentWithToken", "GET /001pwmail003.0123456789ab-2 HTTP/1.1\r\n",
                  CRequestRoute::kAttachment, "001", 1, "pw", 3, 0, "0123456789ab", 2},
        ParseCase{"AttachmentWithoutToken", "GET /001pwmail1234-12 HTTP/1.1\r\n",
                  CRequestRoute::kAttachment, "001", 1, "pw", 1234, 0, nullptr, 12},
        ParseCase{"EmptyToken", "GET /001pwmail003.-2 HTTP/1.1\r\n", CRequestRoute::kAttachment,
                  "001", 1, "pw", 3, 0, "", 2},
        ParseCase{"TokenOfAnyLengthTaken", "GET /001mail003.x HTTP/1.1\r\n", CRequestRoute::kMail,
                  "001", 1, "", 3, 0, "x"},
        // Seven bytes beginning with "mail" are a classic address, whatever follows.
        ParseCase{"ShortFormStaysClassic", "GET /001mail1-2 HTTP/1.1\r\n", CRequestRoute::kMail,
                  "001", 1, "", 1},
        ParseCase{"PasswordHoldingMail", "GET /001mail9mail003-2 HTTP/1.1\r\n",
                  CRequestRoute::kAttachment, "001", 1, "mail9", 3, 0, nullptr, 2},
        ParseCase{"PartOfElevenDigitsRefused", "GET /001mail003-99999999999 HTTP/1.1\r\n",
                  CRequestRoute::kRefused, "", 1},
        ParseCase{"HugePart", "GET /001mail003-9999999999 HTTP/1.1\r\n", CRequestRoute::kAttachment,
                  "001", 1, "", 3, 0, nullptr, 2147483647},
        ParseCase{"TokenWithEscapeRefused", "GET /001pwmail003.ab%2Fcd-2 HTTP/1.1\r\n",
                  CRequestRoute::kRefused, "", 1},
        ParseCase{"NegativePartRefused", "GET /001pwmail003--2 HTTP/1.1\r\n",
                  CRequestRoute::kRefused, "", 1},
        ParseCase{"PartNotANumberRefused", "GET /001pwmail003-x HTTP/1.1\r\n",
                  CRequestRoute::kRefused, "", 1},
        ParseCase{"TrailingBytesAfterPartRefused", "GET /001pwmail003-2x HTTP/1.1\r\n",
                  CRequestRoute::kRefused, "", 1},
        ParseCase{"Favicon", "GET /favicon.ico HTTP/1.1\r\n", CRequestRoute::kRefused, "", 0},
        ParseCase{"HttpTooEarly", "GET /001mail1 HTTP/1.1\r\n", CRequestRoute::kRefused},
        ParseCase{"NoHttp", "GET /001toplist\r\n", CRequestRoute::kRefused},
        ParseCase{"PasswordHoldingHttp", "GET /001aHTTPbtoplist HTTP/1.1\r\n",
                  CRequestRoute::kRefused},
        ParseCase{"Head", "HEAD /001toplist HTTP/1.1\r\n", CRequestRoute::kRefused},
        ParseCase{"LowerCaseMethod", "get /001toplist HTTP/1.1\r\n", CRequestRoute::kRefused},
        ParseCase{"Empty", "", CRequestRoute::kRefused}),
    [](const testing::TestParamInfo<ParseCase>& info) { return std::string(info.param.name); });

// The access check against a table in which setting 1 is loaded and enabled with the
// public password "pw", and slot 2 holds the same values but was never loaded.
struct AccessCase {
    const char* name;
    const char* line;
    std::string_view refusal;  // empty: accepted
};

class RouteRequestTest : public testing::TestWithParam<AccessCase> {
protected:
    RouteRequestTest() {
        m_settings[1].Load(CProfile("/nonexistent/tallwyn-test.stp"), 1);
        for (int number : {1, 2, 3}) {
            m_settings[number].ENABLE = true;
            m_settings[number].WEB_PASS = "pw";
        }
    }
    CSettingTable m_settings;
};

TEST_P(RouteRequestTest, ChecksSettingAndPassword) {
    const CRequestRoute route = RouteRequest(GetParam().line, m_settings);
    EXPECT_EQ(route.Refused(), !GetParam().refusal.empty());
    EXPECT_EQ(route.refusal, GetParam().refusal);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, RouteRequestTest,
    testing::Values(
        AccessCase{"Accepted", "GET /001pwtoplist HTTP/1.1\r\n", ""},
        AccessCase{"AcceptedMail", "GET /001pwmail002 HTTP/1.1\r\n", ""},
        AccessCase{"WrongPassword", "GET /001pxtoplist HTTP/1.1\r\n", "wrong password"},
        AccessCase{"PasswordCaseMatters", "GET /001PWtoplist HTTP/1.1\r\n", "wrong password"},
        AccessCase{"PasswordPrefix", "GET /001ptoplist HTTP/1.1\r\n", "wrong password"},
        AccessCase{"PasswordLonger", "GET /001pwxtoplist HTTP/1.1\r\n", "wrong password"},
        AccessCase{"SlotNeverLoaded", "GET /002pwtoplist HTTP/1.1\r\n", "no such page"},
        AccessCase{"SettingZero", "GET /000pwtoplist HTTP/1.1\r\n", "no such page"},
        AccessCase{"SettingThree", "GET /003pwtoplist HTTP/1.1\r\n", "no such page"},
        AccessCase{"Setting999", "GET /999pwtoplist HTTP/1.1\r\n", "no such page"},
        AccessCase{"NegativeSetting", "GET /-05pwtoplist HTTP/1.1\r\n", "no such page"},
        AccessCase{"Favicon", "GET /favicon.ico HTTP/1.1\r\n", "no such page"},
        AccessCase{"SettingTextWithLetters", "GET /1abpwtoplist HTTP/1.1\r\n", ""},
        AccessCase{"LaterListPageOfClassicPages", "GET /001pwtoplist21 HTTP/1.1\r\n",
                   "no such page"},
        AccessCase{"AttachmentOfClassicPages", "GET /001pwmail003-1 HTTP/1.1\r\n", "no such page"},
        AccessCase{"TokenOfClassicPages", "GET /001pwmail003.0123456789ab HTTP/1.1\r\n",
                   "no such page"}),
    [](const testing::TestParamInfo<AccessCase>& info) { return std::string(info.param.name); });

TEST(RouteRequest, DisabledSettingRefused) {
    CSettingTable settings;
    settings[1].Load(CProfile("/nonexistent/tallwyn-test.stp"), 1);
    settings[1].ENABLE = false;
    EXPECT_EQ(RouteRequest("GET /001toplist HTTP/1.1\r\n", settings).refusal, "disabled");
    // Not "wrong password" either: the log never tells a right guess from a wrong one.
    EXPECT_EQ(RouteRequest("GET /001pwtoplist HTTP/1.1\r\n", settings).refusal, "disabled");
}

TEST(RouteRequest, LaterListPagesBelongToTheModernPages) {
    CSettingTable settings;
    settings[1].Load(CProfile("/nonexistent/tallwyn-test.stp"), 1);
    settings[1].ENABLE = true;
    settings[1].WEB_PASS = "pw";
    settings[1].MAIL_PAGE_STYLE = CSetting::kPageModern;
    const CRequestRoute route = RouteRequest("GET /001pwtoplist21 HTTP/1.1\r\n", settings);
    EXPECT_EQ(route.page, CRequestRoute::kList);
    EXPECT_EQ(route.listFrom, 21);
    EXPECT_EQ(RouteRequest("GET /001pxtoplist21 HTTP/1.1\r\n", settings).refusal, "wrong password");
    EXPECT_EQ(RouteRequest("GET /001pwmail003-1 HTTP/1.1\r\n", settings).page,
              CRequestRoute::kAttachment);
    // Parts count from 1.
    EXPECT_EQ(RouteRequest("GET /001pwmail003-0 HTTP/1.1\r\n", settings).refusal, "no such page");
}

TEST(RouteRequest, EmptyPasswordMatchesOnlyAnEmptyPassword) {
    CSettingTable settings;
    settings[1].Load(CProfile("/nonexistent/tallwyn-test.stp"), 1);
    settings[1].ENABLE = true;
    EXPECT_TRUE(RouteRequest("GET /001pwtoplist HTTP/1.1\r\n", settings).Refused());
    EXPECT_FALSE(RouteRequest("GET /001toplist HTTP/1.1\r\n", settings).Refused());
}

struct EqualsCase {
    const char* name;
    std::string_view a;
    std::string_view b;
    bool equal;
};

class ConstantTimeEqualsTest : public testing::TestWithParam<EqualsCase> {};

TEST_P(ConstantTimeEqualsTest, ComparesBytes) {
    EXPECT_EQ(ConstantTimeEquals(GetParam().a, GetParam().b), GetParam().equal);
}

INSTANTIATE_TEST_SUITE_P(Pairs, ConstantTimeEqualsTest,
                         testing::Values(EqualsCase{"Same", "secret", "secret", true},
                                         EqualsCase{"BothEmpty", "", "", true},
                                         EqualsCase{"LastByte", "secret", "secreT", false},
                                         EqualsCase{"FirstByte", "secret", "Secret", false},
                                         EqualsCase{"Shorter", "secret", "secre", false},
                                         EqualsCase{"HighBit", "\x82\xA0", "\x82\xA2", false},
                                         EqualsCase{"ZeroInside", std::string_view("a\0b", 3),
                                                    std::string_view("a\0c", 3), false}),
                         [](const testing::TestParamInfo<EqualsCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
