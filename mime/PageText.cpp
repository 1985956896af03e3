#include "mime/PageText.h"

#include <algorithm>
#include <iterator>
#include <span>

#include <iconv.h>

#include "mime/Ascii.h"
#include "mime/IconvRun.h"
#include "mime/MimeDecoder.h"

namespace {

constexpr const char* kCp932 = "CP932";
constexpr const char* kUtf8 = "UTF-8";

const iconv_t kNoIconv = reinterpret_cast<iconv_t>(-1);

// Names under which mail labels code page 932 or its Shift_JIS subset: the bytes are
// the page's own.
constexpr std::string_view kCp932Names[] = {
    "shift_jis",   "shift-jis", "sjis",       "x-sjis",     "cp932",        "ms932",
    "windows-31j", "ms_kanji",  "csshiftjis", "x-ms-cp932", "csWindows31J",
};

// Labels that mail writes and iconv does not know under that name.
struct CharsetAlias {
    std::string_view label;
    const char* iconvName;
};
constexpr CharsetAlias kAliases[] = {
    {"ks_c_5601-1987", "CP949"},
    {"ks_c_5601", "CP949"},
    {"x-euc-jp", "EUC-JP"},
    {"x-euc", "EUC-JP"},
    {"gb2312", "GBK"},
    {"x-gbk", "GBK"},
    {"unicode-1-1-utf-7", "UTF-7"},
    {"x-unicode20utf8", "UTF-8"},
    // Mailers that say Latin-1 or ASCII often write Windows-1252's quotes and dashes.
    {"iso-8859-1", "WINDOWS-1252"},
    {"latin1", "WINDOWS-1252"},
};

// The length of the valid UTF-8 character at text[0] and its code point; 0 when the
// bytes there are not one (overlong forms and surrogates are not), or are cut off.
std::size_t DecodeUtf8(std::string_view text, char32_t& codePoint) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length;
    char32_t minimum;
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, codePoint = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, codePoint = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, codePoint = lead & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (text.size() < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0;
        }
        codePoint = (codePoint << 6) | (byte(i) & 0x3F);
    }
    if (codePoint < minimum || codePoint > 0x10FFFF ||
        (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
        return 0;
    }
    return length;
}

// True when the bytes at the start of text could still become a UTF-8 character once
// more bytes come.
bool IsUtf8Prefix(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    if (lead < 0xC2 || lead > 0xF4 || text.size() >= length) {
        return false;
    }
    for (std::size_t i = 1; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            return false;
        }
    }
    return true;
}

void AppendWithoutZeros(std::string& out, std::string_view bytes) {
    for (std::size_t zero; (zero = bytes.find('\0')) != std::string_view::npos;) {
        out.append(bytes.substr(0, zero));
        bytes.remove_prefix(zero + 1);
    }
    out.append(bytes);
}

// RunIconv, without the zero bytes of the result: page text holds none of its own.
int RunIconvDroppingZeros(iconv_t cd, std::string_view& in, std::string& out) {
    const std::size_t from = out.size();
    const int error = RunIconv(cd, in, out);
    out.erase(std::remove(out.begin() + static_cast<std::ptrdiff_t>(from), out.end(), '\0'),
              out.end());
    return error;
}

// UTF-8 to page text through cd (UTF-8 to CP932), for text without ascii lookalikes.
// Returns how many bytes at the end were left because they may begin a character that
// the next piece finishes; with final, none are left.
std::size_t Utf8RunToPageText(iconv_t cd, std::string_view utf8, std::string& out, bool final) {
    out.reserve(out.size() + utf8.size());
    while (!utf8.empty()) {
        if (RunIconvDroppingZeros(cd, utf8, out) == 0) {
            break;
        }
        char32_t codePoint = 0;
        if (const std::size_t length = DecodeUtf8(utf8, codePoint)) {
            // A character code page 932 does not hold.
            if (codePoint != 0) {
                AppendForeignMark(out, codePoint);
            }
            utf8.remove_prefix(length);
        } else if (!final && IsUtf8Prefix(utf8)) {
            return utf8.size();
        } else {
            out += kGetaMark;
            utf8.remove_prefix(1);
        }
    }
    return 0;
}

// Characters whose code page 932 bytes, as iconv writes them, every browser reads
// back as another character: the yen sign as the backslash, the overline as the tilde,
// the em dash as the horizontal bar, the wave dash as the fullwidth tilde, the double
// vertical line as the parallel sign, the minus sign as the fullwidth hyphen-minus,
// and the cent, pound and not signs as their fullwidth forms. They become references.
struct Misread {
    std::string_view utf8;
    char32_t codePoint;
};
constexpr Misread kMisread[] = {
    {"\xC2\xA2", 0xA2},       {"\xC2\xA3", 0xA3},       {"\xC2\xA5", 0xA5},
    {"\xC2\xAC", 0xAC},       {"\xE2\x80\x94", 0x2014}, {"\xE2\x80\x96", 0x2016},
    {"\xE2\x80\xBE", 0x203E}, {"\xE2\x88\x92", 0x2212}, {"\xE3\x80\x9C", 0x301C},
};
// The lead bytes of the characters above, so that one search finds where one may begin.
constexpr std::string_view kMisreadLeads = "\xC2\xE2\xE3";

// The entry of kMisread that begins text, nullptr when none does.
const Misread* MisreadAt(std::string_view text) {
    for (const Misread& misread : kMisread) {
        if (text.starts_with(misread.utf8)) {
            return &misread;
        }
    }
    return nullptr;
}

// UTF-8 to page text through cd; as Utf8RunToPageText.
std::size_t Utf8ToPageText(iconv_t cd, std::string_view utf8, std::string& out, bool final) {
    std::size_t done = 0;
    for (std::size_t at = utf8.find_first_of(kMisreadLeads); at != std::string_view::npos;
         at = utf8.find_first_of(kMisreadLeads, at)) {
        const Misread* misread = MisreadAt(utf8.substr(at));
        if (misread == nullptr) {
            ++at;
            continue;
        }
        // Bytes before a lead byte that do not end a character are invalid whatever
        // follows.
        Utf8RunToPageText(cd, utf8.substr(done, at - done), out, true);
        AppendForeignMark(out, misread->codePoint);
        done = at + misread->utf8.size();
        at = done;
    }
    return Utf8RunToPageText(cd, utf8.substr(done), out, final);
}

bool EqualsAnyNoCase(std::string_view name, std::span<const std::string_view> names) {
    for (const std::string_view candidate : names) {
        if (EqualsNoCase(name, candidate)) {
            return true;
        }
    }
    return false;
}

}  // namespace

// The two iconv steps of a charset that is not the page's own: to UTF-8 (none when
// the charset is UTF-8), then to code page 932.
class CPageTextConverter::CIconvChain {
public:
    CIconvChain(iconv_t toUtf8, iconv_t toCp932) : m_toUtf8(toUtf8), m_toCp932(toCp932) {}
    ~CIconvChain() {
        if (m_toUtf8 != kNoIconv) {
            iconv_close(m_toUtf8);
        }
        iconv_close(m_toCp932);
    }
    CIconvChain(const CIconvChain&) = delete;
    CIconvChain& operator=(const CIconvChain&) = delete;

    // Converts pending + bytes; what must wait for the next piece is left in pending.
    void Convert(std::string& pending, std::string_view bytes, std::string& out, bool final) {
        std::string joined;
        if (!pending.empty()) {
            joined = std::move(pending);
            joined += bytes;
            bytes = joined;
        }
        pending.clear();
        std::string_view utf8 = bytes;
        if (m_toUtf8 != kNoIconv) {
            m_utf8.clear();
            // Zero bytes pass here; the step to code page 932 drops them.
            RunIconvReplacing(m_toUtf8, bytes, m_utf8, kGetaUtf8, final);
            pending.assign(bytes);
            if (final) {
                // Back to the initial shift state, for the charsets that have one.
                char buffer[64];
                char* dst = buffer;
                std::size_t dstLeft = sizeof buffer;
                iconv(m_toUtf8, nullptr, nullptr, &dst, &dstLeft);
                m_utf8.append(buffer, static_cast<std::size_t>(dst - buffer));
            }
            utf8 = m_utf8;
        }
        const std::size_t left = Utf8ToPageText(m_toCp932, utf8, out, final);
        if (left > 0) {
            // Only UTF-8 input can leave a character unfinished here: iconv's own
            // output is whole characters.
            pending.assign(utf8.substr(utf8.size() - left));
        }
    }

private:
    iconv_t m_toUtf8;
    iconv_t m_toCp932;
    std::string m_utf8;
};

void AppendForeignMark(std::string& out, char32_t codePoint) {
    out += kForeignMark;
    out += '#';
    out += std::to_string(static_cast<unsigned long>(codePoint));
    out += ';';
}

void AppendUtf8AsPageText(std::string& out, std::string_view utf8) {
    const iconv_t cd = iconv_open(kCp932, kUtf8);
    if (cd == kNoIconv) {
        // Without a converter every character is a reference.
        while (!utf8.empty()) {
            char32_t codePoint = 0;
            const std::size_t length = DecodeUtf8(utf8, codePoint);
            if (length == 0) {
                out += kGetaMark;
            } else if (codePoint < 0x80) {
                if (codePoint != 0) {
                    out += static_cast<char>(codePoint);
                }
            } else {
                AppendForeignMark(out, codePoint);
            }
            utf8.remove_prefix(length == 0 ? 1 : length);
        }
        return;
    }
    Utf8ToPageText(cd, utf8, out, true);
    iconv_close(cd);
}

bool IsUtf8WithHighBytes(std::string_view text) {
    bool high = false;
    while (!text.empty()) {
        if (static_cast<unsigned char>(text[0]) < 0x80) {
            text.remove_prefix(1);
            continue;
        }
        char32_t codePoint = 0;
        const std::size_t length = DecodeUtf8(text, codePoint);
        if (length == 0) {
            return false;
        }
        high = true;
        text.remove_prefix(length);
    }
    return high;
}

CPageTextConverter::CPageTextConverter(std::string_view charset) {
    if (charset.empty()) {
        m_kind = kUnlabelled;
        return;
    }
    if (StartsWithNoCase(charset, "iso-2022-jp") || EqualsNoCase(charset, "csiso2022jp") ||
        EqualsNoCase(charset, "us-ascii") || EqualsNoCase(charset, "ascii")) {
        m_kind = kJis;
        return;
    }
    if (EqualsAnyNoCase(charset, kCp932Names)) {
        m_kind = kAsIs;
        return;
    }
    std::string name(charset);
    for (const CharsetAlias& alias : kAliases) {
        if (EqualsNoCase(charset, alias.label)) {
            name = alias.iconvName;
            break;
        }
    }
    const iconv_t toCp932 = iconv_open(kCp932, kUtf8);
    iconv_t toUtf8 = kNoIconv;
    const bool isUtf8 = EqualsNoCase(name, "utf-8") || EqualsNoCase(name, "utf8");
    if (!isUtf8) {
        toUtf8 = iconv_open(kUtf8, name.c_str());
    }
    if (toCp932 == kNoIconv || (!isUtf8 && toUtf8 == kNoIconv)) {
        if (toCp932 != kNoIconv) {
            iconv_close(toCp932);
        }
        m_kind = kAsIs;
        m_known = false;
        return;
    }
    m_kind = kIconv;
    m_iconv = std::make_unique<CIconvChain>(toUtf8, toCp932);
}

CPageTextConverter::~CPageTextConverter() = default;

void CPageTextConverter::Convert(std::string_view bytes, std::string& out) {
    switch (m_kind) {
        case kAsIs:
            AppendWithoutZeros(out, bytes);
            return;
        case kIconv:
            m_iconv->Convert(m_pending, bytes, out, false);
            return;
        case kJis:
        case kUnlabelled:
            break;
    }
    // Line by line; a line that arrives whole is not copied.
    for (std::size_t lf; (lf = bytes.find('\n')) != std::string_view::npos;) {
        if (m_pending.empty()) {
            ConvertLine(bytes.substr(0, lf + 1), out);
        } else {
            m_pending.append(bytes.substr(0, lf + 1));
            ConvertLine(m_pending, out);
            m_pending.clear();
        }
        bytes.remove_prefix(lf + 1);
    }
    m_pending.append(bytes);
    // A decoded part may hold no line break at all: convert it in pieces that
    // DecodeJis can give whole, rather than keep it.
    std::size_t done = 0;
    for (; m_pending.size() - done >= kLineLimit; done += kLineLimit) {
        ConvertLine(std::string_view(m_pending).substr(done, kLineLimit), out);
    }
    m_pending.erase(0, done);
}

void CPageTextConverter::Finish(std::string& out) {
    if (m_kind == kIconv) {
        m_iconv->Convert(m_pending, {}, out, true);
    } else if (!m_pending.empty()) {
        ConvertLine(m_pending, out);
    }
    m_pending.clear();
}

void CPageTextConverter::ConvertLine(std::string_view line, std::string& out) {
    if (m_kind == kUnlabelled && IsUtf8WithHighBytes(line)) {
        if (!m_iconv) {
            const iconv_t toCp932 = iconv_open(kCp932, kUtf8);
            if (toCp932 == kNoIconv) {
                AppendUtf8AsPageText(out, line);
                return;
            }
            m_iconv = std::make_unique<CIconvChain>(kNoIconv, toCp932);
        }
        std::string none;
        m_iconv->Convert(none, line, out, true);
        return;
    }
    out += CMimeDecoder().DecodeJis(line);
}
