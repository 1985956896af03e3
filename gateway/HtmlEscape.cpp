#include "gateway/HtmlEscape.h"

#include "mime/PageText.h"

namespace {

// The character reference of a byte that needs one, nullptr for every other byte.
const char* Reference(char c) {
    switch (c) {
        case '&':
            return "&amp;";
        case kForeignMark:  // page text's mark of a character code page 932 lacks
            return "&";
        case '<':
            return "&lt;";
        case '>':
            return "&gt;";
        case '"':
            return "&quot;";
        case '\'':
            return "&#39;";
        default:
            return nullptr;
    }
}

}  // namespace

void AppendEscapedHtml(std::string& out, std::string_view text) {
    // Runs of plain bytes go out in one append: a mail page is escaped line by line,
    // and appending byte by byte cost as much as decoding the line.
    out.reserve(out.size() + text.size());
    std::size_t plain = 0;  // start of the current run of plain bytes
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (const char* reference = Reference(text[i])) {
            out.append(text.data() + plain, i - plain);
            out += reference;
            plain = i + 1;
        }
    }
    out.append(text.data() + plain, text.size() - plain);
}
