#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Decodes the text of an unstructured header field (the Subject) to page text, fed one
// line of the field after another.
//
//   - Encoded words ("=?UTF-8?B?...?=", "=?iso-8859-1?q?...?=") in any charset,
//     anywhere in the line, several on a line; the bytes of a charset nobody knows
//     read as text that names none. A word that is not well-formed stays as written.
//   - White space between two encoded words is dropped, across folded lines too, and
//     adjacent words in one charset are joined before conversion: a character split
//     across two words (Outlook writes such words) comes out whole.
//   - Other text is converted as a line that names no charset: valid UTF-8 with 8-bit
//     bytes as UTF-8, anything else as it always was (ISO-2022-JP escapes converted,
//     code page 932 bytes as they stand), its line end included. A line without
//     encoded words thus gives what the list page has always shown.
//
// White space after an encoded word is held until what follows shows whether it is
// dropped (another word, or the end of the field) or kept (other text).
class CHeaderTextDecoder {
public:
    // Decoded bytes of joined words held before they are converted anyway, so that an
    // endless run of encoded words costs bounded memory; real words are far shorter.
    static constexpr std::size_t kHeldWordBytes = 4096;
    // White space after a word held at most; beyond it, more is dropped.
    static constexpr std::size_t kHeldSpace = 256;

    // Appends the page text of one line of the field's text, line end included: the
    // first line after the field name, the colon and its blanks; each continuation line
    // without its first blank.
    void Feed(std::string_view line, std::string& out);
    // The field has ended: converts what is held. The decoder is then ready for the
    // next field.
    void Finish(std::string& out);

private:
    void TakeText(std::string_view text, std::string& out);
    void TakeWord(std::string_view charset, std::string_view bytes, std::string& out);
    void ConvertWords(std::string& out);

    bool m_afterWord = false;  // the last thing taken was an encoded word
    std::string m_charset;     // of the words held in m_wordBytes
    std::string m_wordBytes;   // decoded, not yet converted
    std::string m_space;       // white space since the last word
};
