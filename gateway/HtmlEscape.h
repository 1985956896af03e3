#pragma once

#include <string>
#include <string_view>

// Appends text to out with & < > " ' written as character references, so that text
// from a mail or a request path cannot run as markup. Works byte by byte: no
// Shift_JIS trail byte falls in that range, so double-byte characters pass unharmed.
// Page text's mark of a character code page 932 lacks becomes its "&#...;" reference.
void AppendEscapedHtml(std::string& out, std::string_view text);

inline std::string EscapeHtml(std::string_view text) {
    std::string out;
    AppendEscapedHtml(out, text);
    return out;
}
