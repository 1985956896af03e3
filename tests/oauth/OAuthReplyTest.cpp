#include "oauth/OAuthReply.h"

#include <gtest/gtest.h>

#include <string>

#include "oauth/OAuthEndpoints.h"
#include "oauth/OAuthSignIn.h"
#include "settings/Setting.h"

namespace {

struct TokenRow {
    const char* name;
    long status;
    std::string body;
    COAuthTokenReply::Kind kind;
    std::string error;  // what the error begins with; "" for a token
    long long expiresIn = 0;
    std::string refreshToken = "";
};

class TokenReplyTest : public testing::TestWithParam<TokenRow> {};

TEST_P(TokenReplyTest, IsReadOrRefusedWithAReason) {
    const TokenRow& row = GetParam();
    const COAuthTokenReply reply = COAuthTokenReply::Parse(row.status, row.body);
    EXPECT_EQ(reply.kind, row.kind);
    EXPECT_EQ(reply.error.substr(0, row.error.size()), row.error) << reply.error;
    if (row.kind == COAuthTokenReply::kToken) {
        EXPECT_EQ(reply.accessToken, "at-1");
        EXPECT_EQ(reply.expiresIn, row.expiresIn);
        EXPECT_EQ(reply.refreshToken, row.refreshToken);
    } else {
        EXPECT_FALSE(reply.error.empty());
        EXPECT_EQ(reply.accessToken + reply.refreshToken, "");
    }
    // A reason never carries the token it refused.
    EXPECT_EQ(reply.error.find("at-1"), std::string::npos);
}

std::string Token(const std::string& more) {
    return R"({"access_token": "at-1", "token_type": "Bearer")" + more + "}";
}

constexpr auto kToken = COAuthTokenReply::kToken;
constexpr auto kError = COAuthTokenReply::kError;

INSTANTIATE_TEST_SUITE_P(
    Answers, TokenReplyTest,
    testing::Values(
        TokenRow{"Plain", 200, Token(R"(, "expires_in": 3599)"), kToken, "", 3599},
        TokenRow{"Rotated", 200, Token(R"(, "expires_in": 60, "refresh_token": "rt-2")"), kToken,
                 "", 60, "rt-2"},
        TokenRow{"ExpiresAsText", 200, Token(R"(, "expires_in": "1200")"), kToken, "", 1200},
        TokenRow{"ExpiresMissing", 200, Token(""), kToken, "", 3600},
        TokenRow{"ExpiresZeroUsedOnce", 200, Token(R"(, "expires_in": 0)"), kToken, "", 0},
        TokenRow{"ExpiresNegative", 200, Token(R"(, "expires_in": -5)"), kToken, "", 0},
        TokenRow{"ExpiresAbsurd", 200, Token(R"(, "expires_in": 1e300)"), kToken, "", 86400},
        TokenRow{"ExpiresHuge", 200, Token(R"(, "expires_in": 99999999999999999999)"), kToken, "",
                 86400},
        TokenRow{"TypeInLowerCase", 200, R"({"access_token": "at-1", "token_type": "bearer"})",
                 kToken, "", 3600},
        TokenRow{"OtherType", 200, R"({"access_token": "at-1", "token_type": "mac"})", kError,
                 "token type"},
        TokenRow{"Html", 200, "<html><body>Sign in</body></html>", kError,
                 "no JSON object in the answer (HTTP 200)"},
        TokenRow{"Empty", 502, "", kError, "no JSON object in the answer (HTTP 502)"},
        TokenRow{"Array", 200, "[1, 2]", kError, "no JSON object"},
        TokenRow{"CutShort", 200, R"({"access_token": "at-1)", kError, "no JSON object"},
        TokenRow{"DeepNesting", 200, std::string(5000, '[') + std::string(5000, ']'), kError,
                 "no JSON object"},
        TokenRow{"ErrorWithoutDescription", 400, R"({"error": "server_error"})", kError,
                 "server_error"},
        TokenRow{"InvalidGrant", 400,
                 R"({"error": "invalid_grant", "error_description": "AADSTS70008"})", kError,
                 "invalid_grant"},
        TokenRow{"ErrorNotAWord", 400, R"({"error": "a \"quoted\" thing"})", kError,
                 "unreadable error"},
        TokenRow{"Pending", 400, R"({"error": "authorization_pending"})",
                 COAuthTokenReply::kPending, "authorization_pending"},
        TokenRow{"SlowDown", 400, R"({"error": "slow_down"})", COAuthTokenReply::kSlowDown,
                 "slow_down"},
        TokenRow{"RefusedWithoutCode", 500, Token(""), kError, "refused without an error code"},
        TokenRow{"NoToken", 200, R"({"token_type": "Bearer"})", kError, "no usable access_token"},
        TokenRow{"TokenNotText", 200, R"({"access_token": 12})", kError, "no usable"},
        TokenRow{"TokenWithBlank", 200, R"({"access_token": "at 1"})", kError, "no usable"},
        TokenRow{"TokenWithLineBreak", 200, R"({"access_token": "at\r\n1"})", kError, "no usable"},
        TokenRow{"TokenTooLong", 200, R"({"access_token": ")" + std::string(8193, 'a') + R"("})",
                 kError, "no usable"},
        TokenRow{"RefreshTokenWithControl", 200, Token(R"(, "refresh_token": "rt\u0001")"), kError,
                 "unusable refresh_token"}),
    [](const testing::TestParamInfo<TokenRow>& info) { return std::string(info.param.name); });

TEST(TokenReplyTest, DescriptionIsCutAndCleaned) {
    const std::string body = R"({"error": "invalid_grant", "error_description": "line\nbreak)" +
                             std::string(500, 'x') + R"("})";
    const COAuthTokenReply reply = COAuthTokenReply::Parse(400, body);
    EXPECT_EQ(reply.description.substr(0, 10), "line break");
    EXPECT_EQ(reply.description.size(), COAuthTokenReply::kMaxDescriptionBytes);
}

struct DeviceRow {
    const char* name;
    std::string body;
    std::string error;  // "" when the answer is usable
    long long interval = 5;
};

class DeviceReplyTest : public testing::TestWithParam<DeviceRow> {};

TEST_P(DeviceReplyTest, IsReadOrRefused) {
    const DeviceRow& row = GetParam();
    const COAuthDeviceReply reply = COAuthDeviceReply::Parse(200, row.body);
    EXPECT_EQ(reply.ok, row.error.empty()) << reply.error;
    EXPECT_EQ(reply.error.substr(0, row.error.size()), row.error) << reply.error;
    if (reply.ok) {
        EXPECT_EQ(reply.userCode, "WDJB-MJHT");
        EXPECT_EQ(reply.verificationUri, "https://microsoft.com/devicelogin");
        EXPECT_EQ(reply.interval, row.interval);
    }
}

std::string Device(const std::string& more, const char* uriKey = "verification_uri") {
    return R"({"device_code": "dc-1", "user_code": "WDJB-MJHT", ")" + std::string(uriKey) +
           R"(": "https://microsoft.com/devicelogin")" + more + "}";
}

INSTANTIATE_TEST_SUITE_P(
    Answers, DeviceReplyTest,
    testing::Values(
        DeviceRow{"Plain", Device(R"(, "expires_in": 900, "interval": 2)"), "", 2},
        DeviceRow{"IntervalMissing", Device(R"(, "expires_in": 900)"), "", 5},
        DeviceRow{"IntervalZero", Device(R"(, "expires_in": 900, "interval": 0)"), "", 1},
        DeviceRow{"UrlSpelling", Device(R"(, "expires_in": 900)", "verification_url"), "", 5},
        DeviceRow{"NoExpiry", Device(""), "no expires_in"},
        DeviceRow{"NoUserCode",
                  R"({"device_code": "d", "verification_uri": "https://x", "expires_in": 9})",
                  "device code, user code"},
        DeviceRow{"Refused", R"({"error": "invalid_client"})", "invalid_client"},
        DeviceRow{"Html", "<html></html>", "no JSON object"}),
    [](const testing::TestParamInfo<DeviceRow>& info) { return std::string(info.param.name); });

struct EndpointRow {
    const char* name;
    std::string provider;
    std::string tenant;
    std::string tokenUrl;  // custom only
    std::string deviceUrl;
    std::string problem;  // what the problem begins with; "" when usable
    std::string wantToken = "";
};

class EndpointsTest : public testing::TestWithParam<EndpointRow> {};

TEST_P(EndpointsTest, ComeFromThePresetOrTheSetting) {
    const EndpointRow& row = GetParam();
    CSetting setting;
    setting.OAUTH_PROVIDER = row.provider;
    setting.OAUTH_TENANT = row.tenant;
    setting.OAUTH_TOKEN_URL = row.tokenUrl;
    setting.OAUTH_DEVICE_URL = row.deviceUrl;
    setting.OAUTH_CLIENT_ID = "client";
    std::string problem;
    const auto endpoints = COAuthEndpoints::For(setting, problem);
    EXPECT_EQ(endpoints.has_value(), row.problem.empty()) << problem;
    EXPECT_EQ(problem.substr(0, row.problem.size()), row.problem);
    if (endpoints) {
        EXPECT_EQ(endpoints->tokenUrl, row.wantToken);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Providers, EndpointsTest,
    testing::Values(
        EndpointRow{"MicrosoftCommon", "microsoft", "", "", "", "",
                    "https://login.microsoftonline.com/common/oauth2/v2.0/token"},
        EndpointRow{"MicrosoftTenant", "microsoft", "contoso.onmicrosoft.com", "", "", "",
                    "https://login.microsoftonline.com/contoso.onmicrosoft.com/oauth2/v2.0/token"},
        EndpointRow{"MicrosoftTenantWithSlash", "microsoft", "a/../b", "", "", "OAUTH_TENANT"},
        EndpointRow{"Google", "google", "", "", "", "", "https://oauth2.googleapis.com/token"},
        EndpointRow{"Custom", "custom", "", "https://id.example.jp/token",
                    "https://id.example.jp/device", "", "https://id.example.jp/token"},
        EndpointRow{"CustomWithoutToken", "custom", "", "", "https://id.example.jp/device",
                    "OAUTH_TOKEN_URL is empty"},
        EndpointRow{"CustomWithoutFlow", "custom", "", "https://id.example.jp/token", "",
                    "OAUTH_DEVICE_URL and OAUTH_AUTHORIZE_URL"},
        EndpointRow{"CustomPlainHttp", "custom", "", "http://id.example.jp/token",
                    "https://id.example.jp/device", "OAUTH_TOKEN_URL: plain http"},
        EndpointRow{"Unknown", "yahoo", "", "", "", "OAUTH_PROVIDER"}),
    [](const testing::TestParamInfo<EndpointRow>& info) { return std::string(info.param.name); });

// The example of RFC 7636, appendix B.
TEST(SignInTest, CodeChallengeIsTheBase64UrlOfTheVerifiersSha256) {
    EXPECT_EQ(COAuthSignIn::CodeChallenge("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"),
              "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
    EXPECT_EQ(COAuthSignIn::RandomToken(32).size(), 43u);
}

}  // namespace
