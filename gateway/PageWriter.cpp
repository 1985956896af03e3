#include "gateway/PageWriter.h"

#include <climits>

#include "transport/BlockingSocket.h"

void CPageWriter::Send(std::string_view chunk) {
    if (m_pending.empty()) {
        SendNow(chunk);
        return;
    }
    m_pending += chunk;
    Flush();
}

void CPageWriter::Flush() {
    if (m_pending.empty()) {
        return;
    }
    std::string bytes;
    bytes.swap(m_pending);
    SendNow(bytes);
}

void CPageWriter::SendNow(std::string_view bytes) {
    // SendBytes takes an int count; a chunk is far below that, but be exact anyway.
    while (!bytes.empty()) {
        const int length = bytes.size() > INT_MAX ? INT_MAX : static_cast<int>(bytes.size());
        const int sent = m_browser.SendBytes(bytes.data(), length, 0, m_timeoutMs);
        if (sent <= 0) {
            break;
        }
        m_bytesSent += sent;
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
}
