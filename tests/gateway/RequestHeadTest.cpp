#include "gateway/RequestHead.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Pieces as the intake reads them: lines up to LF, a long line cut into pieces of at
// most 1023 bytes.
std::vector<std::string> Pieces(const std::string& head) {
    std::vector<std::string> pieces;
    const std::size_t most = CRequestHead::kLineBufferSize - 1;
    std::size_t pos = 0;
    while (pos < head.size()) {
        std::size_t end = head.find('\n', pos);
        end = end == std::string::npos ? head.size() : end + 1;
        end = std::min(end, pos + most);
        pieces.push_back(head.substr(pos, end - pos));
        pos = end;
    }
    return pieces;
}

struct Case {
    const char* name;
    std::string head;
    CRequestHead::Result result;
    std::string requestLine;
    std::string xForwardedFor = "";  // as kept, line ends and all
    std::string forwarded = "";
};

class RequestHeadTest : public testing::TestWithParam<Case> {};

TEST_P(RequestHeadTest, FindsRequestLineAndEnd) {
    CRequestHead head;
    CRequestHead::Result result = CRequestHead::kMore;
    for (const std::string& piece : Pieces(GetParam().head)) {
        result = head.Feed(piece);
        if (result != CRequestHead::kMore) {
            break;
        }
    }
    EXPECT_EQ(result, GetParam().result);
    EXPECT_EQ(head.RequestLine(), GetParam().requestLine);
    EXPECT_EQ(head.XForwardedFor(), GetParam().xForwardedFor);
    EXPECT_EQ(head.Forwarded(), GetParam().forwarded);
}

const std::string kLongValue(2500, 'a');

INSTANTIATE_TEST_SUITE_P(
    Heads, RequestHeadTest,
    testing::Values(
        Case{"Plain", "GET /001toplist HTTP/1.1\r\nHost: x\r\n\r\n", CRequestHead::kComplete,
             "GET /001toplist HTTP/1.1\r\n"},
        Case{"LaterGetReplaces", "GET /a HTTP/1.1\r\nGET /b HTTP/1.1\r\n\r\n",
             CRequestHead::kComplete, "GET /b HTTP/1.1\r\n"},
        Case{"PostHasNoRequestLine", "POST /001toplist HTTP/1.1\r\n\r\n", CRequestHead::kComplete,
             ""},
        Case{"BareLfEnds", "GET /001toplist HTTP/1.1\nHost: x\n\n", CRequestHead::kComplete,
             "GET /001toplist HTTP/1.1\n"},
        // A header line longer than a buffer whose cut falls right before "GET /".
        Case{"ContinuationIsNotGet",
             "GET /001toplist HTTP/1.1\r\nX: " + std::string(1020, 'a') +
                 "GET /bad HTTP/1.1\r\n\r\n",
             CRequestHead::kComplete, "GET /001toplist HTTP/1.1\r\n"},
        // ... and one whose last piece is CR LF alone.
        Case{"ContinuationIsNotEmptyLine",
             "GET /001toplist HTTP/1.1\r\nX: " + std::string(1020, 'a') + "\r\nY: b\r\n\r\n",
             CRequestHead::kComplete, "GET /001toplist HTTP/1.1\r\n"},
        Case{"LongRequestLineKeepsFirstPiece", "GET /" + kLongValue + " HTTP/1.1\r\n\r\n",
             CRequestHead::kComplete, "GET /" + kLongValue.substr(0, 1018)},
        Case{"ForwardedFieldsAnyCase",
             "GET /a HTTP/1.1\r\nx-forwarded-for: 1.2.3.4\r\nFORWARDED:for=5.6.7.8\r\n"
             "X-Forwarded-For:9.9.9.9\r\n\r\n",
             CRequestHead::kComplete, "GET /a HTTP/1.1\r\n", " 1.2.3.4\r\n,9.9.9.9\r\n",
             "for=5.6.7.8\r\n"},
        // A field longer than a buffer is kept whole; the line after it is not part of it.
        Case{"LongForwardedFieldKeptWhole",
             "GET /a HTTP/1.1\r\nX-Forwarded-For: " + std::string(1500, '1') +
                 "\r\nX-Other: 2\r\n\r\n",
             CRequestHead::kComplete, "GET /a HTTP/1.1\r\n", " " + std::string(1500, '1') + "\r\n"},
        Case{"FieldNameInsideAValueIsNot", "GET /a HTTP/1.1\r\nX: X-Forwarded-For: 1.2.3.4\r\n\r\n",
             CRequestHead::kComplete, "GET /a HTTP/1.1\r\n"},
        Case{"TooLarge",
             "GET /001toplist HTTP/1.1\r\n" + std::string(CRequestHead::kMaxHeadBytes, 'a'),
             CRequestHead::kTooLarge, "GET /001toplist HTTP/1.1\r\n"}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
