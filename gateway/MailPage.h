#pragma once

#include <string>
#include <string_view>

class CSetting;

// The single-mail page: the text of one message, found by a small line-driven state
// machine that knows a plain single-part message and the text/plain part of a
// multipart one. Fed the lines of the RETR answer; knows nothing of sockets.
//
// Each shown line is converted from ISO-2022-JP, HTML-escaped, and its CR LF becomes
// "<BR>". Escaping leaves CR and LF alone, so the order of the two steps does not
// matter; a CR without LF stays a raw CR in the page, which a browser shows as a blank.
// (The decoder has already turned every bare LF into CR LF.)
class CMailPage {
public:
    enum Step {
        kMore,      // feed the next line
        kDone,      // the answer or the shown part has ended
        kNotFound,  // the status line was "-ERR": the message does not exist
    };

    // The setting must outlive the page.
    explicit CMailPage(const CSetting& setting);

    // Takes one line of the RETR answer (the status line first), with its line end.
    // Appends the chunk to send for it, if any, to out.
    Step FeedLine(std::string_view line, std::string& out);

    // Bytes of shown text counted against MAIL_LIMIT_BYTE, sent or not.
    long long ShownBytes() const { return m_shownBytes; }

private:
    enum State {
        kMessageHeader,    // in the message header
        kSkipping,         // in the body of a part that is not shown, or the preamble
        kPartHeader,       // after a boundary line, looking for the part's Content-Type
        kOtherPartHeader,  // in the header of a part that is not shown
        kTextPartHeader,   // in the header of a text/plain part, up to its empty line
        kShowing,          // showing text
        kEnded,            // the shown part has ended
    };

    // A boundary is defined only inside a Content-Type field (its first line or a
    // folded continuation), so a Subject that mentions the word hides no text.
    void TrackContentType(std::string_view line);
    bool DefinesBoundary(std::string_view line) const;
    void TakeBoundary(std::string_view line);
    bool IsBoundaryLine(std::string_view line) const;
    void Show(std::string_view line, std::string& out);

    const CSetting& m_setting;
    bool m_statusLine = true;
    State m_state = kMessageHeader;
    bool m_inContentType = false;  // the line belongs to a Content-Type field
    std::string m_boundary;        // after the first "=", quotes removed, CR LF kept
    long long m_shownBytes = 0;
};
