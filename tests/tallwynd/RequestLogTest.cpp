#include "tallwynd/RequestLog.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

CRequestRecord Record(int setting, const char* page, int code, std::string text) {
    CRequestRecord record;
    record.client = "127.0.0.1:50312";
    record.settingNumber = setting;
    record.page = page;
    record.errorCode = code;
    record.errorText = std::move(text);
    record.bytesSent = 2048;
    record.milliseconds = 35;
    return record;
}

struct LineRow {
    const char* name;
    CRequestRecord record;
    std::string expected;  // after the time
};

class LineTest : public testing::TestWithParam<LineRow> {};

TEST_P(LineTest, OneLineOfFields) {
    const LineRow& row = GetParam();
    std::string line = CRequestLog::FormatLine(row.record, "T");
    EXPECT_EQ(line, "T " + row.expected);
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos);
}

// "ユーザ名またはパスワードが違います。" and "サーバからの受信に失敗しました。\nエラーコード(104)"
// in code page 932, as GetErrorMessage gives them.
const std::string kLoginCp932 =
    "\x83\x86\x81\x5B\x83\x55\x96\xBC\x82\xDC\x82\xBD\x82\xCD\x83\x70\x83\x58\x83\x8F\x81\x5B"
    "\x83\x68\x82\xAA\x88\xE1\x82\xA2\x82\xDC\x82\xB7\x81\x42";
const std::string kReceiveCp932 =
    "\x83\x54\x81\x5B\x83\x6F\x82\xA9\x82\xE7\x82\xCC\x8E\xF3\x90\x4D\x82\xC9\x8E\xB8\x94\x73"
    "\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81\x42\n\x83\x47\x83\x89\x81\x5B\x83\x52\x81\x5B\x83\x68"
    "(104)";

INSTANTIATE_TEST_SUITE_P(
    Values, LineTest,
    testing::Values(
        LineRow{"ListPageServed", Record(1, "toplist", 0, ""),
                "client=127.0.0.1:50312 setting=1 page=toplist outcome=ok bytes=2048 ms=35"},
        LineRow{"MailPageQuoted", Record(2, "mail 3", 0, ""),
                "client=127.0.0.1:50312 setting=2 page=\"mail 3\" outcome=ok bytes=2048 ms=35"},
        LineRow{"RefusedWithItsReason",
                [] {
                    CRequestRecord r = Record(-1, "refused", 0, "");
                    r.refusal = "no such page";
                    return r;
                }(),
                "client=127.0.0.1:50312 setting=- page=refused outcome=refused "
                "reason=\"no such page\" bytes=2048 ms=35"},
        LineRow{"Throttled", Record(-1, "throttled", 0, ""),
                "client=127.0.0.1:50312 setting=- page=throttled outcome=throttled bytes=2048 "
                "ms=35"},
        LineRow{"LoginFailureInUtf8", Record(1, "toplist", 4, kLoginCp932),
                "client=127.0.0.1:50312 setting=1 page=toplist "
                "outcome=ユーザ名またはパスワードが違います。 bytes=2048 ms=35"},
        LineRow{"TwoLineMessageOnOneLine", Record(1, "mail 1", 7, kReceiveCp932),
                "client=127.0.0.1:50312 setting=1 page=\"mail 1\" "
                "outcome=\"サーバからの受信に失敗しました。 エラーコード(104)\" bytes=2048 ms=35"},
        LineRow{"FailureWithItsCause",
                [] {
                    CRequestRecord r = Record(1, "toplist", 1, "");
                    r.detail = "host name mismatch: the certificate is not for pop.example.jp";
                    return r;
                }(),
                "client=127.0.0.1:50312 setting=1 page=toplist outcome=\"error 1\" "
                "detail=\"host name mismatch: the certificate is not for pop.example.jp\" "
                "bytes=2048 ms=35"},
        LineRow{"LoginRefusedWithTheServersReason",
                [] {
                    CRequestRecord r = Record(1, "toplist", 4, kLoginCp932);
                    r.reason = "mailbox in use";
                    r.detail = "server said: -ERR [IN-USE] locked";
                    return r;
                }(),
                "client=127.0.0.1:50312 setting=1 page=toplist "
                "outcome=ユーザ名またはパスワードが違います。 reason=\"mailbox in use\" "
                "detail=\"server said: -ERR [IN-USE] locked\" bytes=2048 ms=35"},
        LineRow{"ClientBehindTrustedProxy",
                [] {
                    CRequestRecord r = Record(1, "toplist", 0, "");
                    r.client = "2001:db8::7";
                    r.proxy = "127.0.0.1:50312";
                    return r;
                }(),
                "client=2001:db8::7 via=127.0.0.1:50312 setting=1 page=toplist outcome=ok "
                "bytes=2048 ms=35"},
        LineRow{"CodeWithoutMessage", Record(1, "toplist", 3, ""),
                "client=127.0.0.1:50312 setting=1 page=toplist outcome=\"error 3\" bytes=2048 "
                "ms=35"}),
    [](const testing::TestParamInfo<LineRow>& info) { return std::string(info.param.name); });

TEST(RequestLogTest, ValueQuotesAndEscapes) {
    EXPECT_EQ(CRequestLog::Value("plain"), "plain");
    EXPECT_EQ(CRequestLog::Value(""), "\"\"");
    EXPECT_EQ(CRequestLog::Value("a=b"), "\"a=b\"");
    EXPECT_EQ(CRequestLog::Value("say \"hi\"\\"), "\"say \\\"hi\\\"\\\\\"");
    EXPECT_EQ(CRequestLog::Value("tab\there\r\n"), "\"tab here  \"");
}

TEST(RequestLogTest, TimeIsLocalWithOffset) {
    setenv("TZ", "JST-9", 1);
    tzset();
    EXPECT_EQ(CRequestLog::TimeText(1714550400), "2024-05-01T17:00:00+0900");
    unsetenv("TZ");
    tzset();
}

}  // namespace
