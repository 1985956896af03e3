#pragma once

#include <string>

#include <gtest/gtest.h>

#include "transport/BlockingSocket.h"
#include "transport/MyException.h"

// Helpers shared by the plain and the TLS stream tests.
namespace transport_test {

// Runs ReceiveUntil and gives the raised code, or 0 when it returned (its count in *result).
inline int ReceiveCode(CBlockingSocket& socket, char* buffer, int size, int timeoutMs,
                       int terminator = '\n', int* result = nullptr) {
    try {
        const int n = socket.ReceiveUntil(buffer, size, 0, timeoutMs, terminator);
        if (result != nullptr) {
            *result = n;
        }
        return 0;
    } catch (const CMyException& e) {
        return e.m_nCode;
    }
}

// Sends all of bytes and gives the raised code, or 0 when everything went.
inline int SendCode(CBlockingSocket& socket, const std::string& bytes, int timeoutMs) {
    try {
        EXPECT_EQ(socket.SendBytes(bytes.data(), static_cast<int>(bytes.size()), 0, timeoutMs),
                  static_cast<int>(bytes.size()));
        return 0;
    } catch (const CMyException& e) {
        return e.m_nCode;
    }
}

}  // namespace transport_test
