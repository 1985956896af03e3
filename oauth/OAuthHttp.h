#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

// One form POST to an OAuth endpoint over libcurl, bounded in time and size. TLS
// verifies the peer and its name and takes nothing below TLS 1.2, trusting the
// system's store (SSL_CERT_FILE and SSL_CERT_DIR when set), as pop3s:// does; plain
// HTTP is refused unless the address is a loopback one (COAuthEndpoints::CheckUrl).
// Redirects are not followed. Safe to use from several threads at once.
class COAuthHttp {
public:
    using Fields = std::vector<std::pair<std::string, std::string>>;

    struct Reply {
        bool ok = false;    // an HTTP answer came, whatever its status
        long status = 0;    // its status code
        std::string body;   // at most kMaxBodyBytes
        std::string error;  // when not ok: why, in words, never a field's value
    };

    // Answers longer than this are cut off and the request fails.
    static constexpr std::size_t kMaxBodyBytes = 64 * 1024;

    // Posts fields as application/x-www-form-urlencoded to url; everything, connection
    // included, ends within timeoutMs (at least 1).
    static Reply PostForm(std::string_view url, const Fields& fields, long timeoutMs);

    // The fields in application/x-www-form-urlencoded form.
    static std::string FormEncode(const Fields& fields);
    // One value percent-encoded for a query or form (unreserved characters kept).
    static std::string Escape(std::string_view text);
};
