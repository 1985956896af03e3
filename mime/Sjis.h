#pragma once

#include <cstddef>
#include <string_view>

// True for a byte that begins a double-byte Shift_JIS (code page 932) character.
constexpr bool IsSjisLeadByte(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// The length, 1 or 2, of the character that starts at text[at]. A lead byte as the last
// byte of the text is a character of its own.
constexpr std::size_t SjisCharLength(std::string_view text, std::size_t at) {
    return IsSjisLeadByte(static_cast<unsigned char>(text[at])) && at + 1 < text.size() ? 2 : 1;
}
