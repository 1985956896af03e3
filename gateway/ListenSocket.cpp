#include "gateway/ListenSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <string_view>

#include "gateway/PageWriter.h"
#include "gateway/Pop3Dialogue.h"
#include "gateway/RequestHead.h"
#include "gateway/RequestRoute.h"
#include "transport/Address.h"
#include "transport/MyException.h"

namespace {

// Goes before the page head of every accepted request: browsers refuse a bare answer on
// any port but 80, and the page must declare its character set.
constexpr std::string_view kHttpHead =
    "HTTP/1.0 200 OK\r\n"
    "Content-Type: text/html; charset=Shift_JIS\r\n"
    "Cache-Control: no-store\r\n"
    "Content-Security-Policy: default-src 'none'\r\n"
    "Referrer-Policy: no-referrer\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Connection: close\r\n"
    "\r\n";
constexpr std::string_view kPageHead = "<HTML><HEAD><TITLE>Ravenquill</TITLE></HEAD><BODY>";

std::string FormatPeer(const sockaddr_in& peer) {
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text) == nullptr) {
        return {};
    }
    return std::string(text) + ":" + std::to_string(ntohs(peer.sin_port));
}

// Reads the request head up to its empty line. Returns the captured "GET /" line
// (empty when there was none), or nothing when the head is too large to be served.
std::optional<std::string> ReadRequestHead(CBlockingSocket& browser, int timeoutMs) {
    char line[CRequestHead::kLineBufferSize];
    CRequestHead head;
    for (;;) {
        const int n = browser.ReceiveUntil(line, sizeof line, 0, timeoutMs, '\n');
        if (n <= 0) {
            return std::nullopt;
        }
        switch (head.Feed(std::string_view(line, static_cast<std::size_t>(n)))) {
            case CRequestHead::kMore:
                break;
            case CRequestHead::kComplete:
                return head.RequestLine();
            case CRequestHead::kTooLarge:
                return std::nullopt;
        }
    }
}

// Closes the accepted connection however the request ends.
class CConnectionHandle {
public:
    explicit CConnectionHandle(int fd) : m_fd(fd) {}
    CConnectionHandle(const CConnectionHandle&) = delete;
    CConnectionHandle& operator=(const CConnectionHandle&) = delete;
    ~CConnectionHandle() { ::close(m_fd); }
    int Get() const { return m_fd; }

private:
    int m_fd;
};

}  // namespace

CListenSocket::CListenSocket(const CSettingTable& settings) : m_settings(settings) {}

CListenSocket::~CListenSocket() {
    Close();
}

int CListenSocket::Create(int port, const char* address) {
    // A new Create never leaves an earlier socket behind.
    Close();
    if (port < 0 || port > kMaxPort) {
        return EINVAL;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(port));
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (address != nullptr && *address != '\0' &&
        inet_pton(AF_INET, address, &local.sin_addr) != 1) {
        return EINVAL;
    }
    // Non-blocking, so that an accept with nothing waiting returns at once.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return errno;
    }
    // Without it a restart fails for a minute after serving, while old connections
    // linger in TIME_WAIT.
    const int one = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        const int error = errno;
        ::close(fd);
        return error;
    }
    m_hSocket = fd;
    return 0;
}

int CListenSocket::Listen(int backlog) {
    if (m_hSocket < 0) {
        return EBADF;
    }
    return ::listen(m_hSocket, backlog) == 0 ? 0 : errno;
}

void CListenSocket::Close() {
    if (m_hSocket >= 0) {
        ::close(m_hSocket);
        m_hSocket = -1;
    }
}

int CListenSocket::Port() const {
    if (m_hSocket < 0) {
        return 0;
    }
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(m_hSocket, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        return 0;
    }
    return ntohs(local.sin_port);
}

void CListenSocket::OnAccept(int errorCode) {
    if (errorCode != 0) {
        if (m_onAcceptError) {
            m_onAcceptError(errorCode);
        }
        return;
    }
    if (m_hSocket < 0) {
        return;
    }
    sockaddr_in peer{};
    socklen_t peerLength = sizeof peer;
    int fd;
    do {
        fd = ::accept4(m_hSocket, reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        // Nothing waiting after all, or the connection went away: drop the notification.
        return;
    }
    const auto start = std::chrono::steady_clock::now();
    m_record = CRequestRecord{};
    m_record.client = FormatPeer(peer);
    m_record.page = "refused";
    {
        const CConnectionHandle connection(fd);
        CBlockingSocket browser(connection.Get());
        try {
            const std::optional<std::string> requestLine = ReadRequestHead(browser, m_timeoutMs);
            if (requestLine) {
                HandleRequest(requestLine->c_str(), browser);
            }
        } catch (const CMyException& e) {
            // Reading the head or sending the page head failed: the request is dropped.
            m_record.errorCode = e.m_nCode;
            m_record.errorText = e.GetErrorMessage();
            m_record.detail = browser.LastErrorDetail();
        }
    }
    m_record.milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - start)
                                .count();
    if (m_onServed) {
        m_onServed(m_record);
    }
}

void CListenSocket::HandleRequest(const char* requestLine, CBlockingSocket& browser) {
    const CRequestRoute route = RouteRequest(requestLine != nullptr ? requestLine : "", m_settings);
    m_record.settingNumber = route.settingNumber;
    if (route.Refused()) {
        m_record.page = "refused";
        return;
    }
    m_record.page = route.page == CRequestRoute::kList
                        ? "toplist"
                        : "mail " + std::to_string(route.messageNumber);
    const CSetting& setting = m_settings[static_cast<std::size_t>(route.settingNumber)];

    CPageWriter page(browser, m_timeoutMs);
    // The HTTP head and the page head go out at once, in one chunk, before the mail
    // server is contacted. A failure here ends the request in OnAccept.
    std::string head;
    head.reserve(kHttpHead.size() + kPageHead.size());
    head += kHttpHead;
    head += kPageHead;
    try {
        page.Send(head);
    } catch (const CMyException&) {
        m_record.bytesSent = page.BytesSent();
        throw;
    }

    CPop3Dialogue dialogue(setting, page, m_timeoutMs);
    try {
        dialogue.Run(route);
    } catch (const CMyException& e) {
        // The page ends where it was, without footer. What was gathered for the
        // browser before the failure still goes out, as it would have unbatched.
        m_record.errorCode = e.m_nCode;
        m_record.errorText = e.GetErrorMessage();
        m_record.detail = dialogue.FailureDetail();
        try {
            page.Flush();
        } catch (const CMyException&) {
            page.Discard();
        }
    }
    m_record.bytesSent = page.BytesSent();
}
