#pragma once

#include <string>
#include <string_view>

class CBlockingSocket;

// Sends a page to the browser in chunks and counts what went out. Chunks can be
// gathered (Append) and sent together (Flush) while the next mail line is already at
// hand, so that a long mail costs few sends yet the browser sees each line as soon as
// the program would otherwise wait for the mail server.
class CPageWriter {
public:
    CPageWriter(CBlockingSocket& browser, int timeoutMs)
        : m_browser(browser), m_timeoutMs(timeoutMs) {}

    // Sends the pending chunks and then this one. Raises ERR_SEND.
    void Send(std::string_view chunk);
    // Keeps a chunk until the next Flush or Send.
    void Append(std::string_view chunk) { m_pending += chunk; }
    // Sends the pending chunks, if any. Raises ERR_SEND.
    void Flush();
    // Drops the pending chunks.
    void Discard() { m_pending.clear(); }

    long long BytesSent() const { return m_bytesSent; }
    bool HasPending() const { return !m_pending.empty(); }

private:
    void SendNow(std::string_view bytes);

    CBlockingSocket& m_browser;
    int m_timeoutMs;
    std::string m_pending;
    long long m_bytesSent = 0;
};
