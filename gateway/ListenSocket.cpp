#include "gateway/ListenSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <string_view>

#include "gateway/PageStyle.h"
#include "gateway/PageWriter.h"
#include "gateway/Pop3Dialogue.h"
#include "gateway/RequestHead.h"
#include "gateway/RequestRoute.h"
#include "transport/Address.h"
#include "transport/MyException.h"
#include "transport/TlsServerContext.h"

namespace {

// Over HTTPS, one more field of the HTTP head: browsers that have seen the page over
// HTTPS then never ask for it in plain text again, for a year.
constexpr std::string_view kHstsField = "Strict-Transport-Security: max-age=31536000\r\n";

using Clock = CRefusalThrottle::Clock;

std::string FormatPeer(const CAcceptedConnection& connection) {
    in_addr address{};
    address.s_addr = connection.address;
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &address, text, sizeof text) == nullptr) {
        return {};
    }
    return std::string(text) + ":" + std::to_string(connection.port);
}

// Reads the request head up to its empty line into head. False when the head is too
// large to be served. Bounded by the stream's deadline as a whole, not only wait by
// wait.
bool ReadRequestHead(CBlockingSocket& browser, int timeoutMs, CRequestHead& head) {
    char line[CRequestHead::kLineBufferSize];
    for (;;) {
        const int n = browser.ReceiveUntil(line, sizeof line, 0, timeoutMs, '\n');
        if (n <= 0) {
            return false;
        }
        switch (head.Feed(std::string_view(line, static_cast<std::size_t>(n)))) {
            case CRequestHead::kMore:
                break;
            case CRequestHead::kComplete:
                return true;
            case CRequestHead::kTooLarge:
                return false;
        }
    }
}

int PortOf(int fd) {
    if (fd < 0) {
        return 0;
    }
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        return 0;
    }
    return ntohs(local.sin_port);
}

// A bound, not yet listening, non-blocking socket; or the errno of the failure.
int MakeSocket(int port, const char* address, int& fd) {
    fd = -1;
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
    const int made = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (made < 0) {
        return errno;
    }
    // Without it a restart fails for a minute after serving, while old connections
    // linger in TIME_WAIT.
    const int one = 1;
    if (::setsockopt(made, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::bind(made, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        const int error = errno;
        ::close(made);
        return error;
    }
    fd = made;
    return 0;
}

void CloseHandle(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

int ListenOn(int fd, int backlog) {
    if (fd < 0) {
        return EBADF;
    }
    return ::listen(fd, backlog) == 0 ? 0 : errno;
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
    CloseHandle(m_hSocket);
    return MakeSocket(port, address, m_hSocket);
}

int CListenSocket::CreateHttps(int port, const char* address, const CTlsServerContext& context) {
    CloseHandle(m_hHttpsSocket);
    m_tlsContext = &context;
    return MakeSocket(port, address, m_hHttpsSocket);
}

int CListenSocket::Listen(int backlog) {
    return ListenOn(m_hSocket, backlog);
}

int CListenSocket::ListenHttps(int backlog) {
    return ListenOn(m_hHttpsSocket, backlog);
}

void CListenSocket::Close() {
    CloseHandle(m_hSocket);
    CloseHandle(m_hHttpsSocket);
}

int CListenSocket::Port() const {
    return PortOf(m_hSocket);
}

int CListenSocket::HttpsPort() const {
    return PortOf(m_hHttpsSocket);
}

void CListenSocket::OnAccept(int errorCode) {
    if (errorCode != 0) {
        if (m_onAcceptError) {
            m_onAcceptError(errorCode);
        }
        return;
    }
    if (const std::optional<CAcceptedConnection> connection = Accept()) {
        Serve(*connection);
    }
}

std::optional<CAcceptedConnection> CListenSocket::Accept() {
    return AcceptOn(m_hSocket, false);
}

std::optional<CAcceptedConnection> CListenSocket::AcceptHttps() {
    return AcceptOn(m_hHttpsSocket, true);
}

std::optional<CAcceptedConnection> CListenSocket::AcceptOn(int hSocket, bool https) {
    if (hSocket < 0) {
        return std::nullopt;
    }
    sockaddr_in peer{};
    socklen_t peerLength = sizeof peer;
    int fd;
    do {
        fd = ::accept4(hSocket, reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        // Nothing waiting after all, or the connection went away: drop the notification.
        return std::nullopt;
    }
    return CAcceptedConnection{fd, peer.sin_addr.s_addr, ntohs(peer.sin_port), https};
}

bool CListenSocket::Admitted(const IpAddress& address, CRequestRecord& record,
                             Clock::time_point now) {
    switch (m_throttle.Check(address, now)) {
        case CRefusalThrottle::kServe:
            return true;
        case CRefusalThrottle::kDropFirst:
            record.page = "throttled";
            if (m_onServed) {
                m_onServed(record);
            }
            return false;
        case CRefusalThrottle::kDrop:
            return false;
    }
    return false;
}

void CListenSocket::Serve(const CAcceptedConnection& connection) {
    const auto start = Clock::now();
    // Closed last, after m_onServed: a client that has seen its answer end finds the
    // request already logged.
    const CConnectionHandle handle(connection.fd);
    CRequestRecord record;
    record.client = FormatPeer(connection);
    IpAddress client = CTrustedProxies::FromIpv4(connection.address);
    // A proxy speaks for many clients: which of them it is shows only in the head.
    const bool viaProxy = m_proxies.Contains(client);
    if (!viaProxy && !Admitted(client, record, start)) {
        return;
    }
    record.page = "refused";
    CBlockingSocket browser(handle.Get());
    // The head, and the TLS handshake before it, have one time-out in all: a
    // client sending a byte now and then must not restart the clock with each one.
    browser.SetDeadline(start + std::chrono::milliseconds(m_timeoutMs));
    try {
        if (connection.https &&
            (m_tlsContext == nullptr || browser.AcceptTls(*m_tlsContext, m_timeoutMs) != 0)) {
            throw CMyException(ERR_RECEIVE);
        }
        CRequestHead head;
        if (!ReadRequestHead(browser, m_timeoutMs, head)) {
            record.refusal = "head too large";
        } else {
            if (viaProxy) {
                if (const auto forwarded =
                        m_proxies.ClientOf(head.XForwardedFor(), head.Forwarded())) {
                    client = *forwarded;
                    record.proxy = record.client;
                    record.client = CTrustedProxies::Format(client);
                }
                if (!Admitted(client, record, start)) {
                    return;
                }
            }
            const auto deadline = start + std::chrono::milliseconds(m_timeoutMs) * kRequestTimeouts;
            browser.SetDeadline(deadline);
            HandleRequest(head.RequestLine().c_str(), browser, record, deadline, client);
        }
    } catch (const CMyException& e) {
        // The handshake, reading the head or sending the page head failed: the
        // request is dropped.
        record.errorCode = e.m_nCode;
        record.errorText = e.GetErrorMessage();
        record.detail = browser.LastErrorDetail();
    }
    record.milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    if (m_onServed) {
        m_onServed(record);
    }
    // Over HTTPS the close notification, not the close, tells the browser that the
    // page is whole.
    browser.EndTls();
}

void CListenSocket::HandleRequest(const char* requestLine, CBlockingSocket& browser) {
    CRequestRecord record;
    HandleRequest(requestLine, browser, record,
                  Clock::now() + std::chrono::milliseconds(m_timeoutMs) * kRequestTimeouts,
                  std::nullopt);
}

void CListenSocket::HandleRequest(const char* requestLine, CBlockingSocket& browser,
                                  CRequestRecord& record, Clock::time_point deadline,
                                  std::optional<IpAddress> address) {
    const CRequestRoute route = RouteRequest(requestLine != nullptr ? requestLine : "", m_settings);
    record.settingNumber = route.settingNumber;
    if (route.Refused()) {
        record.page = "refused";
        record.refusal = route.refusal;
        if (address && route.refusal == "wrong password") {
            m_throttle.NoteRefusal(*address, Clock::now());
        }
        return;
    }
    const bool download = route.page == CRequestRoute::kAttachment;
    record.page = route.page == CRequestRoute::kList
                      ? "toplist"
                      : "mail " + std::to_string(route.messageNumber);
    if (download) {
        record.page += " part " + std::to_string(route.part);
    }
    // The request's own copy: the owner may change its table between requests.
    const CSetting setting = m_settings[static_cast<std::size_t>(route.settingNumber)];

    CPageWriter page(browser, m_timeoutMs);
    // The HTTP head and the page head go out at once, in one chunk, before the mail
    // server is contacted. A failure here ends the request in OnAccept. A download's
    // head says what the part is, so it waits for the part.
    const CPageStyle style(setting, route.settingText, route.passText);
    if (!download) {
        std::string head(style.HttpHead());
        if (browser.IsTls()) {
            head.insert(head.size() - 2, kHstsField);  // before the empty line
        }
        head += route.page == CRequestRoute::kList
                    ? style.ListHead(route.paged ? route.listFrom : 0)
                    : style.MailHead(route.messageNumber);
        try {
            page.Send(head);
        } catch (const CMyException&) {
            record.bytesSent = page.BytesSent();
            throw;
        }
    }

    // A failed page ends where it was, without footer. What was gathered for the
    // browser before the failure still goes out, as it would have unbatched.
    auto endFailedPage = [&] {
        // The modern page says what failed, in the words of the failure's message, and
        // ends as a page does; the detail stays in the log. A download just stops.
        std::string end;
        if (style.Modern() && !download) {
            style.AppendFailure(end, record.errorText);
            end += CPop3Dialogue::kPageFooter;
        }
        try {
            if (end.empty()) {
                page.Flush();
            } else {
                page.Send(end);
            }
        } catch (const CMyException&) {
            page.Discard();
        }
        record.bytesSent = page.BytesSent();
        // A download has no length to tell it whole: the browser must see it fail, not
        // keep the part of a file as the file.
        if (download && record.bytesSent > 0) {
            browser.Abort();
        }
    };

    // The setting's mailbox is ours until the session has said goodbye.
    std::unique_lock session(m_sessions[static_cast<std::size_t>(route.settingNumber)],
                             std::defer_lock);
    if (!session.try_lock_until(deadline - std::chrono::milliseconds(m_timeoutMs) *
                                               (kRequestTimeouts - kSessionWaitTimeouts))) {
        record.errorCode = ERR_CONNECT;
        record.errorText = CMyException(ERR_CONNECT).GetErrorMessage();
        record.detail = "another request of this setting held its mailbox too long";
        endFailedPage();
        return;
    }
    CPop3Dialogue dialogue(setting, page, m_timeoutMs);
    dialogue.SetDeadline(deadline);
    dialogue.SetTokenSource(m_tokens);
    if (browser.IsTls()) {
        dialogue.SetDownloadFields(std::string(kHstsField));
    }
    try {
        dialogue.Run(route);
    } catch (const CMyException& e) {
        record.errorCode = e.m_nCode;
        record.errorText = e.GetErrorMessage();
        record.detail = dialogue.FailureDetail();
        record.reason = dialogue.FailureReason();
        endFailedPage();
        return;
    }
    if (download && !dialogue.AttachmentFound()) {
        // No such part, or one that is no file: refused like any other address.
        record.refusal = "no such part";
    }
    record.bytesSent = page.BytesSent();
    // The page is whole: the browser sees its end now, not after the server's goodbye.
    browser.ShutdownSend();
    dialogue.Finish();
}
