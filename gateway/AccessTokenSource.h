#pragma once

#include <chrono>
#include <string>
#include <string_view>

class CSetting;

// An OAuth 2.0 access token for one request, or why there is none.
struct CAccessToken {
    std::string token;    // empty on failure
    std::string failure;  // for the log's reason: "oauth: invalid_grant"; never a token
    std::string detail;   // more words for the log, when the provider gave any
};

// Where the POP3 dialogue of a setting with MAIL_AUTH=1 gets its access token. Called
// from several request threads at once.
class CAccessTokenSource {
public:
    virtual ~CAccessTokenSource() = default;

    // A token for setting, found or fetched by deadline. refused is a token the mail
    // server has just refused: it is not handed out again.
    virtual CAccessToken AccessToken(const CSetting& setting,
                                     std::chrono::steady_clock::time_point deadline,
                                     std::string_view refused) = 0;
};
