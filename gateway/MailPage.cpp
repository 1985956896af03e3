#include "gateway/MailPage.h"

#include <algorithm>

#include "gateway/FieldText.h"
#include "gateway/HtmlEscape.h"
#include "gateway/Pop3Lines.h"
#include "mime/HtmlText.h"
#include "mime/PageText.h"
#include "mime/Sjis.h"
#include "mime/TransferDecoder.h"
#include "settings/Setting.h"

namespace {

constexpr std::string_view kBreakTag = "<BR>";
// "[添付] " (attachment), "名前なし" (no name), "ほか N 件" (N more), code page 932.
constexpr std::string_view kAttachmentMark = "[\x93\x59\x95\x74] ";
constexpr std::string_view kNoName = "\x96\xBC\x91\x4F\x82\xC8\x82\xB5";
constexpr std::string_view kMore = "\x82\xD9\x82\xA9 ";
constexpr std::string_view kItems = " \x8C\x8F";
// "件名" (subject), "差出人" (from), "宛先" (to), "日付" (date), code page 932.
constexpr std::string_view kSubjectLabel = "\x8C\x8F\x96\xBC";
constexpr std::string_view kFromLabel = "\x8D\xB7\x8F\x6F\x90\x6C";
constexpr std::string_view kToLabel = "\x88\xB6\x90\xE6";
constexpr std::string_view kCcLabel = "Cc";
constexpr std::string_view kDateLabel = "\x93\xFA\x95\x74";

// "512 B", "120 KB", "3.4 MB": the size a reader wants, not the exact count.
std::string SizeText(long long bytes) {
    constexpr long long kKilo = 1024;
    if (bytes < kKilo) {
        return std::to_string(bytes) + " B";
    }
    if (bytes < kKilo * kKilo) {
        return std::to_string((bytes + kKilo - 1) / kKilo) + " KB";
    }
    const long long tenths = (bytes * 10 + kKilo * kKilo / 2) / (kKilo * kKilo);
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " MB";
}

}  // namespace

CMailPage::CMailPage(const CSetting& setting) : m_setting(setting) {}

CMailPage::~CMailPage() = default;

CMailPage::Step CMailPage::FeedLine(std::string_view line, std::string& out) {
    m_out = &out;
    if (m_statusLine) {
        m_statusLine = false;
        if (line.starts_with("-ERR")) {
            return kNotFound;
        }
        m_reader = std::make_unique<CMimeReader>(*this);
        m_inHeader = m_style && !m_headerShown;
        return kMore;
    }
    if (TakeAnswerLine(line)) {
        m_reader->Finish();
        SendHeaderLines();
        if (!m_shownDone && m_htmlWaits && !m_htmlPass) {
            m_htmlPass = true;
            m_statusLine = true;
            m_attachments.clear();
            m_moreAttachments = 0;
            m_leaf = 0;
            return kAgain;
        }
        SendAttachments();
        SendLinks();
        return kDone;
    }
    if (m_inHeader) {
        if (line == "\r\n" || line == "\n") {
            SendHeaderLines();
        } else {
            m_fields.FeedLine(line);
        }
    }
    m_reader->FeedLine(line);
    if (m_current == kShown && m_flushEachLine && !m_line.empty()) {
        // As the page has always shown such a part: one chunk for each line of the mail.
        SendLine(false);
    }
    return kMore;
}

void CMailPage::OnPartBegin(const CMimePart& part) {
    ++m_leaf;
    const bool text = part.type == "text" && !part.attachment && !part.resource;
    if (text && !m_shownDone) {
        if (part.subtype == "plain" && !m_htmlPass) {
            ShowPart(part);
            return;
        }
        if (part.subtype == "html") {
            // A message that is nothing but HTML can be shown at once.
            if (m_htmlPass || part.depth == 0) {
                ShowPart(part);
                return;
            }
            m_htmlWaits = true;
        }
    }
    // A message that is nothing but a file is that file, named or not.
    if (part.IsFile()) {
        if (m_attachments.size() >= kAttachmentLimit) {
            ++m_moreAttachments;
            return;
        }
        CAttachment attachment;
        if (part.fileName.empty()) {
            attachment.name = kNoName;
        } else {
            AppendUtf8AsPageText(attachment.name, part.fileName);
            attachment.name.resize(CutBetweenCharacters(attachment.name, kNameLimit).size());
        }
        attachment.type = part.type + "/" + part.subtype;
        attachment.position = m_leaf;
        m_attachments.push_back(std::move(attachment));
        m_decoder = std::make_unique<CTransferDecoder>(part.encoding);
        m_current = kMeasured;
    }
}

void CMailPage::ShowPart(const CMimePart& part) {
    m_current = kShown;
    m_decoder = std::make_unique<CTransferDecoder>(part.encoding);
    m_converter = std::make_unique<CPageTextConverter>(part.charset);
    if (part.subtype == "html") {
        m_html = std::make_unique<CHtmlText>();
    }
    m_flushEachLine = part.encoding == CMimePart::kIdentity && !m_html;
}

void CMailPage::OnPartLine(std::string_view line) {
    if (m_current == kNone) {
        return;
    }
    m_bytes.clear();
    m_decoder->Decode(line, m_bytes);
    if (m_current == kMeasured) {
        m_attachments.back().bytes += static_cast<long long>(m_bytes.size());
        return;
    }
    m_text.clear();
    m_converter->Convert(m_bytes, m_text);
    if (m_html) {
        m_bytes.clear();
        m_html->Feed(m_text, m_bytes);
        TakeText(m_bytes);
    } else {
        TakeText(m_text);
    }
}

void CMailPage::OnPartEnd() {
    if (m_current == kShown) {
        m_text.clear();
        m_converter->Finish(m_text);
        if (m_html) {
            m_bytes.clear();
            m_html->Feed(m_text, m_bytes);
            m_html->Finish(m_bytes);
            TakeText(m_bytes);
        } else {
            TakeText(m_text);
        }
        if (!m_line.empty()) {
            SendLine(true);  // the last line breaks too, as every line of a part does
        }
        m_shownDone = true;
        m_converter.reset();
        m_html.reset();
    }
    m_decoder.reset();
    m_current = kNone;
}

void CMailPage::TakeText(std::string_view text) {
    for (std::size_t lf; (lf = text.find('\n')) != std::string_view::npos;) {
        m_line.append(text.substr(0, lf));
        if (m_line.ends_with('\r')) {
            m_line.pop_back();
        }
        SendLine(true);
        text.remove_prefix(lf + 1);
    }
    m_line.append(text);
    if (m_line.size() >= kLineLimit) {
        // Keep the CR that may begin the line's CR LF for the next piece.
        const bool cr = m_line.ends_with('\r');
        if (cr) {
            m_line.pop_back();
        }
        SendLine(false);
        if (cr) {
            m_line = "\r";
        }
    }
}

void CMailPage::SendLine(bool lineEnd) {
    SendChunk(m_line, lineEnd);
    m_line.clear();
}

void CMailPage::SendChunk(std::string_view pageText, bool lineEnd) {
    m_escaped.clear();
    AppendEscapedHtml(m_escaped, pageText);
    SendHtml(m_escaped, lineEnd);
}

void CMailPage::SendHtml(std::string_view html, bool lineEnd) {
    const std::size_t start = m_out->size();
    m_out->append(html);
    if (lineEnd) {
        m_out->append(kBreakTag);
    }
    m_shownBytes += static_cast<long long>(m_out->size() - start);
    if (m_setting.MAIL_LIMIT_ENABLE && m_shownBytes >= m_setting.MAIL_LIMIT_BYTE) {
        m_out->resize(start);
    }
}

void CMailPage::SetLinks(std::string_view settingText, std::string_view passText, int number,
                         int count) {
    if (m_setting.ModernPages()) {
        m_style.emplace(m_setting, settingText, passText);
        m_number = number;
        m_count = count;
    }
}

void CMailPage::SetTokens(std::string token, std::string previousToken, std::string nextToken) {
    m_token = std::move(token);
    m_previousToken = std::move(previousToken);
    m_nextToken = std::move(nextToken);
}

void CMailPage::SendHeaderLines() {
    if (!m_style || m_headerShown) {
        return;
    }
    m_inHeader = false;
    m_headerShown = true;
    const auto value = [&](CHeaderFields::Field field) { return m_fields.Value(field); };
    m_style->BeginHeaderLines(*m_out);
    m_style->AppendHeaderLine(*m_out, kSubjectLabel, FieldText(value(CHeaderFields::kSubject)));
    m_style->AppendHeaderLine(*m_out, kFromLabel,
                              SenderWithAddressText(value(CHeaderFields::kFrom)));
    m_style->AppendHeaderLine(*m_out, kToLabel, AddressListText(value(CHeaderFields::kTo)));
    m_style->AppendHeaderLine(*m_out, kCcLabel, AddressListText(value(CHeaderFields::kCc)));
    std::string date = FullDateText(value(CHeaderFields::kDate));
    if (date.empty()) {
        // A date nobody can read is shown as written.
        date = FieldText(value(CHeaderFields::kDate).substr(0, kNameShown));
    }
    m_style->AppendHeaderLine(*m_out, kDateLabel, date);
    m_style->EndHeaderLines(*m_out);
}

void CMailPage::SendLinks() {
    if (!m_style) {
        return;
    }
    const int pageRows = std::max(m_setting.MAIL_LIST_COUNT, 0);
    int listFrom = m_number;
    int previous = m_number - 1;
    int next = m_number + 1;
    if (m_setting.MAIL_LIST_ORDER == CSetting::kListNewestFirst) {
        std::swap(previous, next);
        // The first page of the newest first holds at least the newest pageRows.
        if (m_number > m_count - pageRows) {
            listFrom = 0;
        }
    } else if (m_number <= pageRows) {
        listFrom = 0;
    }
    const auto inBox = [&](int number) { return number >= 1 && number <= m_count ? number : 0; };
    const bool newestFirst = m_setting.MAIL_LIST_ORDER == CSetting::kListNewestFirst;
    m_style->AppendMailLinks(*m_out, listFrom, inBox(previous), inBox(next),
                             newestFirst ? m_nextToken : m_previousToken,
                             newestFirst ? m_previousToken : m_nextToken);
}

void CMailPage::SendAttachments() {
    if (m_attachments.empty()) {
        return;
    }
    std::string line;
    std::string link;
    for (const CAttachment& attachment : m_attachments) {
        line.assign(kAttachmentMark);
        line += attachment.name;
        line += " (" + attachment.type + ", " + SizeText(attachment.bytes) + ")";
        if (m_style) {
            // The modern page's line opens the file.
            link.clear();
            m_style->AppendAttachmentLink(link, m_number, m_token, attachment.position, line);
            SendHtml(link, true);
        } else {
            SendChunk(line, true);
        }
    }
    if (m_moreAttachments > 0) {
        line.assign(kAttachmentMark);
        line += kMore;
        line += std::to_string(m_moreAttachments);
        line += kItems;
        SendChunk(line, true);
    }
}
