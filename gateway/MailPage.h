#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/PageStyle.h"
#include "mime/HeaderFields.h"
#include "mime/MimeReader.h"

class CHtmlText;
class CPageTextConverter;
class CSetting;
class CTransferDecoder;

// The single-mail page: the text of one message, read the way a mail client reads it.
// Fed the lines of the RETR answer; knows nothing of sockets.
//
// The text shown is the first text/plain part that is not an attachment, in document
// order; when the message has none, its first text/html part turned into text. Its
// transfer encoding is undone and its charset converted to page text; each line is
// HTML-escaped and ends in "<BR>", the part's last line included. After the text comes
// one line per attachment (a part marked as one or carrying a file name, or the whole
// message when it is not text): its file name, type and size.
//
// Nothing larger than a line is kept. An HTML part that comes before any text/plain
// cannot be shown as it passes, since a text/plain part may still follow: when none
// does, the page asks for the answer once more (kAgain) and shows the HTML then.
class CMailPage : public CMimeReader::CListener {
public:
    enum Step {
        kMore,      // feed the next line
        kDone,      // the answer has ended
        kNotFound,  // the status line was "-ERR": the message does not exist
        kAgain,     // the answer has ended; send RETR again and feed its answer too
    };

    // Text from one output line kept before it goes out uncut; longer lines go out in
    // pieces of about this size.
    static constexpr std::size_t kLineLimit = 64 * 1024;
    // Attachments listed at most; file names are cut at kNameLimit bytes of page text.
    static constexpr std::size_t kAttachmentLimit = 100;
    static constexpr std::size_t kNameLimit = 255;

    // The setting must outlive the page.
    explicit CMailPage(const CSetting& setting);
    ~CMailPage() override;

    // Takes one line of the RETR answer (the status line first), with its line end.
    // Appends the chunk to send for it, if any, to out.
    Step FeedLine(std::string_view line, std::string& out);

    // For the modern pages: the request path's parts, which every link begins with, the
    // message's number and how many the mailbox holds (STAT), for the links to the
    // list and to the previous and next message. Without it they have none.
    void SetLinks(std::string_view settingText, std::string_view passText, int number, int count);
    // The tokens of the unique ids (MessageToken.h) of the message and of messages
    // number - 1 and number + 1, for its links; empty when the server keeps no ids.
    void SetTokens(std::string token, std::string previousToken, std::string nextToken);

    // Bytes of shown text counted against MAIL_LIMIT_BYTE, sent or not.
    long long ShownBytes() const { return m_shownBytes; }

private:
    struct CAttachment {
        std::string name;  // page text
        std::string type;
        long long bytes = 0;
        int position = 0;  // among the message's parts, for the link to its download
    };

    // The reader's events (CMimeReader::CListener).
    void OnPartBegin(const CMimePart& part) override;
    void OnPartLine(std::string_view line) override;
    void OnPartEnd() override;

    void ShowPart(const CMimePart& part);
    // Takes page text of the shown part; complete lines go out.
    void TakeText(std::string_view text);
    void SendLine(bool lineEnd);
    void SendChunk(std::string_view pageText, bool lineEnd);
    // SendChunk for text that is HTML already.
    void SendHtml(std::string_view html, bool lineEnd);
    void SendAttachments();
    void SendHeaderLines();
    void SendLinks();

    const CSetting& m_setting;
    std::optional<CPageStyle> m_style;  // set for the modern pages only
    int m_number = 0;
    int m_count = 0;
    std::string m_token;
    std::string m_previousToken;
    std::string m_nextToken;
    int m_leaf = 0;              // the parts begun so far
    bool m_inHeader = false;     // in the message's own header
    bool m_headerShown = false;  // its lines have gone out
    CHeaderFields m_fields;
    bool m_statusLine = true;
    bool m_htmlPass = false;   // the answer is read again to show its HTML part
    bool m_htmlWaits = false;  // an HTML part was passed over for a text/plain to come
    bool m_shownDone = false;  // the shown part has ended
    std::unique_ptr<CMimeReader> m_reader;
    std::string* m_out = nullptr;  // the chunk of the current line

    // The part being shown, or the attachment being measured.
    enum Current { kNone, kShown, kMeasured } m_current = kNone;
    std::unique_ptr<CTransferDecoder> m_decoder;
    std::unique_ptr<CPageTextConverter> m_converter;
    std::unique_ptr<CHtmlText> m_html;
    bool m_flushEachLine = false;  // a part without transfer encoding: a line a chunk
    std::string m_bytes;           // decoded bytes of the current line
    std::string m_text;            // page text of the current line
    std::string m_line;            // page text of the output line not yet sent
    std::string m_escaped;         // the line being sent, as HTML

    std::vector<CAttachment> m_attachments;
    std::size_t m_moreAttachments = 0;  // beyond kAttachmentLimit
    long long m_shownBytes = 0;
};
