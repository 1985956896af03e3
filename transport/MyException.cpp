#include "transport/MyException.h"

#include <cerrno>
#include <string>

std::string CMyException::GetErrorMessage() const {
    // The number shown with codes 6 and 7 is the last socket error as it stands now,
    // so it is read before anything else can change it.
    const int lastError = errno;
    switch (m_nCode) {
        case ERR_CONNECT:
            // サーバとの接続に失敗しました。
            return "\x83\x54\x81\x5B\x83\x6F\x82\xC6\x82\xCC\x90\xDA\x91\xB1\x82\xC9\x8E\xB8"
                   "\x94\x73\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81\x42";
        case ERR_NO_RESPONSE:
            // サーバから応答がありません。
            return "\x83\x54\x81\x5B\x83\x6F\x82\xA9\x82\xE7\x89\x9E\x93\x9A\x82\xAA\x82\xA0"
                   "\x82\xE8\x82\xDC\x82\xB9\x82\xF1\x81\x42";
        case ERR_LOGIN:
            // ユーザ名またはパスワードが違います。
            return "\x83\x86\x81\x5B\x83\x55\x96\xBC\x82\xDC\x82\xBD\x82\xCD\x83\x70\x83\x58"
                   "\x83\x8F\x81\x5B\x83\x68\x82\xAA\x88\xE1\x82\xA2\x82\xDC\x82\xB7\x81\x42";
        case ERR_RETRIEVE:
            // メッセージの取得に失敗しました。
            return "\x83\x81\x83\x62\x83\x5A\x81\x5B\x83\x57\x82\xCC\x8E\xE6\x93\xBE\x82\xC9"
                   "\x8E\xB8\x94\x73\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81\x42";
        case ERR_SEND:
            // サーバへの送信に失敗しました。\nエラーコード(%d)
            return "\x83\x54\x81\x5B\x83\x6F\x82\xD6\x82\xCC\x91\x97\x90\x4D\x82\xC9\x8E\xB8"
                   "\x94\x73\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81\x42"
                   "\n"
                   "\x83\x47\x83\x89\x81\x5B\x83\x52\x81\x5B\x83\x68"
                   "(" +
                   std::to_string(lastError) + ")";
        case ERR_RECEIVE:
            // サーバからの受信に失敗しました。\nエラーコード(%d)
            return "\x83\x54\x81\x5B\x83\x6F\x82\xA9\x82\xE7\x82\xCC\x8E\xF3\x90\x4D\x82\xC9"
                   "\x8E\xB8\x94\x73\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81\x42"
                   "\n"
                   "\x83\x47\x83\x89\x81\x5B\x83\x52\x81\x5B\x83\x68"
                   "(" +
                   std::to_string(lastError) + ")";
        default:
            // Code 3 is never raised; it and unknown codes have no message.
            return {};
    }
}
