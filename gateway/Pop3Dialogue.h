#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "transport/BlockingSocket.h"

class CListPage;
class CPageWriter;
class CSetting;
struct CRequestRoute;

// The client side of one POP3 session behind one page request: connect to the
// setting's MAIL_SERVER, USER, PASS, STAT, the page's TOPs or RETRs, QUIT, then the
// page footer. Messages are never deleted, and the list page leaves them unread. A
// fresh session serves every request.
class CPop3Dialogue {
public:
    // POP3 reply lines are read into a buffer of this size.
    static constexpr int kReplyBufferSize = 65536;
    // An attachment goes to the browser in pieces of about this size, or sooner when
    // the mail server keeps us waiting.
    static constexpr std::size_t kDownloadChunk = 64 * 1024;

    // "<BR><BR><B>By Orrinwick</B></BODY></HTML>": sent only after a clean QUIT exchange.
    static constexpr std::string_view kPageFooter = "<BR><BR><B>By Orrinwick</B></BODY></HTML>";

    // timeoutMs bounds the connection attempt and every wait for the mail server and
    // the browser. The setting and the page writer must outlive the dialogue.
    CPop3Dialogue(const CSetting& setting, CPageWriter& page, int timeoutMs);
    CPop3Dialogue(const CPop3Dialogue&) = delete;
    CPop3Dialogue& operator=(const CPop3Dialogue&) = delete;
    // Closes the mail-server connection, whatever became of the dialogue.
    ~CPop3Dialogue();

    // Bounds the whole dialogue, connection included: every wait for the mail server
    // ends by then, and the list page retrieves no further message once less than one
    // time-out is left, so that QUIT and the footer still fit.
    void SetDeadline(std::chrono::steady_clock::time_point deadline);

    // Runs the whole dialogue and writes the page body and footer for route (a list or
    // single-mail request), or an attachment's download with its HTTP head. Raises
    // CMyException; the page then stays cut where it was.
    void Run(const CRequestRoute& route);
    // After Run for an attachment: whether its part was there. When it was not, nothing
    // went to the browser, and it gets an empty answer.
    bool AttachmentFound() const { return m_attachmentFound; }
    // Fields the HTTP head of a download carries besides its own, each with its CR LF.
    void SetDownloadFields(std::string fields) { m_downloadFields = std::move(fields); }

    // After Run raised: why, in words, when the mail-server connection says more than
    // the failure code ("certificate verify failed: ...", "nothing received for 30000
    // ms"); empty otherwise.
    const std::string& FailureDetail() const;

private:
    void Connect();
    void Login();
    int Count();
    void RunListPage(const CRequestRoute& route, int count);
    // Sends command (TOP or RETR of message number) and feeds its answer to list.
    // False when the server refused it ("-ERR"); then no further line is read.
    bool ReadListAnswer(CListPage& list, int number, std::string_view command);
    void RunMailPage(const CRequestRoute& route, int count);
    void RunAttachment(const CRequestRoute& route);
    void Quit();
    bool DeadlineNear() const;

    // Sends a command; chunks gathered for the browser go out first, since the mail
    // server may keep us waiting.
    void Command(std::string_view text);
    // Reads one reply line, with its line end. Returns an empty view when the stream
    // gave no byte (it has no connection). Chunks gathered for the browser go out
    // first unless the line is already at hand.
    std::string_view ReadLine();
    // ReadLine for a line that must come: an empty read raises ERR_NO_RESPONSE.
    std::string_view ReadAnswerLine();
    // Reads a line, or as much of it as the buffer holds: nothing is dropped from a
    // long line, whose rest comes with the next calls. Raises ERR_NO_RESPONSE.
    std::string_view ReadPiece();

    const CSetting& m_setting;
    CPageWriter& m_page;
    int m_timeoutMs;
    CBlockingSocket m_mail;
    std::vector<char> m_reply;
    std::string m_longLine;  // a line longer than the reply buffer, put back together
    std::string m_chunk;     // page text made from the current line
    std::string m_detail;    // a failure found before any connection
    std::optional<std::chrono::steady_clock::time_point> m_deadline;
    bool m_attachmentFound = false;
    std::string m_downloadFields;
};
