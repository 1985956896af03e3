// HTML to text over any document, fed in pieces: what comes out is page text made of
// whole lines, and no larger than the input can account for.
//
// Input: one byte giving the piece size, then the document as page text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "mime/HtmlText.h"
#include "mime/PageText.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t piece = data[0] % 64 + 1;
    const std::string document = fuzz::TextOf(data + 1, size - 1);
    std::string text;
    {
        CHtmlText html;
        for (std::size_t pos = 0; pos < document.size(); pos += piece) {
            html.Feed(std::string_view(document).substr(pos, piece), text);
        }
        html.Finish(text);
    }
    FUZZ_CHECK(text.empty() || text.ends_with("\r\n"));
    // Zero bytes only as marks of characters code page 932 lacks: "\0#<decimal>;".
    for (std::size_t at = text.find(kForeignMark); at != std::string::npos;
         at = text.find(kForeignMark, at + 1)) {
        const std::size_t length = ForeignMarkLength(text, at);
        FUZZ_CHECK(length >= 4 && text[at + 1] == '#' && text[at + length - 1] == ';');
        FUZZ_CHECK(text.find_first_not_of("0123456789", at + 2) == at + length - 1);
    }
    // A link's address is shown at most once more than the document writes it; a
    // broken byte becomes the two bytes of "〓"; each character may need a mark.
    FUZZ_CHECK(text.size() <= 16 * document.size() + 16);
    return 0;
}
