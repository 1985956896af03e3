#include <string>

#include <gtest/gtest.h>

#include "gateway/AttachmentHead.h"
#include "gateway/AttachmentReader.h"
#include "gateway/MessageToken.h"
#include "mime/MimePart.h"
#include "support/Text.h"

namespace {

struct NameCase {
    const char* name;
    std::string given;  // UTF-8, as the part's header decodes to
    std::string safe;
    std::string ascii;  // the fall-back filename="..."
};

class SafeFileNameTest : public testing::TestWithParam<NameCase> {};

TEST_P(SafeFileNameTest, CannotLeaveTheFolderNorSplitTheField) {
    const NameCase& c = GetParam();
    const std::string safe = SafeFileName(c.given, 3, "pdf");
    EXPECT_EQ(safe, c.safe);
    EXPECT_EQ(AsciiFileName(safe), c.ascii);
}

INSTANTIATE_TEST_SUITE_P(
    Names, SafeFileNameTest,
    testing::Values(NameCase{"Plain", "report.pdf", "report.pdf", "report.pdf"},
                    NameCase{"Japanese", "見積書.pdf", "見積書.pdf", "_.pdf"},
                    NameCase{"Missing", "", "attachment3.pdf", "attachment3.pdf"},
                    NameCase{"UnixPath", "../../etc/passwd", "passwd", "passwd"},
                    NameCase{"WindowsPath", "C:\\Users\\a\\memo.txt", "memo.txt", "memo.txt"},
                    NameCase{"OnlyASeparator", "dir/", "attachment3.pdf", "attachment3.pdf"},
                    NameCase{"Quotes", "say \"hi\".txt", "say _hi_.txt", "say _hi_.txt"},
                    NameCase{"CrLfCannotAddAField", "a.txt\r\nSet-Cookie: x=1",
                             "a.txtSet-Cookie_ x=1", "a.txtSet-Cookie_ x=1"},
                    NameCase{"ControlsDropped",
                             std::string("a\0b\x01\x7f"
                                         "c.txt",
                                         10),
                             "abc.txt", "abc.txt"},
                    NameCase{"C1ControlDropped",
                             "a\xC2\x85"
                             "b.txt",
                             "ab.txt", "ab.txt"},
                    NameCase{"RightToLeftOverrideDropped", "photo\xE2\x80\xAEgpj.exe",
                             "photogpj.exe", "photogpj.exe"},
                    NameCase{"ForbiddenCharacters", "a<b>c:d*e?f|g.txt", "a_b_c_d_e_f_g.txt",
                             "a_b_c_d_e_f_g.txt"},
                    NameCase{"DotsAndBlanksTrimmed", " ..hidden. ", "hidden", "hidden"},
                    NameCase{"OnlyDots", "..", "attachment3.pdf", "attachment3.pdf"},
                    NameCase{"NotUtf8", "caf\xE9.txt", "caf_.txt", "caf_.txt"},
                    NameCase{"PercentInFallBack", "100%.txt", "100%.txt", "100_.txt"},
                    NameCase{"LongNameKeepsExtension", Repeat(100, "長") + ".docx",
                             Repeat(48, "長") + ".docx", "_.docx"},
                    NameCase{"LongExtensionIsName", Repeat(200, "a"), Repeat(150, "a"),
                             Repeat(150, "a")}),
    [](const testing::TestParamInfo<NameCase>& info) { return std::string(info.param.name); });

struct HeadCase {
    const char* name;
    const char* type;
    const char* subtype;
    const char* charset;
    const char* fileName;
    std::string contentType;
    std::string disposition;
};

class AttachmentHeadTest : public testing::TestWithParam<HeadCase> {};

TEST_P(AttachmentHeadTest, ShowsOnlyWhatCannotRun) {
    const HeadCase& c = GetParam();
    CMimePart part;
    part.type = c.type;
    part.subtype = c.subtype;
    part.charset = c.charset;
    part.fileName = c.fileName;
    const CAttachmentHead head = CAttachmentHead::For(part, 2);
    EXPECT_EQ(head.contentType, c.contentType);
    EXPECT_EQ(head.Disposition(), c.disposition);
    const std::string http = head.HttpHead();
    EXPECT_NE(http.find("\r\nX-Content-Type-Options: nosniff\r\n"), std::string::npos);
    EXPECT_NE(http.find("\r\nContent-Security-Policy: sandbox"), std::string::npos);
    EXPECT_TRUE(http.ends_with("\r\n\r\n"));
    // Nothing from the mail breaks a line of the head.
    EXPECT_EQ(http.find("\r\n\r\n"), http.size() - 4);
}

INSTANTIATE_TEST_SUITE_P(
    Types, AttachmentHeadTest,
    testing::Values(
        HeadCase{"Png", "image", "png", "", "a.png", "image/png",
                 "inline; filename=\"a.png\"; filename*=UTF-8''a.png"},
        HeadCase{"Jpg", "image", "jpg", "", "", "image/jpeg",
                 "inline; filename=\"attachment2.jpg\"; filename*=UTF-8''attachment2.jpg"},
        HeadCase{"Pdf", "application", "pdf", "", "見積書.pdf", "application/pdf",
                 "inline; filename=\"_.pdf\"; filename*=UTF-8''%E8%A6%8B%E7%A9%8D%E6%9B%B8.pdf"},
        HeadCase{"TextWithCharset", "text", "plain", "Shift_JIS", "memo.txt",
                 "text/plain; charset=Shift_JIS",
                 "inline; filename=\"memo.txt\"; filename*=UTF-8''memo.txt"},
        HeadCase{"TextWithBadCharset", "text", "plain", "x\"; y", "m.txt", "text/plain",
                 "inline; filename=\"m.txt\"; filename*=UTF-8''m.txt"},
        HeadCase{"Html", "text", "html", "utf-8", "page.html", "application/octet-stream",
                 "attachment; filename=\"page.html\"; filename*=UTF-8''page.html"},
        HeadCase{"Svg", "image", "svg+xml", "", "logo.svg", "application/octet-stream",
                 "attachment; filename=\"logo.svg\"; filename*=UTF-8''logo.svg"},
        HeadCase{"Xml", "application", "xml", "", "", "application/octet-stream",
                 "attachment; filename=\"attachment2\"; filename*=UTF-8''attachment2"},
        HeadCase{"Script", "application", "javascript", "", "x.js", "application/octet-stream",
                 "attachment; filename=\"x.js\"; filename*=UTF-8''x.js"},
        HeadCase{"Unknown", "application", "x-whatever", "", "a b;c.bin",
                 "application/octet-stream",
                 "attachment; filename=\"a b;c.bin\"; filename*=UTF-8''a%20b%3Bc.bin"}),
    [](const testing::TestParamInfo<HeadCase>& info) { return std::string(info.param.name); });

// A message's answer fed as the dialogue feeds it: line by line, each line in pieces of
// at most pieceBytes (the header lines here are shorter).
struct Download {
    CAttachmentReader::Step step = CAttachmentReader::kMore;
    std::string head;
    std::string body;
    bool found = false;
};

Download Fetch(const std::string& answer, int position, std::size_t pieceBytes = 65535) {
    CAttachmentReader reader(position);
    std::string out;
    bool lineStart = true;
    for (std::size_t pos = 0; pos < answer.size();) {
        std::size_t end = answer.find('\n', pos);
        end = end == std::string::npos ? answer.size() : end + 1;
        end = std::min(end, pos + pieceBytes);
        const std::string_view piece = std::string_view(answer).substr(pos, end - pos);
        const CAttachmentReader::Step step = reader.FeedPiece(piece, lineStart, out);
        lineStart = piece.ends_with('\n');
        pos = end;
        if (step != CAttachmentReader::kMore) {
            break;
        }
    }
    Download download;
    download.found = reader.Found();
    const std::size_t headEnd = out.find("\r\n\r\n");
    if (download.found && headEnd != std::string::npos) {
        download.head = out.substr(0, headEnd + 4);
        download.body = out.substr(headEnd + 4);
    } else {
        download.body = out;
    }
    return download;
}

const std::string kMessage =
    "+OK\r\nSubject: files\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
    "--b\r\nContent-Type: text/plain\r\n\r\nthe text\r\n"
    "--b\r\nContent-Type: image/png\r\nContent-Transfer-Encoding: base64\r\n"
    "Content-Disposition: attachment; filename=\"dot.png\"\r\n\r\niVBORw0KGgo=\r\n"
    "--b\r\nContent-Type: text/html; name=\"page.html\"\r\n"
    "Content-Transfer-Encoding: quoted-printable\r\n\r\n<p>a=3Db=\r\nc</p>\r\n..dot\r\n"
    "--b\r\nContent-Type: application/octet-stream\r\nContent-Disposition: attachment\r\n"
    "\r\nraw\r\nline\r\n\r\n--b--\r\n.\r\n";

struct FetchCase {
    const char* name;
    std::string answer;
    int position;
    bool found;
    std::string body;
    std::size_t pieceBytes = 65535;
};

class AttachmentReaderTest : public testing::TestWithParam<FetchCase> {};

TEST_P(AttachmentReaderTest, GivesThePartsDecodedBytes) {
    const FetchCase& c = GetParam();
    const Download download = Fetch(c.answer, c.position, c.pieceBytes);
    EXPECT_EQ(download.found, c.found);
    EXPECT_EQ(download.body, c.body);
    if (!c.found) {
        EXPECT_TRUE(download.head.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Parts, AttachmentReaderTest,
    testing::Values(
        FetchCase{"Base64", kMessage, 2, true, "\x89PNG\r\n\x1a\n"},
        // The line end before a boundary is the boundary's; a dot-stuffed line is not.
        FetchCase{"QuotedPrintable", kMessage, 3, true, "<p>a=bc</p>\r\n.dot"},
        FetchCase{"AsItStandsKeepsInnerEmptyLine", kMessage, 4, true, "raw\r\nline\r\n"},
        FetchCase{"TextToReadIsNoFile", kMessage, 1, false, ""},
        FetchCase{"PastTheEnd", kMessage, 5, false, ""},
        FetchCase{"Absurd", kMessage, 2147483647, false, ""},
        FetchCase{"MissingMessage", "-ERR no such message\r\n", 1, false, ""},
        FetchCase{"WholeMessageKeepsItsLastLineEnd",
                  "+OK\r\nContent-Type: application/pdf\r\n\r\n%PDF\r\n%%EOF\r\n.\r\n", 1, true,
                  "%PDF\r\n%%EOF\r\n"},
        FetchCase{"BrokenBase64GivesWhatDecodes",
                  "+OK\r\nContent-Type: image/gif\r\nContent-Transfer-Encoding: base64\r\n\r\n"
                  "R0lG!!OD\r\nl\r\n.\r\n",
                  1, true, "GIF"},
        // A line longer than the reader's buffer comes in pieces; none is lost, and a
        // CR LF cut between two pieces still ends the part at the boundary.
        FetchCase{"LongLineInPieces",
                  "+OK\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n"
                  "Content-Type: application/zip\r\nContent-Disposition: attachment\r\n\r\n" +
                      Repeat(319, "x") + "\r\n--b--\r\n.\r\n",
                  1, true, Repeat(319, "x"), 64},
        FetchCase{"Base64LongLineInPieces",
                  "+OK\r\nContent-Type: image/png\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
                      Repeat(100, "AAEC") + "\r\n.\r\n",
                  1, true, Repeat(100, std::string("\0\1\2", 3)), 62}),
    [](const testing::TestParamInfo<FetchCase>& info) { return std::string(info.param.name); });

TEST(AttachmentReader, HeadNamesThePart) {
    const Download download = Fetch(kMessage, 3);
    EXPECT_TRUE(
        download.head.starts_with("HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n"
                                  "Content-Disposition: attachment; filename=\"page.html\""));
}

struct UidlCase {
    const char* name;
    std::string line;
    int number;  // 0: not a line of the listing
    std::string uniqueId;
};

class UidlLineTest : public testing::TestWithParam<UidlCase> {};

TEST_P(UidlLineTest, ReadsNumberAndId) {
    const auto parsed = ParseUidlLine(GetParam().line);
    ASSERT_EQ(parsed.has_value(), GetParam().number > 0);
    if (parsed) {
        EXPECT_EQ(parsed->number, GetParam().number);
        EXPECT_EQ(parsed->uniqueId, GetParam().uniqueId);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, UidlLineTest,
    testing::Values(UidlCase{"Listing", "1 whqtswO00WBw418f9t5JxYwZ\r\n", 1,
                             "whqtswO00WBw418f9t5JxYwZ"},
                    UidlCase{"Blanks", " 12\t\tabc  \r\n", 12, "abc"},
                    UidlCase{"NoId", "3\r\n", 0, ""}, UidlCase{"NotANumber", "x abc\r\n", 0, ""},
                    UidlCase{"Zero", "0 abc\r\n", 0, ""},
                    UidlCase{"IdTooLong", "1 " + std::string(71, 'a') + "\r\n", 0, ""},
                    UidlCase{"ControlInId",
                             "1 a\x01"
                             "b\r\n",
                             0, ""},
                    UidlCase{"EndOfListing", ".\r\n", 0, ""}),
    [](const testing::TestParamInfo<UidlCase>& info) { return std::string(info.param.name); });

TEST(MessageToken, ShortHexOfTheId) {
    const std::string token = MessageToken("whqtswO00WBw418f9t5JxYwZ");
    EXPECT_TRUE(IsTokenForm(token));
    EXPECT_NE(token, MessageToken("whqtswO00WBw418f9t5JxYwz"));
    EXPECT_FALSE(IsTokenForm("0123456789aB"));
    EXPECT_FALSE(IsTokenForm("0123456789a"));
    EXPECT_EQ(ParseUidlReply("+OK 2 QhdPYR:00WBw1Ph7x7\r\n")->number, 2);
    EXPECT_FALSE(ParseUidlReply("-ERR no such message\r\n"));
}

}  // namespace
