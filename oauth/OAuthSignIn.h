#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>

#include "oauth/OAuthClient.h"

// What the person signing in must be told: where to go, and for the device flow
// the code to type there.
struct COAuthPrompt {
    std::string url;
    std::string userCode;  // empty for the loopback flow: the address is all
    bool deviceFlow = false;
};

// Signing a setting in once, to get its refresh token: the device authorization
// grant (RFC 8628) when the provider has a device address, else the authorization
// code grant with PKCE and a loopback redirect (RFC 8252, RFC 7636). Blocks until
// the sign-in is done, refused, expired, cancelled or out of time.
class COAuthSignIn {
public:
    struct Result {
        bool ok = false;
        std::string refreshToken;  // when ok
        std::string error;         // when not ok: why, in words, never a token
    };
    using PromptFn = std::function<void(const COAuthPrompt&)>;

    // Each request to the provider ends within this.
    static constexpr long kRequestTimeoutMs = 30000;
    // RFC 8628 3.5: slow_down adds this to the polling interval, for good.
    static constexpr std::chrono::seconds kSlowDownStep{5};
    // A connection to the loopback listener must send its request head within this.
    static constexpr std::chrono::milliseconds kRedirectHeadTimeout{2000};

    explicit COAuthSignIn(COAuthEndpoints endpoints) : m_client(std::move(endpoints)) {}

    // limit bounds the whole sign-in (the device code's own expiry may end it sooner);
    // cancel, when given and set, ends it within a fraction of a second.
    Result Run(std::chrono::milliseconds limit, const PromptFn& prompt,
               const std::atomic<bool>* cancel = nullptr) const;

    // PKCE and state (RFC 7636 4.1, 4.2): base64url without padding.
    static std::string RandomToken(std::size_t bytes);
    static std::string CodeChallenge(const std::string& verifier);

private:
    Result RunDevice(std::chrono::steady_clock::time_point end, const PromptFn& prompt,
                     const std::atomic<bool>* cancel) const;
    Result RunLoopback(std::chrono::steady_clock::time_point end, const PromptFn& prompt,
                       const std::atomic<bool>* cancel) const;

    COAuthClient m_client;
};
