#include "gateway/MailServerAddress.h"

#include "mime/Ascii.h"
#include "transport/Address.h"

namespace {

constexpr std::string_view kPlainScheme = "pop3://";
constexpr std::string_view kTlsScheme = "pop3s://";
constexpr std::string_view kStartTlsScheme = "pop3+stls://";
constexpr std::string_view kSchemeEnd = "://";

// A decimal port from 1 to kMaxPort, digits only.
std::optional<int> ParsePort(std::string_view text) {
    if (text.empty() || text.size() > 5) {
        return std::nullopt;
    }
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > kMaxPort) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::optional<CMailServerAddress> ParseMailServer(std::string_view mailServer) {
    CMailServerAddress address;
    std::string_view rest = mailServer;
    const bool url = rest.find(kSchemeEnd) != std::string_view::npos;
    if (url) {
        if (StartsWithNoCase(rest, kTlsScheme)) {
            address.tls = true;
            rest.remove_prefix(kTlsScheme.size());
        } else if (StartsWithNoCase(rest, kStartTlsScheme)) {
            address.startTls = true;
            rest.remove_prefix(kStartTlsScheme.size());
        } else if (StartsWithNoCase(rest, kPlainScheme)) {
            rest.remove_prefix(kPlainScheme.size());
        } else {
            return std::nullopt;  // a scheme we do not speak
        }
        if (rest.ends_with('/')) {
            rest.remove_suffix(1);
        }
        if (rest.find('/') != std::string_view::npos) {
            return std::nullopt;  // a path means nothing to POP3
        }
    }
    std::string_view host = rest;
    const std::size_t colon = rest.rfind(':');
    if (colon != std::string_view::npos) {
        const std::optional<int> port = ParsePort(rest.substr(colon + 1));
        if (!port) {
            return std::nullopt;
        }
        address.port = *port;
        host = rest.substr(0, colon);
    }
    if (host.empty()) {
        return std::nullopt;
    }
    if (address.tls && address.port == 0) {
        address.port = kPop3sPort;
    }
    address.host = std::string(host);
    return address;
}

std::string DescribeMailServer(std::string_view mailServer) {
    if (mailServer.empty()) {
        return "none set";
    }
    const auto address = ParseMailServer(mailServer);
    if (!address) {
        return "not usable: give " + std::string(kMailServerForms);
    }
    const char* how = address->tls ? "TLS" : address->startTls ? "STARTTLS" : "plain";
    return std::string(how) + " to " + address->host + " port " +
           std::to_string(ChoosePort(address->port));
}
