#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

// Page text is what the pages are made of before HTML escaping: code page 932 bytes,
// except that a character code page 932 cannot hold (é, ß, the en dash, emoji) stands
// as its numeric character reference with the byte 0x00 in place of the '&'
// ("\0#233;"). The mark keeps such a character one character for the keyword filter
// and the subject cut, and escaping writes it out as "&#233;". Page text holds no
// other zero byte: converters drop the zero bytes of their input.
constexpr char kForeignMark = '\0';

// "〓" (the geta mark), code page 932: stands for bytes that are not text in their
// charset.
constexpr std::string_view kGetaMark = "\x81\xAC";
constexpr std::string_view kGetaUtf8 = "\xE3\x80\x93";  // the same, U+3013 in UTF-8

// The length of the foreign-character mark that begins at text[at], 0 when none does.
constexpr std::size_t ForeignMarkLength(std::string_view text, std::size_t at) {
    if (text[at] != kForeignMark) {
        return 0;
    }
    std::size_t end = at + 1;
    while (end < text.size() && text[end] != ';') {
        ++end;
    }
    return end < text.size() ? end + 1 - at : text.size() - at;
}

// Appends the mark of one code point to out.
void AppendForeignMark(std::string& out, char32_t codePoint);

// Appends the page text of UTF-8 text to out; an invalid sequence becomes "〓".
void AppendUtf8AsPageText(std::string& out, std::string_view utf8);

// True when text holds a byte above 0x7F and is valid UTF-8 throughout.
bool IsUtf8WithHighBytes(std::string_view text);

// Converts text in one charset to page text, one piece after another; a character cut
// by the end of a piece is finished with the next. Fed whole lines (each with its line
// end), it gives what the pages have always shown for ISO-2022-JP and unlabelled mail.
//
//   - ISO-2022-JP (and US-ASCII): each line through CMimeDecoder::DecodeJis, which
//     also keeps the NEC special characters that Windows mailers write.
//   - No charset: a line that is valid UTF-8 with 8-bit bytes is read as UTF-8; any
//     other line through DecodeJis, so raw code page 932 passes unchanged.
//   - Shift_JIS and its aliases, and a charset nobody knows: the bytes as they stand.
//   - Any other charset iconv knows (UTF-8, EUC-JP, ISO-8859-*, Windows-125x, GBK,
//     Big5, EUC-KR, KOI8-R, ...): converted, bytes invalid in it become "〓".
class CPageTextConverter {
public:
    // A line converted line by line is kept until its end, up to this many bytes; a
    // longer one is converted in pieces (DecodeJis gives at most two bytes for one).
    static constexpr std::size_t kLineLimit = 30 * 1024;

    // charset as a mail names it, in any case ("utf-8", "ISO-8859-1", "Shift_JIS"),
    // empty when the mail names none.
    explicit CPageTextConverter(std::string_view charset);
    ~CPageTextConverter();
    CPageTextConverter(const CPageTextConverter&) = delete;
    CPageTextConverter& operator=(const CPageTextConverter&) = delete;

    // Appends the page text of bytes to out; a line or character not yet complete is
    // kept for the next call.
    void Convert(std::string_view bytes, std::string& out);
    // Converts what is kept: the text has ended.
    void Finish(std::string& out);

    // True unless the charset was named but unknown (its bytes then pass as they are).
    bool Known() const { return m_known; }

private:
    enum Kind { kJis, kUnlabelled, kAsIs, kIconv };
    class CIconvChain;

    void ConvertLine(std::string_view line, std::string& out);

    Kind m_kind = kJis;
    bool m_known = true;
    std::unique_ptr<CIconvChain> m_iconv;
    std::string m_pending;  // the unfinished line or character
};
