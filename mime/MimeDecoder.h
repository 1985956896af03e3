#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Results of the decoders are cut at this many bytes; DecodeJis leaves out a
// Shift_JIS pair or a CR LF of its own making that does not fit whole.
constexpr std::size_t kDecodeLimit = 65535;

// Stateless converters between the mail's transfer forms and the page's Shift_JIS.
// Neither fails: bad input only shows in the result. A result never holds a zero byte:
// a zero byte produced by the decoding ends the result there.
class CMimeDecoder {
public:
    virtual ~CMimeDecoder() = default;

    // One unbroken run of base64 characters to bytes; no character is skipped.
    std::string DecodeBase64(std::string_view text) const;
    // The 6-bit value of a base64 character, 0 for any byte outside the alphabet.
    static int Base64Value(unsigned char c);
    // ISO-2022-JP to Shift_JIS, and every LF not preceded by CR to CR LF.
    std::string DecodeJis(std::string_view text) const;
};
