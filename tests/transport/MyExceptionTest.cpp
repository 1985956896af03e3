#include "transport/MyException.h"

#include <iconv.h>

#include <cerrno>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

namespace {

// The expected texts are written in UTF-8 here and converted by the C library, so the
// test does not repeat the byte strings of the code it checks.
std::string ToCp932(const std::string& utf8) {
    iconv_t cd = iconv_open("CP932", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        ADD_FAILURE() << "no CP932 converter";
        return {};
    }
    std::string in = utf8;
    std::string out(in.size() * 2 + 16, '\0');
    char* inPtr = in.data();
    size_t inLeft = in.size();
    char* outPtr = out.data();
    size_t outLeft = out.size();
    const size_t done = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    iconv_close(cd);
    EXPECT_NE(done, static_cast<size_t>(-1));
    out.resize(out.size() - outLeft);
    return out;
}

struct MessageCase {
    const char* name;
    int code;
    int lastError;
    const char* utf8;
};

void PrintTo(const MessageCase& c, std::ostream* os) {
    *os << c.name;
}

class ErrorMessageTest : public testing::TestWithParam<MessageCase> {};

TEST_P(ErrorMessageTest, IsTheCp932Text) {
    const CMyException e(GetParam().code);
    errno = GetParam().lastError;
    EXPECT_EQ(e.GetErrorMessage(), ToCp932(GetParam().utf8));
}

INSTANTIATE_TEST_SUITE_P(
    Codes, ErrorMessageTest,
    testing::Values(MessageCase{"Connect", ERR_CONNECT, 0, "サーバとの接続に失敗しました。"},
                    MessageCase{"NoResponse", ERR_NO_RESPONSE, 0, "サーバから応答がありません。"},
                    MessageCase{"Login", ERR_LOGIN, 0, "ユーザ名またはパスワードが違います。"},
                    MessageCase{"Retrieve", ERR_RETRIEVE, 0, "メッセージの取得に失敗しました。"},
                    MessageCase{"Send", ERR_SEND, 32,
                                "サーバへの送信に失敗しました。\nエラーコード(32)"},
                    MessageCase{"Receive", ERR_RECEIVE, 110,
                                "サーバからの受信に失敗しました。\nエラーコード(110)"},
                    MessageCase{"ReceiveWithoutError", ERR_RECEIVE, 0,
                                "サーバからの受信に失敗しました。\nエラーコード(0)"},
                    MessageCase{"NegativeNumber", ERR_SEND, -5,
                                "サーバへの送信に失敗しました。\nエラーコード(-5)"},
                    MessageCase{"CodeZero", 0, 0, ""}, MessageCase{"CodeThree", 3, 0, ""},
                    MessageCase{"CodeEight", 8, 0, ""}, MessageCase{"NegativeCode", -1, 0, ""}),
    [](const testing::TestParamInfo<MessageCase>& info) { return std::string(info.param.name); });

}  // namespace
