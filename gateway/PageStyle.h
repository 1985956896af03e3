#pragma once

#include <string>
#include <string_view>

class CSetting;

// How a setting's pages are written (MAIL_PAGE_STYLE). The classic pages are what
// every old phone and every settings file from before the key rely on; the modern
// pages add a viewport, a title naming the setting, a small fixed style block, the
// sender and date of each row, the message's header lines, paging and a failure line.
// Both are plain HTML in reading order; the page machines hand their rows and lines
// here and do not know which way they are written.
//
// All text passed in is page text; it is escaped here.
class CPageStyle {
public:
    // The style block of the modern pages, and the Content-Security-Policy that allows
    // it (by its SHA-256) and nothing else: no script, nothing a mail could bring.
    static const std::string_view kStyleBlock;
    static const std::string_view kModernPolicy;

    // settingText and passText are the two parts of the request path, as sent; every
    // link of the page begins with them. The setting must outlive the style.
    CPageStyle(const CSetting& setting, std::string_view settingText, std::string_view passText);

    bool Modern() const { return m_modern; }

    // The HTTP head that goes before the page.
    std::string_view HttpHead() const;
    // The page head of a list page that starts at message listFrom (0: its first page),
    // or of the page of message mailNumber.
    std::string ListHead(int listFrom) const;
    std::string MailHead(int mailNumber) const;

    // One list row: the link to message number with its subject; the modern pages add
    // the sender and the date (either may be empty), and the token of the message's
    // unique id to its link when there is one (MessageToken.h).
    void AppendListRow(std::string& out, int number, std::string_view subject,
                       std::string_view sender, std::string_view date,
                       std::string_view token = {}) const;
    // The links at the end of a list page: to the rows from message nextFrom on (0:
    // none remain), and back to the first page unless this is it. Modern pages only.
    void AppendListPaging(std::string& out, int nextFrom, bool firstPage) const;

    // The message page's header lines: each label with its value, one a line.
    // Modern pages only; empty values are left out.
    void BeginHeaderLines(std::string& out) const;
    void AppendHeaderLine(std::string& out, std::string_view label, std::string_view value) const;
    void EndHeaderLines(std::string& out) const;
    // The links after a message's text: to the list page that holds it (listFrom 0 is
    // the first page) and to the previous and next message (0: none), with their
    // tokens when known. Modern only.
    void AppendMailLinks(std::string& out, int listFrom, int previous, int next,
                         std::string_view previousToken = {},
                         std::string_view nextToken = {}) const;
    // An attachment's line (page text) as the link to its download: the position-th
    // part of message number. Modern only.
    void AppendAttachmentLink(std::string& out, int number, std::string_view token, int position,
                              std::string_view text) const;
    // The one line of a message page whose message is no longer on the server.
    // Modern only.
    void AppendGone(std::string& out) const;

    // The line that ends a page cut by a failure, message in the failure's own words.
    // Modern pages only (the classic page just stops).
    void AppendFailure(std::string& out, std::string_view message) const;

private:
    void AppendAddress(std::string& out, std::string_view word, int number,
                       std::string_view token = {}, int part = 0) const;
    void AppendLink(std::string& out, std::string_view word, int number, std::string_view text,
                    std::string_view token = {}) const;
    std::string Head(std::string_view page) const;

    const CSetting& m_setting;
    bool m_modern;
    std::string m_settingText;
    std::string m_passText;
};
