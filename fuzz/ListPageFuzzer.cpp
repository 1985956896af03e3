// The list page over whatever a mail server answers: every row is a link to one of the
// setting's messages, in rising order, with its subject escaped so that it cannot run
// as markup, never longer than the subject kept and cut to MAIL_LIMIT_BYTE2; never more
// rows than MAIL_LIST_COUNT.
//
// Input: FILTER1 and FILTER2 (FuzzedDataProvider strings), the mail server's byte
// stream, and four bytes at the end for FILTER_TYPE, MAIL_LIMIT_ENABLE2,
// MAIL_LIMIT_BYTE2 and MAIL_LIST_COUNT.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "fuzz/PageServe.h"
#include "gateway/ListPage.h"

namespace {

constexpr std::string_view kRowStart = "<A HREF='001secretmail";
constexpr std::string_view kRowTail = " </A><BR>";

// The length of text once its character references are read back.
std::size_t UnescapedLength(std::string_view text) {
    std::size_t length = 0;
    for (std::size_t i = 0; i < text.size(); ++i, ++length) {
        if (text[i] == '&') {
            const std::size_t semicolon = text.find(';', i);
            FUZZ_CHECK(semicolon != std::string_view::npos);
            i = semicolon;
        }
    }
    return length;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider provider(data, size);
    CSettingTable settings;
    CSetting& setting = fuzz::ServedSetting(settings);
    setting.FILTER_TYPE = provider.ConsumeIntegralInRange(-1, 3);
    setting.MAIL_LIMIT_ENABLE2 = provider.ConsumeBool();
    setting.MAIL_LIMIT_BYTE2 = provider.ConsumeIntegralInRange(-2, 100);
    setting.MAIL_LIST_COUNT = provider.ConsumeIntegralInRange(-1, 25);
    setting.FILTER1 = provider.ConsumeRandomLengthString(64);
    setting.FILTER2 = provider.ConsumeRandomLengthString(64);
    const std::string stream = fuzz::ExpandLongLines(provider.ConsumeRemainingBytesAsString());

    const std::string served =
        fuzz::ServeRequest(settings, "GET /001secrettoplist HTTP/1.1\r\n", stream);
    std::string_view body = fuzz::PageBody(served);

    int rows = 0;
    int lastNumber = 0;
    while (body.starts_with(kRowStart)) {
        body.remove_prefix(kRowStart.size());
        const std::size_t close = body.find("'>");
        FUZZ_CHECK(close != std::string_view::npos && close >= 3);
        const std::string number(body.substr(0, close));
        FUZZ_CHECK(number.find_first_not_of("0123456789") == std::string::npos);
        FUZZ_CHECK(std::stoi(number) > lastNumber);
        lastNumber = std::stoi(number);
        body.remove_prefix(close + 2);

        const std::size_t tail = body.find(kRowTail);
        FUZZ_CHECK(tail != std::string_view::npos);
        const std::string_view subject = body.substr(0, tail);
        FUZZ_CHECK(subject.find_first_of("<>'\"") == std::string_view::npos);
        FUZZ_CHECK(UnescapedLength(subject) <= CListPage::kSubjectKept);
        if (setting.MAIL_LIMIT_ENABLE2) {
            FUZZ_CHECK(UnescapedLength(subject) <=
                       static_cast<std::size_t>(std::max(setting.MAIL_LIMIT_BYTE2, 0)));
        }
        body.remove_prefix(tail + kRowTail.size());
        ++rows;
    }
    FUZZ_CHECK(rows <= std::max(setting.MAIL_LIST_COUNT, 0));
    FUZZ_CHECK(body.empty() || (rows == 0 && body == CListPage::kEmptyText));
    return 0;
}
