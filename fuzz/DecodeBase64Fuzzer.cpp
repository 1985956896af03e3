// DecodeBase64 against a group-by-group reading of its rules, and Base64Value against
// the alphabet.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "mime/MimeDecoder.h"

namespace {

int ReferenceValue(unsigned char c) {
    constexpr std::string_view kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const std::size_t at = kAlphabet.find(static_cast<char>(c));
    return at == std::string_view::npos ? 0 : static_cast<int>(at);
}

std::string ReferenceDecodeBase64(std::string_view text) {
    std::string out;
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n; i += 4) {
        unsigned v[4];
        for (std::size_t k = 0; k < 4; ++k) {
            v[k] = i + k < n ? ReferenceValue(static_cast<unsigned char>(text[i + k])) : 0;
        }
        const unsigned bytes[3] = {(v[0] * 4 + v[1] / 16) % 256, (v[1] * 16 + v[2] / 4) % 256,
                                   (v[2] * 64 + v[3]) % 256};
        for (unsigned b : bytes) {
            if (b == 0 || out.size() == kDecodeLimit) {
                return out;
            }
            out.push_back(static_cast<char>(b));
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = fuzz::TextOf(data, size);
    const CMimeDecoder decoder;
    const std::string result = decoder.DecodeBase64(text);
    FUZZ_CHECK(result.size() <= kDecodeLimit);
    FUZZ_CHECK(result.find('\0') == std::string::npos);
    FUZZ_CHECK(result == ReferenceDecodeBase64(text));
    if (size > 0) {
        FUZZ_CHECK(CMimeDecoder::Base64Value(data[0]) == ReferenceValue(data[0]));
    }
    return 0;
}
