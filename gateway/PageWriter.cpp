#include "gateway/PageWriter.h"

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
    // SendBytes sends every byte or raises. A chunk holds at most what one read-ahead
    // of mail text makes, far below its int count.
    m_bytesSent +=
        m_browser.SendBytes(bytes.data(), static_cast<int>(bytes.size()), 0, m_timeoutMs);
}
