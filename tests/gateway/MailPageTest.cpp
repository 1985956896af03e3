#include "gateway/MailPage.h"

#include <string>

#include <gtest/gtest.h>

#include "settings/Setting.h"
#include "support/Text.h"

namespace {

// "本文です" (this is the text) in ISO-2022-JP and in code page 932.
const std::string kJisText = "\x1b$BK\\J8$G$9\x1b(B";
const std::string kSjisText = "\x96\x7B\x95\xB6\x82\xC5\x82\xB7";

struct Case {
    const char* name;
    std::string answer;  // the RETR answer after its status line
    std::string expected;
    bool limit = false;
    int limitBytes = 1000;
    bool modern = false;  // MAIL_PAGE_STYLE=1, as message 2 of 2
};

struct Outcome {
    std::string page;
    CMailPage::Step step = CMailPage::kMore;
    long long shownBytes = 0;
};

Outcome RunMail(const std::string& answer, bool limit = false, int limitBytes = 1000,
                bool modern = false) {
    CSetting setting;
    setting.MAIL_LIMIT_ENABLE = limit;
    setting.MAIL_LIMIT_BYTE = limitBytes;
    setting.MAIL_PAGE_STYLE = modern ? CSetting::kPageModern : CSetting::kPageClassic;
    CMailPage page(setting);
    page.SetLinks("001", "pw", 2, 2);
    Outcome outcome;
    // kAgain asks for the answer once more, as the dialogue does with a second RETR.
    for (int round = 0; round < 2 && (round == 0 || outcome.step == CMailPage::kAgain); ++round) {
        outcome.step = CMailPage::kMore;
        for (std::size_t pos = 0; pos < answer.size() && outcome.step == CMailPage::kMore;) {
            std::size_t end = answer.find('\n', pos);
            end = end == std::string::npos ? answer.size() : end + 1;
            outcome.step =
                page.FeedLine(std::string_view(answer).substr(pos, end - pos), outcome.page);
            pos = end;
        }
    }
    outcome.shownBytes = page.ShownBytes();
    return outcome;
}

class MailPageTest : public testing::TestWithParam<Case> {};

TEST_P(MailPageTest, ShowsText) {
    const Case& c = GetParam();
    const Outcome outcome = RunMail("+OK\r\n" + c.answer, c.limit, c.limitBytes, c.modern);
    EXPECT_EQ(outcome.page, c.expected);
    EXPECT_EQ(outcome.step, CMailPage::kDone);
}

const std::string kHeader = "From: a@example.jp\r\nSubject: x\r\n";
const std::string kMixed = "Content-Type: multipart/mixed; boundary=\"abc\"\r\n";

INSTANTIATE_TEST_SUITE_P(
    SinglePart, MailPageTest,
    testing::Values(Case{"FirstParagraphKept", kHeader + "\r\nHello\r\nworld\r\n\r\nBye\r\n.\r\n",
                         "Hello<BR>world<BR><BR>Bye<BR>"},
                    Case{"TextBeginningWithEmptyLine", kHeader + "\r\n\r\nHello\r\n.\r\n",
                         "<BR>Hello<BR>"},
                    Case{"Jis", kHeader + "\r\n" + kJisText + "\r\n.\r\n", kSjisText + "<BR>"},
                    Case{"Escaped", kHeader + "\r\n<script>alert('x')</script> & \"\r\n.\r\n",
                         "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt; &amp; &quot;<BR>"},
                    Case{"LoneCrStaysRaw", kHeader + "\r\na\rb\r\n.\r\n", "a\rb<BR>"},
                    Case{"BareLfBecomesBreak", kHeader + "\r\na\nb\r\n.\r\n", "a<BR>b<BR>"},
                    Case{"DotUnstuffed", kHeader + "\r\n..hidden\r\n..\r\nafter\r\n.\r\n",
                         ".hidden<BR>.<BR>after<BR>"},
                    Case{"BoundaryMentionedInText",
                         kHeader + "\r\nthe boundary=x\r\n--x\r\nstill text\r\n.\r\n",
                         "the boundary=x<BR>--x<BR>still text<BR>"},
                    Case{"BoundaryMentionedInSubject",
                         "+OK\r\nSubject: the boundary=x review\r\nX-Note: boundary\r\n"
                         "\r\nbody\r\n.\r\n",
                         "body<BR>"},
                    Case{"HeaderOnly", kHeader + ".\r\n", ""}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Multipart, MailPageTest,
    testing::Values(
        Case{"TextPartBeginningWithWords",
             kHeader + kMixed +
                 "\r\npreamble\r\n--abc\r\nContent-Type: text/plain; charset=ISO-2022-JP\r\n"
                 "\r\nHello\r\n\r\nBye\r\n--abc\r\nContent-Type: text/html\r\n\r\n<p>x</p>\r\n"
                 "--abc--\r\n.\r\n",
             "Hello<BR><BR>Bye<BR>"},
        Case{"TextPartAfterOtherPart",
             kHeader + kMixed +
                 "\r\n--abc\r\nContent-Type: text/html\r\n\r\n<p>boundary=zzz</p>\r\n"
                 "--abc\r\nContent-Type: text/plain\r\nContent-Transfer-Encoding: 7bit\r\n"
                 "\r\nplain\r\n--abc\r\nContent-Type: image/png\r\n\r\niVBO\r\n--abc--\r\n.\r\n",
             "plain<BR>"},
        Case{"NestedAlternative",
             kHeader + kMixed +
                 "\r\n--abc\r\nContent-Type: multipart/alternative;\r\n\tboundary=\"inner\"\r\n"
                 "\r\n--inner\r\nContent-Type: text/plain; charset=ISO-2022-JP\r\n\r\n" +
                 kJisText +
                 "\r\n--inner\r\nContent-Type: text/html\r\n\r\n<p>x</p>\r\n"
                 "--inner--\r\n--abc--\r\n.\r\n",
             kSjisText + "<BR>"},
        Case{"BoundaryMentionedInShownPart",
             kHeader + kMixed +
                 "\r\n--abc\r\nContent-Type: text/plain\r\n\r\nboundary=\"x\" is a word\r\n"
                 "more\r\n--abc--\r\n.\r\n",
             "boundary=&quot;x&quot; is a word<BR>more<BR>"},
        Case{"UnquotedBoundaryOnOwnLine",
             kHeader + "Content-Type: multipart/mixed;\r\n boundary=xyz\r\n" +
                 "\r\n--xyz\r\nContent-Type: text/plain\r\n\r\ntext\r\n--xyz\r\n.\r\n",
             "text<BR>"},
        Case{"PartWithoutContentTypeIsText",
             kHeader + kMixed + "\r\n--abc\r\n\r\nplain\r\n--abc--\r\n.\r\n", "plain<BR>"},
        Case{"HtmlWhenNoTextPart",
             kHeader + kMixed +
                 "\r\n--abc\r\nContent-Type: text/html\r\n\r\n<p>x</p>\r\n--abc--\r\n.\r\n",
             "x<BR>"},
        Case{
            "DotUnstuffedInPart",
            kHeader + kMixed + "\r\n--abc\r\nContent-Type: text/plain\r\n\r\n..x\r\n--abc\r\n.\r\n",
            ".x<BR>"}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// depth multiparts, each the first part of the one before, with a part inside the last.
std::string Nested(int depth) {
    std::string nested;
    for (int i = 1; i <= depth; ++i) {
        const std::string b = "b" + std::to_string(i);
        nested += "Content-Type: multipart/mixed; boundary=" + b + "\r\n\r\n--" + b + "\r\n";
    }
    return nested;
}

std::string Part(const std::string& header, const std::string& body) {
    return kHeader + header + "\r\n" + body + ".\r\n";
}

INSTANTIATE_TEST_SUITE_P(
    Decoding, MailPageTest,
    testing::Values(
        Case{
            "Utf8Base64WithoutFinalBreak",
            Part("Content-Type: text/plain; charset=UTF-8\r\nContent-Transfer-Encoding: base64\r\n",
                 "44GT44KT44Gr44Gh44GvCkZyw7ZTY2hlIPCfjok=\r\n"),
            "\x82\xB1\x82\xF1\x82\xC9\x82\xBF\x82\xCD<BR>Fr&#246;Sche &#127881;<BR>"},
        Case{"QuotedPrintableSoftBreakJoins",
             Part("content-type: Text/Plain; Charset=\"iso-8859-1\"\r\n"
                  "content-transfer-encoding: Quoted-Printable\r\n",
                  "Fr=F6sche=\r\n und =3D mehr\r\nbroken =ZZ\r\n"),
             "Fr&#246;sche und = mehr<BR>broken =ZZ<BR>"},
        Case{"JisInBase64",
             Part("Content-Type: text/plain; charset=ISO-2022-JP\r\n"
                  "Content-Transfer-Encoding: base64\r\n",
                  "GyRCS1xKOCRHJDkbKEINCg==\r\n"),
             kSjisText + "<BR>"},
        Case{"Utf8CharacterAcrossSoftBreak",
             Part("Content-Type: text/plain; charset=utf-8\r\n"
                  "Content-Transfer-Encoding: quoted-printable\r\n",
                  "=E3=81=82=E3=81=\r\n=84\r\n"),
             "\x82\xA0\x82\xA2<BR>"},
        Case{"EucJp8bit",
             Part("Content-Type: text/plain; charset=EUC-JP\r\n", "\xC6\xFC\xCB\xDC\xB8\xEC\r\n"),
             "\x93\xFA\x96\x7B\x8C\xEA<BR>"},
        Case{"JisNecSpecialKept",
             Part("Content-Type: text/plain; charset=ISO-2022-JP\r\n", "\x1b$B-!-j\x1b(B\r\n"),
             "\x87\x40\x87\x8A<BR>"},
        Case{"UnknownCharsetAsItStands",
             Part("Content-Type: text/plain; charset=x-unheard-of\r\n", "\x82\xA0 & b\r\n"),
             "\x82\xA0 &amp; b<BR>"},
        Case{"HtmlOnly",
             Part("Content-Type: text/html; charset=utf-8\r\n",
                  "<html><head><title>T</title><style>p {}</style></head><body>\r\n"
                  "<p>Caf&eacute;   &amp;\r\n<b>bye</b></p><script>x()</script>\r\n"
                  "<a href=\"https://x.example/\">site</a> <a href=\"https://y.example/\">"
                  "https://y.example/</a><br>end&nbsp;&lt;p&gt;</body></html>\r\n"),
             "Caf&#233; &amp; bye<BR>site (https://x.example/) https://y.example/<BR>"
             "end &lt;p&gt;<BR>"},
        Case{"HtmlPreKeepsLinesAndBlanks",
             Part("Content-Type: text/html\r\n", "<pre>a  b\r\n\r\n c</pre>d  e\r\n"),
             "a  b<BR><BR> c<BR>d e<BR>"},
        Case{"HtmlMetaCharsetYieldsToTheMail",
             Part("Content-Type: text/html; charset=utf-8\r\n",
                  "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=iso-8859-1\">"
                  "<p>Caf\xC3\xA9 \xE3\x81\x82</p>\r\n"),
             "Caf&#233; \x82\xA0<BR>"},
        Case{"HtmlNestedTooDeepEndsText",
             Part("Content-Type: text/html\r\n",
                  "<p>before</p>" + Repeat(600, "<div>") + "lost\r\n"),
             "before<BR>"},
        Case{"NestedAlternativeBoundaryOnTypeLine",
             kHeader + kMixed +
                 "\r\n--abc\r\nContent-Type: multipart/alternative; boundary=\"in\"; x=y\r\n"
                 "\r\n--in\r\nContent-Type: text/html\r\n\r\n<p>html</p>\r\n"
                 "--in\r\nContent-Type: text/plain\r\n\r\nplain\r\n--in--\r\n--abc--\r\n.\r\n",
             "plain<BR>"},
        Case{"ForwardedMessageIsNotTheText",
             kHeader + kMixed +
                 "\r\n--abc\r\nContent-Type: message/rfc822\r\n\r\nSubject: fw\r\n\r\n"
                 "inner\r\n--abc--\r\n.\r\n",
             ""},
        Case{"OuterBoundaryEndsInnerParts",
             kHeader + kMixed +
                 "\r\n--abc\r\nContent-Type: multipart/related; boundary=in\r\n"
                 "\r\n--in\r\nContent-Type: image/gif\r\n\r\nGIF\r\n--abc\r\n\r\nplain\r\n"
                 "--abc--\r\nepilogue\r\n.\r\n",
             "plain<BR>"},
        Case{
            "AttachmentsListedAfterText",
            kHeader + kMixed +
                "\r\n--abc\r\nContent-Type: application/pdf\r\nContent-Transfer-Encoding: "
                "base64\r\n"
                "Content-Disposition: attachment;\r\n "
                "filename*=UTF-8''%E8%A6%8B%E7%A9%8D%E6%9B%B8.pdf\r\n"
                "\r\nJVBE\r\n--abc\r\nContent-Type: text/plain\r\n\r\ntext\r\n--abc\r\n"
                "Content-Type: image/png; name=\"=?ISO-2022-JP?B?GyRCJUYlOSVIGyhC?=.png\"\r\n\r\n" +
                std::string(2000, 'x') + "\r\n--abc--\r\n.\r\n",
            "text<BR>[\x93\x59\x95\x74] \x8C\xA9\x90\xCF\x8F\x91.pdf (application/pdf, 3 B)<BR>"
            "[\x93\x59\x95\x74] \x83\x65\x83\x58\x83\x67.png (image/png, 2 KB)<BR>"},
        Case{"MessageThatIsAFile",
             Part("Content-Type: application/pdf\r\nContent-Transfer-Encoding: base64\r\n",
                  "JVBE\r\n"),
             "[\x93\x59\x95\x74] \x96\xBC\x91\x4F\x82\xC8\x82\xB5 (application/pdf, 3 B)<BR>"},
        Case{"TooDeepIsPassedOver",
             kHeader + kMixed + "\r\n--abc\r\n" + Nested(40) +
                 "\r\ndeep\r\n--abc\r\n\r\nafter\r\n--abc--\r\n.\r\n",
             "after<BR>"}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

std::string Lines(int count, const std::string& line) {
    return Repeat(count, line + "\r\n");
}

Case Budget(const char* name, std::string text, bool limit, int bytes, std::string expected) {
    return Case{name, kHeader + "\r\n" + text + ".\r\n", std::move(expected), limit, bytes};
}

const std::string k58(58, 'x');

// The modern page's header lines ("差出人", "件名"), once however often the answer is
// read, and its links ("一覧へ", "前のメール"): message 2 of 2 has no next one.
const std::string kModernHeader =
    "<P CLASS=h><B>\x8C\x8F\x96\xBC</B> x<BR><B>\x8D\xB7\x8F\x6F\x90\x6C</B> "
    "a@example.jp<BR></P>";
const std::string kModernLinks =
    "<P CLASS=n><A HREF='001pwtoplist'>\x88\xEA\x97\x97\x82\xD6</A> <A "
    "HREF='001pwmail001'>\x91\x4F\x82\xCC\x83\x81\x81\x5B\x83\x8B</A></P>";

Case Modern(const char* name, std::string answer, std::string expected) {
    return Case{name, std::move(answer), std::move(expected), true, 10, true};
}

INSTANTIATE_TEST_SUITE_P(
    Modern, MailPageTest,
    testing::Values(
        // The header lines and links are not counted against MAIL_LIMIT_BYTE (here 10).
        Modern("HeaderLinesThenTextThenLinks", kHeader + "\r\nHi\r\n.\r\n",
               kModernHeader + "Hi<BR>" + kModernLinks),
        Modern("HtmlReadAgainShowsTheHeaderOnce",
               Part("Content-Type: multipart/alternative; boundary=b\r\n",
                    "--b\r\nContent-Type: text/html\r\n\r\n<p>Hi</p>\r\n--b--\r\n"),
               kModernHeader + "Hi<BR>" + kModernLinks),
        Modern("HeaderWithoutEndStillShown", kHeader + ".\r\n", kModernHeader + kModernLinks),
        // Each attachment line opens its part, counted as the message's leaves are.
        Case{"AttachmentLinesOpenTheirParts",
             kHeader + kMixed +
                 "\r\n--abc\r\nContent-Type: text/plain\r\n\r\ntext\r\n--abc\r\n"
                 "Content-Type: text/html; name=\"a'b<c>.html\"\r\n\r\n<p>\r\n--abc\r\n"
                 "Content-Type: text/plain\r\n\r\nmore\r\n--abc\r\n"
                 "Content-Type: application/pdf\r\nContent-Disposition: attachment\r\n\r\n"
                 "%PDF\r\n--abc--\r\n.\r\n",
             kModernHeader +
                 "text<BR><A HREF='001pwmail002-2'>[\x93\x59\x95\x74] "
                 "a&#39;b&lt;c&gt;.html (text/html, 5 B)</A><BR>"
                 "<A HREF='001pwmail002-4'>[\x93\x59\x95\x74] "
                 "\x96\xBC\x91\x4F\x82\xC8\x82\xB5 (application/pdf, 6 B)</A><BR>" +
                 kModernLinks,
             false, 0, true}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Budgets, MailPageTest,
    testing::Values(
        // 58 bytes and "<BR>" make 62 a line: 16 lines make 992, the 17th would be 1054.
        Budget("SixteenOfTwentyLines", Lines(20, k58), true, 1000, Repeat(16, k58 + "<BR>")),
        Budget("LimitOff", Lines(20, k58), false, 1000, Repeat(20, k58 + "<BR>")),
        // "&" is sent as five bytes, and counts so.
        Budget("EscapedBytesCount", Lines(3, "&&&&"), true, 49,
               Repeat(2, "&amp;&amp;&amp;&amp;<BR>")),
        Budget("LinesNeverCut", "short\r\n" + std::string(100, 'y') + "\r\nz\r\n", true, 50,
               "short<BR>"),
        Budget("ZeroLimit", "text\r\n", true, 0, ""),
        Budget("NegativeLimit", "text\r\n", true, -1, "")),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(MailPage, MissingMessage) {
    EXPECT_EQ(RunMail("-ERR no such message\r\n").step, CMailPage::kNotFound);
}

TEST(MailPage, BudgetCountsEveryShownLine) {
    const Outcome outcome =
        RunMail("+OK\r\n" + kHeader + "\r\n" + Lines(20, k58) + ".\r\n", true, 1000);
    EXPECT_EQ(outcome.shownBytes, 20 * 62);
}

}  // namespace
