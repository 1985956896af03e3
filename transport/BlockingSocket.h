#pragma once

#include <cstddef>

// Every wait of the request road is bounded by this, unless a caller passes its own.
constexpr int kTimeoutMs = 30000;

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

    int Close();

    int m_hSocket;

private:
    // As large as a reply line may be, so that one recv can take a whole arrival.
    static constexpr std::size_t kReadAhead = 65536;
    char m_readBuf[kReadAhead];
    std::size_t m_readPos = 0;  // first unread byte in m_readBuf
    std::size_t m_readEnd = 0;  // one past the last byte in m_readBuf
    bool m_created = false;     // m_hSocket was made by Connect
};
