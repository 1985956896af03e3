#pragma once

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

    std::string Encode(std::string_view password);
    // A value that is not a scrambled form (shorter than 100 characters, or with a
    // length mark out of range) gives the empty password.
    std::string Decode(std::string_view stored) const;

    void EncodeByte(unsigned char c, int entry, unsigned char& high, unsigned char& low) const;
    unsigned char DecodeByte(unsigned char high, unsigned char low, int entry) const;

    static constexpr int kEntries = 9;

private:
    unsigned char m_highOffset[kEntries];
    unsigned char m_lowOffset[kEntries];
    unsigned char m_mask[kEntries];
    unsigned char m_shift[kEntries];
};
