#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "settings/Setting.h"
#include "settings/TokenStore.h"

// Shows and changes one setting from the command line, where text is UTF-8. A value
// is taken only when the settings file can hold it and read it back unchanged, and
// the window can show it: it must convert to code page 932, fit the window's length
// limit, carry no line break, and (unless it is stored scrambled) have no blank at
// either end, which the file reader would drop.
class CSettingEditor {
public:
    explicit CSettingEditor(CSetting& setting) : m_setting(setting) {}

    // The keys in the order of the settings file.
    static const std::vector<std::string_view>& Keys();
    // The same, as one text: "NAME, ENABLE, ...".
    static std::string KeyList();
    // The key as the file spells it, for any letter case; nothing for an unknown key.
    static std::optional<std::string_view> CanonicalKey(std::string_view key);
    static bool IsPasswordKey(std::string_view canonicalKey);

    // Splits "KEY=VALUE" at the first '='. False when there is no '=' or no key.
    [[nodiscard]] static bool SplitAssignment(std::string_view text, std::string_view& key,
                                              std::string_view& value);

    // Sets a key (any letter case) to a UTF-8 value. Returns the empty text when the
    // value was taken, else why it was refused; the setting is then unchanged. A
    // refusal never repeats the value of a password.
    std::string Set(std::string_view key, std::string_view utf8Value);

    // One line per key, "KEY  value", in UTF-8; passwords show only whether they are
    // set.
    static std::string Show(const CSetting& setting);
    // One line saying how MAIL_SERVER is reached: "  connects            TLS to
    // pop.example.jp port 995", plain or TLS, the host and the port it resolves to.
    static std::string ShowTransport(const CSetting& setting);
    // For a setting that signs in with OAuth, one line saying whether it is signed in
    // ("  signs in            with OAuth 2.0 (microsoft): signed in"), or must sign in
    // (again); empty for USER and PASS. Never shows a token.
    static std::string ShowSignIn(const CSetting& setting, const CStoredToken& stored);

private:
    CSetting& m_setting;
};
