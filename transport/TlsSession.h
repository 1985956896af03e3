#pragma once

#include <cstddef>
#include <string>

struct ssl_st;
class CTlsServerContext;

// One TLS session, client or server side, over a connected socket that
// CBlockingSocket owns; used only by CBlockingSocket. Every call is one non-blocking step: it says
// whether it is done or which readiness of the socket it waits for, and the caller
// does the waiting. Nothing here polls, and nothing here closes the socket.
//
// All sessions of the process share one client context, made on first use: it trusts
// the system's store (SSL_CERT_FILE and SSL_CERT_DIR as they stand at that moment),
// refuses anything below TLS 1.2 and always verifies the peer. There is no way to
// turn verification off.
class CTlsSession {
public:
    enum class Io {
        Done,       // the step is complete
        WantRead,   // call again once the socket is readable
        WantWrite,  // call again once the socket is writable
        Closed,     // the peer ended the connection (errno 0)
        Failed,     // errno says why: the system's error, or EPROTO for a TLS fault
    };

    CTlsSession() = default;
    CTlsSession(const CTlsSession&) = delete;
    CTlsSession& operator=(const CTlsSession&) = delete;
    // Frees the session without sending anything.
    ~CTlsSession();

    // Sets the session up on fd for serverName: SNI and a host name check for a name,
    // an address check (and no SNI) for a numeric IPv4 address. False, with detail
    // saying why, when that cannot be done.
    bool Begin(int fd, const char* serverName, std::string& detail);
    // Sets the server side up on fd, with the pair context holds now. False, with
    // detail, when context has none.
    bool BeginServer(int fd, const CTlsServerContext& context, std::string& detail);

    // One step of the handshake. Closed and Failed come with detail in words
    // ("certificate verify failed: self-signed certificate").
    Io Handshake(std::string& detail);

    // Decrypted application data into buffer; got is set on Done.
    Io Read(char* buffer, std::size_t size, std::size_t& got);
    // True when the session already holds received bytes that poll cannot see:
    // Read must be tried before any wait for the socket.
    bool HasPending() const;
    // Encrypts and sends part or all of data; put is set on Done.
    Io Write(const char* data, std::size_t size, std::size_t& put);

    // Sends the close notification once if the socket takes it at once; never waits.
    void Shutdown();

    // Why the session failed or ended (the first Failed or Closed), in words.
    const std::string& LastFault() const { return m_fault; }

    // What the session's socket BIO works on: the handle, and whether the peer closed.
    struct BioState {
        int fd = -1;
        bool eof = false;
    };

private:
    // Gives the session just made (m_ssl, nullptr when that failed) its socket BIO on
    // fd. False, with detail, when either is missing.
    bool AttachSocket(int fd, std::string& detail);
    Io Result(int ret, std::string* detail);

    ssl_st* m_ssl = nullptr;
    BioState m_bio;
    bool m_established = false;
    bool m_server = false;
    std::string m_serverName;
    std::string m_fault;
};
