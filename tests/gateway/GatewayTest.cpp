// The gateway end to end: requests through CListenSocket, answered from a scripted POP3
// peer, checked byte for byte as the browser receives them.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gateway/ListPage.h"
#include "gateway/ListenSocket.h"
#include "gateway/MessageToken.h"
#include "settings/Profile.h"
#include "support/FakePop3Server.h"
#include "support/HttpExchange.h"
#include "support/Loopback.h"
#include "support/Pop3Script.h"
#include "support/TestPki.h"
#include "support/TlsTestServer.h"
#include "transport/MyException.h"

namespace {

// Every wait of a request is bounded by this in the tests.
constexpr int kShortTimeoutMs = 300;

const std::string kHttpHead =
    "HTTP/1.0 200 OK\r\nContent-Type: text/html; charset=Shift_JIS\r\n"
    "Cache-Control: no-store\r\nContent-Security-Policy: default-src 'none'\r\n"
    "Referrer-Policy: no-referrer\r\nX-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n";
const std::string kHead = kHttpHead + "<HTML><HEAD><TITLE>Ravenquill</TITLE></HEAD><BODY>";
const std::string kFooter = "<BR><BR><B>By Orrinwick</B></BODY></HTML>";
const std::string kEmptyList(CListPage::kEmptyText);

using namespace pop3;

std::string Row(int number, const std::string& text) {
    char link[32];
    std::snprintf(link, sizeof link, "mail%03d", number);
    return "<A HREF='001pw" + std::string(link) + "'>" + text + " </A><BR>";
}

class GatewayTest : public testing::Test {
protected:
    void SetUp() override {
        TestTrust();  // before the process's first TLS connection
        CSetting& setting = m_settings[1];
        setting.Load(CProfile("/nonexistent/tallwyn-test.stp"), 1);
        setting.ENABLE = true;
        setting.WEB_PASS = "pw";
        setting.MAIL_ACCOUNT = "taro";
        setting.MAIL_PASS = "secret";
        m_listener.SetTimeout(kShortTimeoutMs);
        ASSERT_EQ(m_listener.Create(0, "127.0.0.1"), 0);
        ASSERT_EQ(m_listener.Listen(), 0);
        m_listener.m_onServed = [this](const CRequestRecord& record) {
            m_records.push_back(record);
        };
    }

    // Serves one request and returns every byte of the answer.
    std::string Serve(const std::string& request) {
        HttpExchange client(m_listener.Port(), request);
        m_listener.OnAccept();
        EXPECT_TRUE(client.Closed()) << "the connection was not closed";
        return client.Response();
    }
    std::string Get(const std::string& path) { return Serve(HttpExchange::Get(path)); }

    void UseServer(const FakePop3Server& server) { m_settings[1].MAIL_SERVER = server.Address(); }
    const CRequestRecord& Last() const { return m_records.back(); }

    CSettingTable m_settings;
    CListenSocket m_listener{m_settings};
    std::vector<CRequestRecord> m_records;
};

// --- Whole pages ---------------------------------------------------------------------

TEST_F(GatewayTest, ListPage) {
    // The second server sends the body after the header all the same.
    FakePop3Server server({Join({Login(2), Top(1, Message("first", "")),
                                 Top(2, Message("=?ISO-2022-JP?B?GyRCJUYlOSVIGyhC?=")), Quit()})});
    UseServer(server);
    // "テスト"
    EXPECT_EQ(Get("/001pwtoplist"),
              kHead + Row(1, "first\r\n") + Row(2, "\x83\x65\x83\x58\x83\x67") + kFooter);
    EXPECT_TRUE(server.ScriptMet()) << server.Failure();
    EXPECT_EQ(Last().page, "toplist");
    EXPECT_EQ(Last().settingNumber, 1);
    EXPECT_EQ(Last().errorCode, 0);
    EXPECT_EQ(Last().bytesSent, static_cast<long long>(kHead.size() + Row(1, "first\r\n").size() +
                                                       Row(2, "123456").size() + kFooter.size()));
    EXPECT_TRUE(Last().client.starts_with("127.0.0.1:"));
}

TEST_F(GatewayTest, MailPage) {
    FakePop3Server server(
        {Join({Login(3), Mail(2, Message("x", "Hello <you>\r\n..dot\r\n")), Quit()})});
    UseServer(server);
    EXPECT_EQ(Get("/001pwmail002"), kHead + "Hello &lt;you&gt;<BR>.dot<BR>" + kFooter);
    EXPECT_TRUE(server.ScriptMet()) << server.Failure();
    EXPECT_EQ(Last().page, "mail 2");
}

TEST_F(GatewayTest, MailPageReadsTheWholeAnswer) {
    const std::string multipart =
        "Content-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n--b1\r\n"
        "Content-Type: text/plain\r\n\r\nshown\r\n--b1\r\nContent-Type: application/zip\r\n\r\n" +
        std::string(200000, 'A') + "\r\n--b1--\r\n";
    FakePop3Server server({Join({Login(1), Mail(1, multipart), Quit()})});
    UseServer(server);
    // Attachments after the text are listed, so the answer is read to its end before QUIT.
    EXPECT_EQ(Get("/001pwmail001"), kHead + "shown<BR>" + kFooter);
    EXPECT_TRUE(server.ScriptMet()) << server.Failure();
}

TEST_F(GatewayTest, HtmlPartAfterTheFactIsReadAgain) {
    const std::string related =
        "Content-Type: multipart/related; boundary=\"r\"\r\n\r\n--r\r\n"
        "Content-Type: text/html\r\n\r\n<p>html &amp; only</p>\r\n--r--\r\n";
    FakePop3Server server(
        {Join({Login(1), Mail(1, related), TopLines(1, related.size(), related), Quit()})});
    UseServer(server);
    EXPECT_EQ(Get("/001pwmail001"), kHead + "html &amp; only<BR>" + kFooter);
    EXPECT_TRUE(server.ScriptMet()) << server.Failure();
}

TEST_F(GatewayTest, LargeMessageWithOverlongLine) {
    // A 1 MB body in lines of 76 bytes, then one line longer than the reply buffer; the
    // list's TOP gets it too, as from servers that ignore the line count.
    std::string body;
    while (body.size() < 1000000) {
        body += std::string(76, 'b') + "\r\n";
    }
    const std::string longLine(70000, 'L');
    FakePop3Server server(
        {Join({Login(2), Top(1, Message("big", body + longLine + "\r\nend\r\n")),
               Top(2, Message("next")), Quit()}),
         Join(
             {Login(1), Mail(1, Message("big", "start\r\n" + longLine + "\r\nend\r\n")), Quit()})});
    UseServer(server);
    EXPECT_EQ(Get("/001pwtoplist"), kHead + Row(1, "big\r\n") + Row(2, "next\r\n") + kFooter);
    // The overlong line keeps its first bytes and its line break; the next line follows.
    EXPECT_EQ(Get("/001pwmail001"),
              kHead + "start<BR>" + longLine.substr(0, 65533) + "<BR>end<BR>" + kFooter);
    EXPECT_TRUE(server.ScriptMet()) << server.Failure();
}

TEST_F(GatewayTest, BrowserGoneMidPage) {
    std::string body;
    while (body.size() < 4000000) {
        body += std::string(76, 'b') + "\r\n";
    }
    {
        FakePop3Server server({Join({Login(1), Mail(1, Message("x", body)), Quit()})});
        UseServer(server);
        // The browser asks and goes away without reading the answer.
        const int fd = loopback::Connect(m_listener.Port());
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(loopback::SendAll(fd, HttpExchange::Get("/001pwmail001")));
        ::close(fd);
        m_listener.OnAccept();
        EXPECT_EQ(Last().errorCode, ERR_SEND);
    }
    FakePop3Server next({Join({Login(0), Quit()})});
    UseServer(next);
    EXPECT_EQ(Get("/001pwtoplist"), kHead + kEmptyList + kFooter);
}

TEST_F(GatewayTest, HostNameWithPort) {
    FakePop3Server server({Join({Login(0), Quit()})});
    m_settings[1].MAIL_SERVER = "localhost:" + std::to_string(server.Port());
    EXPECT_EQ(Get("/001pwtoplist"), kHead + kEmptyList + kFooter);
}

// --- Which messages the list asks for, how and in which order ------------------------

struct ListCase {
    const char* name;
    int order;      // MAIL_LIST_ORDER
    int listCount;  // MAIL_LIST_COUNT
    Script script;  // the whole dialogue: the fake fails on any other command
    std::string body;
};

class GatewayListTest : public GatewayTest, public testing::WithParamInterface<ListCase> {};

TEST_P(GatewayListTest, AsksForHeadersInOrder) {
    const ListCase& c = GetParam();
    m_settings[1].MAIL_LIST_ORDER = c.order;
    m_settings[1].MAIL_LIST_COUNT = c.listCount;
    FakePop3Server server({c.script});
    UseServer(server);
    EXPECT_EQ(Get("/001pwtoplist"), kHead + c.body + kFooter);
    EXPECT_TRUE(server.ScriptMet()) << server.Failure();
}

const Script kTopRefused = {"S: -ERR unknown command"};
const Script kNoSuchMessage = {"S: -ERR no such message"};

INSTANTIATE_TEST_SUITE_P(
    Lists, GatewayListTest,
    testing::Values(
        ListCase{"StopsAtListCount", 0, 2,
                 Join({Login(20), Top(1, Message("a", "")), Top(2, Message("b", "")), Quit()}),
                 Row(1, "a\r\n") + Row(2, "b\r\n")},
        ListCase{"EmptyMailbox", 0, 5, Join({Login(0), Quit()}), kEmptyList},
        ListCase{"TopRefusedSoRetrForTheRest", 0, 5,
                 Join({Login(3),
                       {"C: TOP 1 0"},
                       kTopRefused,
                       Retr(1, Message("a")),
                       Retr(2, Message("b")),
                       Retr(3, Message("c")),
                       Quit()}),
                 Row(1, "a\r\n") + Row(2, "b\r\n") + Row(3, "c\r\n")},
        ListCase{"VanishedForTopAndRetr", 0, 5,
                 Join({Login(3),
                       {"C: TOP 1 0"},
                       kNoSuchMessage,
                       {"C: RETR 1"},
                       kNoSuchMessage,
                       Top(2, Message("b", "")),
                       {"C: TOP 3 0"},
                       kNoSuchMessage,
                       {"C: RETR 3"},
                       kNoSuchMessage,
                       Quit()}),
                 Row(2, "b\r\n")},
        ListCase{"NewestFirstStopsAtListCount", 1, 2,
                 Join({Login(20), Top(20, Message("t", "")), Top(19, Message("s", "")), Quit()}),
                 Row(20, "t\r\n") + Row(19, "s\r\n")},
        ListCase{"NewestFirstWithoutTop", 1, 5,
                 Join({Login(2),
                       {"C: TOP 2 0"},
                       kTopRefused,
                       Retr(2, Message("b")),
                       Retr(1, Message("a")),
                       Quit()}),
                 Row(2, "b\r\n") + Row(1, "a\r\n")},
        ListCase{"NewestFirstNegativeCount", 1, 5, Join({Login(-3), Quit()}), kEmptyList},
        ListCase{"UnknownOrderIsOldestFirst", 2, 1,
                 Join({Login(2), Top(1, Message("a", "")), Quit()}), Row(1, "a\r\n")}),
    [](const testing::TestParamInfo<ListCase>& info) { return std::string(info.param.name); });

// --- Extensions: what the server advertises decides how the dialogue talks ---------

// The answer to TOP number 0 for message.
std::string TopAnswer(const std::string& message) {
    return "+OK\r\n" + message + ".\r\n";
}

// "C: TOP first 0" to "C: TOP last 0", all sent before any answer, then the answers in
// one write: a script the client meets only by pipelining.
Script TopWindow(int first, int last, const std::function<std::string(int)>& subject) {
    Script script;
    std::string answers;
    for (int n = first; n <= last; ++n) {
        script.push_back("C: TOP " + std::to_string(n) + " 0");
        answers += TopAnswer(Message(subject(n), ""));
    }
    script.push_back(FakePop3Server::Raw(answers));
    return script;
}

std::string Letter(int n) {
    return std::string(1, static_cast<char>('a' + n - 1));
}

// USER, PASS and STAT (and more) sent together, then their answers.
Script PipelinedLogin(int count, Script more = {}, Script moreAnswers = {}) {
    Script script = {"C: USER taro", "C: PASS secret", "C: STAT"};
    script.insert(script.end(), more.begin(), more.end());
    script.insert(script.end(), {"S: +OK", "S: +OK", "S: +OK " + std::to_string(count) + " 99"});
    script.insert(script.end(), moreAnswers.begin(), moreAnswers.end());
    return script;
}

struct DialogueCase {
    const char* name;
    const char* path;
    int listCount;
    std::vector<Script> scripts;  // the fake fails on any other command or order
    std::string body;
    int filterType = 0;
    std::string filter = "";
    int requests = 0;  // 0: one per script
};

class GatewayDialogueTest : public GatewayTest, public testing::WithParamInterface<DialogueCase> {};

TEST_P(GatewayDialogueTest, TalksAsTheServerAdvertised) {
    const DialogueCase& c = GetParam();
    m_settings[1].MAIL_LIST_COUNT = c.listCount;
    m_settings[1].FILTER_TYPE = c.filterType;
    m_settings[1].FILTER1 = c.filter;
    FakePop3Server server(c.scripts);
    UseServer(server);
    std::string page;
    const std::size_t requests = c.requests > 0 ? c.requests : c.scripts.size();
    for (std::size_t i = 0; i < requests; ++i) {
        page = Get(c.path);
    }
    EXPECT_EQ(page, kHead + c.body + kFooter);
    EXPECT_EQ(Last().errorCode, 0) << Last().detail;
    EXPECT_TRUE(server.ScriptMet()) << server.Failure();
}

const std::string kPipelining = "TOP\r\nPIPELINING\r\nUSER\r\n";
const std::string kRowsAbc = Row(1, "a\r\n") + Row(2, "b\r\n") + Row(3, "c\r\n");
const std::string kMail = Message("x", "Hello.\r\n");

INSTANTIATE_TEST_SUITE_P(
    Extensions, GatewayDialogueTest,
    testing::Values(
        DialogueCase{"PipeliningBeforeLogin",
                     "/001pwtoplist",
                     5,
                     {Join({{"S: +OK"},
                            Capa(kPipelining),
                            PipelinedLogin(3),
                            TopWindow(1, 3, Letter),
                            Quit()})},
                     kRowsAbc},
        DialogueCase{"PipeliningAfterLoginInLowerCase",
                     "/001pwtoplist",
                     5,
                     {Join({{"S: +OK"},
                            Capa("TOP\r\nUSER\r\n"),
                            {"C: USER taro", "S: +OK", "C: PASS secret", "S: +OK"},
                            Capa("X-UNKNOWN 1 2\r\npipelining\r\n"),
                            {"C: STAT", "S: +OK 3 99"},
                            TopWindow(1, 3, Letter),
                            Quit()})},
                     kRowsAbc},
        DialogueCase{"PipeliningNever",
                     "/001pwtoplist",
                     5,
                     {Join({{"S: +OK"},
                            Capa("TOP\r\n"),
                            {"C: USER taro", "S: +OK", "C: PASS secret", "S: +OK"},
                            Capa("TOP\r\nPIPELININGS\r\n"),
                            {"C: STAT", "S: +OK 2 99"},
                            Top(1, Message("a", "")),
                            Top(2, Message("b", "")),
                            Quit()})},
                     Row(1, "a\r\n") + Row(2, "b\r\n")},
        DialogueCase{"CapaOfMegabytesIsNoExtensions",
                     "/001pwtoplist",
                     5,
                     {Join({{"S: +OK"},
                            Capa(kPipelining + std::string(2000000, 'x') + "\r\nUTF8\r\n"),
                            {"C: USER taro", "S: +OK", "C: PASS secret", "S: +OK"},
                            Capa(""),
                            {"C: STAT", "S: +OK 1 99"},
                            Top(1, Message("a", "")),
                            Quit()})},
                     Row(1, "a\r\n")},
        DialogueCase{"WindowOfTheRowsWanted",
                     "/001pwtoplist",
                     2,
                     {Join({{"S: +OK"},
                            Capa(kPipelining),
                            PipelinedLogin(9),
                            TopWindow(1, 2, Letter),
                            Quit()})},
                     Row(1, "a\r\n") + Row(2, "b\r\n")},
        // A filter passes messages over: a window of 16 for the 1 row wanted, then the
        // next; the answers the page no longer needs are read after QUIT.
        DialogueCase{"FilteredWindows",
                     "/001pwtoplist",
                     1,
                     {Join({{"S: +OK"},
                            Capa(kPipelining),
                            PipelinedLogin(20),
                            TopWindow(1, 16, [](int) { return "other"; }),
                            TopWindow(17, 20, [](int n) { return n == 17 ? "wanted" : "no"; }),
                            Quit()})},
                     Row(17, "wanted\r\n"),
                     1,
                     "wanted"},
        // TOP refused in a window: the window's other answers are passed over, the
        // message is asked with RETR, and the rest with RETR in the next window.
        DialogueCase{
            "TopRefusedInsideAWindow",
            "/001pwtoplist",
            5,
            {Join({{"S: +OK"},
                   Capa("PIPELINING\r\n"),
                   PipelinedLogin(3),
                   {"C: TOP 1 0", "C: TOP 2 0", "C: TOP 3 0",
                    FakePop3Server::Raw("-ERR what?\r\n-ERR what?\r\n+OK\r\n" + Message("c") +
                                        ".\r\n")},
                   Retr(1, Message("a")),
                   {"C: RETR 2", "C: RETR 3",
                    FakePop3Server::Raw(TopAnswer(Message("b")) + TopAnswer(Message("c")))},
                   Quit()})},
            kRowsAbc},
        DialogueCase{
            "MailPageAsksListWithTheLogin",
            "/001pwmail002",
            5,
            {Join({{"S: +OK"},
                   Capa(kPipelining),
                   PipelinedLogin(3, {"C: LIST 2"}, {"S: +OK 2 " + std::to_string(kMail.size())}),
                   TopLines(2, kMail.size(), kMail),
                   Quit()})},
            "Hello.<BR>"},
        DialogueCase{"Utf8BeforeUser",
                     "/001pwtoplist",
                     5,
                     {Join({{"S: +OK"},
                            Capa("UTF8 USER\r\nPIPELINING\r\n"),
                            {"C: UTF8", "C: USER taro", "C: PASS secret", "C: STAT", "S: +OK",
                             "S: +OK", "S: +OK", "S: +OK 0 0"},
                            Quit()}),
                      Join({{"S: +OK"},
                            Capa("utf8\r\n"),
                            {"C: UTF8", "S: -ERR not now", "C: USER taro", "S: +OK",
                             "C: PASS secret", "S: +OK"},
                            Capa("UTF8\r\n"),
                            {"C: STAT", "S: +OK 0 0"},
                            Quit()})},
                     kEmptyList},
        DialogueCase{"InUseThenServed",
                     "/001pwtoplist",
                     5,
                     {Join({Greeting(),
                            {"C: USER taro", "S: +OK", "C: PASS secret",
                             "S: -ERR [IN-USE] Mailbox is locked by another session"}}),
                      Join({Login(1), Top(1, Message("a", "")), Quit()})},
                     Row(1, "a\r\n"),
                     0,
                     "",
                     1},
        // The message page reads with TOP; LIST sizes it cannot use read every line, and
        // a server without TOP gets RETR.
        DialogueCase{
            "MailSizeMissing",
            "/001pwmail001",
            5,
            {Join({Login(1), {"C: LIST 1", "S: +OK 1"}, TopLines(1, 2147483647, kMail), Quit()})},
            "Hello.<BR>"},
        DialogueCase{
            "MailSizeNegative",
            "/001pwmail001",
            5,
            {Join(
                {Login(1), {"C: LIST 1", "S: +OK 1 -50"}, TopLines(1, 2147483647, kMail), Quit()})},
            "Hello.<BR>"},
        DialogueCase{"MailSizeAbsurd",
                     "/001pwmail001",
                     5,
                     {Join({Login(1),
                            {"C: LIST 1", "S: +OK 1 99999999999999999999"},
                            TopLines(1, 2147483647, kMail),
                            Quit()})},
                     "Hello.<BR>"},
        DialogueCase{"MailWithoutTop",
                     "/001pwmail001",
                     5,
                     {Join({Login(1),
                            {"C: LIST 1", "S: +OK 1 30", "C: TOP 1 30", "S: -ERR what?"},
                            Retr(1, kMail),
                            Quit()})},
                     "Hello.<BR>"}),
    [](const testing::TestParamInfo<DialogueCase>& info) { return std::string(info.param.name); });

// A page is whole once QUIT is sent: the server's goodbye is read after the browser
// has its page, and a server that never says it costs the page nothing.
TEST_F(GatewayTest, QuitAnswerDoesNotHoldThePage) {
    FakePop3Server server({Join({Login(0), {"C: QUIT", "SILENT"}}),
                           Join({Login(1), Mail(1, Message("x", "text\r\n")), {"C: QUIT", "X"}})});
    UseServer(server);
    EXPECT_EQ(Get("/001pwtoplist"), kHead + kEmptyList + kFooter);
    EXPECT_EQ(Last().errorCode, 0);
    EXPECT_EQ(Get("/001pwmail001"), kHead + "text<BR>" + kFooter);
    EXPECT_EQ(Last().errorCode, 0);
}

// --- The modern pages (MAIL_PAGE_STYLE=1) ---------------------------------------------

// "一覧" (list), "件名" (subject), "差出人" (from), "宛先" (to), "日付" (date), "一覧へ",
// "前のメール", "次のメール", code page 932.
const std::string kList = "\x88\xEA\x97\x97";
const std::string kSubjectLabel = "<B>\x8C\x8F\x96\xBC</B> ";
const std::string kFromLabel = "<B>\x8D\xB7\x8F\x6F\x90\x6C</B> ";
const std::string kToLabel = "<B>\x88\xB6\x90\xE6</B> ";
const std::string kDateLabel = "<B>\x93\xFA\x95\x74</B> ";
const std::string kLinks =
    "<P CLASS=n><A HREF='001pwtoplist'>\x88\xEA\x97\x97\x82\xD6</A> "
    "<A HREF='001pwmail001'>\x91\x4F\x82\xCC\x83\x81\x81\x5B\x83\x8B</A> "
    "<A HREF='001pwmail003'>\x8E\x9F\x82\xCC\x83\x81\x81\x5B\x83\x8B</A></P>";

class GatewayModernTest : public GatewayTest {
protected:
    void SetUp() override {
        GatewayTest::SetUp();
        setenv("TZ", "JST-9", 1);  // the dates of the rows, as a gateway in Japan shows them
        m_settings[1].MAIL_PAGE_STYLE = CSetting::kPageModern;
        m_settings[1].NAME = "Inbox";
    }
    // What follows the page head.
    static std::string Body(const std::string& answer) {
        const std::size_t body = answer.find("<BODY>");
        return body == std::string::npos ? answer : answer.substr(body + 6);
    }
};

TEST_F(GatewayModernTest, ListRowsCarrySenderAndDate) {
    FakePop3Server server({Join({Login(2),
                                 Top(1,
                                     "From: =?UTF-8?B?5bGx55Sw?= <y@example.jp>\r\n"
                                     "Date: Mon, 1 Jan 2024 09:00:00 +0900\r\nSubject: a\r\n\r\n"),
                                 Top(2, "Subject: <b>\r\n\r\n"), Quit()})});
    UseServer(server);
    const std::string answer = Get("/001pwtoplist");
    EXPECT_NE(answer.find("Content-Security-Policy: default-src 'none'; style-src 'sha256-"),
              std::string::npos);
    EXPECT_NE(answer.find("<META NAME='viewport' CONTENT='width=device-width, initial-scale=1'>"
                          "<TITLE>Inbox - " +
                          kList + "</TITLE>"),
              std::string::npos);
    // "山田"; the message without From and Date has a row without them.
    EXPECT_EQ(
        Body(answer),
        "<P><A HREF='001pwmail001'>a\r\n</A><BR><SMALL CLASS=f>\x8E\x52\x93\x63</SMALL> "
        "<SMALL CLASS=d>2024/01/01</SMALL></P><P><A HREF='001pwmail002'>&lt;b&gt;\r\n</A></P>" +
            kFooter);
    EXPECT_TRUE(server.ScriptMet()) << server.Failure();
}

TEST_F(GatewayModernTest, MailPageHasHeaderLinesAndLinks) {
    FakePop3Server server(
        {Join({Login(3),
               Mail(2,
                    "From: Taro <t@example.jp>\r\nTo: a@example.jp,\r\n \"B, C\" <b@example.jp>\r\n"
                    "Cc: c@example.jp\r\nDate: Mon, 1 Jan 2024 09:00:00 +0900\r\n"
                    "Subject: hi & bye\r\n\r\nHello\r\n"),
               Quit()})});
    UseServer(server);
    EXPECT_EQ(Body(Get("/001pwmail002")),
              "<P CLASS=h>" + kSubjectLabel + "hi &amp; bye<BR>" + kFromLabel +
                  "Taro &lt;t@example.jp&gt;<BR>" + kToLabel + "a@example.jp, B, C<BR><B>Cc</B> " +
                  "c@example.jp<BR>" + kDateLabel + "2024/01/01 09:00<BR></P>Hello<BR>" + kLinks +
                  kFooter);
    EXPECT_TRUE(server.ScriptMet()) << server.Failure();
}

TEST_F(GatewayModernTest, FailureEndsThePageWithItsMessage) {
    FakePop3Server server(
        {Join({Greeting(), {"C: USER taro", "S: +OK", "C: PASS secret", "S: -ERR denied"}})});
    UseServer(server);
    // "ユーザ名またはパスワードが違います。", and the footer.
    EXPECT_EQ(Body(Get("/001pwtoplist")),
              "<P CLASS=e>\x83\x86\x81\x5B\x83\x55\x96\xBC\x82\xDC\x82\xBD\x82\xCD\x83\x70\x83\x58"
              "\x83\x8F\x81\x5B\x83\x68\x82\xAA\x88\xE1\x82\xA2\x82\xDC\x82\xB7\x81\x42</P>" +
                  kFooter);
    EXPECT_EQ(Last().errorCode, ERR_LOGIN);
}

// Paging: which messages a list page asks for, and where its links lead.
struct PagingCase {
    const char* name;
    int order;                 // MAIL_LIST_ORDER
    const char* path;          // after "/001pw"
    int stat;                  // messages in the mailbox
    std::vector<int> asked;    // the TOPs, in order
    std::string links;         // the page's links, each after "001pw", in order
    const char* skipped = "";  // subjects (one letter a message) the filter leaves out
    int listCount = 2;         // MAIL_LIST_COUNT
};

class GatewayPagingTest : public GatewayModernTest,
                          public testing::WithParamInterface<PagingCase> {};

TEST_P(GatewayPagingTest, ContinuesWhereThePageStopped) {
    const PagingCase& c = GetParam();
    m_settings[1].MAIL_LIST_ORDER = c.order;
    m_settings[1].MAIL_LIST_COUNT = c.listCount;
    m_settings[1].FILTER_TYPE = 2;
    m_settings[1].FILTER2 = "x";
    Script script = Login(c.stat);
    for (const int number : c.asked) {
        const bool skip = std::string_view(c.skipped).find(static_cast<char>('0' + number)) !=
                          std::string_view::npos;
        script = Join({script, Top(number, Message(skip ? "x" : "m", ""))});
    }
    FakePop3Server server({Join({script, Quit()})});
    UseServer(server);
    const std::string answer = Get(std::string("/001pw") + c.path);
    std::string links;
    for (std::size_t at = 0; (at = answer.find("HREF='001pw", at)) != std::string::npos;) {
        at += 11;
        links += (links.empty() ? "" : " ") + answer.substr(at, answer.find('\'', at) - at);
    }
    EXPECT_EQ(links, c.links);
    EXPECT_TRUE(server.ScriptMet()) << server.Failure();
}

INSTANTIATE_TEST_SUITE_P(
    Pages, GatewayPagingTest,
    testing::Values(
        PagingCase{"FirstPage", 0, "toplist", 5, {1, 2}, "mail001 mail002 toplist3"},
        PagingCase{"LaterPage", 0, "toplist3", 5, {3, 4}, "mail003 mail004 toplist5 toplist"},
        PagingCase{"LastPage", 0, "toplist5", 5, {5}, "mail005 toplist"},
        PagingCase{"AllOnOnePage", 0, "toplist", 2, {1, 2}, "mail001 mail002"},
        PagingCase{"PastTheEndStartsAtTheLast", 0, "toplist99", 5, {5}, "mail005 toplist"},
        PagingCase{"ZeroIsTheFirstPage", 0, "toplist0", 5, {1, 2}, "mail001 mail002 toplist3"},
        PagingCase{"NegativeIsTheFirstPage", 0, "toplist-7", 5, {1, 2}, "mail001 mail002 toplist3"},
        PagingCase{"EmptyMailbox", 0, "toplist3", 0, {}, ""},
        PagingCase{"NegativeCount", 1, "toplist3", -3, {}, ""},
        // A page that can list nothing does not link to itself as the next one.
        PagingCase{"ListCountZeroHasNoNext", 0, "toplist", 5, {}, "", "", 0},
        PagingCase{"FilterSkipsAndTheNextLinkFollows",
                   0,
                   "toplist",
                   6,
                   {1, 2, 3, 4},
                   "mail002 mail004 toplist5",
                   "13"},
        PagingCase{
            "NewestFirstLaterPage", 1, "toplist3", 5, {3, 2}, "mail003 mail002 toplist1 toplist"},
        PagingCase{"NewestFirstHugeStartsAtTheNewest",
                   1,
                   "toplist99999999999",
                   5,
                   {5, 4},
                   "mail005 mail004 toplist3"},
        PagingCase{"NewestFirstLastPage", 1, "toplist1", 5, {1}, "mail001 toplist"}),
    [](const testing::TestParamInfo<PagingCase>& info) { return std::string(info.param.name); });

// --- Failures: the page is cut where it stands, and the next request is whole -------

struct FailureCase {
    const char* name;
    const char* path;
    std::vector<Script> scripts;  // what the mail server does
    std::string body;             // what follows the page head
    int code;
    std::string mailServer = "127.0.0.1:{port}";  // {port}: the fake's; {closed}: nobody's
    std::string detail = "";                      // what the record's detail begins with
    std::string reason = "";                      // the record's reason
};

class GatewayFailureTest : public GatewayTest, public testing::WithParamInterface<FailureCase> {};

TEST_P(GatewayFailureTest, CutsThePage) {
    const FailureCase& c = GetParam();
    {
        FakePop3Server server(c.scripts);
        std::string address = c.mailServer;
        if (const auto at = address.find("{port}"); at != std::string::npos) {
            address.replace(at, 6, std::to_string(server.Port()));
        }
        if (const auto at = address.find("{closed}"); at != std::string::npos) {
            address.replace(at, 8, std::to_string(loopback::UnusedPort()));
        }
        m_settings[1].MAIL_SERVER = address;
        EXPECT_EQ(Get(c.path), kHead + c.body);
        EXPECT_EQ(Last().errorCode, c.code);
        EXPECT_FALSE(Last().errorText.empty());
        EXPECT_EQ(Last().detail.substr(0, c.detail.size()), c.detail) << Last().detail;
        EXPECT_EQ(Last().reason, c.reason);
        EXPECT_TRUE(server.ScriptMet()) << server.Failure();
        EXPECT_EQ(server.Connections(), static_cast<int>(c.scripts.size()));
    }
    FakePop3Server next({Join({Login(0), Quit()})});
    UseServer(next);
    EXPECT_EQ(Get("/001pwtoplist"), kHead + kEmptyList + kFooter);
}

const std::string kPartial = "+OK\r\nSubject: two\r\n";

INSTANTIATE_TEST_SUITE_P(
    Failures, GatewayFailureTest,
    testing::Values(
        FailureCase{"ConnectionRefused",
                    "/001pwtoplist",
                    {},
                    "",
                    ERR_CONNECT,
                    "127.0.0.1:{closed}",
                    "connection to 127.0.0.1:"},
        FailureCase{"EmptyServer", "/001pwtoplist", {}, "", ERR_CONNECT, "", "MAIL_SERVER is"},
        FailureCase{"EmptyPort", "/001pwtoplist", {}, "", ERR_CONNECT, "127.0.0.1:"},
        FailureCase{"OtherScheme",
                    "/001pwtoplist",
                    {},
                    "",
                    ERR_CONNECT,
                    "imaps://127.0.0.1:{port}",
                    "MAIL_SERVER is none of host, host:port"},
        FailureCase{"TlsToAPlainServer",
                    "/001pwtoplist",
                    {{"S: +OK POP3 ready", "SILENT"}},
                    "",
                    ERR_CONNECT,
                    "pop3s://127.0.0.1:{port}",
                    "TLS handshake failed: "},
        FailureCase{"TlsServerSilent",
                    "/001pwtoplist",
                    {{"SILENT"}},
                    "",
                    ERR_CONNECT,
                    "POP3S://localhost:{port}",
                    "TLS handshake timed out after 300 ms"},
        FailureCase{"PortOutOfRange", "/001pwtoplist", {}, "", ERR_CONNECT, "127.0.0.1:99999"},
        FailureCase{"PortNotANumber", "/001pwtoplist", {}, "", ERR_CONNECT, "127.0.0.1:abc"},
        FailureCase{"NoHost", "/001pwtoplist", {}, "", ERR_CONNECT, ":{port}"},
        FailureCase{"ClosedBeforeGreeting", "/001pwtoplist", {{"X"}}, "", ERR_RECEIVE},
        FailureCase{"NoGreeting",
                    "/001pwtoplist",
                    {{"SILENT"}},
                    "",
                    ERR_RECEIVE,
                    "127.0.0.1:{port}",
                    "nothing received for 300 ms"},
        FailureCase{"UserRefused",
                    "/001pwtoplist",
                    {Join({Greeting(), {"C: USER taro", "S: -ERR who?"}})},
                    "",
                    ERR_LOGIN},
        FailureCase{"UserOkInLowerCase",
                    "/001pwtoplist",
                    {Join({Greeting(), {"C: USER taro", "S: +ok"}})},
                    "",
                    ERR_LOGIN},
        FailureCase{
            "PasswordRefused",
            "/001pwtoplist",
            {Join({Greeting(), {"C: USER taro", "S: +OK", "C: PASS secret", "S: -ERR denied"}})},
            "",
            ERR_LOGIN},
        FailureCase{"LoginDelay",
                    "/001pwtoplist",
                    {Join({Greeting(),
                           {"C: USER taro", "S: +OK", "C: PASS secret",
                            "S: -ERR [LOGIN-DELAY] wait\x01 300 s, not secret"}})},
                    "",
                    ERR_LOGIN,
                    "127.0.0.1:{port}",
                    "server said: -ERR [LOGIN-DELAY] wait  300 s, not ***",
                    "login delay"},
        FailureCase{
            "CapaWithoutEnd",
            "/001pwtoplist",
            {{"S: +OK", "C: CAPA",
              FakePop3Server::Raw("+OK\r\n" + std::string(100000, 'P') + "\r\nTOP\r\n"), "SILENT"}},
            "",
            ERR_RECEIVE},
        FailureCase{"StlsNotOffered",
                    "/001pwtoplist",
                    {Join({{"S: +OK"}, Capa("USER\r\nPIPELINING\r\n")})},
                    "",
                    ERR_CONNECT,
                    "pop3+stls://127.0.0.1:{port}",
                    "the server does not offer STLS"},
        FailureCase{"StlsRefused",
                    "/001pwtoplist",
                    {Join({{"S: +OK"}, Capa("STLS\r\n"), {"C: STLS", "S: -ERR not\tnow"}})},
                    "",
                    ERR_CONNECT,
                    "pop3+stls://127.0.0.1:{port}",
                    "the server refused STLS: -ERR not now"},
        FailureCase{"StlsAnsweredWithPlainText",
                    "/001pwtoplist",
                    {Join({{"S: +OK"},
                           Capa("STLS\r\n"),
                           {"C: STLS", FakePop3Server::Raw("+OK go ahead\r\n+OK ready\r\n")}})},
                    "",
                    ERR_CONNECT,
                    "pop3+stls://127.0.0.1:{port}",
                    "the server sent plain text after its STLS answer"},
        FailureCase{"StatRefused",
                    "/001pwtoplist",
                    {Join({Greeting(),
                           {"C: USER taro", "S: +OK", "C: PASS secret", "S: +OK", "C: STAT",
                            "S: -ERR busy"}})},
                    "",
                    ERR_RETRIEVE},
        FailureCase{"MailMissing",
                    "/001pwmail009",
                    {Join({Login(2),
                           {"C: LIST 9", "S: -ERR no such message", "C: RETR 9",
                            "S: -ERR no such message"}})},
                    "",
                    ERR_RETRIEVE},
        FailureCase{"ListSilentMidAnswer",
                    "/001pwtoplist",
                    {Join({Login(2),
                           Top(1, Message("one", "")),
                           {"C: TOP 2 0", FakePop3Server::Raw(kPartial), "SILENT"}})},
                    Row(1, "one\r\n"),
                    ERR_RECEIVE},
        FailureCase{"ListClosedMidAnswer",
                    "/001pwtoplist",
                    {Join({Login(2),
                           Top(1, Message("one", "")),
                           {"C: TOP 2 0", FakePop3Server::Raw(kPartial), "X"}})},
                    Row(1, "one\r\n"),
                    ERR_RECEIVE},
        FailureCase{
            "MailSilentMidText",
            "/001pwmail001",
            {Join({Login(1),
                   {"C: LIST 1", "S: +OK 1 100", "C: TOP 1 100",
                    FakePop3Server::Raw("+OK\r\n" + Message("x", "line one\r\n")), "SILENT"}})},
            "line one<BR>",
            ERR_RECEIVE}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

// --- POP3 over TLS: a TLS front on the scripted peer ---------------------------------

TEST_F(GatewayTest, PagesOverTlsAreTheSameAsPlain) {
    const Script list = Join({Login(2), Top(1, Message("first", "")),
                              Top(2, Message("=?ISO-2022-JP?B?GyRCJUYlOSVIGyhC?=", "")), Quit()});
    const Script mail = Join({Login(1), Mail(1, Message("x", "line one\r\n..dot\r\n")), Quit()});
    FakePop3Server server({list, list, mail, mail});
    TestServer front([&](int fd) { RelayTls(fd, TestTrust().localhost, server.Port()); }, 2);
    const std::string plain = server.Address();
    const std::string tls = "pop3s://localhost:" + std::to_string(front.Port());
    for (const char* path : {"/001pwtoplist", "/001pwmail001"}) {
        m_settings[1].MAIL_SERVER = plain;
        const std::string overPlain = Get(path);
        m_settings[1].MAIL_SERVER = tls;
        const std::string overTls = Get(path);
        EXPECT_EQ(Last().errorCode, 0) << Last().detail;
        EXPECT_EQ(overTls, overPlain) << path;
        EXPECT_TRUE(overTls.ends_with(kFooter)) << overTls;
    }
    EXPECT_TRUE(server.ScriptMet()) << server.Failure();
}

struct TlsRefusalCase {
    const char* name;
    bool knownCa;
    const char* certifiedName;
    const char* detail;
};

class GatewayTlsRefusalTest : public GatewayTest,
                              public testing::WithParamInterface<TlsRefusalCase> {};

TEST_P(GatewayTlsRefusalTest, EndsThePageAfterItsHeadAndSaysWhy) {
    const TlsRefusalCase& c = GetParam();
    const TestAuthority& ca = c.knownCa ? TestTrust().trusted : TestTrust().stranger;
    const Credentials credentials = ca.Issue({{c.certifiedName}, {}});
    FakePop3Server server({});
    TestServer front([&](int fd) { RelayTls(fd, credentials, server.Port()); });
    m_settings[1].MAIL_SERVER = "pop3s://localhost:" + std::to_string(front.Port());
    EXPECT_EQ(Get("/001pwtoplist"), kHead);
    EXPECT_EQ(Last().errorCode, ERR_CONNECT);
    EXPECT_EQ(Last().detail, c.detail);
    EXPECT_EQ(server.Connections(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Certificates, GatewayTlsRefusalTest,
    testing::Values(TlsRefusalCase{"UnknownCa", false, "localhost",
                                   "certificate verify failed: unable to get local issuer "
                                   "certificate"},
                    TlsRefusalCase{"WrongHostName", true, "pop.tallwyn.test",
                                   "host name mismatch: the certificate is not for localhost"}),
    [](const testing::TestParamInfo<TlsRefusalCase>& info) {
        return std::string(info.param.name);
    });

TEST_F(GatewayTest, StlsAnsweredWithGarbageFailsBeforeUser) {
    std::string received;
    TestServer server([&](int fd) {
        char buffer[4096];
        auto take = [&] {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            received.append(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
        };
        loopback::SendAll(fd, "+OK\r\n");
        take();  // CAPA
        loopback::SendAll(fd, "+OK\r\nSTLS\r\n.\r\n");
        take();  // STLS
        loopback::SendAll(fd, "+OK\r\n");
        take();  // the TLS hello
        loopback::SendAll(fd, "-ERR this is no TLS\r\n");
        take();
    });
    m_settings[1].MAIL_SERVER = "pop3+stls://localhost:" + std::to_string(server.Port());
    EXPECT_EQ(Get("/001pwtoplist"), kHead);
    EXPECT_EQ(Last().errorCode, ERR_CONNECT);
    EXPECT_TRUE(Last().detail.starts_with("TLS handshake failed")) << Last().detail;
    EXPECT_EQ(received.find("USER"), std::string::npos);
}

// --- Requests that get no answer at all ----------------------------------------------

// --- OAuth 2.0: AUTH XOAUTH2 with a token from the source -----------------------

// Hands out the tokens of a list in turn, a fresh one whenever the last was refused,
// and remembers what it was told.
class ScriptedTokens final : public CAccessTokenSource {
public:
    explicit ScriptedTokens(std::vector<std::string> tokens) : m_tokens(std::move(tokens)) {}
    CAccessToken AccessToken(const CSetting&, std::chrono::steady_clock::time_point,
                             std::string_view refused) override {
        m_refused.emplace_back(refused);
        CAccessToken result;
        if (m_next < m_tokens.size()) {
            result.token = m_tokens[m_next++];
        } else {
            result.failure = "oauth: invalid_grant";
        }
        return result;
    }
    std::vector<std::string> m_refused;

private:
    std::vector<std::string> m_tokens;
    std::size_t m_next = 0;
};

// "user=taro\x01auth=Bearer tokN\x01\x01" in base64.
const std::string kToken1Line = "C: dXNlcj10YXJvAWF1dGg9QmVhcmVyIHRvazEBAQ==";
const std::string kToken2Line = "C: dXNlcj10YXJvAWF1dGg9QmVhcmVyIHRvazIBAQ==";
const Script kCapaXoauth2 = {"S: +OK POP3 ready",     "C: CAPA", "S: +OK", "S: TOP",
                             "S: SASL PLAIN XOAUTH2", "S: ."};
const Script kErrorChallenge = {"S: + eyJzdGF0dXMiOiI0MDEifQ==", "C: ", "S: -ERR [AUTH] failed"};
// After the login, the list page asks again whether it may pipeline.
const Script kStatEmpty = Join({Capa("TOP\r\nSASL PLAIN XOAUTH2\r\n"), {"C: STAT", "S: +OK 0 0"}});

struct OAuthCase {
    const char* name;
    std::vector<std::string> tokens;  // what the token source hands out, in turn
    Script script;
    std::string body;                  // what follows the page head
    std::string reason;                // the record's, empty for a whole page
    std::vector<std::string> refused;  // what the source was told, call by call
    Script retry = {};                 // the next connection's, when the login is retried
};

class GatewayOAuthTest : public GatewayTest, public testing::WithParamInterface<OAuthCase> {};

TEST_P(GatewayOAuthTest, LogsInWithXoauth2) {
    const OAuthCase& c = GetParam();
    FakePop3Server server(c.retry.empty() ? std::vector<Script>{c.script}
                                          : std::vector<Script>{c.script, c.retry});
    UseServer(server);
    m_settings[1].MAIL_AUTH = CSetting::kAuthOAuth;
    ScriptedTokens tokens(c.tokens);
    m_listener.SetTokenSource(&tokens);
    EXPECT_EQ(Get("/001pwtoplist"), kHead + c.body);
    EXPECT_EQ(Last().reason, c.reason);
    EXPECT_EQ(Last().errorCode, c.reason.empty() ? 0 : ERR_LOGIN);
    EXPECT_EQ(tokens.m_refused, c.refused);
    EXPECT_TRUE(server.ScriptMet()) << server.Failure();
}

INSTANTIATE_TEST_SUITE_P(
    Xoauth2, GatewayOAuthTest,
    testing::Values(OAuthCase{"TwoStepExchange",
                              {"tok1"},
                              Join({kCapaXoauth2,
                                    {"C: AUTH XOAUTH2", "S: + ", kToken1Line, "S: +OK"},
                                    kStatEmpty,
                                    Quit()}),
                              kEmptyList + kFooter,
                              "",
                              {""}},
                    OAuthCase{
                        "RefusedTokenRefreshedOnce",
                        {"tok1", "tok2"},
                        Join({kCapaXoauth2,
                              {"C: AUTH XOAUTH2", "S: + ", kToken1Line, "S: -ERR [AUTH] failed"},
                              {"C: AUTH XOAUTH2", "S: + ", kToken2Line, "S: +OK"},
                              kStatEmpty,
                              Quit()}),
                        kEmptyList + kFooter,
                        "",
                        {"", "tok1"}},
                    // The token was taken but the mailbox is locked: a new session
                    // later, not a second token on this one.
                    OAuthCase{"MailboxInUseIsTriedAgain",
                              {"tok1", "tok2"},
                              Join({kCapaXoauth2,
                                    {"C: AUTH XOAUTH2", "S: + ", kToken1Line,
                                     "S: -ERR [IN-USE] locked by another session"}}),
                              kEmptyList + kFooter,
                              "",
                              {"", ""},
                              Join({kCapaXoauth2,
                                    {"C: AUTH XOAUTH2", "S: + ", kToken2Line, "S: +OK"},
                                    kStatEmpty,
                                    Quit()})},
                    OAuthCase{"ErrorChallengeAnsweredEmptyTwice",
                              {"tok1", "tok2", "tok3"},
                              Join({kCapaXoauth2,
                                    {"C: AUTH XOAUTH2", "S: + ", kToken1Line},
                                    kErrorChallenge,
                                    {"C: AUTH XOAUTH2", "S: + ", kToken2Line},
                                    kErrorChallenge}),
                              "",
                              "oauth: the server refused the access token",
                              {"", "tok1"}},
                    OAuthCase{"NoXoauth2InCapa",
                              {"tok1"},
                              {"S: +OK POP3 ready", "C: CAPA", "S: +OK", "S: SASL PLAIN XOAUTH2X",
                               "S: USER", "S: ."},
                              "",
                              "oauth: the server does not offer XOAUTH2",
                              {}},
                    OAuthCase{"Xoauth2InLowerCaseAfterATab",
                              {"tok1"},
                              Join({{"S: +OK POP3 ready", "C: CAPA", "S: +OK", "S: sasl\tplain xoauth2",
                                     "S: .", "C: AUTH XOAUTH2", "S: + ", kToken1Line, "S: +OK"},
                                    kStatEmpty,
                                    Quit()}),
                              kEmptyList + kFooter,
                              "",
                              {""}},
                    OAuthCase{"AuthCommandRefused",
                              {"tok1"},
                              {"S: +OK POP3 ready", "C: CAPA", "S: -ERR unknown", "C: AUTH XOAUTH2",
                               "S: -ERR unknown mechanism"},
                              "",
                              "oauth: the server refused AUTH XOAUTH2",
                              {""}},
                    OAuthCase{"NoTokenNoAuth", {}, kCapaXoauth2, "", "oauth: invalid_grant", {""}}),
    [](const testing::TestParamInfo<OAuthCase>& info) { return std::string(info.param.name); });

struct RefusedCase {
    const char* name;
    std::string request;
};

class GatewayRefusedTest : public GatewayTest, public testing::WithParamInterface<RefusedCase> {};

TEST_P(GatewayRefusedTest, SendsNothing) {
    FakePop3Server server({});
    UseServer(server);
    EXPECT_EQ(Serve(GetParam().request), "");
    EXPECT_EQ(Last().page, "refused");
    // Never to be logged as served: it says why, or how it failed.
    EXPECT_NE(Last().refusal.empty(), Last().errorCode == 0) << Last().refusal;
    EXPECT_EQ(server.Connections(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, GatewayRefusedTest,
    testing::Values(RefusedCase{"Post", "POST /001pwtoplist HTTP/1.1\r\nContent-Length: 0\r\n\r\n"},
                    RefusedCase{"Head", "HEAD /001pwtoplist HTTP/1.1\r\n\r\n"},
                    RefusedCase{"WrongPassword", HttpExchange::Get("/001pxtoplist")},
                    RefusedCase{"Favicon", HttpExchange::Get("/favicon.ico")},
                    RefusedCase{"UnusedSetting", HttpExchange::Get("/002pwtoplist")},
                    RefusedCase{"HeadTooLarge", "GET /001pwtoplist HTTP/1.1\r\n" +
                                                    std::string(70000, 'h') + "\r\n\r\n"},
                    RefusedCase{"ClientSendsNothing", ""}),
    [](const testing::TestParamInfo<RefusedCase>& info) { return std::string(info.param.name); });

TEST_F(GatewayTest, HeadEndingInBareLineFeedsIsServed) {
    FakePop3Server server({Join({Login(0), Quit()})});
    UseServer(server);
    EXPECT_EQ(Serve("GET /001pwtoplist HTTP/1.1\nHost: x\n\n"), kHead + kEmptyList + kFooter);
}

TEST_F(GatewayTest, DisabledSettingIsRefused) {
    m_settings[1].ENABLE = false;
    FakePop3Server server({});
    UseServer(server);
    EXPECT_EQ(Get("/001pwtoplist"), "");
    EXPECT_EQ(server.Connections(), 0);
}

// --- The listener ---------------------------------------------------------------------

TEST_F(GatewayTest, NoDescriptorLeaksOverFailedRequests) {
    constexpr int kRounds = 10;
    // Counted outside the fake server's life: its thread may still hold the last
    // connection for a moment after the gateway has let go of it.
    const int before = loopback::OpenDescriptorCount();
    {
        std::vector<Script> refusals(kRounds, Join({Greeting(), {"C: USER taro", "S: -ERR"}}));
        FakePop3Server server(refusals);
        const std::string refusing = server.Address();
        const std::string closed = "127.0.0.1:" + std::to_string(loopback::UnusedPort());
        for (int i = 0; i < kRounds; ++i) {
            m_settings[1].MAIL_SERVER = refusing;
            EXPECT_EQ(Get("/001pwtoplist"), kHead);
            m_settings[1].MAIL_SERVER = closed;
            EXPECT_EQ(Get("/001pwtoplist"), kHead);
            EXPECT_EQ(Get("/001pxtoplist"), "");
            EXPECT_EQ(Serve("GET /001pwtoplist HTTP/1.1\r\n" + std::string(70000, 'h')), "");
        }
        EXPECT_TRUE(server.ScriptMet()) << server.Failure();
    }
    EXPECT_EQ(loopback::OpenDescriptorCount(), before);
}

TEST_F(GatewayTest, AcceptWithNothingWaitingReturnsAtOnce) {
    const auto start = std::chrono::steady_clock::now();
    m_listener.OnAccept();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kShortTimeoutMs));
    EXPECT_TRUE(m_records.empty());
}

TEST_F(GatewayTest, AcceptErrorIsReportedAndNothingAccepted) {
    std::vector<int> errors;
    m_listener.m_onAcceptError = [&](int code) { errors.push_back(code); };
    FakePop3Server server({Join({Login(0), Quit()})});
    UseServer(server);
    HttpExchange client(m_listener.Port(), HttpExchange::Get("/001pwtoplist"));
    m_listener.OnAccept(10053);
    EXPECT_EQ(errors, std::vector<int>{10053});
    EXPECT_TRUE(m_records.empty());
    // The connection still waits and is served by the next notification.
    m_listener.OnAccept();
    EXPECT_EQ(client.Response(), kHead + kEmptyList + kFooter);
}

TEST_F(GatewayTest, QueuedConnectionsServedInTurn) {
    FakePop3Server server({Join({Login(0), Quit()}), Join({Login(0), Quit()})});
    UseServer(server);
    HttpExchange first(m_listener.Port(), HttpExchange::Get("/001pwtoplist"));
    HttpExchange second(m_listener.Port(), HttpExchange::Get("/001pwtoplist"));
    m_listener.OnAccept();
    m_listener.OnAccept();
    EXPECT_EQ(first.Response(), kHead + kEmptyList + kFooter);
    EXPECT_EQ(second.Response(), kHead + kEmptyList + kFooter);
}

TEST(ListenSocket, CreateReportsFailures) {
    CSettingTable settings;
    CListenSocket first(settings);
    CListenSocket second(settings);
    EXPECT_EQ(first.Create(0, "not an address"), EINVAL);
    EXPECT_EQ(first.Create(70000), EINVAL);
    ASSERT_EQ(first.Create(0, "127.0.0.1"), 0);
    ASSERT_EQ(first.Listen(), 0);
    EXPECT_NE(first.Port(), 0);
    EXPECT_EQ(second.Create(first.Port(), "127.0.0.1"), EADDRINUSE);
    // A new Create replaces the old socket rather than leaking it.
    const int before = loopback::OpenDescriptorCount();
    ASSERT_EQ(first.Create(0, "127.0.0.1"), 0);
    EXPECT_EQ(loopback::OpenDescriptorCount(), before);
    first.Close();
    EXPECT_EQ(first.Port(), 0);
    EXPECT_EQ(first.Handle(), -1);
    first.Close();
}

TEST(ListenSocket, PortCanBeTakenAgainAfterServing) {
    // SO_REUSEADDR: the port is free for a new listener at once, although the served
    // connection lingers in TIME_WAIT.
    CSettingTable settings;
    int port = 0;
    {
        CListenSocket listener(settings);
        ASSERT_EQ(listener.Create(0, "127.0.0.1"), 0);
        ASSERT_EQ(listener.Listen(), 0);
        port = listener.Port();
        HttpExchange client(port, HttpExchange::Get("/favicon.ico"));
        listener.OnAccept();
        EXPECT_TRUE(client.Closed());
    }
    CListenSocket again(settings);
    EXPECT_EQ(again.Create(port, "127.0.0.1"), 0);
}

// --- Links that name a message by its unique id -------------------------------------

// A server that keeps unique ids (UIDL in CAPA), talked to one command at a time. The
// list asks CAPA again after the login, as some servers say more then.
Script LoginWithIds(int count, bool list = false) {
    const Script capa = Capa("UIDL\r\nTOP\r\n");
    return Join({{"S: +OK POP3 ready"},
                 capa,
                 {"C: USER taro", "S: +OK", "C: PASS secret", "S: +OK"},
                 list ? capa : Script(),
                 {"C: STAT", "S: +OK " + std::to_string(count) + " 4096"}});
}

Script Uidl(int number, const std::string& id) {
    const std::string n = std::to_string(number);
    return {"C: UIDL " + n, id.empty() ? "S: -ERR no such message" : "S: +OK " + n + " " + id};
}

Script Listing(const std::string& lines) {
    return {"C: UIDL", FakePop3Server::Raw("+OK\r\n" + lines + ".\r\n")};
}

// LIST number and TOP with its lines, with the neighbours' UIDLs between them.
Script MailWithIds(int number, const std::string& message, const Script& neighbours) {
    const std::string n = std::to_string(number);
    return Join({{"C: LIST " + n, "S: +OK " + n + " " + std::to_string(message.size())},
                 neighbours,
                 TopLines(number, message.size(), message)});
}

std::string Link(int number, const std::string& id, const std::string& part = "") {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%03d", number);
    return "HREF='001pwmail" + std::string(digits) + "." + MessageToken(id) + part + "'";
}

// "このメールはサーバにありません。" and the link back to the list.
const std::string kGone =
    "<P>\x82\xB1\x82\xCC\x83\x81\x81\x5B\x83\x8B\x82\xCD\x83\x54\x81\x5B\x83\x6F\x82\xC9\x82\xA0"
    "\x82\xE8\x82\xDC\x82\xB9\x82\xF1\x81\x42</P><P CLASS=n><A HREF='001pwtoplist'>" +
    kList + "\x82\xD6</A></P>" + kFooter;

// A listing of count messages whose last holds the id "m" + (count - 1), at number 3.
std::string ManyIds(int count) {
    std::string lines;
    for (int i = 0; i < count - 1; ++i) {
        lines += std::to_string(i + 10) + " m" + std::to_string(i) + "\r\n";
    }
    return lines + "3 m" + std::to_string(count - 1) + "\r\n";
}

const std::string kPdfMessage = "Content-Type: application/pdf\r\n\r\n%PDF\r\n";

struct IdCase {
    const char* name;
    std::string path;
    Script script;                    // after the login, before QUIT
    std::vector<std::string> wanted;  // in the answer, in this order
};

class GatewayIdTest : public GatewayModernTest, public testing::WithParamInterface<IdCase> {};

TEST_P(GatewayIdTest, LinksOpenTheMessageTheyWereMadeFor) {
    const IdCase& c = GetParam();
    FakePop3Server server({Join({LoginWithIds(3, c.path.ends_with("toplist")), c.script, Quit()})});
    UseServer(server);
    const std::string answer = Get(c.path);
    std::size_t at = 0;
    for (const std::string& wanted : c.wanted) {
        at = answer.find(wanted, at);
        EXPECT_NE(at, std::string::npos) << wanted << " not in order in " << answer;
    }
    EXPECT_TRUE(server.ScriptMet()) << server.Failure();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, GatewayIdTest,
    testing::Values(
        IdCase{"ListRowsCarryTokens",
               "/001pwtoplist",
               Join({Uidl(1, "a1"), Top(1, "Subject: a\r\n\r\n"), Uidl(2, "a2"),
                     Top(2, "Subject: b\r\n\r\n"), Uidl(3, "a3"), Top(3, "Subject: c\r\n\r\n")}),
               {Link(1, "a1"), Link(2, "a2"), Link(3, "a3"), kFooter}},
        IdCase{"LinkWhoseIdStillFits",
               "/001pwmail002." + MessageToken("a2"),
               Join({Uidl(2, "a2"), MailWithIds(2, "Subject: b\r\n\r\nHi\r\n",
                                                Join({Uidl(1, "a1"), Uidl(3, "a3")}))}),
               {"Hi<BR>", Link(1, "a1"), Link(3, "a3"), kFooter}},
        // Another program deleted message 1: what was message 3 is message 2 now.
        IdCase{"MovedLinkFollowsItsId",
               "/001pwmail003." + MessageToken("a3"),
               Join({Uidl(3, "a4"), Listing("1 a2\r\n2 a3\r\n3 a4\r\n"),
                     MailWithIds(2, "Subject: c\r\n\r\nThird\r\n",
                                 Join({Uidl(1, "a2"), Uidl(3, "a4")}))}),
               {"</B> c<BR>", "Third<BR>", Link(1, "a2"), Link(3, "a4"), kFooter}},
        IdCase{"GoneSaysSo",
               "/001pwmail003." + MessageToken("a3"),
               Join({Uidl(3, ""), Listing("1 a1\r\n2 a2\r\n")}),
               {"<BODY>" + kGone}},
        IdCase{"TokenNoIdMakesIsNoMessage", "/001pwmail001.zz", Uidl(1, "a1"), {"<BODY>" + kGone}},
        IdCase{"ListingLineOfMegabytesIsPassedOver",
               "/001pwmail003." + MessageToken("a3"),
               Join({Uidl(3, ""), Listing("1 " + std::string(3 << 20, 'x') + "\r\n2 a3\r\n"),
                     MailWithIds(2, "Subject: c\r\n\r\nThird\r\n",
                                 Join({Uidl(1, "a2"), Uidl(3, "a4")}))}),
               {"Third<BR>", kFooter}},
        IdCase{"ListingOfManyMessages",
               "/001pwmail003." + MessageToken("m99999"),
               Join({Uidl(3, ""), Listing(ManyIds(100000)),
                     MailWithIds(3, "Subject: c\r\n\r\nLast\r\n", Uidl(2, "a2"))}),
               {"Last<BR>", kFooter}},
        IdCase{"AttachmentOfMovedMessage",
               "/001pwmail003." + MessageToken("a3") + "-1",
               Join({Uidl(3, "a4"),
                     Listing("1 a2\r\n2 a3\r\n3 a4\r\n"),
                     {"C: LIST 2", "S: +OK 2 36"},
                     TopLines(2, 36, kPdfMessage)}),
               {"Content-Type: application/pdf\r\n", "\r\n\r\n%PDF\r\n"}},
        IdCase{"AttachmentOfGoneMessage",
               "/001pwmail003." + MessageToken("a3") + "-1",
               Join({Uidl(3, ""), Listing("1 a1\r\n")}),
               {"Content-Type: text/html; charset=Shift_JIS\r\n", "<BODY>" + kGone}}),
    [](const testing::TestParamInfo<IdCase>& info) { return std::string(info.param.name); });

// The classic pages never ask for ids: their dialogue stays as it was.
TEST_F(GatewayTest, ClassicListAsksForNoIds) {
    FakePop3Server server({Join({LoginWithIds(1, true), Top(1, "Subject: a\r\n\r\n"), Quit()})});
    UseServer(server);
    EXPECT_EQ(Get("/001pwtoplist"), kHead + Row(1, "a\r\n") + kFooter);
    EXPECT_TRUE(server.ScriptMet()) << server.Failure();
}

// A download the mail server cuts short must not look whole: it ends in a reset, where a
// whole one ends as every answer does.
TEST_F(GatewayModernTest, DownloadCutShortEndsInAReset) {
    const std::string message = kPdfMessage + "more\r\n";
    for (const bool cut : {false, true}) {
        FakePop3Server server(
            {Join({Login(1),
                   {"C: LIST 1", "S: +OK 1 " + std::to_string(message.size())},
                   {"C: TOP 1 " + std::to_string(message.size()),
                    FakePop3Server::Raw("+OK\r\n" + message)},
                   cut ? Script{"X"} : Script{"R: .\r\n", "C: QUIT", "S: +OK"}})});
        UseServer(server);
        HttpExchange client(m_listener.Port(), HttpExchange::Get("/001pwmail001-1"));
        m_listener.OnAccept();
        EXPECT_TRUE(client.Closed());
        EXPECT_EQ(client.Reset(), cut);
        if (!cut) {
            EXPECT_TRUE(client.Response().ends_with("\r\n\r\n%PDF\r\nmore\r\n"));
        }
        EXPECT_EQ(Last().errorCode != 0, cut);
    }
}

// An attachment address whose part is no file, or past the end, is refused: no bytes.
TEST_F(GatewayModernTest, AttachmentThatIsNoFileGetsAnEmptyAnswer) {
    const std::string message = "Subject: x\r\n\r\nJust text\r\n";
    FakePop3Server server({Join({Login(1), Mail(1, message), Quit()})});
    UseServer(server);
    EXPECT_EQ(Get("/001pwmail001-1"), "");
    EXPECT_EQ(Last().refusal, "no such part");
    EXPECT_TRUE(server.ScriptMet()) << server.Failure();
}

}  // namespace
