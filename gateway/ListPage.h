#pragma once

#include <string>
#include <string_view>

#include "gateway/PageStyle.h"
#include "mime/HeaderFields.h"
#include "mime/HeaderText.h"

class CSetting;

// The list page: one link row per listed message, its text the message's decoded
// subject. Fed the lines of one TOP (or RETR) answer after another; knows nothing of
// sockets.
//
//   CListPage page(setting, settingText, passText);
//   for (n = 1; n <= count && page.WantsMore(); ++n) {
//       page.BeginMessage(n);   // then send "TOP n 0"
//       while (!page.FeedLine(line, out)) { ... }   // out collects the rows to send
//   }
//   if (page.Listed() == 0) out += CListPage::kEmptyText;
class CListPage {
public:
    // "表示対象メールはありません。" (there are no mails to show), code page 932.
    static constexpr std::string_view kEmptyText =
        "\x95\x5C\x8E\xA6\x91\xCE\x8F\xDB\x83\x81\x81\x5B\x83\x8B\x82\xCD\x82\xA0\x82\xE8\x82"
        "\xDC\x82\xB9\x82\xF1\x81\x42";

    // settingText and passText are the two parts of the request path, as sent; they go
    // into every link. The setting must outlive the page.
    CListPage(const CSetting& setting, std::string_view settingText, std::string_view passText);

    // False once MAIL_LIST_COUNT rows have been listed: no further message is retrieved.
    bool WantsMore() const;

    // token: of the message's unique id, for the modern row's link (MessageToken.h);
    // empty when the server keeps no ids.
    void BeginMessage(int messageNumber, std::string token = {});

    // Takes one line of the RETR answer (the status line first), with its line end.
    // Appends the message's row to out when its header ends and it is listed. Returns
    // true when the answer is complete: at the end line ".\r\n", or at once for a
    // status line "-ERR" (the message vanished; no further line follows).
    bool FeedLine(std::string_view line, std::string& out);

    int Listed() const { return m_listed; }

    // Ends the page: the links to the rows from message nextFrom on (0: none remain),
    // and back to the first page unless this is it. Only the modern pages have them.
    void AppendPaging(std::string& out, int nextFrom, bool firstPage) const;

    // The first limit bytes of text, moved back so that no double-byte character is
    // split; a character code page 932 lacks counts as two bytes (one wide character)
    // and is never split either. Empty for a negative limit.
    static std::string_view CutSubject(std::string_view text, int limit);

    // Page text kept of one subject: an endless folded Subject costs no more. Cut on a
    // character.
    static constexpr std::size_t kSubjectKept = 4096;

private:
    enum HeaderState { kBeforeSubject, kInSubject, kAfterSubject, kHeaderDone };

    void TakeSubjectPiece(std::string_view piece);
    void EndSubject();
    void KeepSubjectBounded();
    bool IsListed() const;
    void AppendRow(std::string& out);

    const CSetting& m_setting;
    CPageStyle m_style;

    int m_listed = 0;
    int m_messageNumber = 0;
    std::string m_token;
    bool m_statusLine = true;
    HeaderState m_state = kBeforeSubject;
    CHeaderTextDecoder m_subjectDecoder;
    std::string m_subject;
    bool m_subjectFull = false;  // kSubjectKept reached: the rest is not decoded
    CHeaderFields m_fields;      // From and Date, for the modern rows
    long long m_now = 0;         // when the page began, for the rows' dates
};
