#pragma once

#include <cstddef>
#include <string>
#include <vector>

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

// count lines, each one letter repeated, then CR LF: 0 to 299 letters long, and every
// fiftieth line 40000, far more than one read-ahead holds.
inline std::vector<std::string> MixedLengthLines(int count) {
    std::vector<std::string> lines;
    for (int i = 0; i < count; ++i) {
        const std::size_t length = i % 50 == 49 ? 40000 : static_cast<std::size_t>(i % 300);
        lines.push_back(std::string(length, static_cast<char>('a' + i % 26)) + "\r\n");
    }
    return lines;
}

// size bytes of every value in an irregular pattern, so that lost, doubled or
// reordered pieces show.
inline std::string PatternedBytes(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 131 + i / 4099) & 0xFF);
    }
    return bytes;
}

}  // namespace transport_test
