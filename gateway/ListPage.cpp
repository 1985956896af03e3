#include "gateway/ListPage.h"

#include <cstdio>

#include "gateway/HtmlEscape.h"
#include "gateway/Pop3Lines.h"
#include "mime/Ascii.h"
#include "mime/Keyword.h"
#include "mime/MimeDecoder.h"
#include "mime/Sjis.h"
#include "settings/Setting.h"

namespace {

constexpr std::string_view kEmptyLine = "\r\n";
constexpr std::string_view kSubjectWord = "Subject";
// "Subject: " is skipped: the subject text starts at the line's tenth byte.
constexpr std::size_t kSubjectTextPos = 9;
constexpr std::string_view kEncodedWordStart = "=?ISO-2022-JP?B?";
// An encoded word ends with "?=" and the line's CR LF.
constexpr std::size_t kEncodedWordTail = 4;
constexpr std::string_view kRowTail = " </A><BR>";

}  // namespace

CListPage::CListPage(const CSetting& setting, std::string_view settingText,
                     std::string_view passText)
    : m_setting(setting), m_settingText(settingText), m_passText(passText) {}

bool CListPage::WantsMore() const {
    return m_listed < m_setting.MAIL_LIST_COUNT;
}

void CListPage::BeginMessage(int messageNumber) {
    m_messageNumber = messageNumber;
    m_statusLine = true;
    m_state = kBeforeSubject;
    m_subject.clear();
}

bool CListPage::FeedLine(std::string_view line, std::string& out) {
    if (m_statusLine) {
        m_statusLine = false;
        // A message that vanished since STAT is answered "-ERR" with no text after it.
        return line.starts_with("-ERR");
    }
    if (TakeAnswerLine(line)) {
        return true;
    }
    switch (m_state) {
        case kHeaderDone:
            break;
        case kBeforeSubject:
        case kInSubject:
        case kAfterSubject:
            if (line == kEmptyLine) {
                if (IsListed()) {
                    AppendRow(out);
                }
                m_state = kHeaderDone;
            } else if (m_state == kBeforeSubject && line.starts_with(kSubjectWord)) {
                TakeSubjectPiece(line.substr(std::min(kSubjectTextPos, line.size())));
                m_state = kInSubject;
            } else if (m_state == kInSubject && (line.starts_with(' ') || line.starts_with('\t'))) {
                TakeSubjectPiece(line.substr(1));
            } else if (m_state == kInSubject) {
                m_state = kAfterSubject;  // any other header line ends the subject
            }
            break;
    }
    return false;
}

void CListPage::TakeSubjectPiece(std::string_view piece) {
    CMimeDecoder decoder;
    std::string bytes;
    if (StartsWithNoCase(piece, kEncodedWordStart)) {
        const std::size_t frame = kEncodedWordStart.size() + kEncodedWordTail;
        const std::string_view text =
            piece.size() > frame ? piece.substr(kEncodedWordStart.size(), piece.size() - frame)
                                 : std::string_view();
        bytes = decoder.DecodeBase64(text);
        piece = bytes;
    }
    m_subject += decoder.DecodeJis(piece);
}

bool CListPage::IsListed() const {
    switch (m_setting.FILTER_TYPE) {
        case 0:
            return true;
        case 1:
            return ContainsAnyKeyword(m_setting.FILTER1, m_subject);
        case 2:
            return !ContainsAnyKeyword(m_setting.FILTER2, m_subject);
        default:
            return false;
    }
}

void CListPage::AppendRow(std::string& out) {
    std::string_view shown = m_subject;
    if (m_setting.MAIL_LIMIT_ENABLE2) {
        shown = CutSubject(shown, m_setting.MAIL_LIMIT_BYTE2);
    }
    char number[16];
    std::snprintf(number, sizeof number, "%03d", m_messageNumber);

    out += "<A HREF='";
    AppendEscapedHtml(out, m_settingText);
    AppendEscapedHtml(out, m_passText);
    out += "mail";
    out += number;
    out += "'>";
    AppendEscapedHtml(out, shown);
    out += kRowTail;
    ++m_listed;
}

std::string_view CListPage::CutSubject(std::string_view text, int limit) {
    if (limit < 0) {
        return {};
    }
    const auto bound = static_cast<std::size_t>(limit);
    if (text.size() <= bound) {
        return text;
    }
    std::size_t end = 0;
    while (end < text.size()) {
        const std::size_t next = end + SjisCharLength(text, end);
        if (next > bound) {
            break;
        }
        end = next;
    }
    return text.substr(0, end);
}
