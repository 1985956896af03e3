#include "oauth/OAuthReply.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <optional>

namespace {

using Json = nlohmann::json;

constexpr long kHttpOk = 200;
constexpr long kHttpMultipleChoices = 300;
// The body as a JSON object, or nothing. The parser keeps its own stack, so deep
// nesting costs memory in proportion to the body, whose size the caller bounds.
std::optional<Json> ParseObject(std::string_view body) {
    Json json = Json::parse(body.begin(), body.end(), nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        return std::nullopt;
    }
    return json;
}

std::string Text(const Json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// A whole number of seconds, given as a number or as decimal text ("3600").
std::optional<long long> Seconds(const Json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end()) {
        return std::nullopt;
    }
    if (it->is_number_integer()) {
        return it->get<long long>();
    }
    if (it->is_number_float()) {
        const double value = it->get<double>();
        if (value != value) {
            return std::nullopt;
        }
        return static_cast<long long>(std::clamp(value, -1e12, 1e12));
    }
    if (it->is_string()) {
        const std::string text = it->get<std::string>();
        long long value = 0;
        auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error == std::errc() && end == text.data() + text.size()) {
            return value;
        }
    }
    return std::nullopt;
}

// Characters of a token (RFC 6750 b64token and what providers send in practice):
// visible ASCII. Anything else would break the SASL line or the settings file.
bool IsTokenText(std::string_view token) {
    return !token.empty() && token.size() <= COAuthTokenReply::kMaxTokenBytes &&
           std::all_of(token.begin(), token.end(), [](char c) { return c > ' ' && c < 0x7F; });
}

// An error code of the answer, kept only when it is a plain word (RFC 6749 allows
// visible ASCII without '"' and '\'); anything else becomes "unreadable error".
std::string ErrorCode(const Json& object) {
    std::string code = Text(object, "error");
    if (code.empty()) {
        return {};
    }
    constexpr std::size_t kMaxCodeBytes = 64;
    const bool plain =
        code.size() <= kMaxCodeBytes && std::all_of(code.begin(), code.end(), [](char c) {
            return c > ' ' && c < 0x7F && c != '"' && c != '\\';
        });
    return plain ? code : "unreadable error";
}

std::string Description(const Json& object) {
    std::string text = Text(object, "error_description");
    if (text.size() > COAuthTokenReply::kMaxDescriptionBytes) {
        text.resize(COAuthTokenReply::kMaxDescriptionBytes);
    }
    for (char& c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7F) {
            c = ' ';
        }
    }
    return text;
}

std::string StatusReason(long httpStatus, const char* what) {
    return std::string(what) + " (HTTP " + std::to_string(httpStatus) + ")";
}

// The answer's JSON object when it is no error. Otherwise nothing, with error (the
// answer's own code, else what was wrong with it) and description set.
std::optional<Json> AnswerObject(long httpStatus, std::string_view body, std::string& error,
                                 std::string& description) {
    std::optional<Json> json = ParseObject(body);
    if (!json) {
        error = StatusReason(httpStatus, "no JSON object in the answer");
        return std::nullopt;
    }
    error = ErrorCode(*json);
    description = Description(*json);
    if (error.empty() && (httpStatus < kHttpOk || httpStatus >= kHttpMultipleChoices)) {
        error = StatusReason(httpStatus, "refused without an error code");
    }
    if (!error.empty()) {
        return std::nullopt;
    }
    return json;
}

}  // namespace

COAuthTokenReply COAuthTokenReply::Parse(long httpStatus, std::string_view body) {
    COAuthTokenReply reply;
    const std::optional<Json> json = AnswerObject(httpStatus, body, reply.error, reply.description);
    if (!json) {
        if (reply.error == "authorization_pending") {
            reply.kind = kPending;
        } else if (reply.error == "slow_down") {
            reply.kind = kSlowDown;
        }
        return reply;
    }
    const std::string type = Text(*json, "token_type");
    if (!type.empty() && type != "Bearer" && type != "bearer") {
        reply.error = "token type is not Bearer";
        return reply;
    }
    reply.accessToken = Text(*json, "access_token");
    if (!IsTokenText(reply.accessToken)) {
        reply.accessToken.clear();
        reply.error = "no usable access_token in the answer";
        return reply;
    }
    reply.refreshToken = Text(*json, "refresh_token");
    if (!reply.refreshToken.empty() && !IsTokenText(reply.refreshToken)) {
        reply.accessToken.clear();
        reply.refreshToken.clear();
        reply.error = "unusable refresh_token in the answer";
        return reply;
    }
    const long long expires = Seconds(*json, "expires_in").value_or(kDefaultExpiresIn);
    reply.expiresIn = std::clamp(expires, 0LL, kMaxExpiresIn);
    reply.kind = kToken;
    return reply;
}

COAuthDeviceReply COAuthDeviceReply::Parse(long httpStatus, std::string_view body) {
    COAuthDeviceReply reply;
    const std::optional<Json> json = AnswerObject(httpStatus, body, reply.error, reply.description);
    if (!json) {
        return reply;
    }
    reply.deviceCode = Text(*json, "device_code");
    reply.userCode = Text(*json, "user_code");
    reply.verificationUri = Text(*json, "verification_uri");
    if (reply.verificationUri.empty()) {
        reply.verificationUri = Text(*json, "verification_url");
    }
    reply.verificationUriComplete = Text(*json, "verification_uri_complete");
    const auto shown = [](const std::string& text) {
        return !text.empty() && text.size() <= COAuthTokenReply::kMaxDescriptionBytes &&
               std::all_of(text.begin(), text.end(), [](char c) { return c > ' ' && c < 0x7F; });
    };
    if (!IsTokenText(reply.deviceCode) || !shown(reply.userCode) || !shown(reply.verificationUri)) {
        reply.error = "device code, user code or verification address missing or unusable";
        return reply;
    }
    if (!reply.verificationUriComplete.empty() && !shown(reply.verificationUriComplete)) {
        reply.verificationUriComplete.clear();
    }
    reply.expiresIn = std::clamp(Seconds(*json, "expires_in").value_or(0), 0LL, kMaxSeconds);
    if (reply.expiresIn == 0) {
        reply.error = "no expires_in for the device code";
        return reply;
    }
    reply.interval =
        std::clamp(Seconds(*json, "interval").value_or(kDefaultInterval), 1LL, kMaxSeconds);
    reply.ok = true;
    return reply;
}
