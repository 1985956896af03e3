#pragma once

#include <string>
#include <string_view>
#include <thread>

// One HTTP exchange with a server on 127.0.0.1. The constructor connects at once, so
// that the connection already waits in the server's backlog when it returns; sending
// the request and reading the answer until the server closes run in the background:
//
//   HttpExchange client(listener.Port(), "GET /001toplist HTTP/1.1\r\n\r\n");
//   listener.OnAccept();
//   EXPECT_EQ(client.Response(), expected);
//
// Every wait is bounded by timeoutMs; a test never hangs on a server that stays open.
class HttpExchange {
public:
    HttpExchange(int port, std::string request, int timeoutMs = 5000);
    HttpExchange(const HttpExchange&) = delete;
    HttpExchange& operator=(const HttpExchange&) = delete;
    ~HttpExchange();

    // Waits for the end of the exchange and returns every byte the server sent.
    const std::string& Response();
    // True when the server closed the connection (false: time-out or no connection).
    bool Closed();
    // True when that close was a reset, not an orderly end.
    bool Reset();

    // "GET PATH HTTP/1.1" with a Host line, the way a browser asks.
    static std::string Get(std::string_view path);

private:
    void Run(std::string request, int timeoutMs);
    void Join();

    int m_fd = -1;
    std::string m_response;
    bool m_closed = false;
    bool m_reset = false;
    std::thread m_thread;
};
