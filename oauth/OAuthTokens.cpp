#include "oauth/OAuthTokens.h"

#include <algorithm>

#include "oauth/OAuthClient.h"

namespace {

constexpr const char* kPrefix = "oauth: ";

CAccessToken Failure(const std::string& reason, const std::string& detail = {}) {
    CAccessToken result;
    result.failure = kPrefix + reason;
    result.detail = detail;
    return result;
}

}  // namespace

COAuthTokens::COAuthTokens(const std::string& settingsPath) : m_store(settingsPath) {}

CAccessToken COAuthTokens::AccessToken(const CSetting& setting, Clock::time_point deadline,
                                       std::string_view refused) {
    if (setting.number < 0 || setting.number >= SETTING_SLOTS) {
        return Failure("no such setting");
    }
    CEntry& entry = m_entries[static_cast<std::size_t>(setting.number)];
    std::unique_lock lock(entry.mutex);
    for (;;) {
        if (!entry.token.empty() && entry.token != refused && Clock::now() < entry.expiry) {
            CAccessToken result;
            result.token = entry.token;
            return result;
        }
        if (!entry.refreshing) {
            break;
        }
        // Another request is fetching a token right now: its outcome is ours too.
        const unsigned awaited = entry.generation + 1;
        if (!entry.refreshed.wait_until(lock, deadline,
                                        [&] { return entry.generation >= awaited; })) {
            return Failure("timed out waiting for the token refresh");
        }
        if (!entry.last.failure.empty() || entry.last.token != refused) {
            return entry.last;
        }
    }
    entry.refreshing = true;
    entry.token.clear();
    lock.unlock();
    Clock::time_point expiry{};
    CAccessToken result = Refresh(setting, deadline, expiry);
    lock.lock();
    entry.token = result.token;
    entry.expiry = expiry;
    entry.last = result;
    entry.refreshing = false;
    ++entry.generation;
    lock.unlock();
    entry.refreshed.notify_all();
    return result;
}

CAccessToken COAuthTokens::Refresh(const CSetting& setting, Clock::time_point deadline,
                                   Clock::time_point& expiry) {
    std::string problem;
    const auto endpoints = COAuthEndpoints::For(setting, problem);
    if (!endpoints) {
        return Failure("setting incomplete", problem);
    }
    const CStoredToken stored = m_store.Load(setting.number);
    if (stored.refreshToken.empty()) {
        return stored.mustSignInAgain
                   ? Failure(stored.reason, "the setting must sign in again")
                   : Failure("not signed in", "the setting has not signed in yet");
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
        return Failure("no time left to refresh the token");
    }
    const COAuthTokenReply reply =
        COAuthClient(*endpoints).Refresh(stored.refreshToken, left.count());
    if (reply.kind != COAuthTokenReply::kToken) {
        if (reply.error == "invalid_grant") {
            // Revoked, expired or the password changed: only a new sign-in helps.
            static_cast<void>(m_store.MarkRejected(setting.number, reply.error));
        }
        return Failure(reply.error, reply.description);
    }
    CAccessToken result;
    result.token = reply.accessToken;
    if (!reply.refreshToken.empty() && reply.refreshToken != stored.refreshToken &&
        !m_store.Save(setting.number, reply.refreshToken)) {
        result.detail = "could not save the rotated refresh token in " + m_store.Path();
    }
    const std::chrono::seconds lifetime(reply.expiresIn);
    expiry = Clock::now() + lifetime - std::min<std::chrono::seconds>(kExpiryMargin, lifetime / 4);
    return result;
}
