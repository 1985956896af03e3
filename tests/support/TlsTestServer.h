#pragma once

#include <functional>
#include <string>
#include <thread>

#include <openssl/ssl.h>

#include "support/TestPki.h"

// A server on 127.0.0.1 at a port the system picks. Its own thread accepts up to
// `connections` connections one after another and hands each accepted socket to the
// handler, then closes it. SIGPIPE is blocked on that thread, so a client that leaves
// early costs the handler an error, not the test process.
class TestServer {
public:
    using Handler = std::function<void(int fd)>;

    explicit TestServer(Handler handler, int connections = 1);
    ~TestServer();  // stops accepting and waits for the thread
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    int Port() const { return m_port; }

private:
    int m_listener = -1;
    int m_port = 0;
    std::thread m_thread;
};

// The server side of TLS over an accepted (blocking) socket, for handlers.
class TlsPeer {
public:
    // Runs the handshake with credentials; Ok() tells whether it succeeded.
    TlsPeer(int fd, const Credentials& credentials);
    ~TlsPeer();  // frees the session without a close notification
    TlsPeer(const TlsPeer&) = delete;
    TlsPeer& operator=(const TlsPeer&) = delete;

    bool Ok() const { return m_ok; }
    // Sends bytes as one write (records of at most 16 KiB).
    bool Send(const std::string& bytes);
    // Reads one record's worth; false when the client closed or failed.
    bool ReadSome(std::string& received);
    // True when received bytes wait inside TLS, where poll cannot see them.
    bool HasPending() const;
    // Reads until the client's close notification (true) or a failure (false).
    bool ReadToEnd(std::string& received, bool slowly = false);
    // Sends the close notification.
    void CloseNotify();

private:
    SSL_CTX* m_context = nullptr;
    SSL* m_ssl = nullptr;
    bool m_ok = false;
};

// Plays a TLS server up to its first flight, then sends only the first `bytes` bytes of
// that flight (all of it when bytes is negative). Returns false when it cannot.
bool SendPartOfServerFlight(int fd, const Credentials& credentials, long bytes);

// Reads and drops what the client sends until it leaves or stays quiet for quietMs.
void DrainClient(int fd, int quietMs);

// Plays a TLS server with credentials on fd and relays the plain bytes both ways to
// 127.0.0.1:backendPort until either side closes: a TLS front for a plain fake.
void RelayTls(int fd, const Credentials& credentials, int backendPort);
