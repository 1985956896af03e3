#include "mime/HeaderText.h"

#include <algorithm>

#include "mime/Ascii.h"
#include "mime/PageText.h"
#include "mime/TransferDecoder.h"

namespace {

constexpr std::string_view kWordStart = "=?";
constexpr std::string_view kWordEnd = "?=";
constexpr std::string_view kBlanks = " \t\r\n";
// Longer charset names are no charset names: the "word" is text.
constexpr std::size_t kMaxCharsetName = 64;

struct EncodedWord {
    std::string_view charset;  // without an RFC 2231 language ("utf-8*ja")
    char encoding;             // 'B' or 'Q'
    std::string_view text;
    std::size_t length;  // of the whole word
};

constexpr bool IsCharsetByte(char c) {
    return c > ' ' && c < 0x7F &&
           std::string_view("()<>@,;:\"/[]?=\\").find(c) == std::string_view::npos;
}

constexpr bool IsBase64Letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

// Base64 letters, then at most the padding.
bool IsBase64Text(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && IsBase64Letter(text[i])) {
        ++i;
    }
    return text.find_first_not_of('=', i) == std::string_view::npos;
}

// Encoded text holds no blank and no '?'. 8-bit bytes are let through: some mailers
// write Latin-1 letters into Q words unencoded.
constexpr bool IsEncodedTextByte(char c) {
    return static_cast<unsigned char>(c) > ' ' && c != '?' && c != 0x7F;
}

// Reads the encoded word "=?charset?B?text?=" at the start of text; false when none is
// there whole and well-formed. Each scan stops at the first byte that cannot belong to
// its part, so trying every "=?" of a line costs time linear in the line.
bool ReadEncodedWord(std::string_view text, EncodedWord& word) {
    if (!text.starts_with(kWordStart)) {
        return false;
    }
    std::size_t at = kWordStart.size();
    while (at < text.size() && at - kWordStart.size() <= kMaxCharsetName &&
           IsCharsetByte(text[at])) {
        ++at;
    }
    const std::size_t charsetLength = at - kWordStart.size();
    if (charsetLength == 0 || charsetLength > kMaxCharsetName || at + 2 >= text.size() ||
        text[at] != '?' || text[at + 2] != '?') {
        return false;
    }
    word.charset = text.substr(kWordStart.size(), charsetLength);
    word.charset = word.charset.substr(0, word.charset.find('*'));
    const char encoding = LowerAscii(text[at + 1]);
    if (word.charset.empty() || (encoding != 'b' && encoding != 'q')) {
        return false;
    }
    word.encoding = encoding == 'b' ? 'B' : 'Q';
    const std::size_t textStart = at + 3;
    std::size_t textEnd = textStart;
    while (textEnd < text.size() && IsEncodedTextByte(text[textEnd])) {
        ++textEnd;
    }
    if (!text.substr(textEnd).starts_with(kWordEnd)) {
        return false;
    }
    word.text = text.substr(textStart, textEnd - textStart);
    if (word.encoding == 'B' && !IsBase64Text(word.text)) {
        return false;
    }
    word.length = textEnd + kWordEnd.size();
    return true;
}

// The bytes an encoded word's text stands for.
std::string DecodeWordText(const EncodedWord& word) {
    std::string in(word.text);
    if (word.encoding == 'B') {
        // Words whose padding was left off still decode whole.
        if (in.size() % 4 > 1) {
            in.append(4 - in.size() % 4, '=');
        }
    } else {
        // Q is quoted-printable in which '_' stands for a space.
        std::replace(in.begin(), in.end(), '_', ' ');
    }
    std::string out;
    CTransferDecoder(word.encoding == 'B' ? CMimePart::kBase64 : CMimePart::kQuotedPrintable)
        .Decode(in, out);
    return out;
}

// Text that names no charset, to page text.
void ConvertUnlabelled(std::string_view text, std::string& out) {
    CPageTextConverter converter("");
    converter.Convert(text, out);
    converter.Finish(out);
}

}  // namespace

void CHeaderTextDecoder::Feed(std::string_view line, std::string& out) {
    std::size_t textStart = 0;
    std::size_t at = 0;
    while ((at = line.find(kWordStart, at)) != std::string_view::npos) {
        EncodedWord word;
        if (!ReadEncodedWord(line.substr(at), word)) {
            ++at;
            continue;
        }
        TakeText(line.substr(textStart, at - textStart), out);
        TakeWord(word.charset, DecodeWordText(word), out);
        at += word.length;
        textStart = at;
    }
    TakeText(line.substr(textStart), out);
}

void CHeaderTextDecoder::Finish(std::string& out) {
    ConvertWords(out);
    // White space after the last word ends the field: dropped, as an encoded word's
    // line end always was.
    m_charset.clear();
    m_space.clear();
    m_afterWord = false;
}

void CHeaderTextDecoder::TakeText(std::string_view text, std::string& out) {
    if (text.empty()) {
        return;
    }
    if (m_afterWord) {
        if (text.find_first_not_of(kBlanks) == std::string_view::npos) {
            m_space.append(text.substr(0, kHeldSpace - std::min(kHeldSpace, m_space.size())));
            return;
        }
        ConvertWords(out);
        m_afterWord = false;
        ConvertUnlabelled(m_space, out);
        m_space.clear();
    }
    ConvertUnlabelled(text, out);
}

void CHeaderTextDecoder::TakeWord(std::string_view charset, std::string_view bytes,
                                  std::string& out) {
    if (!EqualsNoCase(charset, m_charset)) {
        ConvertWords(out);
        m_charset = charset;
    }
    m_space.clear();
    m_afterWord = true;
    m_wordBytes += bytes;
    if (m_wordBytes.size() > kHeldWordBytes) {
        ConvertWords(out);
    }
}

void CHeaderTextDecoder::ConvertWords(std::string& out) {
    if (m_wordBytes.empty()) {
        return;
    }
    CPageTextConverter converter(m_charset);
    if (converter.Known()) {
        converter.Convert(m_wordBytes, out);
        converter.Finish(out);
    } else {
        // A charset nobody knows: its bytes read as header text that names none.
        ConvertUnlabelled(m_wordBytes, out);
    }
    m_wordBytes.clear();
}
