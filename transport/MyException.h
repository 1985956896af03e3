#pragma once

#include <string>

// Failure codes of the mail work behind a browser request. Code 3 is never raised.
enum : int {
    ERR_CONNECT = 1,
    ERR_NO_RESPONSE = 2,
    ERR_LOGIN = 4,
    ERR_RETRIEVE = 5,
    ERR_SEND = 6,
    ERR_RECEIVE = 7,
};

// The one exception type of the request road. Thrown and caught by value.
class CMyException {
public:
    explicit CMyException(int code) : m_nCode(code) {}
    CMyException(const CMyException&) = default;
    CMyException& operator=(const CMyException&) = default;
    virtual ~CMyException() = default;

    // The Japanese message of the code, as code page 932 bytes. Codes 6 and 7 carry the
    // last socket error (errno) as it stands when the message is made.
    std::string GetErrorMessage() const;

    int m_nCode;
};
