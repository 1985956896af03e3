#include "settings/TokenStore.h"

#include <sys/stat.h>

#include <mutex>
#include <utility>
#include <vector>

#include "settings/PassCoder.h"
#include "settings/Profile.h"
#include "settings/Setting.h"

namespace {

constexpr const char* kTokenKey = "REFRESH_TOKEN";
constexpr const char* kReasonKey = "SIGN_IN_AGAIN";
constexpr mode_t kOwnerOnly = S_IRUSR | S_IWUSR;

// One temporary file per process (CProfile::TemporaryPath): two writers at once
// would write into the same one.
std::mutex& WriteMutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace

CTokenStore::CTokenStore(const std::string& settingsPath) : m_path(PathFor(settingsPath)) {}

std::string CTokenStore::PathFor(const std::string& settingsPath) {
    return settingsPath + ".tokens";
}

CStoredToken CTokenStore::Load(int settingNumber) const {
    const CIniDocument file = CProfile(m_path).ReadDocument();
    const std::string section = CSetting::SectionName(settingNumber);
    CStoredToken stored;
    stored.refreshToken = CPassCoder().DecodeLong(file.Find(section, kTokenKey).value_or(""));
    stored.reason = file.GetString(section, kReasonKey, "");
    stored.mustSignInAgain = !stored.reason.empty();
    return stored;
}

bool CTokenStore::Save(int settingNumber, std::string_view refreshToken) {
    return Write(settingNumber, refreshToken, "");
}

bool CTokenStore::MarkRejected(int settingNumber, std::string_view reason) {
    return Write(settingNumber, "", reason.empty() ? std::string_view("rejected") : reason);
}

bool CTokenStore::Write(int settingNumber, std::string_view refreshToken, std::string_view reason) {
    CPassCoder coder;
    const std::vector<std::pair<std::string, std::string>> entries = {
        {kTokenKey, refreshToken.empty() ? std::string() : coder.EncodeLong(refreshToken)},
        {kReasonKey, std::string(reason)},
    };
    const std::lock_guard lock(WriteMutex());
    CProfile file(m_path);
    if (!file.WriteIniSection(CSetting::SectionName(settingNumber), entries)) {
        return false;
    }
    // A file that was made readable by others is taken back: it holds the tokens.
    chmod(m_path.c_str(), kOwnerOnly);
    return true;
}
