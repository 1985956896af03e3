// An attachment's file name and download head over whatever a mail writes: the name
// never holds a path separator, a control byte or bytes that are not UTF-8, keeps to
// its bound and is never empty; the head is lines of printable ASCII that nothing in
// the name can end early or add to.
//
// Input: the parameters of Content-Type and Content-Disposition as written (raw,
// encoded words or RFC 2231), also tried as a decoded name.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <glib.h>

#include "fuzz/FuzzCheck.h"
#include "gateway/AttachmentHead.h"
#include "mime/MimePart.h"

namespace {

void CheckName(const std::string& name) {
    FUZZ_CHECK(!name.empty());
    FUZZ_CHECK(name.size() <= CAttachmentHead::kNameBytes);
    FUZZ_CHECK(g_utf8_validate(name.data(), static_cast<gssize>(name.size()), nullptr));
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        FUZZ_CHECK(u >= 0x20 && u != 0x7F && c != '/' && c != '\\' && c != '"');
    }
    FUZZ_CHECK(name.front() != '.' && name.front() != ' ');
}

void CheckHead(const std::string& head) {
    FUZZ_CHECK(head.find("\r\n\r\n") == head.size() - 4);
    for (std::size_t start = 0; start + 2 < head.size();) {
        const std::size_t end = head.find("\r\n", start);
        const std::string_view line = std::string_view(head).substr(start, end - start);
        for (char c : line) {
            const auto u = static_cast<unsigned char>(c);
            FUZZ_CHECK(u >= 0x20 && u < 0x7F);
        }
        start = end + 2;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = fuzz::TextOf(data, size);
    CheckName(SafeFileName(text, 7, "pdf"));
    CheckName(SafeFileName(text, 7, ""));

    CMimePart part;
    part.TakeField("Content-Type", "application/pdf; " + text);
    part.TakeField("Content-Disposition", "attachment; " + text);
    const CAttachmentHead head = CAttachmentHead::For(part, 2);
    CheckName(head.fileName);
    CheckHead(head.HttpHead());
    return 0;
}
