#include "gateway/Pop3Dialogue.h"

#include <algorithm>

#include "gateway/AttachmentReader.h"
#include "gateway/ListPage.h"
#include "gateway/MailPage.h"
#include "gateway/MailServerAddress.h"
#include "gateway/PageWriter.h"
#include "gateway/RequestRoute.h"
#include "mime/DecimalValue.h"
#include "settings/Setting.h"
#include "transport/MyException.h"

namespace {

constexpr std::string_view kOk = "+OK";
constexpr std::string_view kErr = "-ERR";

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
    Connect();
    Login();
    const int count = Count();
    if (route.page == CRequestRoute::kAttachment) {
        // A download has no footer; what is left of the message stays unread.
        RunAttachment(route);
        Quit();
        m_mail.Close();
        return;
    }
    if (route.page == CRequestRoute::kList) {
        RunListPage(route, count);
    } else {
        RunMailPage(route, count);
    }
    Quit();
    m_page.Send(kPageFooter);
    m_mail.Close();
}

void CPop3Dialogue::Connect() {
    const auto address = ParseMailServer(m_setting.MAIL_SERVER);
    if (!address) {
        m_detail = "MAIL_SERVER is none of " + std::string(kMailServerForms);
        throw CMyException(ERR_CONNECT);
    }
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

void CPop3Dialogue::Login() {
    Command("USER " + m_setting.MAIL_ACCOUNT + "\r\n");
    if (!ReadLine().starts_with(kOk)) {
        throw CMyException(ERR_LOGIN);
    }
    Command("PASS " + m_setting.MAIL_PASS + "\r\n");
    if (!ReadLine().starts_with(kOk)) {
        throw CMyException(ERR_LOGIN);
    }
}

int CPop3Dialogue::Count() {
    Command("STAT\r\n");
    const std::string_view reply = ReadLine();
    if (!reply.starts_with(kOk)) {
        throw CMyException(ERR_RETRIEVE);
    }
    return DecimalValue(reply.substr(kOk.size()));
}

void CPop3Dialogue::RunListPage(const CRequestRoute& route, int count) {
    CListPage list(m_setting, route.settingText, route.passText);
    const bool newestFirst = m_setting.MAIL_LIST_ORDER == CSetting::kListNewestFirst;
    // The list needs headers only, and TOP leaves a message as it was, where a RETR
    // marks it read on many servers (or archives it). TOP is optional in POP3: a
    // server that refuses it for a message it can RETR does not know it, and is asked
    // with RETR for the rest of the page.
    bool useTop = true;
    // A later page starts at the message its address names, kept within the mailbox.
    const int from = std::clamp(route.listFrom, 1, std::max(count, 1));
    const int first = !route.paged || count <= 0 ? 0 : newestFirst ? count - from : from - 1;
    int i = first;
    for (; i < count && list.WantsMore(); ++i) {
        if (DeadlineNear()) {
            break;
        }
        const int number = newestFirst ? count - i : i + 1;
        const std::string retr = "RETR " + std::to_string(number) + "\r\n";
        if (!useTop) {
            ReadListAnswer(list, number, retr);
        } else if (!ReadListAnswer(list, number, "TOP " + std::to_string(number) + " 0\r\n")) {
            // Refused by a server without TOP, or the message has vanished since STAT
            // (then RETR is refused too, and the page keeps asking with TOP).
            useTop = !ReadListAnswer(list, number, retr);
        }
    }
    if (list.Listed() == 0) {
        m_page.Append(CListPage::kEmptyText);
    }
    // The next page goes on where this one stopped, if it got anywhere.
    const bool more = i < count && i > first;
    m_chunk.clear();
    list.AppendPaging(m_chunk, more ? (newestFirst ? count - i : i + 1) : 0, first <= 0);
    m_page.Append(m_chunk);
}

bool CPop3Dialogue::ReadListAnswer(CListPage& list, int number, std::string_view command) {
    list.BeginMessage(number);
    Command(command);
    m_chunk.clear();
    const std::string_view status = ReadAnswerLine();
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
    const int messageNumber = route.messageNumber;
    CMailPage mail(m_setting);
    mail.SetLinks(route.settingText, route.passText, messageNumber, count);
    Command("RETR " + std::to_string(messageNumber) + "\r\n");
    for (;;) {
        m_chunk.clear();
        const CMailPage::Step step = mail.FeedLine(ReadAnswerLine(), m_chunk);
        if (step == CMailPage::kNotFound) {
            throw CMyException(ERR_RETRIEVE);
        }
        m_page.Append(m_chunk);
        if (step == CMailPage::kDone) {
            return;
        }
        if (step == CMailPage::kAgain) {
            // The message's text is its HTML part, which went by before that was known.
            Command("RETR " + std::to_string(messageNumber) + "\r\n");
        }
    }
}

void CPop3Dialogue::RunAttachment(const CRequestRoute& route) {
    CAttachmentReader reader(route.part, m_downloadFields);
    Command("RETR " + std::to_string(route.messageNumber) + "\r\n");
    std::string out;
    bool lineStart = true;
    for (;;) {
        const std::string_view piece = ReadPiece();
        const CAttachmentReader::Step step = reader.FeedPiece(piece, lineStart, out);
        lineStart = piece.back() == '\n';
        if (step == CAttachmentReader::kNotFound) {
            throw CMyException(ERR_RETRIEVE);
        }
        m_attachmentFound = reader.Found();
        if (step == CAttachmentReader::kDone) {
            break;
        }
        // Sent when enough is gathered, or before waiting for the mail server.
        if (out.size() >= kDownloadChunk || (!out.empty() && !m_mail.HasBufferedLine())) {
            m_page.Send(out);
            out.clear();
        }
    }
    if (!out.empty()) {
        m_page.Send(out);
    }
}

std::string_view CPop3Dialogue::ReadPiece() {
    char* buffer = m_reply.data();
    const int n = m_mail.ReceiveUntil(buffer, kReplyBufferSize, 0, m_timeoutMs, '\n');
    if (n <= 0) {
        throw CMyException(ERR_NO_RESPONSE);
    }
    return std::string_view(buffer, static_cast<std::size_t>(n));
}

void CPop3Dialogue::Quit() {
    Command("QUIT\r\n");
    // The reply's content is not examined.
    ReadLine();
}

void CPop3Dialogue::Command(std::string_view text) {
    m_page.Flush();
    m_mail.SendBytes(text.data(), static_cast<int>(text.size()), 0, m_timeoutMs);
}

std::string_view CPop3Dialogue::ReadLine() {
    if (!m_mail.HasBufferedLine()) {
        m_page.Flush();
    }
    char* buffer = m_reply.data();
    int n = m_mail.ReceiveUntil(buffer, kReplyBufferSize, 0, m_timeoutMs, '\n');
    if (n <= 0) {
        return {};
    }
    std::string_view piece(buffer, static_cast<std::size_t>(n));
    if (piece.back() == '\n') {
        return piece;
    }
    // A line longer than the buffer comes in pieces. Its first piece is kept with the
    // line's own end, so the page machines still see one whole line; the bytes between
    // are dropped (the decoders would cut the line there anyway).
    m_longLine.assign(piece);
    char previous = piece.back();
    std::string_view ending;
    for (;;) {
        if (!m_mail.HasBufferedLine()) {
            m_page.Flush();
        }
        n = m_mail.ReceiveUntil(buffer, kReplyBufferSize, 0, m_timeoutMs, '\n');
        if (n <= 0) {
            break;
        }
        piece = std::string_view(buffer, static_cast<std::size_t>(n));
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
