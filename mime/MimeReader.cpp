#include "mime/MimeReader.h"

namespace {

// The line without its line end (CR LF, or a bare LF).
std::string_view Content(std::string_view line) {
    if (line.ends_with('\n')) {
        line.remove_suffix(1);
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
    }
    return line;
}

enum BoundaryKind { kNotBoundary, kOpening, kClosing };

// Whether line is "--" boundary, or "--" boundary "--" (RFC 2046 allows blanks after).
BoundaryKind KindOf(std::string_view line, std::string_view boundary) {
    if (!line.starts_with("--") || line.substr(2, boundary.size()) != boundary) {
        return kNotBoundary;
    }
    std::string_view rest = line.substr(2 + boundary.size());
    BoundaryKind kind = kOpening;
    if (rest.starts_with("--")) {
        kind = kClosing;
        rest.remove_prefix(2);
    }
    for (char c : rest) {
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
            return kNotBoundary;
        }
    }
    return kind;
}

}  // namespace

CMimeReader::CMimeReader(CListener& listener) : m_listener(listener) {}

void CMimeReader::FeedLine(std::string_view line) {
    if (TakeBoundaryLine(line)) {
        return;
    }
    switch (m_state) {
        case kHeader:
            TakeHeaderLine(line);
            break;
        case kBody:
            m_listener.OnPartLine(line);
            break;
        case kSkipping:
            break;
    }
}

void CMimeReader::Finish() {
    if (m_state == kBody) {
        m_listener.OnPartEnd();
    }
    m_state = kSkipping;
    m_open.clear();
}

bool CMimeReader::TakeBoundaryLine(std::string_view line) {
    if (m_open.empty() || !line.starts_with("--")) {
        return false;
    }
    // The innermost multipart first; a boundary of an outer one also ends the inner
    // ones, whose closing boundary never came.
    for (std::size_t i = m_open.size(); i-- > 0;) {
        const BoundaryKind kind = KindOf(line, m_open[i].boundary);
        if (kind == kNotBoundary) {
            continue;
        }
        if (m_state == kBody) {
            m_listener.OnPartEnd();
        }
        m_open.resize(i + 1);
        if (kind == kClosing) {
            m_open.pop_back();
            m_state = kSkipping;
        } else {
            ++m_open.back().parts;
            BeginPart();
        }
        return true;
    }
    return false;
}

void CMimeReader::BeginPart() {
    const CMultipart& parent = m_open.back();
    m_part = CMimePart();
    m_part.depth = static_cast<int>(m_open.size());
    if (parent.subtype == "digest") {
        m_part.type = "message";
        m_part.subtype = "rfc822";
    }
    m_part.resource = parent.subtype == "related" && parent.parts > 1;
    m_fieldName.clear();
    m_fieldValue.clear();
    m_state = kHeader;
}

void CMimeReader::TakeHeaderLine(std::string_view line) {
    const std::string_view content = Content(line);
    if (content.empty()) {
        EndHeader();
        return;
    }
    if (content.front() == ' ' || content.front() == '\t') {
        // A folded continuation: unfolding drops only the line break.
        if (!m_fieldName.empty()) {
            m_fieldValue.append(content.substr(0, kFieldLimit - m_fieldValue.size()));
        }
        return;
    }
    EndField();
    const std::size_t colon = content.find(':');
    std::string_view name = content.substr(0, colon == std::string_view::npos ? 0 : colon);
    while (name.ends_with(' ') || name.ends_with('\t')) {
        name.remove_suffix(1);
    }
    if (colon == std::string_view::npos || !CMimePart::IsPartField(name)) {
        return;
    }
    m_fieldName.assign(name);
    m_fieldValue.assign(content.substr(colon + 1, kFieldLimit));
}

void CMimeReader::EndField() {
    if (!m_fieldName.empty()) {
        m_part.TakeField(m_fieldName, m_fieldValue);
    }
    m_fieldName.clear();
    m_fieldValue.clear();
}

void CMimeReader::EndHeader() {
    EndField();
    if (m_part.IsMultipart() && !m_part.boundary.empty() &&
        static_cast<int>(m_open.size()) < kMaxDepth) {
        m_open.push_back(CMultipart{m_part.boundary, m_part.subtype});
        m_state = kSkipping;  // the preamble
        return;
    }
    m_state = kBody;
    m_listener.OnPartBegin(m_part);
}
