#include "transport/BlockingSocket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "transport/Address.h"
#include "transport/MyException.h"

namespace {

constexpr int kNoHandle = -1;

// A peer that has closed makes every read come back empty at once; this many empty
// reads in a row end the receive.
constexpr int kEmptyReadsToFail = 4;

enum class WaitResult { Ready, TimedOut, Failed };

// Waits until fd reports one of events (or an error or hang-up, which the next
// transfer call then reports), for at most timeoutMs; 0 or less waits without bound.
// EINTR restarts the wait with the time still left.
WaitResult WaitFor(int fd, short events, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const bool bounded = timeoutMs > 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    pollfd entry{fd, events, 0};
    for (;;) {
        int wait = -1;
        if (bounded) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            wait = left > 0 ? static_cast<int>(left) : 0;
        }
        entry.revents = 0;
        const int ready = poll(&entry, 1, wait);
        if (ready > 0) {
            if (entry.revents & POLLNVAL) {
                errno = EBADF;
                return WaitResult::Failed;
            }
            return WaitResult::Ready;
        }
        if (ready == 0) {
            errno = ETIMEDOUT;
            return WaitResult::TimedOut;
        }
        if (errno != EINTR) {
            return WaitResult::Failed;
        }
    }
}

bool SetNonBlocking(int fd, bool on) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0) {
        return false;
    }
    const int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return wanted == flags || fcntl(fd, F_SETFL, wanted) == 0;
}

}  // namespace

CBlockingSocket::CBlockingSocket() : m_hSocket(kNoHandle) {}

CBlockingSocket::CBlockingSocket(int hSocket) : m_hSocket(hSocket) {}

// The handle is left open: only Close closes it.
CBlockingSocket::~CBlockingSocket() = default;

int CBlockingSocket::Connect(const char* host, int port, int connectTimeoutMs) {
    if (host == nullptr || *host == '\0') {
        return -2;
    }
    if (m_created && m_hSocket != kNoHandle) {
        Close();  // a second Connect must not lose the first connection's handle
    }
    const std::optional<Ipv4Address> address = ResolveHost(host);
    if (!address) {
        return -3;
    }
    const int chosenPort = ChoosePort(port);
    if (chosenPort <= 0 || chosenPort > 65535) {
        errno = EINVAL;
        return -4;
    }

    // Non-blocking while connecting, so that the attempt is bounded by our time-out and
    // not by the system's two minutes.
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -3;
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<std::uint16_t>(chosenPort));
    std::memcpy(&peer.sin_addr.s_addr, address->data(), address->size());

    bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0;
    if (!connected && (errno == EINPROGRESS || errno == EINTR)) {
        // An interrupted connect goes on in the background just like one in progress.
        if (WaitFor(fd, POLLOUT, connectTimeoutMs) == WaitResult::Ready) {
            int error = 0;
            socklen_t length = sizeof error;
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
                error = errno;
            }
            connected = error == 0;
            if (!connected) {
                errno = error;
            }
        }
    }
    if (!connected || !SetNonBlocking(fd, false)) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -4;
    }
    m_hSocket = fd;
    m_created = true;
    m_readPos = m_readEnd = 0;
    return 0;
}

int CBlockingSocket::Send(const char* text, int flags, int timeoutMs) {
    const auto length = text == nullptr ? std::size_t{0} : std::strlen(text);
    return SendBytes(text, static_cast<int>(length), flags, timeoutMs);
}

int CBlockingSocket::SendBytes(const char* data, int length, int flags, int timeoutMs) {
    if (m_hSocket == kNoHandle) {
        errno = EBADF;
        throw CMyException(ERR_SEND);
    }
    if (length < 0) {
        errno = EINVAL;
        throw CMyException(ERR_SEND);
    }
    // Each send takes what fits without blocking, so that a reader that stops reading
    // is noticed by the time-out instead of hanging the server. The handle's own
    // blocking mode is left as it is: it may belong to someone else.
    const int sendFlags = flags | MSG_NOSIGNAL | MSG_DONTWAIT;
    int sent = 0;
    while (sent < length) {
        const ssize_t n =
            ::send(m_hSocket, data + sent, static_cast<std::size_t>(length - sent), sendFlags);
        if (n > 0) {
            sent += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            throw CMyException(ERR_SEND);
        }
        // The peer has not read what we sent before: wait until there is room again.
        // A peer that takes nothing for a whole time-out has stalled.
        if (WaitFor(m_hSocket, POLLOUT, timeoutMs) != WaitResult::Ready) {
            throw CMyException(ERR_SEND);
        }
    }
    return sent;
}

int CBlockingSocket::ReceiveUntil(char* buffer, int size, int flags, int timeoutMs,
                                  int terminator) {
    if (buffer == nullptr || size <= 0) {
        return 0;  // not even room for the terminating zero
    }
    if (m_hSocket == kNoHandle) {
        std::memset(buffer, 0, static_cast<std::size_t>(size));
        return 0;
    }
    const auto capacity = static_cast<std::size_t>(size) - 1;
    const auto stop = static_cast<unsigned char>(terminator);
    // Peeking would leave the bytes in the connection and read them again forever.
    const int recvFlags = (flags & ~MSG_PEEK) | MSG_DONTWAIT;
    std::size_t stored = 0;
    int emptyReads = 0;

    for (;;) {
        // Take what the read-ahead holds, up to the terminator or the caller's room.
        if (m_readPos < m_readEnd) {
            const std::size_t room = capacity - stored;
            std::size_t take = m_readEnd - m_readPos;
            if (take > room) {
                take = room;
            }
            const char* from = m_readBuf + m_readPos;
            const void* end = std::memchr(from, stop, take);
            const bool complete = end != nullptr;
            if (complete) {
                take = static_cast<std::size_t>(static_cast<const char*>(end) - from) + 1;
            }
            std::memcpy(buffer + stored, from, take);
            stored += take;
            m_readPos += take;
            if (complete || stored == capacity) {
                // A line longer than the buffer: the next call goes on with its rest.
                buffer[stored] = '\0';
                return static_cast<int>(stored);
            }
        }
        if (stored == capacity) {
            buffer[stored] = '\0';
            return static_cast<int>(stored);
        }

        // The read-ahead is empty: one recv takes whatever has arrived.
        m_readPos = m_readEnd = 0;
        const ssize_t n = ::recv(m_hSocket, m_readBuf, kReadAhead, recvFlags);
        if (n > 0) {
            m_readEnd = static_cast<std::size_t>(n);
            emptyReads = 0;
            continue;
        }
        if (n == 0) {
            if (++emptyReads >= kEmptyReadsToFail) {
                errno = 0;  // the peer closed: there is no system error to show
                break;
            }
        } else if (errno == EINTR) {
            continue;
        } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
            break;
        }
        if (WaitFor(m_hSocket, POLLIN, timeoutMs) != WaitResult::Ready) {
            break;
        }
    }
    // Failed: the caller keeps the part of the line that did arrive.
    const int error = errno;
    buffer[stored] = '\0';
    errno = error;
    throw CMyException(ERR_RECEIVE);
}

bool CBlockingSocket::HasBufferedLine(int terminator) const {
    return m_readPos < m_readEnd &&
           std::memchr(m_readBuf + m_readPos, static_cast<unsigned char>(terminator),
                       m_readEnd - m_readPos) != nullptr;
}

int CBlockingSocket::Close() {
    if (m_hSocket != kNoHandle) {
        ::close(m_hSocket);  // not retried on EINTR: the handle is released either way
    }
    m_hSocket = kNoHandle;
    m_created = false;
    m_readPos = m_readEnd = 0;
    return 0;
}
