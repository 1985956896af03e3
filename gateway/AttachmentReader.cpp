#include "gateway/AttachmentReader.h"

#include "gateway/AttachmentHead.h"
#include "gateway/Pop3Lines.h"
#include "mime/TransferDecoder.h"

CAttachmentReader::CAttachmentReader(int position, std::string extraFields)
    : m_position(position), m_extraFields(std::move(extraFields)), m_reader(*this) {}

CAttachmentReader::~CAttachmentReader() = default;

CAttachmentReader::Step CAttachmentReader::FeedPiece(std::string_view piece, bool lineStart,
                                                     std::string& out) {
    m_out = &out;
    if (m_statusLine) {
        m_statusLine = false;
        return piece.starts_with("-ERR") ? kNotFound : kMore;
    }
    if (!lineStart) {
        // The rest of a long line: body bytes of the part if its start was.
        if (m_state == kIn) {
            Take(piece);
        }
        return kMore;
    }
    if (TakeAnswerLine(piece)) {
        m_reader.Finish();
        if (m_state == kBefore) {
            m_state = kMissing;
        }
        return kDone;
    }
    m_atBoundary = true;
    m_reader.FeedLine(piece);
    m_atBoundary = false;
    return m_state == kAfter || m_state == kMissing ? kDone : kMore;
}

void CAttachmentReader::OnPartBegin(const CMimePart& part) {
    if (++m_leaf != m_position || m_state != kBefore) {
        return;
    }
    if (!part.IsFile()) {
        m_state = kMissing;  // that part is text to read, not a file to fetch
        return;
    }
    m_state = kIn;
    m_out->append(CAttachmentHead::For(part, m_position).HttpHead(m_extraFields));
    m_decoder = std::make_unique<CTransferDecoder>(part.encoding);
}

void CAttachmentReader::OnPartLine(std::string_view line) {
    if (m_state == kIn) {
        Take(line);
    }
}

void CAttachmentReader::OnPartEnd() {
    if (m_state != kIn) {
        return;
    }
    // At the end of the message a part keeps its last line end, as a message's body does.
    if (!m_atBoundary) {
        const std::size_t start = m_out->size();
        m_decoder->Decode(m_held, *m_out);
        m_bytesOut += static_cast<long long>(m_out->size() - start);
    }
    m_held.clear();
    m_state = kAfter;
}

void CAttachmentReader::Take(std::string_view bytes) {
    if (bytes.empty()) {
        return;
    }
    // A CR LF cut between two pieces is one line end.
    if (m_held == "\r" && bytes.front() == '\n') {
        m_held += '\n';
        bytes.remove_prefix(1);
        if (bytes.empty()) {
            return;
        }
    }
    std::size_t tail = 0;
    if (bytes.ends_with("\r\n")) {
        tail = 2;
    } else if (bytes.ends_with('\n') || bytes.ends_with('\r')) {
        tail = 1;
    }
    // More bytes came: the held line end was the part's own.
    const std::size_t start = m_out->size();
    m_decoder->Decode(m_held, *m_out);
    m_decoder->Decode(bytes.substr(0, bytes.size() - tail), *m_out);
    m_bytesOut += static_cast<long long>(m_out->size() - start);
    m_held.assign(bytes.substr(bytes.size() - tail));
}
