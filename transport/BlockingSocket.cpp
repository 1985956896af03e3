#include "transport/BlockingSocket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "transport/Address.h"
#include "transport/MyException.h"
#include "transport/TlsSession.h"

namespace {

constexpr int kNoHandle = -1;

// A peer that has closed makes every read come back empty at once; this many empty
// reads in a row end the receive.
constexpr int kEmptyReadsToFail = 4;

enum class WaitResult { Ready, TimedOut, Failed };

constexpr const char* kDeadlinePassed = "deadline passed";

using Clock = std::chrono::steady_clock;

// The time left until deadline, in whole milliseconds rounded up; 0 once it has passed.
int MillisecondsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits until fd reports one of events (or an error or hang-up, which the next
// transfer call then reports), for at most timeoutMs; 0 or less waits without bound.
// EINTR restarts the wait with the time still left.
WaitResult WaitFor(int fd, short events, int timeoutMs) {
    const bool bounded = timeoutMs > 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    pollfd entry{fd, events, 0};
    for (;;) {
        const int wait = bounded ? MillisecondsLeft(deadline) : -1;
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

std::string AddressText(const Ipv4Address& address, int port) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, address.data(), text, sizeof text);
    return std::string(text) + ":" + std::to_string(port);
}

std::string ErrorText(int error) {
    return std::strerror(error);
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

// The handle is left open: only Close closes it. A TLS session is freed without a
// word to the peer.
CBlockingSocket::~CBlockingSocket() = default;

int CBlockingSocket::Connect(const char* host, int port, int connectTimeoutMs) {
    m_errorDetail.clear();
    if (host == nullptr || *host == '\0') {
        m_errorDetail = "no host name";
        return -2;
    }
    if (m_created && m_hSocket != kNoHandle) {
        Close();  // a second Connect must not lose the first connection's handle
    }
    DropTls();
    const std::optional<Ipv4Address> address = ResolveHost(host);
    if (!address) {
        m_errorDetail = std::string("host name not found: ") + host;
        return -3;
    }
    const int chosenPort = ChoosePort(port);
    if (chosenPort <= 0 || chosenPort > kMaxPort) {
        m_errorDetail = "port out of range: " + std::to_string(chosenPort);
        errno = EINVAL;
        return -4;
    }

    // Non-blocking while connecting, so that the attempt is bounded by our time-out and
    // not by the system's two minutes.
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        m_errorDetail = "no socket: " + ErrorText(errno);
        return -3;
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<std::uint16_t>(chosenPort));
    std::memcpy(&peer.sin_addr.s_addr, address->data(), address->size());

    bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0;
    if (!connected && (errno == EINPROGRESS || errno == EINTR)) {
        // An interrupted connect goes on in the background just like one in progress.
        const std::optional<int> wait = BoundByDeadline(connectTimeoutMs);
        if (!wait) {
            errno = ETIMEDOUT;
        } else if (WaitFor(fd, POLLOUT, *wait) == WaitResult::Ready) {
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
        m_errorDetail = error == ETIMEDOUT
                            ? "connection to " + AddressText(*address, chosenPort) + " timed out"
                            : "connection to " + AddressText(*address, chosenPort) +
                                  " failed: " + ErrorText(error);
        errno = error;
        return -4;
    }
    m_hSocket = fd;
    m_created = true;
    m_readPos = m_readEnd = 0;
    return 0;
}

int CBlockingSocket::Connect(const char* host, int port, int connectTimeoutMs, bool tls) {
    const int result = Connect(host, port, connectTimeoutMs);
    if (result != 0 || !tls) {
        return result;
    }
    return StartTls(host, connectTimeoutMs);
}

int CBlockingSocket::StartTls(const char* serverName, int timeoutMs) {
    m_errorDetail.clear();
    if (m_hSocket == kNoHandle) {
        m_errorDetail = "no connection to start TLS on";
        return -5;
    }
    if (m_tls) {
        return 0;  // already TLS
    }
    // Whatever was read before the handshake is not part of the TLS stream.
    m_readPos = m_readEnd = 0;
    m_tls = std::make_unique<CTlsSession>();
    return Handshake(m_tls->Begin(m_hSocket, serverName, m_errorDetail), timeoutMs);
}

int CBlockingSocket::AcceptTls(const CTlsServerContext& context, int timeoutMs) {
    m_errorDetail.clear();
    if (m_hSocket == kNoHandle) {
        m_errorDetail = "no connection to start TLS on";
        return -5;
    }
    if (m_tls) {
        return 0;
    }
    m_readPos = m_readEnd = 0;
    m_tls = std::make_unique<CTlsSession>();
    return Handshake(m_tls->BeginServer(m_hSocket, context, m_errorDetail), timeoutMs);
}

int CBlockingSocket::Handshake(bool going, int timeoutMs) {
    bool bounded = timeoutMs > 0;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    if (m_deadline && (!bounded || *m_deadline < deadline)) {
        bounded = true;
        deadline = *m_deadline;
    }
    while (going) {
        const CTlsSession::Io step = m_tls->Handshake(m_errorDetail);
        if (step == CTlsSession::Io::Done) {
            return 0;
        }
        if (step != CTlsSession::Io::WantRead && step != CTlsSession::Io::WantWrite) {
            break;
        }
        const int wait = bounded ? MillisecondsLeft(deadline) : 0;
        const WaitResult ready =
            bounded && wait == 0
                ? WaitResult::TimedOut
                : WaitFor(m_hSocket, step == CTlsSession::Io::WantRead ? POLLIN : POLLOUT, wait);
        if (ready == WaitResult::TimedOut) {
            m_errorDetail = "TLS handshake timed out after " + std::to_string(timeoutMs) + " ms";
            break;
        }
        if (ready == WaitResult::Failed) {
            m_errorDetail = "TLS handshake failed: " + ErrorText(errno);
            break;
        }
    }
    // Failed: a stream half way into TLS is of no use to anyone.
    const std::string detail = m_errorDetail;
    const int error = errno;
    DropTls();
    if (m_created) {
        Close();
    } else {
        m_hSocket = kNoHandle;
    }
    m_errorDetail = detail;
    errno = error;
    return -5;
}

int CBlockingSocket::Send(const char* text, int flags, int timeoutMs) {
    const auto length = text == nullptr ? std::size_t{0} : std::strlen(text);
    return SendBytes(text, static_cast<int>(length), flags, timeoutMs);
}

int CBlockingSocket::SendBytes(const char* data, int length, int flags, int timeoutMs) {
    if (m_hSocket == kNoHandle) {
        m_errorDetail = "send without a connection";
        errno = EBADF;
        throw CMyException(ERR_SEND);
    }
    if (length < 0) {
        m_errorDetail = "send of a negative length";
        errno = EINVAL;
        throw CMyException(ERR_SEND);
    }
    if (m_tls) {
        return SendTls(data, length, timeoutMs);
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
            FailSend("send failed: " + ErrorText(errno));
        }
        // The peer has not read what we sent before: wait until there is room again.
        // A peer that takes nothing for a whole time-out has stalled.
        WaitToSend(POLLOUT, timeoutMs);
    }
    return sent;
}

int CBlockingSocket::SendTls(const char* data, int length, int timeoutMs) {
    int sent = 0;
    while (sent < length) {
        std::size_t put = 0;
        const CTlsSession::Io step =
            m_tls->Write(data + sent, static_cast<std::size_t>(length - sent), put);
        if (step == CTlsSession::Io::Done) {
            sent += static_cast<int>(put);
        } else if (step == CTlsSession::Io::WantWrite || step == CTlsSession::Io::WantRead) {
            // TLS may have to read (a key update) before it can write on.
            WaitToSend(step == CTlsSession::Io::WantRead ? POLLIN : POLLOUT, timeoutMs);
        } else {
            if (step == CTlsSession::Io::Closed) {
                errno = EPIPE;
            }
            FailSend(m_tls->LastFault());
        }
    }
    return sent;
}

void CBlockingSocket::WaitToSend(short events, int timeoutMs) {
    const std::optional<int> wait = BoundByDeadline(timeoutMs);
    const WaitResult ready = wait ? WaitFor(m_hSocket, events, *wait) : WaitResult::TimedOut;
    if (ready == WaitResult::TimedOut) {
        FailSend(wait == timeoutMs
                     ? "send stalled: nothing taken for " + std::to_string(timeoutMs) + " ms"
                     : std::string(kDeadlinePassed));
    }
    if (ready == WaitResult::Failed) {
        FailSend("send failed: " + ErrorText(errno));
    }
}

void CBlockingSocket::FailSend(std::string detail) {
    const int error = errno;
    m_errorDetail = std::move(detail);
    errno = error;
    throw CMyException(ERR_SEND);
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
            if (complete) {
                buffer[stored] = '\0';
                return static_cast<int>(stored);
            }
        }
        // A line longer than the buffer: the next call goes on with its rest.
        if (stored == capacity) {
            buffer[stored] = '\0';
            return static_cast<int>(stored);
        }

        // A peer that never stops sending would otherwise keep us here without a wait.
        std::optional<int> wait = BoundByDeadline(timeoutMs);
        if (!wait) {
            m_errorDetail = kDeadlinePassed;
            errno = ETIMEDOUT;
            break;
        }
        // The read-ahead is empty: one read takes whatever has arrived.
        const Fill fill = FillReadAhead(recvFlags);
        if (fill == Fill::Got) {
            emptyReads = 0;
            continue;
        }
        if (fill == Fill::Closed) {
            // TLS has nothing after its end; a plain peer's close shows as empty reads.
            if (m_tls || ++emptyReads >= kEmptyReadsToFail) {
                m_errorDetail = m_tls ? m_tls->LastFault() : "the peer closed the connection";
                errno = 0;  // the peer closed: there is no system error to show
                break;
            }
        } else if (fill == Fill::Failed) {
            m_errorDetail = m_tls ? m_tls->LastFault() : "receive failed: " + ErrorText(errno);
            break;
        }
        wait = BoundByDeadline(timeoutMs);
        const WaitResult ready =
            wait ? WaitFor(m_hSocket, fill == Fill::WantWrite ? POLLOUT : POLLIN, *wait)
                 : WaitResult::TimedOut;
        if (ready != WaitResult::Ready) {
            m_errorDetail = ready == WaitResult::Failed ? "receive failed: " + ErrorText(errno)
                            : wait == timeoutMs
                                ? "nothing received for " + std::to_string(timeoutMs) + " ms"
                                : kDeadlinePassed;
            break;
        }
    }
    // Failed: the caller keeps the part of the line that did arrive.
    const int error = errno;
    buffer[stored] = '\0';
    errno = error;
    throw CMyException(ERR_RECEIVE);
}

CBlockingSocket::Fill CBlockingSocket::FillReadAhead(int flags) {
    m_readPos = m_readEnd = 0;
    if (!m_tls) {
        for (;;) {
            const ssize_t n = ::recv(m_hSocket, m_readBuf, kReadAhead, flags);
            if (n > 0) {
                m_readEnd = static_cast<std::size_t>(n);
                return Fill::Got;
            }
            if (n == 0) {
                return Fill::Closed;
            }
            if (errno != EINTR) {
                return errno == EAGAIN || errno == EWOULDBLOCK ? Fill::WantRead : Fill::Failed;
            }
        }
    }
    // TLS hands out one record per read; take every record it already holds, since
    // poll cannot see those and the next call should find them here.
    do {
        std::size_t got = 0;
        const CTlsSession::Io step =
            m_tls->Read(m_readBuf + m_readEnd, kReadAhead - m_readEnd, got);
        if (step == CTlsSession::Io::Done) {
            m_readEnd += got;
            continue;
        }
        if (m_readEnd > 0) {
            break;  // a fault or a close shows on the next read, after these bytes
        }
        switch (step) {
            case CTlsSession::Io::WantRead:
                return Fill::WantRead;
            case CTlsSession::Io::WantWrite:
                return Fill::WantWrite;
            case CTlsSession::Io::Closed:
                return Fill::Closed;
            default:
                return Fill::Failed;
        }
    } while (m_readEnd < kReadAhead && m_tls->HasPending());
    return Fill::Got;
}

std::optional<int> CBlockingSocket::BoundByDeadline(int timeoutMs) const {
    if (!m_deadline) {
        return timeoutMs;
    }
    const int left = MillisecondsLeft(*m_deadline);
    if (left == 0) {
        return std::nullopt;
    }
    return timeoutMs > 0 && timeoutMs < left ? timeoutMs : left;
}

bool CBlockingSocket::HasBufferedLine(int terminator) const {
    return m_readPos < m_readEnd &&
           std::memchr(m_readBuf + m_readPos, static_cast<unsigned char>(terminator),
                       m_readEnd - m_readPos) != nullptr;
}

int CBlockingSocket::SendBufferSize() const {
    if (m_hSocket == kNoHandle) {
        return 0;
    }
    int size = 0;
    socklen_t length = sizeof size;
    if (::getsockopt(m_hSocket, SOL_SOCKET, SO_SNDBUF, &size, &length) != 0 || size < 0) {
        return 0;
    }
    return size;
}

void CBlockingSocket::ShutdownSend() {
    if (m_hSocket == kNoHandle) {
        return;
    }
    // Over TLS the close notification says the stream is complete, not cut off.
    if (m_tls) {
        m_tls->Shutdown();
    }
    ::shutdown(m_hSocket, SHUT_WR);
}

void CBlockingSocket::Abort() {
    DropTls();
    if (m_hSocket != kNoHandle) {
        const linger reset{1, 0};
        ::setsockopt(m_hSocket, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
}

void CBlockingSocket::DropTls() {
    m_tls.reset();
}

void CBlockingSocket::EndTls() {
    if (m_tls && m_hSocket != kNoHandle) {
        m_tls->Shutdown();
    }
    DropTls();
}

int CBlockingSocket::Close() {
    if (m_tls && m_hSocket != kNoHandle) {
        m_tls->Shutdown();
    }
    DropTls();
    if (m_hSocket != kNoHandle) {
        ::close(m_hSocket);  // not retried on EINTR: the handle is released either way
    }
    m_hSocket = kNoHandle;
    m_created = false;
    m_readPos = m_readEnd = 0;
    return 0;
}
