#pragma once

#include <string>
#include <string_view>

// What the token store holds for one setting.
struct CStoredToken {
    std::string refreshToken;  // empty when the setting has not signed in
    // The provider refused the refresh token (revoked, expired, password changed):
    // the setting must sign in again. reason says how ("invalid_grant").
    bool mustSignInAgain = false;
    std::string reason;
};

// The OAuth refresh tokens of the settings, in a file of their own beside the
// settings file (its path followed by ".tokens"), one section per setting as in the
// settings file. Tokens are scrambled like the passwords (CPassCoder::EncodeLong), the
// file is its owner's alone (mode 0600, set again on every write), and every write
// replaces it atomically. Kept apart from the settings file because the server
// writes it while serving (a rotated token is saved at once), where the settings
// file is written only by whoever edits the settings.
//
// Writes from the threads of one process are taken one at a time.
class CTokenStore {
public:
    explicit CTokenStore(const std::string& settingsPath);

    static std::string PathFor(const std::string& settingsPath);
    const std::string& Path() const { return m_path; }

    // An absent or unreadable file, or a setting without a section, reads as not
    // signed in.
    CStoredToken Load(int settingNumber) const;
    // Keeps a new refresh token: after a sign-in, or when the provider rotated it.
    [[nodiscard]] bool Save(int settingNumber, std::string_view refreshToken);
    // Forgets the refresh token and notes that the setting must sign in again.
    [[nodiscard]] bool MarkRejected(int settingNumber, std::string_view reason);

private:
    [[nodiscard]] bool Write(int settingNumber, std::string_view refreshToken,
                             std::string_view reason);

    std::string m_path;
};
