#include "gateway/RequestRoute.h"

#include "mime/DecimalValue.h"

namespace {

constexpr std::string_view kGetPrefix = "GET /";
constexpr std::string_view kListWord = "toplist";
constexpr std::string_view kMailWord = "mail";
// The page word is the last this many bytes before the blank that precedes "HTTP".
constexpr std::size_t kPageWordLength = 7;
// "HTTP" must stand at least this far into the path: three digits and a six-byte
// page word ("mail01") at the least, plus the byte before "HTTP".
constexpr std::size_t kMinHttpPos = 10;
constexpr std::size_t kSettingTextLength = 3;
// A message number has at most as many digits as the largest int.
constexpr std::size_t kMaxMessageDigits = 10;

constexpr std::string_view kNoSuchPage = "no such page";

}  // namespace

CRequestRoute ParseRequestLine(std::string_view requestLine) {
    CRequestRoute route;
    route.refusal = kNoSuchPage;
    if (!requestLine.starts_with(kGetPrefix)) {
        return route;
    }
    const std::string_view rest = requestLine.substr(kGetPrefix.size());
    const std::size_t httpPos = rest.find("HTTP");
    if (httpPos == std::string_view::npos || httpPos < kMinHttpPos) {
        return route;
    }
    route.settingText = rest.substr(0, kSettingTextLength);
    route.settingNumber = DecimalValue(route.settingText);

    // Whatever byte stands just before "HTTP" (normally the blank) is dropped.
    const std::string_view between =
        rest.substr(kSettingTextLength, httpPos - 1 - kSettingTextLength);
    const std::size_t wordStart =
        between.size() > kPageWordLength ? between.size() - kPageWordLength : 0;
    const std::string_view pageWord = between.substr(wordStart);
    route.passText = between.substr(0, wordStart);

    if (pageWord == kListWord) {
        route.page = CRequestRoute::kList;
    } else if (pageWord.starts_with(kMailWord)) {
        route.page = CRequestRoute::kMail;
        route.messageNumber = DecimalValue(pageWord.substr(kMailWord.size()));
    } else {
        // The list links message 1000 and later with all its digits ("mail1234"), which
        // the seven-byte page word cannot hold: a mailbox kept on the server and listed
        // newest first would show nothing but such links.
        const std::size_t digits = between.find_last_not_of("0123456789") + 1;
        const std::size_t count = between.size() - digits;
        if (count > 3 && count <= kMaxMessageDigits && digits >= kMailWord.size() &&
            between.substr(digits - kMailWord.size(), kMailWord.size()) == kMailWord) {
            route.page = CRequestRoute::kMail;
            route.passText = between.substr(0, digits - kMailWord.size());
            route.messageNumber = DecimalValue(between.substr(digits));
        } else if (const std::size_t list = between.rfind(kListWord);
                   list != std::string_view::npos) {
            // A later list page: "toplist" and a number, perhaps signed, which no
            // address of the classic pages ends in.
            std::string_view number = between.substr(list + kListWord.size());
            const bool sign = number.starts_with('-');
            if (number.size() > (sign ? 1u : 0u) &&
                number.find_first_not_of("0123456789", sign ? 1 : 0) == std::string_view::npos) {
                route.page = CRequestRoute::kList;
                route.paged = true;
                route.passText = between.substr(0, list);
                route.listFrom = DecimalValue(number);
            }
        }
    }
    if (!route.Refused()) {
        route.refusal = {};
    }
    return route;
}

CRequestRoute RouteRequest(std::string_view requestLine, const CSettingTable& settings) {
    CRequestRoute route = ParseRequestLine(requestLine);
    if (route.Refused()) {
        return route;
    }
    // Any number but those of the settings in use, and a slot that was never loaded,
    // is refused without reading the table there.
    const int number = route.settingNumber;
    if (!IsSettingInUse(number)) {
        route.page = CRequestRoute::kRefused;
        route.refusal = kNoSuchPage;
        return route;
    }
    const CSetting& setting = settings[static_cast<std::size_t>(number)];
    const bool passOk = ConstantTimeEquals(setting.WEB_PASS, route.passText);
    if (!setting.IsLoaded()) {
        route.refusal = kNoSuchPage;
    } else if (!setting.ENABLE) {
        route.refusal = "disabled";
    } else if (!passOk) {
        route.refusal = "wrong password";
    } else if (route.paged && !setting.ModernPages()) {
        route.refusal = kNoSuchPage;  // the classic pages have no later list pages
    }
    if (!route.refusal.empty()) {
        route.page = CRequestRoute::kRefused;
    }
    return route;
}

bool ConstantTimeEquals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    // Every byte is looked at, whatever the first difference; volatile keeps the
    // compiler from turning the loop into an early-exit comparison.
    volatile unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        diff = diff | static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return diff == 0;
}
