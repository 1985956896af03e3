#pragma once

#include <string>
#include <string_view>

// What a token endpoint answered (RFC 6749 section 5, RFC 8628 section 3.5), read from
// the status code and the body. Never fails: a body that is no JSON object, a token
// that is too long or holds characters a SASL line cannot carry, is an error reply
// with a reason, so the caller only tells the kinds apart.
struct COAuthTokenReply {
    enum Kind {
        kToken,     // access_token (and perhaps a new refresh_token) given
        kPending,   // device flow: authorization_pending
        kSlowDown,  // device flow: slow_down
        kError,     // refused or unreadable; error says how
    };
    Kind kind = kError;
    std::string accessToken;
    std::string refreshToken;  // empty when the provider kept the old one
    // Seconds the access token lasts, bounded: 0 when the answer said 0 or less (use
    // it once), kDefaultExpiresIn when it said nothing, at most kMaxExpiresIn.
    long long expiresIn = 0;
    // The error code ("invalid_grant"), or a reason of ours ("no JSON in the answer");
    // printable ASCII, never a token.
    std::string error;
    // error_description cut to kMaxDescriptionBytes, control characters as blanks.
    std::string description;

    static constexpr long long kDefaultExpiresIn = 3600;
    static constexpr long long kMaxExpiresIn = 24 * 3600;
    // Tokens beyond this size are refused: they would not fit a POP3 command line.
    static constexpr std::size_t kMaxTokenBytes = 8192;
    static constexpr std::size_t kMaxDescriptionBytes = 200;

    static COAuthTokenReply Parse(long httpStatus, std::string_view body);
};

// The answer of a device authorization endpoint (RFC 8628 section 3.2).
struct COAuthDeviceReply {
    bool ok = false;
    std::string deviceCode;
    std::string userCode;
    std::string verificationUri;            // "verification_url" as some providers spell it
    std::string verificationUriComplete;    // may be empty
    long long expiresIn = 0;                // seconds, at least 1 when ok
    long long interval = kDefaultInterval;  // seconds between polls, from 1 on
    std::string error;                      // as in COAuthTokenReply
    std::string description;

    static constexpr long long kDefaultInterval = 5;
    static constexpr long long kMaxSeconds = 3600;

    static COAuthDeviceReply Parse(long httpStatus, std::string_view body);
};
