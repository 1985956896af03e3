#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "gateway/AccessTokenSource.h"
#include "gateway/RefusalThrottle.h"
#include "gateway/TrustedProxies.h"
#include "settings/Setting.h"
#include "transport/BlockingSocket.h"

class CTlsServerContext;

// What one accepted connection came to, handed to the owner (window or tallwynd)
// for its log. Never holds a password.
struct CRequestRecord {
    std::string client;      // peer address, "a.b.c.d:port"; behind a trusted proxy
                             // the client's address the proxy gave, without port
    std::string proxy;       // the trusted proxy's "a.b.c.d:port" then, else empty
    int settingNumber = -1;  // -1 when the path gave none
    std::string page;        // "toplist", "mail N", "refused" or "throttled"
    std::string refusal;     // why it was refused ("wrong password", ...), else empty
    int errorCode = 0;       // 0 when the page was served whole, else the failure code
    std::string errorText;   // the failure's message (code page 932), empty when ok
    std::string detail;      // the failure's cause in words (ASCII), when known:
                             // "certificate verify failed: self-signed certificate"
    std::string reason;      // why the login failed, when known: "mailbox in use",
                             // "login delay", "oauth: invalid_grant"
    long long bytesSent = 0;
    long long milliseconds = 0;
};

// A connection taken from the listen queue and not yet served.
struct CAcceptedConnection {
    int fd = -1;
    std::uint32_t address = 0;  // the peer's IPv4 address, network byte order
    int port = 0;
    bool https = false;  // taken on the HTTPS socket: TLS comes first
};

// The HTTP server socket. Whoever runs the event loop calls OnAccept when the
// handle is readable; one connection is served completely inside one OnAccept, so
// requests are served one at a time. A server with workers calls Accept on its loop
// and Serve on a worker instead: Serve may run on several threads at once. The
// settings table belongs to the owner and is only read here; it must not change while
// requests are served.
//
// Every request is bounded, whatever its peers do: its head must arrive whole within
// one time-out of the accept, and the whole request, mail-server dialogue and page
// included, ends within kRequestTimeouts time-outs.
//
// One POP3 session per setting at a time: many servers lock a mailbox for one session
// and refuse a second login, so requests served side by side for one setting take
// turns, each waiting at most kSessionWaitTimeouts time-outs for its turn.
class CListenSocket {
public:
    explicit CListenSocket(const CSettingTable& settings);
    CListenSocket(const CListenSocket&) = delete;
    CListenSocket& operator=(const CListenSocket&) = delete;
    virtual ~CListenSocket();

    // Creates the socket on port (0: one the system picks) and address (nullptr:
    // every local address), with SO_REUSEADDR. Returns 0, or the errno of the failure.
    int Create(int port, const char* address = nullptr);
    // Starts listening. Returns 0, or the errno of the failure.
    int Listen(int backlog = 5);
    // The HTTPS socket, beside the plain one or alone: its connections begin with a
    // TLS handshake with the pair context holds at that moment (the context must
    // outlive the listener). Returns 0, or the errno of the failure.
    int CreateHttps(int port, const char* address, const CTlsServerContext& context);
    int ListenHttps(int backlog = 5);
    // Closes both sockets; harmless when there is none.
    void Close();

    int Handle() const { return m_hSocket; }
    int HttpsHandle() const { return m_hHttpsSocket; }
    // The port the socket is bound to, 0 when there is none.
    int Port() const;
    int HttpsPort() const;

    // A whole request takes at most this many time-outs.
    static constexpr int kRequestTimeouts = 4;
    // A request waits for its setting's session this long at most, so that its own
    // session still has the rest of its bound.
    static constexpr int kSessionWaitTimeouts = 2;

    // Serves one waiting connection. A non-zero errorCode is handed to
    // m_onAcceptError and nothing is accepted.
    void OnAccept(int errorCode = 0);
    // Takes one waiting connection, if there is one.
    std::optional<CAcceptedConnection> Accept();
    std::optional<CAcceptedConnection> AcceptHttps();
    // Serves an accepted connection and closes it.
    void Serve(const CAcceptedConnection& connection);
    // Answers one captured request line on the browser stream.
    void HandleRequest(const char* requestLine, CBlockingSocket& browser);

    // Bounds every wait of a request (browser and mail server), and through it the
    // head and the whole request; tests pass short ones. A request always has a
    // bound: 0 or less gives kTimeoutMs.
    void SetTimeout(int timeoutMs) { m_timeoutMs = timeoutMs > 0 ? timeoutMs : kTimeoutMs; }
    int Timeout() const { return m_timeoutMs; }

    // Wrong passwords per address before it is shut out (0: never); see CRefusalThrottle.
    void SetMaxRefusals(int maxRefusals) { m_throttle.SetMaxRefusals(maxRefusals); }
    // Whose X-Forwarded-For or Forwarded names the client; see CTrustedProxies.
    // Set before serving.
    void SetTrustedProxies(CTrustedProxies proxies) { m_proxies = std::move(proxies); }

    // Where settings with MAIL_AUTH=1 get their access tokens (nullptr: such settings
    // cannot log in). Owned by the owner; shared by the requests served at once.
    void SetTokenSource(CAccessTokenSource* tokens) { m_tokens = tokens; }

    // Called after each accepted connection is closed, on the thread that served it,
    // except for a throttled address's connections after the first of its blocked
    // period, which are closed without a word.
    std::function<void(const CRequestRecord&)> m_onServed;
    // Called for an accept notification with an error code.
    std::function<void(int errorCode)> m_onAcceptError;

private:
    void HandleRequest(const char* requestLine, CBlockingSocket& browser, CRequestRecord& record,
                       CRefusalThrottle::Clock::time_point deadline,
                       std::optional<IpAddress> address);
    // Whether a connection from address is served; logs the first one dropped.
    bool Admitted(const IpAddress& address, CRequestRecord& record,
                  CRefusalThrottle::Clock::time_point now);
    std::optional<CAcceptedConnection> AcceptOn(int hSocket, bool https);

    const CSettingTable& m_settings;
    int m_hSocket = -1;
    int m_hHttpsSocket = -1;
    const CTlsServerContext* m_tlsContext = nullptr;
    CTrustedProxies m_proxies;
    int m_timeoutMs = kTimeoutMs;
    CRefusalThrottle m_throttle;
    std::array<std::timed_mutex, SETTING_SLOTS> m_sessions;  // by setting number
    CAccessTokenSource* m_tokens = nullptr;
};
