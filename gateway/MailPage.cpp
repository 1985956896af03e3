#include "gateway/MailPage.h"

#include "gateway/HtmlEscape.h"
#include "gateway/Pop3Lines.h"
#include "mime/MimeDecoder.h"
#include "settings/Setting.h"

namespace {

constexpr std::string_view kEmptyLine = "\r\n";
constexpr std::string_view kLineBreak = "\r\n";
constexpr std::string_view kBreakTag = "<BR>";

}  // namespace

CMailPage::CMailPage(const CSetting& setting) : m_setting(setting) {}

CMailPage::Step CMailPage::FeedLine(std::string_view line, std::string& out) {
    if (m_statusLine) {
        m_statusLine = false;
        return line.starts_with("-ERR") ? kNotFound : kMore;
    }
    if (TakeAnswerLine(line)) {
        return kDone;
    }
    TrackContentType(line);
    switch (m_state) {
        case kMessageHeader:
            if (DefinesBoundary(line)) {
                TakeBoundary(line);
            } else if (line == kEmptyLine) {
                // A message without a boundary is single-part: its text starts here.
                m_state = m_boundary.empty() ? kShowing : kSkipping;
            }
            break;
        case kSkipping:
            if (IsBoundaryLine(line)) {
                m_state = kPartHeader;
            }
            break;
        case kPartHeader:
            if (line.find("Content-Type") != std::string_view::npos) {
                m_state = line.find("text/plain") != std::string_view::npos ? kTextPartHeader
                                                                            : kOtherPartHeader;
                if (m_state == kOtherPartHeader && DefinesBoundary(line)) {
                    TakeBoundary(line);
                }
            } else if (DefinesBoundary(line)) {
                TakeBoundary(line);
            } else if (line == kEmptyLine) {
                // A part without Content-Type is plain text: it is shown.
                m_state = kShowing;
            }
            break;
        case kOtherPartHeader:
            // A nested multipart defines its own boundary, which replaces the outer one.
            if (DefinesBoundary(line)) {
                TakeBoundary(line);
            } else if (IsBoundaryLine(line)) {
                m_state = kPartHeader;
            } else if (line == kEmptyLine) {
                m_state = kSkipping;
            }
            break;
        case kTextPartHeader:
            if (line == kEmptyLine) {
                m_state = kShowing;
            }
            break;
        case kShowing:
            if (IsBoundaryLine(line)) {
                m_state = kEnded;
                return kDone;
            }
            Show(line, out);
            break;
        case kEnded:
            return kDone;
    }
    return kMore;
}

void CMailPage::TrackContentType(std::string_view line) {
    if (line.starts_with("Content-Type")) {
        m_inContentType = true;
    } else if (!line.starts_with(' ') && !line.starts_with('\t')) {
        m_inContentType = false;
    }
}

bool CMailPage::DefinesBoundary(std::string_view line) const {
    return m_inContentType && line.find("boundary") != std::string_view::npos;
}

void CMailPage::TakeBoundary(std::string_view line) {
    const std::size_t eq = line.find('=');
    const std::string_view value = eq == std::string_view::npos ? line : line.substr(eq + 1);
    m_boundary.clear();
    for (char c : value) {
        if (c != '"') {
            m_boundary += c;
        }
    }
}

bool CMailPage::IsBoundaryLine(std::string_view line) const {
    return !m_boundary.empty() && line.size() == m_boundary.size() + 2 && line.starts_with("--") &&
           line.substr(2) == m_boundary;
}

void CMailPage::Show(std::string_view line, std::string& out) {
    CMimeDecoder decoder;
    const std::string text = decoder.DecodeJis(line);
    std::string chunk;
    chunk.reserve(text.size() + kBreakTag.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t crlf = text.find(kLineBreak, pos);
        const std::size_t end = crlf == std::string::npos ? text.size() : crlf;
        AppendEscapedHtml(chunk, std::string_view(text).substr(pos, end - pos));
        if (crlf == std::string::npos) {
            break;
        }
        chunk += kBreakTag;
        pos = crlf + kLineBreak.size();
    }
    m_shownBytes += static_cast<long long>(chunk.size());
    if (!m_setting.MAIL_LIMIT_ENABLE || m_shownBytes < m_setting.MAIL_LIMIT_BYTE) {
        out += chunk;
    }
}
