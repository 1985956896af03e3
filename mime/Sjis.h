#pragma once

#include <cstddef>
#include <string_view>

#include "mime/PageText.h"

// True for a byte that begins a double-byte Shift_JIS (code page 932) character.
constexpr bool IsSjisLeadByte(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// The length of the character that starts at text[at]: 1 or 2, or the whole mark of a
// character that code page 932 cannot hold (page text). A lead byte as the last byte
// of the text is a character of its own.
constexpr std::size_t SjisCharLength(std::string_view text, std::size_t at) {
    if (const std::size_t mark = ForeignMarkLength(text, at)) {
        return mark;
    }
    return IsSjisLeadByte(static_cast<unsigned char>(text[at])) && at + 1 < text.size() ? 2 : 1;
}

// The longest start of text that holds at most limit bytes and ends between two
// characters.
constexpr std::string_view CutBetweenCharacters(std::string_view text, std::size_t limit) {
    std::size_t end = 0;
    while (end < text.size()) {
        const std::size_t next = end + SjisCharLength(text, end);
        if (next > limit) {
            break;
        }
        end = next;
    }
    return text.substr(0, end);
}
