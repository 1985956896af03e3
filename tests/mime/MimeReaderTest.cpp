#include "mime/MimeReader.h"

#include <string>

#include <gtest/gtest.h>

namespace {

// Writes what the reader tells as "type/subtype[charset,encoding,flags](lines)" per leaf.
class CRecorder : public CMimeReader::CListener {
public:
    std::string record;

    void OnPartBegin(const CMimePart& part) override {
        record += part.type + "/" + part.subtype + "[" + part.charset + "," +
                  std::to_string(part.encoding) + "," + std::to_string(part.depth) +
                  (part.attachment ? ",attachment" : "") + (part.resource ? ",resource" : "") +
                  (part.fileName.empty() ? "" : "," + part.fileName) + "](";
    }
    void OnPartLine(std::string_view line) override { record += line; }
    void OnPartEnd() override { record += ")"; }
};

struct Walk {
    const char* name;
    std::string message;
    std::string record;
};

class MimeReaderTest : public testing::TestWithParam<Walk> {};

TEST_P(MimeReaderTest, Walks) {
    CRecorder recorder;
    CMimeReader reader(recorder);
    const std::string& message = GetParam().message;
    for (std::size_t pos = 0; pos < message.size();) {
        const std::size_t end = std::min(message.find('\n', pos), message.size() - 1) + 1;
        reader.FeedLine(std::string_view(message).substr(pos, end - pos));
        pos = end;
    }
    reader.Finish();
    EXPECT_EQ(recorder.record, GetParam().record);
}

const std::string kLongValue(3 * CMimeReader::kFieldLimit, 'v');

INSTANTIATE_TEST_SUITE_P(
    Messages, MimeReaderTest,
    testing::Values(
        Walk{"NoHeaderFieldsIsPlainText", "Subject: x\r\n\r\nbody\r\n",
             "text/plain[,0,0](body\r\n)"},
        Walk{"FoldedFieldsAnyCase",
             "CONTENT-TYPE : text/plain;\r\n\tCHARSET=\"utf-8\"\r\ncontent-transfer-encoding:\r\n"
             " BASE64\r\n\r\nx\n",
             "text/plain[utf-8,1,0](x\n)"},
        Walk{"TypeWithoutSubtypeIsPlainText", "Content-Type: text\r\n\r\nx\r\n",
             "text/plain[,0,0](x\r\n)"},
        Walk{"EmptyTypeIsPlainText", "Content-Type: /mixed; boundary=b\r\n\r\n--b\r\n",
             "text/plain[,0,0](--b\r\n)"},
        Walk{"PreambleEpilogueAndBlanksAfterBoundary",
             "Content-Type: multipart/mixed; Boundary=\"a b\"\r\n\r\npre\r\n--a b \t\r\n\r\none\r\n"
             "--a b\r\nContent-Disposition: attachment; filename*0*=UTF-8''%E6%97%A5;\r\n"
             " filename*1=.txt\r\nContent-Type: text/plain; name=other\r\n\r\ntwo\r\n--a b--  "
             "\r\nepi\r\n",
             "text/plain[,0,1](one\r\n)text/plain[,0,1,attachment,日.txt](two\r\n)"},
        Walk{"OuterBoundaryClosesInner",
             "Content-Type: multipart/mixed; boundary=o\r\n\r\n--o\r\n"
             "Content-Type: multipart/related; boundary=i\r\n\r\n--i\r\n\r\nfirst\r\n--i\r\n"
             "Content-Type: image/gif\r\n\r\nGIF\r\n--o--\r\n--i\r\n\r\nlost\r\n",
             "text/plain[,0,2](first\r\n)image/gif[,0,2,resource](GIF\r\n)"},
        Walk{"DigestPartsAreMessages",
             "Content-Type: multipart/digest; boundary=d\r\n\r\n--d\r\n\r\nSubject: s\r\n--d--\r\n",
             "message/rfc822[,0,1](Subject: s\r\n)"},
        Walk{"MultipartWithoutBoundaryIsALeaf", "Content-Type: multipart/mixed\r\n\r\n--x\r\n",
             "multipart/mixed[,0,0](--x\r\n)"},
        Walk{"HeaderWithoutEndHasNoBody",
             "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: text/plain\r\n",
             ""},
        Walk{"OverlongFieldIsCut",
             "Content-Type: text/plain; charset=utf-8; x=" + kLongValue + "\r\n " + kLongValue +
                 "\r\n\r\nx\r\n",
             "text/plain[utf-8,0,0](x\r\n)"}),
    [](const testing::TestParamInfo<Walk>& info) { return std::string(info.param.name); });

}  // namespace
