#pragma once

#include <chrono>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/Pop3Capabilities.h"
#include "gateway/Pop3Pipeline.h"
#include "transport/BlockingSocket.h"

class CAccessTokenSource;
class CListPage;
class CPageWriter;
class CSetting;
struct CRequestRoute;

// The client side of one POP3 session behind one page request: connect to the
// setting's MAIL_SERVER, CAPA (and STLS), USER and PASS (or, for a setting with
// MAIL_AUTH=1, AUTH XOAUTH2 with an access token from the token source), STAT, the
// page's TOPs, QUIT, then the page footer. Messages are never deleted and never marked
// read: both pages read with TOP, and only a server without TOP is asked with RETR. A
// fresh session serves every request.
//
// A server that advertises PIPELINING gets the commands whose answers decide nothing
// in one write: USER and PASS with what follows the login, the list's TOPs in windows.
// Any other server gets one command at a time, and AUTH always goes one step at a time.
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

    // Where a setting with MAIL_AUTH=1 gets its access token; without one such a
    // setting cannot log in. The source must outlive the dialogue.
    void SetTokenSource(CAccessTokenSource* tokens) { m_tokens = tokens; }

    // Runs the dialogue up to QUIT, which is sent, and writes the page body and footer
    // for route (a list or single-mail request), or an attachment's download with its
    // HTTP head. Raises CMyException; the page then stays cut where it was.
    void Run(const CRequestRoute& route);
    // After Run returned and the browser has its page: reads what the server still owes,
    // QUIT's answer last (each wait bounded), and closes the connection. Never raises.
    void Finish();
    // After Run for an attachment: whether its part was there, or the page saying its
    // message is gone went out instead. When neither, nothing went to the browser, and
    // it gets an empty answer.
    bool AttachmentFound() const { return m_attachmentFound; }
    // Fields the HTTP head of a download carries besides its own, each with its CR LF.
    void SetDownloadFields(std::string fields) { m_downloadFields = std::move(fields); }

    // After Run raised: why, in words, when the mail-server connection says more than
    // the failure code ("certificate verify failed: ...", "nothing received for 30000
    // ms", "server said: -ERR [IN-USE] ..."); empty otherwise.
    const std::string& FailureDetail() const;
    // After a refused login: "mailbox in use" or "login delay" when the server said so
    // with its response code (RFC 2449, 3206); for a setting that signs in with OAuth,
    // why that failed ("oauth: invalid_grant"); empty otherwise. Never holds a token.
    const std::string& FailureReason() const { return m_reason; }

    // A login answered [IN-USE] is tried again after this pause (or half a time-out,
    // whichever is shorter), as long as a whole session still fits the deadline.
    static constexpr int kInUsePauseMs = 1000;
    // Without a deadline, at most this many logins.
    static constexpr int kInUseAttempts = 3;
    // A CAPA answer is examined up to this many bytes; a longer one is read to its end
    // and counts as no extensions.
    static constexpr std::size_t kCapabilityBytes = 16384;
    // The server's words kept for the log.
    static constexpr std::size_t kServerWordsKept = 200;
    // Pipelining needs room for at least this many bytes of commands in the send buffer.
    static constexpr int kPipelineBytesAtLeast = 1024;
    // With a filter, a window asks for twice the rows still wanted, at least this many.
    static constexpr int kFilteredWindow = 16;

private:
    // Connects and logs in, again after a pause while the mailbox is in use.
    void OpenSession(const CRequestRoute& route);
    void Connect();
    void StartTls();
    // False when the server refused the login (m_reason, m_detail say why).
    bool Login(const CRequestRoute& route);
    // USER and PASS, ahead of their answers with STAT (and LIST or UIDL) when ahead.
    bool LoginWithPassword(const CRequestRoute& route, bool ahead);
    // Notes why a login reply refused, if it did; true when it accepted.
    bool LoginAccepted(std::string_view reply);
    bool PauseBeforeRetry(int attempt) const;
    CPop3Capabilities AskCapabilities();
    // AUTH XOAUTH2 with the setting's access token; a token the server refuses is
    // replaced once and tried once more. False when the server refused the login for
    // a reason of its own ([IN-USE]); raises when the token is refused.
    bool LoginWithToken();
    enum class AuthOutcome { kAccepted, kTokenRefused, kMechanismRefused, kLoginRefused };
    // One AUTH XOAUTH2 exchange in two steps: the command, the server's "+", then the
    // initial response on its own line. An error challenge is answered with an empty
    // line, as SASL asks, before the server's final refusal.
    AuthOutcome AuthXoauth2(std::string_view token);
    std::chrono::steady_clock::time_point TokenDeadline() const;
    int Count();
    void RunListPage(const CRequestRoute& route, int count);
    // The message number the list asks for i-th (from 0), counting count messages.
    int ListNumber(int count, int i) const;
    // Queues the commands of the list's next window, from its i-th message on; returns
    // the index after the last one queued (at least i + 1).
    int QueueListWindow(const CListPage& list, int count, int i, bool useTop);
    // Feeds the answer to the oldest command (TOP or RETR of message number) to list.
    // False when the server refused it ("-ERR"); then no further line is read.
    // token: of the message's unique id, for its row's link; empty without ids.
    bool ReadListAnswer(CListPage& list, int number, const std::string& token);
    void RunMailPage(const CRequestRoute& route, int count);
    // The single-mail page's links: the message's own number and token, and its
    // neighbours' tokens (MessageToken.h); tokens are empty without unique ids.
    struct CMailLinks {
        int number = 0;
        std::string token;
        std::string previousToken;  // of number - 1
        std::string nextToken;      // of number + 1
    };
    // Sends command (TOP or RETR) and feeds its answer to the single-mail page of
    // route, whose mailbox holds count messages. False when the server refused it
    // before anything was shown.
    bool ReadMail(const CRequestRoute& route, const CMailLinks& links, int count,
                  const std::string& command);
    void RunAttachment(const CRequestRoute& route);
    // Whether the links name messages by their unique ids as well: on the modern pages,
    // when the server says it keeps them (UIDL in CAPA).
    bool UsesUniqueIds() const;
    // The number in this session of the message route names by number and token: n
    // itself when UIDL n still gives the token's id, else the message the whole
    // listing gives it to; 0 when no message has it (any longer). UIDL n may have
    // gone with the login.
    int FindMessage(const CRequestRoute& route);
    // Sends commands with single-line answers, ahead of their answers where the
    // pipeline lets them, and returns the answers' status lines in order, after those of
    // the owed commands sent before.
    std::vector<std::string> Ask(const std::vector<std::string>& commands, std::size_t owed);
    // Reads the answer to UIDL n: the token of its id, empty when refused.
    std::string ReadToken();
    // The page that says the message of route is no longer on the server, with the link
    // to the list; a download's answer gets the page's HTTP head and page head first.
    void SendGone(const CRequestRoute& route, bool withHead);
    // Reads the answer to the oldest command and drops it.
    void SkipAnswer();
    bool DeadlineNear() const;

    // Puts a command in line; it is sent before the next reply line is read.
    void Queue(std::string_view text);
    // Sends what is queued; chunks gathered for the browser go out first (unless
    // pageFirst is false), since the mail server may keep us waiting.
    void SendQueued(bool pageFirst = true);
    // Reads the first line of the answer to the oldest command sent. Empty when the
    // stream gave no byte (it has no connection).
    std::string_view ReadStatusLine();
    // Reads one reply line, with its line end. Returns an empty view when the stream
    // gave no byte (it has no connection). Queued commands go out first, then chunks
    // gathered for the browser unless the line is already at hand.
    std::string_view ReadLine();
    // ReadLine for a line that must come: an empty read raises ERR_NO_RESPONSE.
    std::string_view ReadAnswerLine();
    // Reads a line, or as much of it as the buffer holds: nothing is dropped from a
    // long line, whose rest comes with the next calls. Raises ERR_NO_RESPONSE.
    std::string_view ReadPiece();
    // One receive from the server (after what is gathered for the browser went out,
    // unless the next line is at hand): up to a line end, or what the buffer holds;
    // empty when nothing came.
    std::string_view ReceivePiece();

    const CSetting& m_setting;
    CPageWriter& m_page;
    int m_timeoutMs;
    CBlockingSocket m_mail;
    std::vector<char> m_reply;
    std::string m_longLine;  // a line longer than the reply buffer, put back together
    std::string m_chunk;     // page text made from the current line
    std::string m_detail;    // a failure the connection itself does not know of
    std::string m_reason;    // why the login was refused, when known
    bool m_inUse = false;    // the login was refused with [IN-USE]
    bool m_startTls = false;
    std::string m_host;
    CPop3Capabilities m_capabilities;
    CPop3Pipeline m_pipeline;
    bool m_statSent = false;  // STAT went with the login
    bool m_listSent = false;  // and LIST n of the single-mail page
    bool m_uidlSent = false;  // or UIDL n, for a link with a token
    // Whether each command sent or queued and not yet answered has a multi-line answer,
    // oldest first: answers left unread are skipped by it.
    std::deque<bool> m_multiLine;
    bool m_gone = false;            // the page said its message is no longer on the server
    std::string m_listCommandOwed;  // the list's TOP, sent once its UIDL is answered
    CAccessTokenSource* m_tokens = nullptr;
    std::optional<std::chrono::steady_clock::time_point> m_deadline;
    bool m_attachmentFound = false;
    std::string m_downloadFields;
};
