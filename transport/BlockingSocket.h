#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

// Every wait of the request road is bounded by this, unless a caller passes its own.
constexpr int kTimeoutMs = 30000;

class CTlsSession;
class CTlsServerContext;

// A blocking TCP stream over one socket handle. Every wait is bounded by a time-out;
// a failed transfer raises CMyException (ERR_SEND, ERR_RECEIVE); Connect reports by
// its return value. The object never closes a handle it did not create: the
// destructor leaves the handle alone, only Close closes it.
class CBlockingSocket {
public:
    CBlockingSocket();
    explicit CBlockingSocket(int hSocket);
    CBlockingSocket(const CBlockingSocket&) = delete;
    CBlockingSocket& operator=(const CBlockingSocket&) = delete;
    virtual ~CBlockingSocket();

    // host: name or dotted IPv4 address (see ParseNumericHost); port 0 means the "pop3"
    // service port. Returns 0 connected, -2 empty host, -3 no socket or host not
    // resolved, -4 connection failed, timed out (connectTimeoutMs bounds the attempt,
    // 0 leaves it to the system) or port out of range. After a failure the object has
    // no handle and no socket is left open.
    int Connect(const char* host, int port, int connectTimeoutMs = kTimeoutMs);
    // As above, then, when tls, StartTls(host, connectTimeoutMs): -5 when TLS fails.
    int Connect(const char* host, int port, int connectTimeoutMs, bool tls);

    // Makes the connected stream TLS: a handshake with SNI, the server's chain verified
    // against the system's trust store (OpenSSL's SSL_CERT_FILE / SSL_CERT_DIR, read
    // when the process first uses TLS) and serverName checked against the certificate
    // (as a name, or as an address when it is a numeric IPv4 address), TLS 1.2 at
    // least. timeoutMs bounds the whole handshake (0: no bound). Returns 0, or -5 when
    // the handshake fails, the certificate does not verify or is not for serverName;
    // the object then has no handle (one made by Connect is closed; a wrapped one is
    // left to its owner) and LastErrorDetail says why. Verification cannot be turned
    // off. Afterwards SendBytes, ReceiveUntil and Close work over TLS with the same
    // results as plain (flags are ignored there); a TLS peer's close or a TLS fault
    // ends a receive at once.
    int StartTls(const char* serverName, int timeoutMs = kTimeoutMs);
    bool IsTls() const { return m_tls != nullptr; }
    // The server side of StartTls, for an accepted connection: the handshake with the
    // pair context holds now, bounded as StartTls is. Returns 0, or -5 when it fails
    // (a client that speaks no TLS, only TLS 1.1 or less, or stops midway); the object
    // then has no handle and LastErrorDetail says why.
    int AcceptTls(const CTlsServerContext& context, int timeoutMs = kTimeoutMs);

    // Why the last Connect or StartTls failed, or the last SendBytes or ReceiveUntil
    // raised, in words ("host name mismatch: ...", "TLS handshake timed out after
    // 30000 ms"). Connect and StartTls clear it.
    const std::string& LastErrorDetail() const { return m_errorDetail; }

    // Sends text up to its terminating zero; see SendBytes.
    int Send(const char* text, int flags, int timeoutMs);
    // Sends all length bytes and returns length (0 bytes: returns 0 without a system
    // call). Each wait for room is bounded by timeoutMs (0: no bound); a peer that
    // takes nothing for a whole time-out has stalled, and that raises ERR_SEND, as
    // does a failed send or wait, a negative length or an object without a handle.
    // Never raises SIGPIPE.
    int SendBytes(const char* data, int length, int flags, int timeoutMs);

    // Reads up to and including terminator into buffer (at most size - 1 bytes) and
    // writes one zero after them; nothing else of buffer is touched. Returns the count
    // stored; without a handle returns 0 with buffer all zeros. Each wait for data is
    // bounded by timeoutMs (0: no bound). Raises ERR_RECEIVE on time-out, error or a
    // closed peer (four empty reads in a row), leaving the partial line zero-terminated
    // in buffer. A line longer than size - 1 returns size - 1 bytes; the next call goes
    // on with the rest of that line. Bytes after the terminator stay in the object's
    // read-ahead for the next call: one recv takes whatever has arrived.
    int ReceiveUntil(char* buffer, int size, int flags, int timeoutMs, int terminator);

    // True when a whole line (up to terminator) already waits in the read-ahead, so
    // the next ReceiveUntil will not wait for the peer.
    bool HasBufferedLine(int terminator = '\n') const;
    // True when any received byte waits in the read-ahead.
    bool HasReadAhead() const { return m_readPos < m_readEnd; }

    // The bytes the system's send buffer of the socket holds (SO_SNDBUF), 0 when it
    // cannot tell or there is no handle.
    int SendBufferSize() const;

    // Ends the sending side (the peer reads the end of the stream; over TLS after the
    // close notification, sent when the socket takes it at once) and keeps the handle
    // for reading. Harmless without a handle.
    void ShutdownSend();
    // Makes the end of the connection one the peer cannot take for the end of a whole
    // answer: no TLS close notification, and a reset when the handle is closed. For an
    // answer cut short that announced no length.
    void Abort();

    // Bounds every later wait (connect, handshake, send, receive) by deadline as well
    // as by each call's own time-out, so that a peer that trickles bytes cannot
    // stretch the stream's work past it. Past the deadline a wait fails as a time-out
    // does (ERR_SEND, ERR_RECEIVE, -4, -5), with "deadline passed" in LastErrorDetail;
    // a receive fed without pause fails there too.
    void SetDeadline(std::chrono::steady_clock::time_point deadline) { m_deadline = deadline; }

    // Closes the handle. Over TLS the close notification goes first when the socket
    // takes it at once; Close never waits for the peer.
    int Close();
    // Over TLS, ends the session as Close does but leaves the handle open, for its
    // owner to close; harmless on a plain stream.
    void EndTls();

    int m_hSocket;

private:
    enum class Fill { Got, WantRead, WantWrite, Closed, Failed };
    // One read from the connection into the emptied read-ahead.
    Fill FillReadAhead(int flags);
    int SendTls(const char* data, int length, int timeoutMs);
    // Waits for events before sending on; raises ERR_SEND when that fails or times out.
    void WaitToSend(short events, int timeoutMs);
    [[noreturn]] void FailSend(std::string detail);
    // timeoutMs cut down to what is left before m_deadline; nothing once it has passed.
    std::optional<int> BoundByDeadline(int timeoutMs) const;
    void DropTls();
    // Runs the handshake of the session just begun (going: Begin succeeded).
    int Handshake(bool going, int timeoutMs);

    // As large as a reply line may be, so that one recv can take a whole arrival.
    static constexpr std::size_t kReadAhead = 65536;
    char m_readBuf[kReadAhead];
    std::size_t m_readPos = 0;           // first unread byte in m_readBuf
    std::size_t m_readEnd = 0;           // one past the last byte in m_readBuf
    bool m_created = false;              // m_hSocket was made by Connect
    std::unique_ptr<CTlsSession> m_tls;  // set while the stream is TLS
    std::string m_errorDetail;
    std::optional<std::chrono::steady_clock::time_point> m_deadline;
};
