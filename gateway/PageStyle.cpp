#include "gateway/PageStyle.h"

#include <cstdio>

#include "gateway/HtmlEscape.h"
#include "settings/Setting.h"

namespace {

// The HTTP head goes before the page head of every accepted request: browsers refuse
// a bare answer on any port but 80, and the page must declare its character set. The
// two styles differ in its policy only.
constexpr std::string_view kHttpHeadStart =
    "HTTP/1.0 200 OK\r\n"
    "Content-Type: text/html; charset=Shift_JIS\r\n"
    "Cache-Control: no-store\r\n"
    "Content-Security-Policy: ";
constexpr std::string_view kHttpHeadEnd =
    "\r\n"
    "Referrer-Policy: no-referrer\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Connection: close\r\n"
    "\r\n";
constexpr std::string_view kClassicPolicy = "default-src 'none'";

std::string HttpHeadWith(std::string_view policy) {
    std::string head(kHttpHeadStart);
    head += policy;
    head += kHttpHeadEnd;
    return head;
}

constexpr std::string_view kClassicHead = "<HTML><HEAD><TITLE>Ravenquill</TITLE></HEAD><BODY>";
constexpr std::string_view kClassicRowTail = " </A><BR>";

constexpr std::string_view kModernHeadStart =
    "<!DOCTYPE html><HTML><HEAD>"
    "<META NAME='viewport' CONTENT='width=device-width, initial-scale=1'><TITLE>";
constexpr std::string_view kModernHeadEnd = "</TITLE><STYLE>";
constexpr std::string_view kModernBodyStart = "</STYLE></HEAD><BODY>";
constexpr std::string_view kTitleGap = " - ";

// Code page 932: "一覧" (list), "メール" (mail), "から" (from), "次へ" (next),
// "最初へ" (to the first), "一覧へ" (to the list), "前のメール" (previous mail),
// "次のメール" (next mail), "(件名なし)" (no subject).
constexpr std::string_view kListWord = "\x88\xEA\x97\x97";
constexpr std::string_view kMailWord = "\x83\x81\x81\x5B\x83\x8B";
constexpr std::string_view kFrom = "\x82\xA9\x82\xE7";
constexpr std::string_view kNext = "\x8E\x9F\x82\xD6";
constexpr std::string_view kFirst = "\x8D\xC5\x8F\x89\x82\xD6";
constexpr std::string_view kToList = "\x88\xEA\x97\x97\x82\xD6";
constexpr std::string_view kPreviousMail = "\x91\x4F\x82\xCC\x83\x81\x81\x5B\x83\x8B";
constexpr std::string_view kNextMail = "\x8E\x9F\x82\xCC\x83\x81\x81\x5B\x83\x8B";
// "このメールはサーバにありません。" (this mail is not on the server), code page 932.
constexpr std::string_view kGone =
    "\x82\xB1\x82\xCC\x83\x81\x81\x5B\x83\x8B\x82\xCD\x83\x54\x81\x5B\x83\x6F"
    "\x82\xC9\x82\xA0\x82\xE8\x82\xDC\x82\xB9\x82\xF1\x81\x42";
constexpr std::string_view kNoSubject = "\x28\x8C\x8F\x96\xBC\x82\xC8\x82\xB5\x29";

constexpr std::string_view kListPath = "toplist";
constexpr std::string_view kMailPath = "mail";

bool IsBlank(std::string_view text) {
    return text.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

}  // namespace

// The style block's bytes and their SHA-256 in the policy change together.
const std::string_view CPageStyle::kStyleBlock =
    "body{margin:0 auto;padding:0 12px 16px;max-width:46em;font:16px/1.5 sans-serif;"
    "overflow-wrap:anywhere}"
    "p{margin:0;padding:10px 0;border-bottom:1px solid #ddd}"
    "small{color:#555}"
    ".h{border-bottom:2px solid #999;margin-bottom:8px}"
    ".n a{display:inline-block;padding:10px 16px 10px 0}"
    ".e{color:#b00}";
const std::string_view CPageStyle::kModernPolicy =
    "default-src 'none'; style-src 'sha256-1b8Zm1rHSInH0POaJIua3cPi4HE3AAfptiRDBiDjCe8='";

CPageStyle::CPageStyle(const CSetting& setting, std::string_view settingText,
                       std::string_view passText)
    : m_setting(setting),
      m_modern(setting.ModernPages()),
      m_settingText(settingText),
      m_passText(passText) {}

std::string_view CPageStyle::HttpHead() const {
    static const std::string classic = HttpHeadWith(kClassicPolicy);
    static const std::string modern = HttpHeadWith(kModernPolicy);
    return m_modern ? modern : classic;
}

std::string CPageStyle::Head(std::string_view page) const {
    std::string head(kModernHeadStart);
    AppendEscapedHtml(head, m_setting.NAME);
    head += kTitleGap;
    head += page;
    head += kModernHeadEnd;
    head += kStyleBlock;
    head += kModernBodyStart;
    return head;
}

std::string CPageStyle::ListHead(int listFrom) const {
    if (!m_modern) {
        return std::string(kClassicHead);
    }
    std::string page(kListWord);
    if (listFrom > 0) {
        page += " No." + std::to_string(listFrom);
        page += kFrom;
    }
    return Head(page);
}

std::string CPageStyle::MailHead(int mailNumber) const {
    if (!m_modern) {
        return std::string(kClassicHead);
    }
    return Head(std::string(kMailWord) + " No." + std::to_string(mailNumber));
}

void CPageStyle::AppendAddress(std::string& out, std::string_view word, int number,
                               std::string_view token, int part) const {
    AppendEscapedHtml(out, m_settingText);
    AppendEscapedHtml(out, m_passText);
    out += word;
    if (word == kMailPath) {
        char digits[16];
        std::snprintf(digits, sizeof digits, "%03d", number);
        out += digits;
        if (!token.empty()) {
            out += '.';
            AppendEscapedHtml(out, token);
        }
        if (part > 0) {
            out += '-';
            out += std::to_string(part);
        }
    } else if (number > 0) {
        out += std::to_string(number);
    }
}

void CPageStyle::AppendLink(std::string& out, std::string_view word, int number,
                            std::string_view text, std::string_view token) const {
    out += "<A HREF='";
    AppendAddress(out, word, number, token);
    out += "'>";
    out += text;
    out += "</A>";
}

void CPageStyle::AppendListRow(std::string& out, int number, std::string_view subject,
                               std::string_view sender, std::string_view date,
                               std::string_view token) const {
    if (!m_modern) {
        out += "<A HREF='";
        AppendAddress(out, kMailPath, number);
        out += "'>";
        AppendEscapedHtml(out, subject);
        out += kClassicRowTail;
        return;
    }
    out += "<P><A HREF='";
    AppendAddress(out, kMailPath, number, token);
    out += "'>";
    // A row needs something to tap.
    if (IsBlank(subject)) {
        out += kNoSubject;
    } else {
        AppendEscapedHtml(out, subject);
    }
    out += "</A>";
    if (!sender.empty() || !date.empty()) {
        out += "<BR>";
    }
    if (!sender.empty()) {
        out += "<SMALL CLASS=f>";
        AppendEscapedHtml(out, sender);
        out += "</SMALL>";
    }
    if (!date.empty()) {
        out += sender.empty() ? "" : " ";
        out += "<SMALL CLASS=d>";
        AppendEscapedHtml(out, date);
        out += "</SMALL>";
    }
    out += "</P>";
}

void CPageStyle::AppendListPaging(std::string& out, int nextFrom, bool firstPage) const {
    if (!m_modern || (nextFrom <= 0 && firstPage)) {
        return;
    }
    out += "<P CLASS=n>";
    if (nextFrom > 0) {
        AppendLink(out, kListPath, nextFrom, kNext);
    }
    if (!firstPage) {
        out += nextFrom > 0 ? " " : "";
        AppendLink(out, kListPath, 0, kFirst);
    }
    out += "</P>";
}

void CPageStyle::BeginHeaderLines(std::string& out) const {
    if (m_modern) {
        out += "<P CLASS=h>";
    }
}

void CPageStyle::AppendHeaderLine(std::string& out, std::string_view label,
                                  std::string_view value) const {
    if (!m_modern || value.empty()) {
        return;
    }
    out += "<B>";
    out += label;
    out += "</B> ";
    AppendEscapedHtml(out, value);
    out += "<BR>";
}

void CPageStyle::EndHeaderLines(std::string& out) const {
    if (m_modern) {
        out += "</P>";
    }
}

void CPageStyle::AppendMailLinks(std::string& out, int listFrom, int previous, int next,
                                 std::string_view previousToken, std::string_view nextToken) const {
    if (!m_modern) {
        return;
    }
    out += "<P CLASS=n>";
    AppendLink(out, kListPath, listFrom, kToList);
    if (previous > 0) {
        out += " ";
        AppendLink(out, kMailPath, previous, kPreviousMail, previousToken);
    }
    if (next > 0) {
        out += " ";
        AppendLink(out, kMailPath, next, kNextMail, nextToken);
    }
    out += "</P>";
}

void CPageStyle::AppendAttachmentLink(std::string& out, int number, std::string_view token,
                                      int position, std::string_view text) const {
    if (!m_modern) {
        return;
    }
    out += "<A HREF='";
    AppendAddress(out, kMailPath, number, token, position);
    out += "'>";
    AppendEscapedHtml(out, text);
    out += "</A>";
}

void CPageStyle::AppendGone(std::string& out) const {
    if (m_modern) {
        out += "<P>";
        out += kGone;
        out += "</P>";
    }
}

void CPageStyle::AppendFailure(std::string& out, std::string_view message) const {
    if (!m_modern) {
        return;
    }
    out += "<P CLASS=e>";
    AppendEscapedHtml(out, message);
    out += "</P>";
}
