#pragma once

#include <functional>
#include <string>

#include "settings/Setting.h"
#include "transport/BlockingSocket.h"

// What one accepted connection came to, handed to the owner (window or tallwynd)
// for its log. Never holds a password.
struct CRequestRecord {
    std::string client;      // peer address, "a.b.c.d:port"
    int settingNumber = -1;  // -1 when the path gave none
    std::string page;        // "toplist", "mail N" or "refused"
    int errorCode = 0;       // 0 when the page was served whole, else the failure code
    std::string errorText;   // the failure's message (code page 932), empty when ok
    std::string detail;      // the failure's cause in words (ASCII), when known:
                             // "certificate verify failed: self-signed certificate"
    long long bytesSent = 0;
    long long milliseconds = 0;
};

// The HTTP server socket. Whoever runs the event loop calls OnAccept when the
// handle is readable; one connection is served completely inside one OnAccept, so
// requests are served one at a time. The settings table belongs to the owner and is
// only read here.
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
    // Closes the socket; harmless when there is none.
    void Close();

    int Handle() const { return m_hSocket; }
    // The port the socket is bound to, 0 when there is none.
    int Port() const;

    // Serves one waiting connection. A non-zero errorCode is handed to
    // m_onAcceptError and nothing is accepted.
    void OnAccept(int errorCode = 0);
    // Answers one captured request line on the browser stream.
    void HandleRequest(const char* requestLine, CBlockingSocket& browser);

    // Bounds every wait of a request (browser and mail server); tests pass short ones.
    void SetTimeout(int timeoutMs) { m_timeoutMs = timeoutMs; }
    int Timeout() const { return m_timeoutMs; }

    // Called after each accepted connection is closed.
    std::function<void(const CRequestRecord&)> m_onServed;
    // Called for an accept notification with an error code.
    std::function<void(int errorCode)> m_onAcceptError;

private:
    const CSettingTable& m_settings;
    int m_hSocket = -1;
    int m_timeoutMs = kTimeoutMs;
    CRequestRecord m_record;  // the request being served
};
