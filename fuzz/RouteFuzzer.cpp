// A request head from the browser, read as the intake reads it, routed and served
// against a table with two enabled settings (one with an empty public password): a
// refused request gets no byte at all, an accepted one names an enabled setting with
// exactly its password. The mail server is left unset, so an accepted request ends
// right after the page head.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "fuzz/PageServe.h"
#include "gateway/RequestHead.h"
#include "gateway/RequestRoute.h"

namespace {

const CSettingTable& Settings() {
    static const CSettingTable table = [] {
        CSettingTable t;
        fuzz::LoadDefaults(t[1], 1);
        t[1].ENABLE = true;
        t[1].WEB_PASS = "secret";
        fuzz::LoadDefaults(t[2], 2);
        t[2].ENABLE = true;
        t[2].WEB_PASS = "";
        // Never loaded, so never served, whatever it holds.
        t[3].ENABLE = true;
        t[3].WEB_PASS = "x";
        return t;
    }();
    return table;
}

// The captured "GET /" line of the head, as the intake reads it in pieces of at most
// kLineBufferSize - 1 bytes ending at LF; nothing when the head is not complete.
bool ReadHead(std::string_view bytes, std::string& line) {
    CRequestHead head;
    const std::size_t most = CRequestHead::kLineBufferSize - 1;
    while (!bytes.empty()) {
        std::size_t take = std::min(bytes.find('\n'), bytes.size() - 1) + 1;
        take = std::min(take, most);
        switch (head.Feed(bytes.substr(0, take))) {
            case CRequestHead::kMore:
                break;
            case CRequestHead::kComplete:
                line = head.RequestLine();
                return true;
            case CRequestHead::kTooLarge:
                return false;
        }
        bytes.remove_prefix(take);
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string captured;
    if (!ReadHead(std::string_view(reinterpret_cast<const char*>(data), size), captured)) {
        return 0;
    }
    FUZZ_CHECK(captured.empty() || captured.starts_with("GET /"));
    FUZZ_CHECK(captured.size() < static_cast<std::size_t>(CRequestHead::kLineBufferSize));
    // HandleRequest takes the line up to its first zero byte, as OnAccept hands it.
    const std::string_view line(captured.c_str());

    const CRequestRoute route = RouteRequest(line, Settings());
    const std::string served = fuzz::ServeRequest(Settings(), line, "");
    if (route.Refused()) {
        FUZZ_CHECK(served.empty());
        return 0;
    }
    FUZZ_CHECK(route.settingNumber == 1 || route.settingNumber == 2);
    const CSetting& setting = Settings()[static_cast<std::size_t>(route.settingNumber)];
    FUZZ_CHECK(setting.ENABLE && route.passText == setting.WEB_PASS);
    FUZZ_CHECK(line.substr(5, 3) == route.settingText);
    FUZZ_CHECK(line.substr(8).starts_with(route.passText));
    FUZZ_CHECK(line.find(route.page == CRequestRoute::kList ? "toplist" : "mail") !=
               std::string_view::npos);
    FUZZ_CHECK(served.starts_with("HTTP/1.0 200 OK\r\n") && served.ends_with("<BODY>"));
    return 0;
}
