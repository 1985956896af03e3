// The part walk of CMimeReader over any message: leaf parts begin and end in pairs,
// never nest deeper than kMaxDepth, and each body line handed on is a line of the
// message, in order.
//
// Input: the message; its lines end at LF.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "mime/MimeReader.h"

namespace {

class CChecker : public CMimeReader::CListener {
public:
    std::string_view expected;  // the line being fed
    bool open = false;
    bool lineTaken = false;

    void OnPartBegin(const CMimePart& part) override {
        FUZZ_CHECK(!open);
        FUZZ_CHECK(part.depth >= 0 && part.depth <= CMimeReader::kMaxDepth);
        FUZZ_CHECK(!part.type.empty() && !part.subtype.empty());
        open = true;
    }
    void OnPartLine(std::string_view line) override {
        FUZZ_CHECK(open && !lineTaken);
        FUZZ_CHECK(line == expected);
        lineTaken = true;
    }
    void OnPartEnd() override {
        FUZZ_CHECK(open);
        open = false;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string message = fuzz::TextOf(data, size);
    CChecker checker;
    CMimeReader reader(checker);
    for (std::size_t pos = 0; pos < message.size();) {
        std::size_t end = message.find('\n', pos);
        end = end == std::string::npos ? message.size() : end + 1;
        checker.expected = std::string_view(message).substr(pos, end - pos);
        checker.lineTaken = false;
        reader.FeedLine(checker.expected);
        pos = end;
    }
    reader.Finish();
    FUZZ_CHECK(!checker.open);
    return 0;
}
