// CPassCoder::Decode of any stored value stays within the value and the longest
// password; a password of any bytes comes back from its scrambled form, also after a
// pass through the settings file's reader.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "settings/IniDocument.h"
#include "settings/PassCoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    CPassCoder coder;
    const std::string decoded = coder.Decode(input);
    FUZZ_CHECK(decoded.size() <= static_cast<std::size_t>(CPassCoder::kMaxPasswordLength));

    if (size > static_cast<std::size_t>(CPassCoder::kMaxPasswordLength)) {
        return 0;
    }
    const std::string stored = coder.Encode(input);
    FUZZ_CHECK(stored.size() == static_cast<std::size_t>(CPassCoder::kEncodedLength));
    for (const char c : stored) {
        const auto u = static_cast<unsigned char>(c);
        FUZZ_CHECK(u > ' ' && u != ';' && u != '=' && u != '#' && u != '"');
    }
    FUZZ_CHECK(coder.Decode(stored) == input);

    const CIniDocument file = CIniDocument::Parse("[SETTING001]\r\nMAIL_PASS=" + stored + "\r\n");
    FUZZ_CHECK(file.GetString("SETTING001", "MAIL_PASS", "") == stored);
    FUZZ_CHECK(CPassCoder().Decode(file.GetString("SETTING001", "MAIL_PASS", "")) == input);
    return 0;
}
