#pragma once

#include <string>
#include <string_view>

#include "oauth/OAuthEndpoints.h"
#include "oauth/OAuthHttp.h"
#include "oauth/OAuthReply.h"

// The requests a client makes of a provider's endpoints: the device authorization
// request and its polls (RFC 8628), the authorization code exchange with PKCE (RFC
// 6749 4.1, RFC 7636) and the refresh (RFC 6749 6). Each is one bounded POST. A
// transport failure is an error reply like a refusal, its reason saying what failed.
class COAuthClient {
public:
    explicit COAuthClient(COAuthEndpoints endpoints) : m_endpoints(std::move(endpoints)) {}

    const COAuthEndpoints& Endpoints() const { return m_endpoints; }

    COAuthDeviceReply RequestDeviceCode(long timeoutMs) const;
    COAuthTokenReply PollDeviceToken(std::string_view deviceCode, long timeoutMs) const;
    COAuthTokenReply ExchangeCode(std::string_view code, std::string_view verifier,
                                  std::string_view redirectUri, long timeoutMs) const;
    COAuthTokenReply Refresh(std::string_view refreshToken, long timeoutMs) const;

private:
    COAuthTokenReply PostToken(COAuthHttp::Fields fields, long timeoutMs) const;
    void AddClient(COAuthHttp::Fields& fields) const;

    COAuthEndpoints m_endpoints;
};
