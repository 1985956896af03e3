// A part's header fields as CMimePart takes them (GMime's RFC 2045/2231 parsing
// behind): never a crash, and what comes out is what the page relies on.
//
// Input: one byte choosing the field, then its value.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "mime/MimePart.h"

namespace {

constexpr std::string_view kNames[] = {"Content-Type", "content-TYPE", "Content-Transfer-Encoding",
                                       "Content-Disposition", "Subject"};

bool HasUpperCase(std::string_view text) {
    return text.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ") != std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string_view name = kNames[data[0] % std::size(kNames)];
    const std::string value = fuzz::TextOf(data + 1, size - 1);
    CMimePart part;
    part.TakeField(name, value);
    FUZZ_CHECK(!HasUpperCase(part.type) && !HasUpperCase(part.subtype));
    FUZZ_CHECK(part.encoding == CMimePart::kIdentity || part.encoding == CMimePart::kBase64 ||
               part.encoding == CMimePart::kQuotedPrintable);
    if (value.find('/') == std::string::npos) {
        // Without a subtype the part stays the default text/plain.
        FUZZ_CHECK(part.Is("text", "plain") && part.boundary.empty());
    }
    // A second field of the same kind replaces the first without trouble.
    part.TakeField(name, value);
    return 0;
}
