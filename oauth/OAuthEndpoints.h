#pragma once

#include <optional>
#include <string>
#include <string_view>

class CSetting;

// Where a setting signs in and what it asks for: its provider's preset, or the
// OAUTH_*_URL keys for "custom". Addresses are checked: HTTPS, or plain HTTP to a
// loopback address only (a provider running on this machine, as in the tests).
struct COAuthEndpoints {
    std::string deviceUrl;  // empty: the provider has no device flow for mail
    std::string authorizeUrl;
    std::string tokenUrl;
    std::string scope;
    std::string clientId;
    std::string clientSecret;  // empty for a public client
    // Parameters some providers need on the authorization address, already encoded
    // ("access_type=offline&prompt=consent", without which Google gives no refresh
    // token).
    std::string authorizeExtra;

    static constexpr std::string_view kMicrosoft = "microsoft";
    static constexpr std::string_view kGoogle = "google";
    static constexpr std::string_view kCustom = "custom";
    static constexpr std::string_view kMicrosoftScope =
        "https://outlook.office.com/POP.AccessAsUser.All offline_access";
    static constexpr std::string_view kGoogleScope = "https://mail.google.com/";
    static constexpr std::string_view kDefaultTenant = "common";

    // The setting's endpoints, or nothing with problem saying what is missing or wrong
    // ("OAUTH_CLIENT_ID is empty").
    static std::optional<COAuthEndpoints> For(const CSetting& setting, std::string& problem);

    // Empty when url may be used for OAuth; otherwise why not.
    static std::string CheckUrl(std::string_view url);
};
