// The single-mail page over whatever a mail server answers: the text shown holds no
// markup but its "<BR>" line breaks, no zero byte, and stays under MAIL_LIMIT_BYTE.
//
// Input: the mail server's byte stream, and at its end three bytes for the message
// number, MAIL_LIMIT_ENABLE and MAIL_LIMIT_BYTE (in steps of 8 bytes).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "fuzz/PageServe.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider provider(data, size);
    CSettingTable settings;
    CSetting& setting = fuzz::ServedSetting(settings);
    const int message = provider.ConsumeIntegralInRange(0, 30);
    setting.MAIL_LIMIT_ENABLE = provider.ConsumeBool();
    setting.MAIL_LIMIT_BYTE = 8 * provider.ConsumeIntegralInRange(-1, 250);
    const std::string stream = fuzz::ExpandLongLines(provider.ConsumeRemainingBytesAsString());

    char request[64];
    std::snprintf(request, sizeof request, "GET /001secretmail%03d HTTP/1.1\r\n", message);
    const std::string served = fuzz::ServeRequest(settings, request, stream);
    std::string body(fuzz::PageBody(served));
    if (setting.MAIL_LIMIT_ENABLE) {
        FUZZ_CHECK(body.empty() || body.size() < static_cast<std::size_t>(setting.MAIL_LIMIT_BYTE));
    }
    FUZZ_CHECK(body.find('\0') == std::string::npos);
    for (std::size_t at = body.find("<BR>"); at != std::string::npos; at = body.find("<BR>", at)) {
        body.erase(at, 4);
    }
    FUZZ_CHECK(body.find_first_of("<>'\"") == std::string::npos);
    return 0;
}
