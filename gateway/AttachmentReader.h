#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "mime/MimeReader.h"

class CTransferDecoder;

// An attachment's download: fed the answer to RETR (or TOP) of its message, it picks
// the part at a position (the leaves in document order, from 1, as the message page
// counts them) and gives its HTTP head and then its bytes, transfer encoding undone, as
// they pass. Nothing larger than a piece of a line is kept. Knows nothing of sockets.
//
// The bytes are the part's body as MIME delimits it: the line end before the boundary
// that ends the part belongs to the boundary (RFC 2046), so it is not in the file.
class CAttachmentReader : public CMimeReader::CListener {
public:
    enum Step {
        kMore,      // feed the next piece
        kDone,      // the part has ended, or the answer: read no further
        kNotFound,  // the status line was "-ERR": the message does not exist
    };

    // position: the part wanted; the message page's attachment links carry it.
    // extraFields: more fields for the HTTP head, each with its CR LF.
    explicit CAttachmentReader(int position, std::string extraFields = {});
    ~CAttachmentReader() override;

    // Takes a piece of the answer, the status line first. A line longer than the
    // caller's buffer may come in pieces; lineStart is false for all but the first.
    // Appends what goes to the browser for it, if anything, to out.
    Step FeedPiece(std::string_view piece, bool lineStart, std::string& out);

    // Whether the part was found: its head has gone into out.
    bool Found() const { return m_state != kBefore && m_state != kMissing; }
    long long BytesOut() const { return m_bytesOut; }

private:
    enum State { kBefore, kIn, kAfter, kMissing };

    void OnPartBegin(const CMimePart& part) override;
    void OnPartLine(std::string_view line) override;
    void OnPartEnd() override;

    // Takes body bytes of the part; a line end at their end is held until more comes.
    void Take(std::string_view bytes);

    int m_position;
    std::string m_extraFields;
    int m_leaf = 0;
    bool m_statusLine = true;
    State m_state = kBefore;
    bool m_atBoundary = false;  // the reader is inside FeedLine, where parts end at boundaries
    CMimeReader m_reader;
    std::unique_ptr<CTransferDecoder> m_decoder;
    std::string m_held;  // a line end, or its CR, that may belong to a boundary
    std::string* m_out = nullptr;
    long long m_bytesOut = 0;
};
