// ContainsAnyKeyword against a walk over every character start of the text for every
// keyword of the list (the text is page text: a zero byte begins a mark).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "mime/Keyword.h"
#include "mime/Sjis.h"

namespace {

bool OccursAtSomeCharacterStart(std::string_view text, std::string_view keyword) {
    std::size_t pos = 0;
    for (;;) {
        if (text.substr(pos, keyword.size()) == keyword) {
            return true;
        }
        if (pos == text.size()) {
            return false;
        }
        if (text[pos] == '\0') {
            // The mark of a character code page 932 lacks ("\0#233;") is one character.
            const std::size_t semicolon = text.find(';', pos);
            pos = semicolon == std::string_view::npos ? text.size() : semicolon + 1;
            continue;
        }
        const bool pair =
            IsSjisLeadByte(static_cast<unsigned char>(text[pos])) && pos + 1 < text.size();
        pos += pair ? 2 : 1;
    }
}

bool ReferenceContainsAnyKeyword(std::string_view keywords, std::string_view text) {
    std::size_t from = 0;
    for (;;) {
        const std::size_t comma = keywords.find(',', from);
        const std::size_t end = comma == std::string_view::npos ? keywords.size() : comma;
        if (OccursAtSomeCharacterStart(text, keywords.substr(from, end - from))) {
            return true;
        }
        if (comma == std::string_view::npos) {
            return false;
        }
        from = comma + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider provider(data, size);
    const std::string keywords = provider.ConsumeRandomLengthString(256);
    const std::string text = provider.ConsumeRemainingBytesAsString();
    FUZZ_CHECK(ContainsAnyKeyword(keywords, text) == ReferenceContainsAnyKeyword(keywords, text));
    return 0;
}
