#include "gateway/RequestRoute.h"

#include <algorithm>

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

constexpr std::string_view kDigits = "0123456789";
// The bytes a token may be written with in an address: those of a URL that need no
// escaping, but for the two that separate it from its neighbours.
constexpr std::string_view kTokenBytes =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_";
// Longer tokens are no address of ours.
constexpr std::size_t kMaxTokenBytes = 64;
constexpr std::size_t kMaxPartDigits = 10;

// Takes the run of digits at the front of text; false when there is none or it is
// longer than maxDigits.
bool TakeNumber(std::string_view& text, std::size_t maxDigits, int& number) {
    const std::size_t end = std::min(text.find_first_not_of(kDigits), text.size());
    if (end == 0 || end > maxDigits) {
        return false;
    }
    number = DecimalValue(text.substr(0, end));
    text.remove_prefix(end);
    return true;
}

// "mail" + MMM + ["." + token] + ["-" + part] at the end of between, with the password
// before it: the modern pages' links to a message by its token, and to its parts. The
// password may hold "mail" itself, so each occurrence is tried from the last.
void ParseModernMail(std::string_view between, CRequestRoute& route) {
    for (std::size_t at = between.rfind(kMailWord); at != std::string_view::npos;
         at = at == 0 ? std::string_view::npos : between.rfind(kMailWord, at - 1)) {
        std::string_view rest = between.substr(at + kMailWord.size());
        int number = 0;
        if (!TakeNumber(rest, kMaxMessageDigits, number)) {
            continue;
        }
        std::string_view token;
        const bool hasToken = rest.starts_with('.');
        if (hasToken) {
            rest.remove_prefix(1);
            token = rest.substr(0, std::min(rest.find_first_not_of(kTokenBytes), rest.size()));
            rest.remove_prefix(token.size());
            if (token.size() > kMaxTokenBytes) {
                continue;
            }
        }
        int part = 0;
        const bool hasPart = rest.starts_with('-');
        if (hasPart) {
            rest.remove_prefix(1);
            if (!TakeNumber(rest, kMaxPartDigits, part)) {
                continue;
            }
        }
        if (!rest.empty() || (!hasToken && !hasPart)) {
            continue;
        }
        route.page = hasPart ? CRequestRoute::kAttachment : CRequestRoute::kMail;
        route.passText = between.substr(0, at);
        route.messageNumber = number;
        route.hasToken = hasToken;
        route.token = token;
        route.part = part;
        return;
    }
}

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
    if (route.Refused()) {
        // Only once every classic reading has refused: those addresses keep their pages.
        ParseModernMail(between, route);
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
    } else if (route.ModernOnly() && !setting.ModernPages()) {
        route.refusal = kNoSuchPage;  // the classic pages have no such addresses
    } else if (route.page == CRequestRoute::kAttachment && route.part <= 0) {
        route.refusal = kNoSuchPage;  // parts count from 1
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
