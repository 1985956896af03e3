// The INI reader over arbitrary bytes: the text survives a parse unchanged, reads are
// bounded, and a Set is read back as written without disturbing any other key.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "settings/IniDocument.h"

namespace {

bool EqualsNoCase(std::string_view a, std::string_view b) {
    const auto lower = [](char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return lower(x) == lower(y); });
}

std::optional<std::string> Copy(std::optional<std::string_view> value) {
    return value ? std::optional<std::string>(std::string(*value)) : std::nullopt;
}

void CheckRead(const CIniDocument& document, std::string_view section, std::string_view key) {
    const auto value = document.Find(section, key);
    const std::string read = document.GetString(section, key, "\x01");
    if (!value) {
        FUZZ_CHECK(read == "\x01");
        return;
    }
    FUZZ_CHECK(value->find('\n') == std::string_view::npos);
    FUZZ_CHECK(read == value->substr(0, CIniDocument::kMaxValueLength));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider provider(data, size);
    const std::string section = provider.ConsumeRandomLengthString(32);
    const std::string key = provider.ConsumeRandomLengthString(32);
    const std::string value = provider.ConsumeRandomLengthString(300);
    const std::string otherSection = provider.ConsumeRandomLengthString(32);
    const std::string otherKey = provider.ConsumeRandomLengthString(32);
    const std::string text = provider.ConsumeRemainingBytesAsString();

    CIniDocument document = CIniDocument::Parse(text);
    FUZZ_CHECK(document.Serialize() == text);
    CheckRead(document, section, key);
    CheckRead(document, otherSection, otherKey);
    const auto otherBefore = Copy(document.Find(otherSection, otherKey));

    const bool writable = CIniDocument::IsValidSection(section) && CIniDocument::IsValidKey(key) &&
                          CIniDocument::IsValidValue(value);
    const bool set = document.Set(section, key, value);
    FUZZ_CHECK(set == writable);
    if (!set) {
        FUZZ_CHECK(document.Serialize() == text);
        return 0;
    }
    const CIniDocument reread = CIniDocument::Parse(document.Serialize());
    FUZZ_CHECK(reread.Find(section, key) == std::optional<std::string_view>(value));
    CheckRead(reread, otherSection, otherKey);
    if (!(EqualsNoCase(section, otherSection) && EqualsNoCase(key, otherKey))) {
        FUZZ_CHECK(Copy(reread.Find(otherSection, otherKey)) == otherBefore);
    }
    return 0;
}
