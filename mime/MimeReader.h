#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "mime/MimePart.h"

// A push parser for one message, fed one line at a time: it follows the message's
// parts through nested multiparts with a stack of boundaries and hands the lines of
// each leaf part's body to its listener. It keeps no body, only the three header
// fields that describe a part (each cut at kFieldLimit) and the open boundaries.
//
// Preamble and epilogue lines go nowhere. A boundary line ends every part opened
// inside its multipart; a closing boundary ends the multipart itself. A multipart
// nested deeper than kMaxDepth, or without a boundary, is a leaf like any other.
// message/rfc822 parts are leaves too: a forwarded message is not the text.
class CMimeReader {
public:
    static constexpr std::size_t kFieldLimit = 16 * 1024;
    static constexpr int kMaxDepth = 32;

    class CListener {
    public:
        virtual ~CListener() = default;
        // A leaf part's header has ended; its body follows.
        virtual void OnPartBegin(const CMimePart& part) = 0;
        // One line of the current leaf's body, with its line end, as the mail has it.
        // The line end before a boundary comes with the last line.
        virtual void OnPartLine(std::string_view line) = 0;
        // The current leaf has ended, at a boundary or at the end of the message.
        virtual void OnPartEnd() = 0;
    };

    // The listener must outlive the reader.
    explicit CMimeReader(CListener& listener);

    // Takes the next line of the message, with its line end (the first line first).
    void FeedLine(std::string_view line);
    // The message has ended: a leaf still open ends here.
    void Finish();

private:
    enum State {
        kHeader,    // in a part's header (the message's own first)
        kBody,      // in a leaf's body
        kSkipping,  // in a preamble, an epilogue, or a part whose header never ended
    };
    struct CMultipart {
        std::string boundary;
        std::string subtype;
        int parts = 0;  // boundary lines seen so far
    };

    bool TakeBoundaryLine(std::string_view line);
    void BeginPart();
    void TakeHeaderLine(std::string_view line);
    void EndField();
    void EndHeader();

    CListener& m_listener;
    State m_state = kHeader;
    std::vector<CMultipart> m_open;  // the multiparts the current line is inside
    CMimePart m_part;                // the part whose header or body this is
    std::string m_fieldName;         // the part field being read, empty when none
    std::string m_fieldValue;
};
