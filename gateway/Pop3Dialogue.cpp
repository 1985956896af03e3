#include "gateway/Pop3Dialogue.h"

#include <algorithm>
#include <limits>
#include <thread>

#include <openssl/evp.h>

#include "gateway/AccessTokenSource.h"
#include "gateway/AttachmentReader.h"
#include "gateway/ListPage.h"
#include "gateway/MailPage.h"
#include "gateway/MailServerAddress.h"
#include "gateway/MessageToken.h"
#include "gateway/PageStyle.h"
#include "gateway/PageWriter.h"
#include "gateway/Pop3Lines.h"
#include "gateway/RequestRoute.h"
#include "mime/Ascii.h"
#include "mime/DecimalValue.h"
#include "settings/Setting.h"
#include "transport/MyException.h"

namespace {

constexpr std::string_view kOk = "+OK";
constexpr std::string_view kErr = "-ERR";
constexpr std::string_view kContinue = "+";

// RFC 4648 base64, as SASL sends its responses.
std::string Base64(std::string_view bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()),
                                  static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(std::max(n, 0)));
    return out;
}

// TOP's line count for a message that LIST n gave no usable size for: every line.
constexpr long long kAllLines = std::numeric_limits<int>::max();

// The line count for TOP that reads the whole message of a "+OK n size" answer to
// LIST n. A message of S octets has at most S/2 lines counted with CR LF and at most S
// counted with bare LF, as some servers count; more lines than the message has cost
// nothing. A size of 0, negative, absurd or missing gives kAllLines.
long long WholeMessageLines(std::string_view listed) {
    std::string_view rest = TrimmedOf(listed.substr(std::min(listed.size(), kOk.size())), " \t");
    while (!rest.empty() && rest.front() >= '0' && rest.front() <= '9') {
        rest.remove_prefix(1);  // the message number
    }
    const long long size = DecimalValue(rest);
    return size > 0 && size < kAllLines ? size : kAllLines;
}

// A server's reply for the log: bounded, control bytes and bytes beyond ASCII made
// blanks and question marks, the password (should a server echo it) left out.
std::string ServerWords(std::string_view reply, std::string_view password) {
    std::string words(reply.substr(0, CPop3Dialogue::kServerWordsKept));
    while (!words.empty() && (words.back() == '\n' || words.back() == '\r')) {
        words.pop_back();
    }
    for (char& c : words) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            c = ' ';
        } else if (u >= 0x80) {
            c = '?';
        }
    }
    if (!password.empty()) {
        for (std::size_t at = words.find(password); at != std::string::npos;
             at = words.find(password, at)) {
            words.replace(at, password.size(), "***");
        }
    }
    return words;
}

}  // namespace

CPop3Dialogue::CPop3Dialogue(const CSetting& setting, CPageWriter& page, int timeoutMs)
    : m_setting(setting), m_page(page), m_timeoutMs(timeoutMs), m_reply(kReplyBufferSize) {}

CPop3Dialogue::~CPop3Dialogue() {
    m_mail.Close();
}

void CPop3Dialogue::SetDeadline(std::chrono::steady_clock::time_point deadline) {
    m_deadline = deadline;
    m_mail.SetDeadline(deadline);
}

bool CPop3Dialogue::DeadlineNear() const {
    return m_deadline &&
           std::chrono::steady_clock::now() + std::chrono::milliseconds(m_timeoutMs) >= *m_deadline;
}

void CPop3Dialogue::Run(const CRequestRoute& route) {
    OpenSession(route);
    const int count = Count();
    if (route.page == CRequestRoute::kAttachment) {
        // A download has no footer, unless it became the page saying its message is gone.
        RunAttachment(route);
        Queue("QUIT\r\n");
        SendQueued(false);
        if (m_gone) {
            m_page.Send(kPageFooter);
        } else {
            m_page.Flush();
        }
        return;
    }
    if (route.page == CRequestRoute::kList) {
        RunListPage(route, count);
    } else {
        RunMailPage(route, count);
    }
    // QUIT goes out before the footer, and its answer is read in Finish, once the
    // browser has its page: a slow goodbye costs the reader nothing. The last rows go
    // with the footer, in one piece.
    Queue("QUIT\r\n");
    SendQueued(false);
    m_page.Send(kPageFooter);
}

void CPop3Dialogue::Finish() {
    try {
        // Answers still owed before QUIT's: rows asked ahead that the page no longer
        // needed.
        while (m_pipeline.Unanswered() > 1) {
            SkipAnswer();
        }
        // The reply's content is not examined.
        ReadLine();
    } catch (const CMyException&) {
        // The page is whole; how the server says goodbye changes nothing.
    }
    m_mail.Close();
}

void CPop3Dialogue::OpenSession(const CRequestRoute& route) {
    for (int attempt = 1;; ++attempt) {
        m_detail.clear();
        m_reason.clear();
        m_inUse = false;
        Connect();
        if (Login(route)) {
            return;
        }
        if (!m_inUse || !PauseBeforeRetry(attempt)) {
            throw CMyException(ERR_LOGIN);
        }
        // Another session holds the mailbox (often a phone polling it): a fresh
        // connection after a pause, as the server may have ended this one.
        m_mail.Close();
        m_pipeline.Reset();
        m_capabilities = {};
        m_statSent = m_listSent = m_uidlSent = false;
        m_multiLine.clear();
    }
}

bool CPop3Dialogue::PauseBeforeRetry(int attempt) const {
    const auto pause = std::chrono::milliseconds(std::min(kInUsePauseMs, m_timeoutMs / 2));
    if (m_deadline) {
        // A whole session must still fit: the connection, the login and the page.
        if (std::chrono::steady_clock::now() + pause + 2 * std::chrono::milliseconds(m_timeoutMs) >=
            *m_deadline) {
            return false;
        }
    } else if (attempt >= kInUseAttempts) {
        return false;
    }
    std::this_thread::sleep_for(pause);
    return true;
}

void CPop3Dialogue::Connect() {
    const auto address = ParseMailServer(m_setting.MAIL_SERVER);
    if (!address) {
        m_detail = "MAIL_SERVER is none of " + std::string(kMailServerForms);
        throw CMyException(ERR_CONNECT);
    }
    m_host = address->host;
    m_startTls = address->startTls;
    // A TLS failure (handshake, certificate, host name) fails the connection like any
    // other; LastErrorDetail keeps the reason for the log.
    if (m_mail.Connect(address->host.c_str(), address->port, m_timeoutMs, address->tls) < 0) {
        throw CMyException(ERR_CONNECT);
    }
    // The greeting's content is not examined; only its arrival counts.
    ReadAnswerLine();
}

const std::string& CPop3Dialogue::FailureDetail() const {
    return m_detail.empty() ? m_mail.LastErrorDetail() : m_detail;
}

CPop3Capabilities CPop3Dialogue::AskCapabilities() {
    Queue("CAPA\r\n");
    CPop3Capabilities capabilities;
    // A server without CAPA refuses it: it has no extensions.
    if (!ReadStatusLine().starts_with(kOk)) {
        return capabilities;
    }
    capabilities.answered = true;
    std::size_t bytes = 0;
    for (;;) {
        std::string_view line = ReadAnswerLine();
        if (TakeAnswerLine(line)) {
            break;
        }
        bytes += line.size();
        if (bytes <= kCapabilityBytes) {
            capabilities.TakeLine(line);
        }
    }
    if (bytes > kCapabilityBytes) {
        // Nothing a real server says is that long: none of it is believed.
        capabilities = {};
        capabilities.answered = true;
    }
    return capabilities;
}

void CPop3Dialogue::StartTls() {
    // Never plain text instead: the password would go out in the clear.
    if (!m_capabilities.stls) {
        m_detail = "the server does not offer STLS";
        throw CMyException(ERR_CONNECT);
    }
    Queue("STLS\r\n");
    const std::string_view reply = ReadStatusLine();
    if (!reply.starts_with(kOk)) {
        m_detail = "the server refused STLS: " + ServerWords(reply, m_setting.MAIL_PASS);
        throw CMyException(ERR_CONNECT);
    }
    // Bytes that came with the answer were sent before TLS, by anyone on the way.
    if (m_mail.HasReadAhead()) {
        m_detail = "the server sent plain text after its STLS answer";
        throw CMyException(ERR_CONNECT);
    }
    if (m_mail.StartTls(m_host.c_str(), m_timeoutMs) < 0) {
        throw CMyException(ERR_CONNECT);
    }
    // What was said before TLS may have been changed on the way (RFC 2595).
    m_capabilities = AskCapabilities();
}

bool CPop3Dialogue::Login(const CRequestRoute& route) {
    m_capabilities = AskCapabilities();
    if (m_startTls) {
        StartTls();
    }
    auto enablePipelining = [this] {
        // Half the send buffer: room for TLS records around the commands. A socket that
        // cannot tell its buffer gets one command at a time.
        const int bytes = m_mail.SendBufferSize() / 2;
        if (m_capabilities.pipelining && bytes >= kPipelineBytesAtLeast) {
            m_pipeline.Enable(static_cast<std::size_t>(bytes));
        }
    };
    enablePipelining();
    // AUTH goes one step at a time: each step's answer decides the next.
    const bool ahead = m_pipeline.Enabled() && !m_setting.UsesOAuth();
    // UTF8 is valid only before USER; its answer decides nothing.
    if (m_capabilities.utf8) {
        Queue("UTF8\r\n");
        if (!ahead) {
            ReadStatusLine();
        }
    }
    if (m_setting.UsesOAuth()) {
        if (!LoginWithToken()) {
            return false;
        }
    } else if (!LoginWithPassword(route, ahead)) {
        return false;
    }
    // Some servers advertise PIPELINING only after login. The list gains a round trip
    // per message from it; the single-mail page would only spend the one it saves.
    if (!m_pipeline.Enabled() && m_capabilities.answered && route.page == CRequestRoute::kList) {
        m_capabilities = AskCapabilities();
        enablePipelining();
    }
    return true;
}

bool CPop3Dialogue::LoginWithPassword(const CRequestRoute& route, bool ahead) {
    Queue("USER " + m_setting.MAIL_ACCOUNT + "\r\n");
    if (!ahead && !LoginAccepted(ReadStatusLine())) {
        return false;
    }
    Queue("PASS " + m_setting.MAIL_PASS + "\r\n");
    if (ahead) {
        // What follows a login goes with it; after a refusal its answers are not read.
        Queue("STAT\r\n");
        m_statSent = true;
        // A link with a token is checked first: its number may name another message now.
        if (route.page != CRequestRoute::kList && route.hasToken && UsesUniqueIds()) {
            Queue("UIDL " + std::to_string(route.messageNumber) + "\r\n");
            m_uidlSent = true;
        } else if (route.page != CRequestRoute::kList) {
            Queue("LIST " + std::to_string(route.messageNumber) + "\r\n");
            m_listSent = true;
        }
        if (m_capabilities.utf8) {
            ReadStatusLine();
        }
        if (!LoginAccepted(ReadStatusLine())) {
            return false;
        }
    }
    return LoginAccepted(ReadStatusLine());
}

bool CPop3Dialogue::LoginAccepted(std::string_view reply) {
    if (reply.starts_with(kOk)) {
        return true;
    }
    std::string_view code = reply.substr(std::min(reply.size(), kErr.size()));
    code = TrimmedOf(code, " \t");
    if (StartsWithNoCase(code, "[IN-USE]")) {
        m_reason = "mailbox in use";
        m_inUse = true;
    } else if (StartsWithNoCase(code, "[LOGIN-DELAY]")) {
        m_reason = "login delay";
    }
    m_detail = "server said: " + ServerWords(reply, m_setting.MAIL_PASS);
    return false;
}

std::chrono::steady_clock::time_point CPop3Dialogue::TokenDeadline() const {
    // Getting a token is one wait like any other: one time-out at most, and never
    // beyond the request's own end.
    const auto oneTimeout =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(m_timeoutMs);
    return m_deadline ? std::min(*m_deadline, oneTimeout) : oneTimeout;
}

bool CPop3Dialogue::LoginWithToken() {
    if (m_tokens == nullptr) {
        m_reason = "oauth: no token source";
        throw CMyException(ERR_LOGIN);
    }
    // A server that does not answer CAPA may still know AUTH XOAUTH2: AUTH tells.
    if (m_capabilities.answered && !m_capabilities.xoauth2) {
        m_reason = "oauth: the server does not offer XOAUTH2";
        throw CMyException(ERR_LOGIN);
    }
    std::string refused;
    // The second round is for a token the server refused although it looked valid
    // (revoked, or expired early): one fresh token, one more try.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const CAccessToken token = m_tokens->AccessToken(m_setting, TokenDeadline(), refused);
        if (token.token.empty()) {
            m_reason = token.failure;
            m_detail = token.detail;
            throw CMyException(ERR_LOGIN);
        }
        switch (AuthXoauth2(token.token)) {
            case AuthOutcome::kAccepted:
                return true;
            case AuthOutcome::kLoginRefused:
                return false;
            case AuthOutcome::kMechanismRefused:
                m_reason = "oauth: the server refused AUTH XOAUTH2";
                throw CMyException(ERR_LOGIN);
            case AuthOutcome::kTokenRefused:
                refused = token.token;
                break;
        }
    }
    m_reason = "oauth: the server refused the access token";
    throw CMyException(ERR_LOGIN);
}

CPop3Dialogue::AuthOutcome CPop3Dialogue::AuthXoauth2(std::string_view token) {
    Queue("AUTH XOAUTH2\r\n");
    std::string_view reply = ReadStatusLine();
    if (!reply.starts_with(kContinue) || reply.starts_with(kOk)) {
        return AuthOutcome::kMechanismRefused;
    }
    // The token goes on a line of its own: some servers refuse it on the AUTH line.
    std::string response = "user=" + m_setting.MAIL_ACCOUNT + "\x01" + "auth=Bearer ";
    response.append(token);
    response += "\x01\x01";
    Queue(Base64(response) + "\r\n");
    reply = ReadStatusLine();
    if (reply.starts_with(kOk)) {
        return AuthOutcome::kAccepted;
    }
    if (reply.starts_with(kContinue)) {
        // The error challenge (a JSON status, base64): an empty response ends the
        // exchange and the server then says -ERR.
        Queue("\r\n");
        ReadStatusLine();
        return AuthOutcome::kTokenRefused;
    }
    // The token was taken, but the mailbox was not: locked by another session, or
    // not to be opened again so soon. That is the server's refusal, not the token's.
    if (!LoginAccepted(reply) && (m_inUse || !m_reason.empty())) {
        return AuthOutcome::kLoginRefused;
    }
    return AuthOutcome::kTokenRefused;
}

int CPop3Dialogue::Count() {
    if (!m_statSent) {
        Queue("STAT\r\n");
    }
    const std::string_view reply = ReadStatusLine();
    if (!reply.starts_with(kOk)) {
        throw CMyException(ERR_RETRIEVE);
    }
    return DecimalValue(reply.substr(kOk.size()));
}

int CPop3Dialogue::ListNumber(int count, int i) const {
    const bool newestFirst = m_setting.MAIL_LIST_ORDER == CSetting::kListNewestFirst;
    return newestFirst ? count - i : i + 1;
}

void CPop3Dialogue::RunListPage(const CRequestRoute& route, int count) {
    CListPage list(m_setting, route.settingText, route.passText);
    // The list needs headers only, and TOP leaves a message as it was, where a RETR
    // marks it read on many servers (or archives it). TOP is optional in POP3: a
    // server that refuses it for a message it can RETR does not know it, and is asked
    // with RETR for the rest of the page.
    bool useTop = true;
    // A later page starts at the message its address names, kept within the mailbox.
    const bool newestFirst = m_setting.MAIL_LIST_ORDER == CSetting::kListNewestFirst;
    const int from = std::clamp(route.listFrom, 1, std::max(count, 1));
    const int first = !route.paged || count <= 0 ? 0 : newestFirst ? count - from : from - 1;
    int asked = first;  // the index after the last message asked for
    // Each row's link names its message by its unique id too: UIDL n before TOP n.
    const bool ids = UsesUniqueIds();
    int i = first;
    for (; i < count && list.WantsMore(); ++i) {
        if (DeadlineNear()) {
            break;
        }
        if (asked == i) {
            asked = QueueListWindow(list, count, i, useTop);
        }
        const int number = ListNumber(count, i);
        const std::string token = ids ? ReadToken() : std::string();
        if (!m_listCommandOwed.empty()) {
            Queue(m_listCommandOwed);
            m_listCommandOwed.clear();
        }
        if (ReadListAnswer(list, number, token) || !useTop) {
            continue;
        }
        // Refused by a server without TOP, or the message has vanished since STAT
        // (then RETR is refused too, and the page keeps asking with TOP). The rest of
        // the window was asked the same way and is asked again.
        for (; asked > i + 1; --asked) {
            if (ids) {
                SkipAnswer();  // UIDL
            }
            SkipAnswer();
        }
        Queue("RETR " + std::to_string(number) + "\r\n");
        useTop = !ReadListAnswer(list, number, token);
    }
    if (list.Listed() == 0) {
        m_page.Append(CListPage::kEmptyText);
    }
    // The next page goes on where this one stopped, if it got anywhere.
    const bool more = i < count && i > first;
    m_chunk.clear();
    list.AppendPaging(m_chunk, more ? ListNumber(count, i) : 0, first <= 0);
    m_page.Append(m_chunk);
}

int CPop3Dialogue::QueueListWindow(const CListPage& list, int count, int i, bool useTop) {
    // Every message asked for is read, so a window asks for the rows still wanted;
    // with a filter more, since some will be passed over.
    const int wanted = std::max(1, m_setting.MAIL_LIST_COUNT - list.Listed());
    const int window = m_setting.FILTER_TYPE != 0 ? std::max(2 * wanted, kFilteredWindow) : wanted;
    int end = i;
    while (end < count && end - i < window) {
        const std::string number = std::to_string(ListNumber(count, end));
        const std::string command = useTop ? "TOP " + number + " 0\r\n" : "RETR " + number + "\r\n";
        const std::string uidl = UsesUniqueIds() ? "UIDL " + number + "\r\n" : std::string();
        if (!m_pipeline.Fits(uidl.size() + command.size())) {
            break;
        }
        if (!uidl.empty()) {
            Queue(uidl);
            if (!m_pipeline.Enabled()) {
                // One command at a time: TOP goes once UIDL is answered.
                m_listCommandOwed = command;
                return end + 1;
            }
        }
        Queue(command);
        ++end;
    }
    return end;
}

bool CPop3Dialogue::ReadListAnswer(CListPage& list, int number, const std::string& token) {
    list.BeginMessage(number, token);
    m_chunk.clear();
    const std::string_view status = ReadStatusLine();
    if (status.empty()) {
        throw CMyException(ERR_NO_RESPONSE);
    }
    const bool refused = status.starts_with(kErr);
    bool complete = list.FeedLine(status, m_chunk);
    m_page.Append(m_chunk);
    while (!complete) {
        m_chunk.clear();
        complete = list.FeedLine(ReadAnswerLine(), m_chunk);
        m_page.Append(m_chunk);
    }
    return !refused;
}

void CPop3Dialogue::RunMailPage(const CRequestRoute& route, int count) {
    const bool ids = UsesUniqueIds();
    CMailLinks links;
    links.number = route.messageNumber;
    if (ids && route.hasToken) {
        links.number = FindMessage(route);
        if (links.number == 0) {
            SendGone(route, false);
            return;
        }
        links.token = route.token;
    }
    const std::string number = std::to_string(links.number);
    // LIST n, and the tokens for the links to the neighbours and to the message's parts.
    std::vector<std::string> commands;
    if (!m_listSent) {
        commands.push_back("LIST " + number + "\r\n");
    }
    const bool own = ids && links.token.empty();
    const bool previous = ids && links.number > 1 && links.number - 1 <= count;
    const bool next = ids && links.number >= 1 && links.number < count;
    for (const auto& [wanted, other] :
         {std::pair{own, 0}, std::pair{previous, -1}, std::pair{next, 1}}) {
        if (wanted) {
            commands.push_back("UIDL " + std::to_string(links.number + other) + "\r\n");
        }
    }
    // TOP with as many lines as the message may have reads it whole and leaves it
    // unread, where RETR marks it read (and some servers then never list it again).
    // A server that refuses LIST n is left to say with RETR whether the message exists.
    const std::vector<std::string> answers = Ask(commands, m_listSent ? 1 : 0);
    const std::string& listed = answers[0];
    std::size_t answer = 1;
    const auto token = [&](bool wanted) {
        const auto parsed = wanted ? ParseUidlReply(answers[answer++]) : std::nullopt;
        return parsed ? MessageToken(parsed->uniqueId) : std::string();
    };
    if (own) {
        links.token = token(own);
    }
    links.previousToken = token(previous);
    links.nextToken = token(next);
    const std::string retr = "RETR " + number + "\r\n";
    const std::string top =
        "TOP " + number + " " + std::to_string(WholeMessageLines(listed)) + "\r\n";
    const bool listOk = listed.starts_with(kOk);
    if (ReadMail(route, links, count, listOk ? top : retr)) {
        return;
    }
    if (!listOk || !ReadMail(route, links, count, retr)) {
        throw CMyException(ERR_RETRIEVE);
    }
}

bool CPop3Dialogue::ReadMail(const CRequestRoute& route, const CMailLinks& links, int count,
                             const std::string& command) {
    CMailPage mail(m_setting);
    mail.SetLinks(route.settingText, route.passText, links.number, count);
    mail.SetTokens(links.token, links.previousToken, links.nextToken);
    Queue(command);
    bool status = true;
    for (;;) {
        m_chunk.clear();
        std::string_view line = status ? ReadStatusLine() : ReadAnswerLine();
        if (line.empty()) {
            throw CMyException(ERR_NO_RESPONSE);
        }
        status = false;
        const CMailPage::Step step = mail.FeedLine(line, m_chunk);
        if (step == CMailPage::kNotFound) {
            return false;
        }
        m_page.Append(m_chunk);
        if (step == CMailPage::kDone) {
            return true;
        }
        if (step == CMailPage::kAgain) {
            // The message's text is its HTML part, which went by before that was known.
            Queue(command);
            status = true;
        }
    }
}

void CPop3Dialogue::RunAttachment(const CRequestRoute& route) {
    int number = route.messageNumber;
    if (UsesUniqueIds() && route.hasToken) {
        number = FindMessage(route);
        if (number == 0) {
            SendGone(route, true);
            m_attachmentFound = true;
            return;
        }
    }
    // Read as the message page reads: with TOP, which leaves the message unread.
    const std::string n = std::to_string(number);
    if (!m_listSent) {
        Queue("LIST " + n + "\r\n");
    }
    const std::string_view listed = ReadStatusLine();
    const bool listOk = listed.starts_with(kOk);
    std::string command =
        listOk ? "TOP " + n + " " + std::to_string(WholeMessageLines(listed)) + "\r\n"
               : "RETR " + n + "\r\n";
    for (int attempt = 0;; ++attempt) {
        CAttachmentReader reader(route.part, m_downloadFields);
        Queue(command);
        std::string out;
        bool lineStart = true;
        CAttachmentReader::Step step = CAttachmentReader::kMore;
        for (bool status = true; step != CAttachmentReader::kDone; status = false) {
            const std::string_view piece = status ? ReadStatusLine() : ReadPiece();
            if (piece.empty()) {
                throw CMyException(ERR_NO_RESPONSE);
            }
            step = reader.FeedPiece(piece, lineStart, out);
            lineStart = piece.back() == '\n';
            if (step == CAttachmentReader::kNotFound) {
                break;
            }
            m_attachmentFound = reader.Found();
            // Sent when enough is gathered, or before waiting for the mail server.
            if (out.size() >= kDownloadChunk || (!out.empty() && !m_mail.HasBufferedLine())) {
                m_page.Send(out);
                out.clear();
            }
        }
        if (step == CAttachmentReader::kDone) {
            if (!out.empty()) {
                m_page.Send(out);
            }
            // The rest of the message, if any, is left unread: the session ends with it.
            return;
        }
        // Refused: a server without TOP gets RETR; otherwise the message is not there.
        if (attempt > 0 || !listOk) {
            throw CMyException(ERR_RETRIEVE);
        }
        command = "RETR " + n + "\r\n";
    }
}

std::vector<std::string> CPop3Dialogue::Ask(const std::vector<std::string>& commands,
                                            std::size_t owed) {
    std::vector<std::string> answers;
    std::size_t unread = owed;
    for (const std::string& command : commands) {
        if (!m_pipeline.Fits(command.size())) {
            for (; unread > 0; --unread) {
                answers.emplace_back(ReadStatusLine());
            }
        }
        Queue(command);
        ++unread;
    }
    for (; unread > 0; --unread) {
        answers.emplace_back(ReadStatusLine());
    }
    return answers;
}

std::string_view CPop3Dialogue::ReadPiece() {
    SendQueued();
    const std::string_view piece = ReceivePiece();
    if (piece.empty()) {
        throw CMyException(ERR_NO_RESPONSE);
    }
    return piece;
}

std::string_view CPop3Dialogue::ReceivePiece() {
    // The browser gets what is ready before any wait for the server.
    if (!m_mail.HasBufferedLine()) {
        m_page.Flush();
    }
    char* buffer = m_reply.data();
    const int n = m_mail.ReceiveUntil(buffer, kReplyBufferSize, 0, m_timeoutMs, '\n');
    return n > 0 ? std::string_view(buffer, static_cast<std::size_t>(n)) : std::string_view();
}

bool CPop3Dialogue::UsesUniqueIds() const {
    return m_setting.ModernPages() && m_capabilities.uidl;
}

std::string CPop3Dialogue::ReadToken() {
    const auto parsed = ParseUidlReply(ReadStatusLine());
    return parsed ? MessageToken(parsed->uniqueId) : std::string();
}

int CPop3Dialogue::FindMessage(const CRequestRoute& route) {
    if (!m_uidlSent) {
        Queue("UIDL " + std::to_string(route.messageNumber) + "\r\n");
    }
    m_uidlSent = false;
    if (ReadToken() == route.token) {
        return route.messageNumber;
    }
    // A token that no id makes names no message: the number alone was its only chance.
    if (!IsTokenForm(route.token)) {
        return 0;
    }
    // The message has moved (another program deleted an earlier one) or gone: the whole
    // listing says, a line at a time.
    Queue("UIDL\r\n");
    if (!ReadStatusLine().starts_with(kOk)) {
        return 0;
    }
    int found = 0;
    for (;;) {
        std::string_view line = ReadAnswerLine();
        if (TakeAnswerLine(line)) {
            return found;
        }
        if (found == 0) {
            const auto parsed = ParseUidlLine(line);
            if (parsed && MessageToken(parsed->uniqueId) == route.token) {
                found = parsed->number;
            }
        }
    }
}

void CPop3Dialogue::SendGone(const CRequestRoute& route, bool withHead) {
    const CPageStyle style(m_setting, route.settingText, route.passText);
    m_gone = true;
    m_chunk.clear();
    if (withHead) {
        m_chunk.assign(style.HttpHead());
        m_chunk.insert(m_chunk.size() - 2, m_downloadFields);  // before the empty line
        m_chunk += style.MailHead(route.messageNumber);
    }
    style.AppendGone(m_chunk);
    style.AppendMailLinks(m_chunk, 0, 0, 0);
    m_page.Append(m_chunk);
}

void CPop3Dialogue::SkipAnswer() {
    const bool multiLine = m_multiLine.empty() || m_multiLine.front();
    if (!ReadStatusLine().starts_with(kOk) || !multiLine) {
        return;
    }
    for (;;) {
        std::string_view line = ReadAnswerLine();
        if (TakeAnswerLine(line)) {
            return;
        }
    }
}

void CPop3Dialogue::Queue(std::string_view text) {
    m_pipeline.Queue(text);
    // RFC 1939: these answer in many lines, UIDL and LIST only without an argument.
    const bool bare = text.find(' ') == std::string_view::npos;
    m_multiLine.push_back(text.starts_with("TOP ") || text.starts_with("RETR ") ||
                          text.starts_with("CAPA") ||
                          (bare && (text.starts_with("UIDL") || text.starts_with("LIST"))));
}

void CPop3Dialogue::SendQueued(bool pageFirst) {
    const std::string commands = m_pipeline.TakeQueued();
    if (commands.empty()) {
        return;
    }
    if (pageFirst) {
        m_page.Flush();
    }
    m_mail.SendBytes(commands.data(), static_cast<int>(commands.size()), 0, m_timeoutMs);
}

std::string_view CPop3Dialogue::ReadStatusLine() {
    const std::string_view line = ReadLine();
    m_pipeline.Answered();
    if (!m_multiLine.empty()) {
        m_multiLine.pop_front();
    }
    return line;
}

std::string_view CPop3Dialogue::ReadLine() {
    SendQueued();
    std::string_view piece = ReceivePiece();
    if (piece.empty() || piece.back() == '\n') {
        return piece;
    }
    // A line longer than the buffer comes in pieces. Its first piece is kept with the
    // line's own end, so the page machines still see one whole line; the bytes between
    // are dropped (the decoders would cut the line there anyway).
    m_longLine.assign(piece);
    char previous = piece.back();
    std::string_view ending;
    for (;;) {
        piece = ReceivePiece();
        if (piece.empty()) {
            break;
        }
        if (piece.back() == '\n') {
            const char beforeLf = piece.size() >= 2 ? piece[piece.size() - 2] : previous;
            ending = beforeLf == '\r' ? "\r\n" : "\n";
            break;
        }
        previous = piece.back();
    }
    // The last bytes of the kept piece make way for the line's end.
    std::copy(ending.begin(), ending.end(), m_longLine.end() - static_cast<long>(ending.size()));
    return m_longLine;
}

std::string_view CPop3Dialogue::ReadAnswerLine() {
    const std::string_view line = ReadLine();
    if (line.empty()) {
        throw CMyException(ERR_NO_RESPONSE);
    }
    return line;
}
