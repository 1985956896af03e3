#include "oauth/OAuthClient.h"

namespace {

constexpr const char* kDeviceGrant = "urn:ietf:params:oauth:grant-type:device_code";

}  // namespace

void COAuthClient::AddClient(COAuthHttp::Fields& fields) const {
    fields.emplace_back("client_id", m_endpoints.clientId);
    if (!m_endpoints.clientSecret.empty()) {
        fields.emplace_back("client_secret", m_endpoints.clientSecret);
    }
}

COAuthDeviceReply COAuthClient::RequestDeviceCode(long timeoutMs) const {
    COAuthHttp::Fields fields;
    AddClient(fields);
    fields.emplace_back("scope", m_endpoints.scope);
    const COAuthHttp::Reply http = COAuthHttp::PostForm(m_endpoints.deviceUrl, fields, timeoutMs);
    if (!http.ok) {
        COAuthDeviceReply reply;
        reply.error = "device endpoint unreachable: " + http.error;
        return reply;
    }
    return COAuthDeviceReply::Parse(http.status, http.body);
}

COAuthTokenReply COAuthClient::PostToken(COAuthHttp::Fields fields, long timeoutMs) const {
    AddClient(fields);
    const COAuthHttp::Reply http = COAuthHttp::PostForm(m_endpoints.tokenUrl, fields, timeoutMs);
    if (!http.ok) {
        COAuthTokenReply reply;
        reply.error = "token endpoint unreachable: " + http.error;
        return reply;
    }
    return COAuthTokenReply::Parse(http.status, http.body);
}

COAuthTokenReply COAuthClient::PollDeviceToken(std::string_view deviceCode, long timeoutMs) const {
    return PostToken({{"grant_type", kDeviceGrant}, {"device_code", std::string(deviceCode)}},
                     timeoutMs);
}

COAuthTokenReply COAuthClient::ExchangeCode(std::string_view code, std::string_view verifier,
                                            std::string_view redirectUri, long timeoutMs) const {
    return PostToken({{"grant_type", "authorization_code"},
                      {"code", std::string(code)},
                      {"code_verifier", std::string(verifier)},
                      {"redirect_uri", std::string(redirectUri)}},
                     timeoutMs);
}

COAuthTokenReply COAuthClient::Refresh(std::string_view refreshToken, long timeoutMs) const {
    return PostToken({{"grant_type", "refresh_token"},
                      {"refresh_token", std::string(refreshToken)},
                      {"scope", m_endpoints.scope}},
                     timeoutMs);
}
