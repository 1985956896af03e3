#include "tallwynd/SettingEditor.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>

#include "gateway/MailServerAddress.h"
#include "mime/Ascii.h"
#include "mime/Codepage.h"
#include "settings/IniDocument.h"
#include "transport/Address.h"

namespace {

enum class Kind {
    Text,         // stored as it is
    Server,       // host or host:port
    Password,     // stored scrambled
    WebPassword,  // stored scrambled, and part of the page address
    Number,
    Flag,
};

struct KeyInfo {
    std::string_view key;
    Kind kind;
    int maxBytes = 0;  // text kinds: the window's limit in code page 932 bytes
    int minValue = INT_MIN;
    int maxValue = INT_MAX;
    std::string CSetting::*text = nullptr;
    int CSetting::*number = nullptr;
    bool CSetting::*flag = nullptr;
};

KeyInfo TextKey(std::string_view key, Kind kind, int maxBytes, std::string CSetting::*field) {
    KeyInfo info{key, kind};
    info.maxBytes = maxBytes;
    info.text = field;
    return info;
}

KeyInfo NumberKey(std::string_view key, int minValue, int maxValue, int CSetting::*field) {
    KeyInfo info{key, Kind::Number};
    info.minValue = minValue;
    info.maxValue = maxValue;
    info.number = field;
    return info;
}

KeyInfo FlagKey(std::string_view key, bool CSetting::*field) {
    KeyInfo info{key, Kind::Flag};
    info.flag = field;
    return info;
}

// In the order of the settings file.
const std::vector<KeyInfo>& KeyTable() {
    static const std::vector<KeyInfo> table = {
        TextKey("NAME", Kind::Text, static_cast<int>(CIniDocument::kMaxValueLength),
                &CSetting::NAME),
        FlagKey("ENABLE", &CSetting::ENABLE),
        NumberKey("FILTER_TYPE", 0, 2, &CSetting::FILTER_TYPE),
        TextKey("FILTER1", Kind::Text, CSetting::kFilterBytes, &CSetting::FILTER1),
        TextKey("FILTER2", Kind::Text, CSetting::kFilterBytes, &CSetting::FILTER2),
        TextKey("WEB_PASS", Kind::WebPassword, CSetting::kPasswordBytes, &CSetting::WEB_PASS),
        TextKey("MAIL_SERVER", Kind::Server, CSetting::kServerBytes, &CSetting::MAIL_SERVER),
        TextKey("MAIL_ACCOUNT", Kind::Text, CSetting::kServerBytes, &CSetting::MAIL_ACCOUNT),
        TextKey("MAIL_PASS", Kind::Password, CSetting::kPasswordBytes, &CSetting::MAIL_PASS),
        FlagKey("MAIL_LIMIT_ENABLE", &CSetting::MAIL_LIMIT_ENABLE),
        NumberKey("MAIL_LIMIT_BYTE", INT_MIN, INT_MAX, &CSetting::MAIL_LIMIT_BYTE),
        FlagKey("MAIL_LIMIT_ENABLE2", &CSetting::MAIL_LIMIT_ENABLE2),
        NumberKey("MAIL_LIMIT_BYTE2", INT_MIN, INT_MAX, &CSetting::MAIL_LIMIT_BYTE2),
        NumberKey("MAIL_LIST_COUNT", 0, CSetting::kMaxListCount, &CSetting::MAIL_LIST_COUNT),
        NumberKey("MAIL_LIST_ORDER", CSetting::kListOldestFirst, CSetting::kListNewestFirst,
                  &CSetting::MAIL_LIST_ORDER),
        NumberKey("MAIL_PAGE_STYLE", CSetting::kPageClassic, CSetting::kPageModern,
                  &CSetting::MAIL_PAGE_STYLE),
    };
    return table;
}

const KeyInfo* FindKey(std::string_view key) {
    const auto& table = KeyTable();
    auto it = std::find_if(table.begin(), table.end(),
                           [key](const KeyInfo& info) { return EqualsNoCase(key, info.key); });
    return it == table.end() ? nullptr : &*it;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// Strict: an optional sign and digits only, within the int range.
std::optional<int> ParseInt(std::string_view text) {
    std::string_view digits = text;
    if (!digits.empty() && digits.front() == '+') {
        digits.remove_prefix(1);
        if (!digits.empty() && digits.front() == '-') {
            return std::nullopt;
        }
    }
    int value = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    return value;
}

// Characters a browser sends unchanged in a path: unreserved and sub-delimiters,
// ':' and '@' (RFC 3986 pchar without percent-escapes). Anything else would be
// escaped or normalised on the way and the address would never match.
bool IsPathSafe(char c) {
    if (std::isalnum(static_cast<unsigned char>(c))) {
        return true;
    }
    return std::string_view("-._~!$&'()*+,;=:@").find(c) != std::string_view::npos;
}

std::string Quoted(std::string_view utf8) {
    std::string quoted(1, '"');
    quoted.append(utf8);
    quoted += '"';
    return quoted;
}

// A field's value for display, UTF-8; passwords only say whether they are set.
std::string DisplayValue(const CSetting& setting, const KeyInfo& info) {
    switch (info.kind) {
        case Kind::Flag:
            return std::string(1, setting.*info.flag ? '1' : '0');
        case Kind::Number:
            return std::to_string(setting.*info.number);
        case Kind::Password:
        case Kind::WebPassword:
            return std::string((setting.*info.text).empty() ? "(empty)" : "(set)");
        default:
            return Cp932ToUtf8Lossy(setting.*info.text);
    }
}

std::string CheckServer(std::string_view value) {
    if (std::any_of(value.begin(), value.end(), [](char c) { return IsBlank(c); })) {
        return "a server name has no blanks";
    }
    if (value.empty() || ParseMailServer(value)) {
        return {};
    }
    return "give " + std::string(kMailServerForms) + ", with a port from 1 to " +
           std::to_string(kMaxPort);
}

std::string CheckWebPassword(std::string_view value) {
    if (!std::all_of(value.begin(), value.end(), IsPathSafe)) {
        return "the public password is part of the page address: use only letters, digits "
               "and - . _ ~ ! $ & ' ( ) * + , ; = : @";
    }
    if (value.find("HTTP") != std::string_view::npos) {
        return "the public password must not contain HTTP (it would end the address early)";
    }
    return {};
}

}  // namespace

const std::vector<std::string_view>& CSettingEditor::Keys() {
    static const std::vector<std::string_view> keys = [] {
        std::vector<std::string_view> list;
        for (const auto& info : KeyTable()) {
            list.push_back(info.key);
        }
        return list;
    }();
    return keys;
}

std::string CSettingEditor::KeyList() {
    std::string list;
    for (auto key : Keys()) {
        list += (list.empty() ? "" : ", ") + std::string(key);
    }
    return list;
}

std::optional<std::string_view> CSettingEditor::CanonicalKey(std::string_view key) {
    const KeyInfo* info = FindKey(key);
    if (info == nullptr) {
        return std::nullopt;
    }
    return info->key;
}

bool CSettingEditor::IsPasswordKey(std::string_view canonicalKey) {
    const KeyInfo* info = FindKey(canonicalKey);
    return info != nullptr && (info->kind == Kind::Password || info->kind == Kind::WebPassword);
}

bool CSettingEditor::SplitAssignment(std::string_view text, std::string_view& key,
                                     std::string_view& value) {
    auto equals = text.find('=');
    if (equals == std::string_view::npos || equals == 0) {
        return false;
    }
    key = text.substr(0, equals);
    value = text.substr(equals + 1);
    return true;
}

std::string CSettingEditor::Set(std::string_view key, std::string_view utf8Value) {
    const KeyInfo* info = FindKey(key);
    if (info == nullptr) {
        return "unknown key " + Quoted(key) + " (keys: " + KeyList() + ")";
    }
    const std::string name(info->key);
    const bool secret = info->kind == Kind::Password || info->kind == Kind::WebPassword;
    const std::string shown = secret ? std::string("the password") : Quoted(utf8Value);

    switch (info->kind) {
        case Kind::Flag:
            if (utf8Value != "0" && utf8Value != "1") {
                return name + ": " + shown + " is not 0 or 1";
            }
            m_setting.*info->flag = utf8Value == "1";
            return {};
        case Kind::Number: {
            auto number = ParseInt(utf8Value);
            if (!number) {
                return name + ": " + shown + " is not a whole number";
            }
            if (*number < info->minValue || *number > info->maxValue) {
                return name + ": " + shown + " is not from " + std::to_string(info->minValue) +
                       " to " + std::to_string(info->maxValue);
            }
            m_setting.*info->number = *number;
            return {};
        }
        default:
            break;
    }

    if (utf8Value.find_first_of("\r\n") != std::string_view::npos) {
        return name + ": a value cannot contain a line break";
    }
    auto cp932 = Utf8ToCp932(utf8Value);
    if (!cp932) {
        return name + ": " + shown + " cannot be written in code page 932 (Shift_JIS)";
    }
    if (static_cast<int>(cp932->size()) > info->maxBytes) {
        return name + ": " + shown + " is longer than " + std::to_string(info->maxBytes) +
               " bytes in code page 932";
    }
    std::string problem;
    if (info->kind == Kind::Server) {
        problem = CheckServer(*cp932);
    } else if (info->kind == Kind::WebPassword) {
        problem = CheckWebPassword(*cp932);
    }
    if (!problem.empty()) {
        return name + ": " + problem;
    }
    m_setting.*info->text = std::move(*cp932);
    return {};
}

std::string CSettingEditor::ShowTransport(const CSetting& setting) {
    return "  connects            " + Cp932ToUtf8Lossy(DescribeMailServer(setting.MAIL_SERVER)) +
           "\n";
}

std::string CSettingEditor::Show(const CSetting& setting) {
    std::string out;
    for (const auto& info : KeyTable()) {
        std::string value = DisplayValue(setting, info);
        std::string key(info.key);
        if (!value.empty()) {
            key.resize(std::max<std::size_t>(key.size() + 2, 20), ' ');
        }
        out += "  " + key + value + "\n";
    }
    return out;
}
