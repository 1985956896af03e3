#include "oauth/OAuthEndpoints.h"

#include <curl/curl.h>

#include <algorithm>
#include <memory>
#include <utility>

#include "mime/Ascii.h"
#include "settings/Setting.h"

namespace {

constexpr std::string_view kMicrosoftBase = "https://login.microsoftonline.com/";
constexpr std::string_view kGoogleAuthorize = "https://accounts.google.com/o/oauth2/v2/auth";
constexpr std::string_view kGoogleToken = "https://oauth2.googleapis.com/token";

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsAlnum(char c) {
    return IsDigit(c) || (LowerAscii(c) >= 'a' && LowerAscii(c) <= 'z');
}

bool IsLoopbackHost(std::string host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    if (EqualsNoCase(host, "localhost") || host == "::1") {
        return true;
    }
    // 127.0.0.0/8, as a dotted address only.
    if (!host.starts_with("127.")) {
        return false;
    }
    return std::all_of(host.begin(), host.end(), [](char c) { return c == '.' || IsDigit(c); });
}

// A tenant is a name or an id that goes into the address path as it is.
bool IsTenantText(std::string_view tenant) {
    return !tenant.empty() && std::all_of(tenant.begin(), tenant.end(), [](char c) {
        return IsAlnum(c) || c == '-' || c == '.' || c == '_';
    });
}

}  // namespace

std::string COAuthEndpoints::CheckUrl(std::string_view url) {
    if (url.empty()) {
        return "no address";
    }
    const std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> parsed(curl_url(), &curl_url_cleanup);
    const std::string text(url);
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) {
        return "not an address";
    }
    char* scheme = nullptr;
    char* host = nullptr;
    curl_url_get(parsed.get(), CURLUPART_SCHEME, &scheme, 0);
    curl_url_get(parsed.get(), CURLUPART_HOST, &host, 0);
    const std::string schemeText = scheme != nullptr ? scheme : "";
    const std::string hostText = host != nullptr ? host : "";
    curl_free(scheme);
    curl_free(host);
    if (EqualsNoCase(schemeText, "https")) {
        return {};
    }
    if (EqualsNoCase(schemeText, "http")) {
        return IsLoopbackHost(hostText) ? std::string()
                                        : "plain http is for addresses of this machine only; "
                                          "use https";
    }
    return "not an https address";
}

std::optional<COAuthEndpoints> COAuthEndpoints::For(const CSetting& setting, std::string& problem) {
    COAuthEndpoints endpoints;
    const std::string& provider = setting.OAUTH_PROVIDER;
    if (EqualsNoCase(provider, kMicrosoft)) {
        const std::string tenant =
            setting.OAUTH_TENANT.empty() ? std::string(kDefaultTenant) : setting.OAUTH_TENANT;
        if (!IsTenantText(tenant)) {
            problem = "OAUTH_TENANT is not a tenant name or id";
            return std::nullopt;
        }
        const std::string base = std::string(kMicrosoftBase) + tenant + "/oauth2/v2.0/";
        endpoints.deviceUrl = base + "devicecode";
        endpoints.authorizeUrl = base + "authorize";
        endpoints.tokenUrl = base + "token";
        endpoints.scope = kMicrosoftScope;
    } else if (EqualsNoCase(provider, kGoogle)) {
        endpoints.authorizeUrl = kGoogleAuthorize;
        endpoints.tokenUrl = kGoogleToken;
        endpoints.scope = kGoogleScope;
        endpoints.authorizeExtra = "access_type=offline&prompt=consent";
    } else if (EqualsNoCase(provider, kCustom)) {
        endpoints.deviceUrl = setting.OAUTH_DEVICE_URL;
        endpoints.authorizeUrl = setting.OAUTH_AUTHORIZE_URL;
        endpoints.tokenUrl = setting.OAUTH_TOKEN_URL;
        endpoints.scope = setting.OAUTH_SCOPE;
        const std::pair<const char*, const std::string*> urls[] = {
            {"OAUTH_DEVICE_URL", &endpoints.deviceUrl},
            {"OAUTH_AUTHORIZE_URL", &endpoints.authorizeUrl},
            {"OAUTH_TOKEN_URL", &endpoints.tokenUrl}};
        for (const auto& [key, url] : urls) {
            if (url->empty()) {
                continue;
            }
            const std::string why = CheckUrl(*url);
            if (!why.empty()) {
                problem = std::string(key) + ": " + why;
                return std::nullopt;
            }
        }
        if (endpoints.tokenUrl.empty()) {
            problem = "OAUTH_TOKEN_URL is empty";
            return std::nullopt;
        }
        if (endpoints.deviceUrl.empty() && endpoints.authorizeUrl.empty()) {
            problem = "OAUTH_DEVICE_URL and OAUTH_AUTHORIZE_URL are both empty";
            return std::nullopt;
        }
    } else {
        problem = "OAUTH_PROVIDER is none of microsoft, google, custom";
        return std::nullopt;
    }
    if (setting.OAUTH_CLIENT_ID.empty()) {
        problem = "OAUTH_CLIENT_ID is empty";
        return std::nullopt;
    }
    endpoints.clientId = setting.OAUTH_CLIENT_ID;
    endpoints.clientSecret = setting.OAUTH_CLIENT_SECRET;
    return endpoints;
}
