// The header field values of the modern pages over whatever a mail writes: every
// reading ends, keeps to its bound and gives page text that escapes whole (no cut
// character reference).
//
// Input: the raw value of a field, as CHeaderFields keeps it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "gateway/FieldText.h"
#include "gateway/HtmlEscape.h"
#include "mime/HeaderFields.h"

namespace {

// Room for ", ..." after the longest list, and for one character cut short of it.
constexpr std::size_t kListSlack = 8;
// 2024-05-01 12:00 in Japan, for the dates.
constexpr std::int64_t kNow = 1714532400;

// The bounds count a character code page 932 lacks as two bytes, the width of a wide
// character; its mark ("\0#1114111;") takes up to five times that.
constexpr std::size_t kMarkPerWidth = 5;

void CheckText(const std::string& text, std::size_t bound) {
    FUZZ_CHECK(text.size() <= kMarkPerWidth * bound);
    const std::string escaped = EscapeHtml(text);
    FUZZ_CHECK(escaped.find('\0') == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = fuzz::TextOf(data, size);
    CHeaderFields fields;
    fields.FeedLine("From: " + text + "\r\n");
    const std::string_view raw = fields.Value(CHeaderFields::kFrom);
    FUZZ_CHECK(raw.size() <= CHeaderFields::kValueKept);
    CheckText(FieldText(raw), kFieldShown);
    CheckText(SenderText(raw), kNameShown);
    CheckText(SenderWithAddressText(raw), 2 * kNameShown + 3);
    CheckText(AddressListText(raw), kFieldShown + kListSlack);
    CheckText(ShortDateText(raw, kNow), 16);
    CheckText(FullDateText(raw), 32);
    return 0;
}
