#include "gateway/RequestHead.h"

CRequestHead::Result CRequestHead::Feed(std::string_view piece) {
    m_total += piece.size();
    if (m_total > kMaxHeadBytes) {
        return kTooLarge;
    }
    const bool lineStart = m_atLineStart;
    m_atLineStart = !piece.empty() && piece.back() == '\n';
    if (!lineStart) {
        return kMore;
    }
    if (piece.starts_with("GET /")) {
        m_requestLine = std::string(piece);
    }
    // A line-oriented client may end its lines with LF alone; waiting for a CR LF that
    // never comes would only hold the connection.
    return piece == "\r\n" || piece == "\n" ? kComplete : kMore;
}
