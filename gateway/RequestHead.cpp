#include "gateway/RequestHead.h"

#include "mime/Ascii.h"

namespace {

// Appends one more line's value of a list field.
void AddValue(std::string& field, std::string_view value) {
    if (!field.empty()) {
        field += ',';
    }
    field += value;
}

}  // namespace

CRequestHead::Result CRequestHead::Feed(std::string_view piece) {
    m_total += piece.size();
    if (m_total > kMaxHeadBytes) {
        return kTooLarge;
    }
    const bool lineStart = m_atLineStart;
    m_atLineStart = !piece.empty() && piece.back() == '\n';
    if (!lineStart) {
        if (m_field != nullptr) {
            *m_field += piece;
        }
        return kMore;
    }
    m_field = nullptr;
    if (piece.starts_with("GET /")) {
        m_requestLine = std::string(piece);
    } else if (StartsWithNoCase(piece, "X-Forwarded-For:")) {
        m_field = &m_xForwardedFor;
    } else if (StartsWithNoCase(piece, "Forwarded:")) {
        m_field = &m_forwarded;
    }
    if (m_field != nullptr) {
        AddValue(*m_field, piece.substr(piece.find(':') + 1));
    }
    // A line-oriented client may end its lines with LF alone; waiting for a CR LF that
    // never comes would only hold the connection.
    return piece == "\r\n" || piece == "\n" ? kComplete : kMore;
}
