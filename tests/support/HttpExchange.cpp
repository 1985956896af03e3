#include "HttpExchange.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "Loopback.h"

HttpExchange::HttpExchange(int port, std::string request, int timeoutMs) {
    m_fd = loopback::Connect(port);
    if (m_fd >= 0) {
        m_thread = std::thread([this, request = std::move(request), timeoutMs]() mutable {
            Run(std::move(request), timeoutMs);
        });
    }
}

HttpExchange::~HttpExchange() {
    Join();
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

void HttpExchange::Join() {
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

const std::string& HttpExchange::Response() {
    Join();
    return m_response;
}

bool HttpExchange::Closed() {
    Join();
    return m_closed;
}

bool HttpExchange::Reset() {
    Join();
    return m_reset;
}

std::string HttpExchange::Get(std::string_view path) {
    return "GET " + std::string(path) +
           " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: tallwyn-test\r\nAccept: */*\r\n\r\n";
}

void HttpExchange::Run(std::string request, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    auto remainingMs = [&] {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return left > 0 ? static_cast<int>(left) : 0;
    };

    std::string_view toSend = request;
    while (!toSend.empty()) {
        pollfd fd{m_fd, POLLOUT, 0};
        if (::poll(&fd, 1, remainingMs()) <= 0) {
            break;  // the server does not read: go on and collect what it says
        }
        const ssize_t n = ::send(m_fd, toSend.data(), toSend.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        toSend.remove_prefix(static_cast<std::size_t>(n));
    }
    for (;;) {
        pollfd fd{m_fd, POLLIN, 0};
        const int ready = ::poll(&fd, 1, remainingMs());
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return;  // time-out: m_closed stays false
        }
        char buffer[16384];
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            // An orderly close, or a reset by a server that closed with our bytes unread.
            m_closed = true;
            m_reset = n < 0 && errno == ECONNRESET;
            return;
        }
        m_response.append(buffer, static_cast<std::size_t>(n));
    }
}
