#include "mime/Codepage.h"

#include <iconv.h>

#include "mime/IconvRun.h"
#include "mime/Sjis.h"

namespace {

// glibc's CP932 knows the vendor characters of code page 932 ("①" is 0x8740) and its
// mapping of "～" to U+FF5E, which glibc's SHIFT_JIS does not; it serves both directions.
constexpr const char* kCp932 = "CP932";
constexpr const char* kUtf8 = "UTF-8";
constexpr const char* kReplacement = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// One conversion descriptor, opened per call so that callers on any thread are safe.
class CIconv {
public:
    CIconv(const char* to, const char* from) : m_cd(iconv_open(to, from)) {}
    ~CIconv() {
        if (IsOpen()) {
            iconv_close(m_cd);
        }
    }
    CIconv(const CIconv&) = delete;
    CIconv& operator=(const CIconv&) = delete;

    bool IsOpen() const { return m_cd != reinterpret_cast<iconv_t>(-1); }

    // Converts from in onward, appending to out; see RunIconv.
    int Convert(std::string_view& in, std::string& out) { return RunIconv(m_cd, in, out); }

private:
    iconv_t m_cd;
};

std::optional<std::string> ConvertWhole(const char* to, const char* from, std::string_view in) {
    std::string out;
    if (in.empty()) {
        return out;
    }
    CIconv cd(to, from);
    if (!cd.IsOpen() || cd.Convert(in, out) != 0) {
        return std::nullopt;
    }
    return out;
}

// A second byte of a double-byte character that is not an ASCII byte.
bool IsHighTrailByte(unsigned char c) {
    return c >= 0x80 && c <= 0xFC;
}

}  // namespace

std::optional<std::string> Cp932ToUtf8(std::string_view cp932) {
    return ConvertWhole(kUtf8, kCp932, cp932);
}

std::optional<std::string> Utf8ToCp932(std::string_view utf8) {
    return ConvertWhole(kCp932, kUtf8, utf8);
}

std::string Cp932ToUtf8Lossy(std::string_view cp932) {
    std::string out;
    if (cp932.empty()) {
        return out;
    }
    CIconv cd(kUtf8, kCp932);
    if (!cd.IsOpen()) {
        // Without a converter only ASCII can be shown as it is.
        for (const char c : cp932) {
            if (static_cast<unsigned char>(c) < 0x80) {
                out.push_back(c);
            } else {
                out += kReplacement;
            }
        }
        return out;
    }
    out.reserve(cp932.size());
    while (!cp932.empty()) {
        if (cd.Convert(cp932, out) == 0) {
            break;
        }
        out += kReplacement;
        // A lead byte with a trail byte that has no character takes the pair, unless
        // the second byte is ASCII: that one is shown as itself, so that a broken
        // character never swallows a following "<" or line break.
        const bool pair = cp932.size() >= 2 &&
                          IsSjisLeadByte(static_cast<unsigned char>(cp932[0])) &&
                          IsHighTrailByte(static_cast<unsigned char>(cp932[1]));
        cp932.remove_prefix(pair ? 2 : 1);
    }
    return out;
}
