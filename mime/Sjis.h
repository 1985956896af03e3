#pragma once

// True for a byte that begins a double-byte Shift_JIS (code page 932) character.
constexpr bool IsSjisLeadByte(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}
