#include "settings/Setting.h"

#include <cstdio>
#include <string_view>
#include <utility>
#include <vector>

#include "mime/DecimalValue.h"
#include "settings/IniDocument.h"
#include "settings/PassCoder.h"
#include "settings/Profile.h"

namespace {

// "新しい設定%03d" (new setting NNN), the name of a setting the file does not name.
constexpr const char* kDefaultNameFormat = "\x90\x56\x82\xB5\x82\xA2\x90\xDD\x92\xE8%03d";

std::string Formatted(const char* format, int number) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, number);
    return buffer;
}

// A flag is on only when its number is exactly 1: "01" and "1abc" are on, "2" is off.
bool FlagValue(std::string_view text) {
    return DecimalValue(text) == 1;
}

}  // namespace

std::string CSetting::SectionName(int settingNumber) {
    return Formatted("SETTING%03d", settingNumber);
}

void CSetting::Load(const CProfile& profile, int settingNumber) {
    number = settingNumber;
    const std::string section = SectionName(number);
    // One read of the file for all sixteen keys; each key gets its own default.
    const CIniDocument file = profile.ReadDocument();
    auto get = [&](std::string_view key, std::string_view defaultValue) {
        return file.GetString(section, key, defaultValue);
    };

    NAME = get("NAME", Formatted(kDefaultNameFormat, number));
    ENABLE = FlagValue(get("ENABLE", "0"));
    FILTER_TYPE = DecimalValue(get("FILTER_TYPE", "0"));
    FILTER1 = get("FILTER1", "");
    FILTER2 = get("FILTER2", "");

    const CPassCoder coder;
    WEB_PASS = coder.Decode(get("WEB_PASS", ""));
    MAIL_SERVER = get("MAIL_SERVER", "");
    MAIL_ACCOUNT = get("MAIL_ACCOUNT", "");
    MAIL_PASS = coder.Decode(get("MAIL_PASS", ""));

    MAIL_LIMIT_ENABLE = FlagValue(get("MAIL_LIMIT_ENABLE", "0"));
    MAIL_LIMIT_BYTE = DecimalValue(get("MAIL_LIMIT_BYTE", "1000"));
    MAIL_LIMIT_ENABLE2 = FlagValue(get("MAIL_LIMIT_ENABLE2", "0"));
    MAIL_LIMIT_BYTE2 = DecimalValue(get("MAIL_LIMIT_BYTE2", "80"));
    MAIL_LIST_COUNT = DecimalValue(get("MAIL_LIST_COUNT", "5"));
    // Files from before the key existed list the oldest first, as they always did.
    MAIL_LIST_ORDER = DecimalValue(get("MAIL_LIST_ORDER", "0"));
    // Files from before the page style existed keep the classic pages.
    MAIL_PAGE_STYLE = DecimalValue(get("MAIL_PAGE_STYLE", "0"));

    m_loaded = true;
}

bool CSetting::Save(CProfile& profile) const {
    CPassCoder coder;
    // Save order; a new section gets its keys in this order.
    std::vector<std::pair<std::string, std::string>> entries;
    entries.reserve(16);
    entries.emplace_back("NAME", NAME);
    entries.emplace_back("ENABLE", std::to_string(ENABLE ? 1 : 0));
    entries.emplace_back("FILTER_TYPE", std::to_string(FILTER_TYPE));
    entries.emplace_back("FILTER1", FILTER1);
    entries.emplace_back("FILTER2", FILTER2);
    entries.emplace_back("WEB_PASS", coder.Encode(WEB_PASS));
    entries.emplace_back("MAIL_SERVER", MAIL_SERVER);
    entries.emplace_back("MAIL_ACCOUNT", MAIL_ACCOUNT);
    entries.emplace_back("MAIL_PASS", coder.Encode(MAIL_PASS));
    entries.emplace_back("MAIL_LIMIT_ENABLE", std::to_string(MAIL_LIMIT_ENABLE ? 1 : 0));
    entries.emplace_back("MAIL_LIMIT_BYTE", std::to_string(MAIL_LIMIT_BYTE));
    entries.emplace_back("MAIL_LIMIT_ENABLE2", std::to_string(MAIL_LIMIT_ENABLE2 ? 1 : 0));
    entries.emplace_back("MAIL_LIMIT_BYTE2", std::to_string(MAIL_LIMIT_BYTE2));
    entries.emplace_back("MAIL_LIST_COUNT", std::to_string(MAIL_LIST_COUNT));
    entries.emplace_back("MAIL_LIST_ORDER", std::to_string(MAIL_LIST_ORDER));
    entries.emplace_back("MAIL_PAGE_STYLE", std::to_string(MAIL_PAGE_STYLE));
    return profile.WriteIniSection(SectionName(number), entries);
}
