#include "mime/Keyword.h"

#include "mime/Sjis.h"

namespace {

// True when keyword occurs in text at an offset where a Shift_JIS character begins.
// The character starts are walked once, only as far as the candidate matches reach.
bool OccursAtCharacterStart(std::string_view text, std::string_view keyword) {
    if (keyword.empty()) {
        return true;
    }
    std::size_t start = 0;  // a character start, never beyond the next candidate
    std::size_t from = 0;
    for (;;) {
        const std::size_t at = text.find(keyword, from);
        if (at == std::string_view::npos) {
            return false;
        }
        while (start < at) {
            start += SjisCharLength(text, start);
        }
        if (start == at) {
            return true;
        }
        // The candidate fell on the second byte of a character; the next character
        // starts right after it.
        from = start;
    }
}

}  // namespace

bool ContainsAnyKeyword(std::string_view keywords, std::string_view text) {
    std::string_view rest = keywords;
    for (;;) {
        const std::size_t comma = rest.find(',');
        if (OccursAtCharacterStart(text, rest.substr(0, comma))) {
            return true;
        }
        if (comma == std::string_view::npos) {
            return false;
        }
        rest.remove_prefix(comma + 1);
    }
}
