// DecodeJis against a byte-by-byte reading of its rules: same result for every input,
// never a zero byte, never more than kDecodeLimit bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "mime/MimeDecoder.h"

namespace {

bool IsJisByte(unsigned char c) {
    return c >= 0x21 && c <= 0x7E;
}

// Appends whole units only; false (and nothing appended) when the unit does not fit.
bool Put(std::string& out, std::string_view unit) {
    if (out.size() + unit.size() > kDecodeLimit) {
        return false;
    }
    out.append(unit);
    return true;
}

std::string ReferenceDecodeJis(std::string_view text) {
    std::string out;
    bool twoByte = false;
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == 0x1B && i + 2 < n && text[i + 2] == 'B' && text[i + 1] == '$') {
            twoByte = true;
            i += 3;
        } else if (c == 0x1B && i + 2 < n && text[i + 2] == 'B' && text[i + 1] == '(') {
            twoByte = false;
            i += 3;
        } else if (twoByte && IsJisByte(c)) {
            if (i + 1 >= n || !IsJisByte(static_cast<unsigned char>(text[i + 1]))) {
                break;  // no second byte, or a pair without conversion: zero bytes end it
            }
            const unsigned j1 = c;
            const unsigned j2 = static_cast<unsigned char>(text[i + 1]);
            unsigned s1 = (j1 - 0x21) / 2 + 0x81;
            if (s1 > 0x9F) {
                s1 += 0x40;
            }
            const unsigned s2 = (j1 % 2 == 1) ? (j2 <= 0x5F ? j2 + 0x1F : j2 + 0x20) : j2 + 0x7E;
            const char pair[2] = {static_cast<char>(s1), static_cast<char>(s2)};
            if (!Put(out, std::string_view(pair, 2))) {
                break;
            }
            i += 2;
        } else if (c == 0x0A && (i == 0 || text[i - 1] != '\r')) {
            if (!Put(out, "\r\n")) {
                break;
            }
            ++i;
        } else if (c == 0) {
            break;
        } else {
            if (!Put(out, text.substr(i, 1))) {
                break;
            }
            ++i;
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = fuzz::TextOf(data, size);
    const CMimeDecoder decoder;
    const std::string result = decoder.DecodeJis(text);
    FUZZ_CHECK(result.size() <= kDecodeLimit);
    FUZZ_CHECK(result.find('\0') == std::string::npos);
    FUZZ_CHECK(result == ReferenceDecodeJis(text));
    return 0;
}
