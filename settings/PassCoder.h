#pragma once

#include <random>
#include <string>
#include <string_view>

// Scrambles the two passwords of a setting for the settings file: a 100-character
// text, different at every save because of random filler, from which the filler
// itself tells which table entry each password byte was scrambled with. Not
// encryption: it only keeps the passwords from being read at a glance.
class CPassCoder {
public:
    static constexpr int kEncodedLength = 100;
    static constexpr int kLengthMarkPos = 66;
    static constexpr int kMaxPasswordLength = 33;

    CPassCoder();
    virtual ~CPassCoder() = default;

    // Always kEncodedLength characters, none of them zero, a line break or white
    // space. Only the first kMaxPasswordLength bytes of a longer password are kept:
    // more pairs would overwrite the length mark and the filler the entries come from.
    std::string Encode(std::string_view password);
    // A value that is not a scrambled form (shorter than 100 characters, or with a
    // length mark out of range) gives the empty password. Characters after the
    // first 100 are ignored.
    std::string Decode(std::string_view stored) const;

    // For secrets longer than a password (OAuth tokens, client secrets): the text cut
    // into pieces of kMaxPasswordLength bytes, each scrambled as by Encode and the
    // forms joined, so kEncodedLength characters per piece (one for the empty text).
    // A text of up to kMaxPasswordLength bytes gives the same kind of form as Encode.
    std::string EncodeLong(std::string_view text);
    // Undoes EncodeLong. A value whose length is not a multiple of kEncodedLength, or
    // with a piece that is not a scrambled form, gives the empty text.
    std::string DecodeLong(std::string_view stored) const;

    // entry is taken modulo kEntries (see EntryOf), so any int selects an entry.
    void EncodeByte(unsigned char c, int entry, unsigned char& high, unsigned char& low) const;
    unsigned char DecodeByte(unsigned char high, unsigned char low, int entry) const;

    static constexpr int kEntries = 9;

    // The table entry a character selects: its code as a signed byte, modulo 9. The
    // filler written by Encode (A to y) is positive; a hand-edited character from 0x80
    // up is negative, and its negative remainder is moved up by 9 into 0..8.
    static int EntryOf(unsigned char code);

private:
    // The table. Each high offset sits so far above the lowest value (c >> shift) takes,
    // -128 >> shift, and each low offset is a letter, that every character EncodeByte
    // makes is 'A' (0x41) or above: never a zero byte, a line break or other C0 control,
    // white space, a quote, ';', '=' or '#', so the scrambled form passes any INI reader
    // whole. (DEL, 0x7F, and bytes from 0x80 up can occur; no reader touches them.) A shift
    // of 1 would spread the high character over 128 values and cannot keep that promise,
    // so the shifts run from 2 to 7. Changing any value makes stored passwords unreadable.
    unsigned char m_highOffset[kEntries] = {'Q', 'k', 'W', 'R', 'c', 't', 'x', 'v', 'g'};
    unsigned char m_lowOffset[kEntries] = {'d', 'B', 'm', 'f', 'T', 'q', 'A', 'J', 'Z'};
    unsigned char m_shift[kEntries] = {3, 2, 5, 4, 6, 2, 7, 3, 5};
    unsigned char m_mask[kEntries];  // the low m_shift bits of each entry
    // The filler's source, one per coder and seeded apart from every other coder,
    // so two saves in the same millisecond still differ.
    std::minstd_rand m_random;
};
