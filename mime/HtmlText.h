#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "mime/PageText.h"

// Turns an HTML document into the text a reader sees, one piece at a time, through
// libxml2's HTML push parser: no document tree is built and only the parser's unread
// input is kept. Block elements and <br> make line breaks, white space runs become one
// blank (except in <pre>), script, style, head and title are dropped, entities are
// decoded, and a link's address follows its text in parentheses when the two differ.
//
// Both sides are page text; the lines given end in CR LF. Input that the parser would
// have to hold beyond kBacklogLimit (an endless comment or tag), or elements nested
// deeper than kDepthLimit, end the text there: the parser's memory stays bounded.
class CHtmlText {
public:
    static constexpr std::size_t kBacklogLimit = 2 * 1024 * 1024;
    static constexpr int kDepthLimit = 512;

    CHtmlText();
    ~CHtmlText();
    CHtmlText(const CHtmlText&) = delete;
    CHtmlText& operator=(const CHtmlText&) = delete;

    // Appends the text that pageText completes to out.
    void Feed(std::string_view pageText, std::string& out);
    // The document has ended: appends the rest of its text to out.
    void Finish(std::string& out);

    struct CState;  // the parser and the text being built, for the SAX callbacks

private:
    void Parse(std::string_view utf8, bool last, std::string& out);

    std::unique_ptr<CState> m_state;
};
