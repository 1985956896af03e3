#include "gateway/ListPage.h"

#include <algorithm>
#include <ctime>

#include "gateway/FieldText.h"
#include "gateway/Pop3Lines.h"
#include "mime/Ascii.h"
#include "mime/Keyword.h"
#include "mime/PageText.h"
#include "mime/Sjis.h"
#include "settings/Setting.h"

namespace {

constexpr std::string_view kEmptyLine = "\r\n";
constexpr std::string_view kSubjectName = "Subject";
constexpr std::string_view kBlanks = " \t";
// The width a character code page 932 lacks takes in the subject cut: a wide one's.
constexpr std::size_t kForeignCharWidth = 2;

// Where the text of a Subject field starts in line: after the colon and the blanks that
// follow it. The name is matched in any case and may be followed by blanks before its
// colon; npos when line begins no Subject field.
std::size_t SubjectTextStart(std::string_view line) {
    if (!StartsWithNoCase(line, kSubjectName)) {
        return std::string_view::npos;
    }
    const std::size_t colon = line.find_first_not_of(kBlanks, kSubjectName.size());
    if (colon == std::string_view::npos || line[colon] != ':') {
        return std::string_view::npos;
    }
    return std::min(line.find_first_not_of(kBlanks, colon + 1), line.size());
}

}  // namespace

CListPage::CListPage(const CSetting& setting, std::string_view settingText,
                     std::string_view passText)
    : m_setting(setting),
      m_style(setting, settingText, passText),
      m_now(static_cast<long long>(std::time(nullptr))) {}

bool CListPage::WantsMore() const {
    return m_listed < m_setting.MAIL_LIST_COUNT;
}

void CListPage::BeginMessage(int messageNumber, std::string token) {
    m_messageNumber = messageNumber;
    m_token = std::move(token);
    m_statusLine = true;
    m_state = kBeforeSubject;
    m_subjectDecoder = CHeaderTextDecoder();
    m_subject.clear();
    m_subjectFull = false;
    m_fields.Clear();
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
            if (m_style.Modern() && line != kEmptyLine) {
                m_fields.FeedLine(line);
            }
            if (line == kEmptyLine) {
                if (m_state == kInSubject) {
                    EndSubject();
                }
                if (IsListed()) {
                    AppendRow(out);
                }
                m_state = kHeaderDone;
            } else if (m_state == kBeforeSubject &&
                       SubjectTextStart(line) != std::string_view::npos) {
                TakeSubjectPiece(line.substr(SubjectTextStart(line)));
                m_state = kInSubject;
            } else if (m_state == kInSubject && (line.starts_with(' ') || line.starts_with('\t'))) {
                TakeSubjectPiece(line.substr(1));
            } else if (m_state == kInSubject) {
                EndSubject();
                m_state = kAfterSubject;  // any other header line ends the subject
            }
            break;
    }
    return false;
}

void CListPage::TakeSubjectPiece(std::string_view piece) {
    if (!m_subjectFull) {
        m_subjectDecoder.Feed(piece, m_subject);
        KeepSubjectBounded();
    }
}

void CListPage::EndSubject() {
    if (!m_subjectFull) {
        m_subjectDecoder.Finish(m_subject);
        KeepSubjectBounded();
    }
}

void CListPage::KeepSubjectBounded() {
    if (m_subject.size() < kSubjectKept) {
        return;
    }
    m_subject.resize(CutBetweenCharacters(m_subject, kSubjectKept).size());
    m_subjectFull = true;
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
    if (m_style.Modern()) {
        m_style.AppendListRow(out, m_messageNumber, shown,
                              SenderText(m_fields.Value(CHeaderFields::kFrom)),
                              ShortDateText(m_fields.Value(CHeaderFields::kDate), m_now), m_token);
    } else {
        m_style.AppendListRow(out, m_messageNumber, shown, {}, {});
    }
    ++m_listed;
}

void CListPage::AppendPaging(std::string& out, int nextFrom, bool firstPage) const {
    m_style.AppendListPaging(out, nextFrom, firstPage);
}

std::string_view CListPage::CutSubject(std::string_view text, int limit) {
    if (limit < 0) {
        return {};
    }
    const auto bound = static_cast<std::size_t>(limit);
    // A foreign character's mark is longer than its width, never shorter.
    if (text.size() <= bound) {
        return text;
    }
    std::size_t end = 0;
    std::size_t width = 0;
    while (end < text.size()) {
        const std::size_t length = SjisCharLength(text, end);
        const std::size_t charWidth = ForeignMarkLength(text, end) ? kForeignCharWidth : length;
        if (width + charWidth > bound) {
            break;
        }
        width += charWidth;
        end += length;
    }
    return text.substr(0, end);
}
