#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "gateway/AccessTokenSource.h"
#include "settings/Setting.h"
#include "settings/TokenStore.h"

// The access tokens of the settings, kept in memory until shortly before they expire
// and shared by every request of a setting. When a token is missing or stale, the
// first request to notice refreshes it with the refresh token from the store, and the
// others wait for that one refresh (each within its own deadline) instead of starting
// their own. A rotated refresh token is saved at once; a refused one (invalid_grant)
// is marked in the store, so that the setting shows that it must sign in again.
class COAuthTokens final : public CAccessTokenSource {
public:
    // settingsPath: the settings file, beside which the token store lives.
    explicit COAuthTokens(const std::string& settingsPath);

    CAccessToken AccessToken(const CSetting& setting,
                             std::chrono::steady_clock::time_point deadline,
                             std::string_view refused) override;

    // A token is given up this long before it expires (less for short-lived ones: a
    // quarter of its lifetime), so a request never starts with one about to lapse.
    static constexpr std::chrono::seconds kExpiryMargin{60};

private:
    using Clock = std::chrono::steady_clock;

    struct CEntry {
        std::mutex mutex;
        std::condition_variable refreshed;
        bool refreshing = false;
        unsigned generation = 0;  // counts finished refreshes
        std::string token;
        Clock::time_point expiry;
        CAccessToken last;  // the outcome of the last refresh, for those who waited on it
    };

    // One refresh, outside the entry's lock. expiry is set when a token comes.
    CAccessToken Refresh(const CSetting& setting, Clock::time_point deadline,
                         Clock::time_point& expiry);

    CTokenStore m_store;
    std::array<CEntry, SETTING_SLOTS> m_entries;
};
