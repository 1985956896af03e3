#include "gateway/MailServerAddress.h"

namespace {

constexpr int kMaxPort = 65535;

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
    std::string_view host = mailServer;
    const std::size_t colon = mailServer.rfind(':');
    if (colon != std::string_view::npos) {
        const std::optional<int> port = ParsePort(mailServer.substr(colon + 1));
        if (!port) {
            return std::nullopt;
        }
        address.port = *port;
        host = mailServer.substr(0, colon);
    }
    if (host.empty()) {
        return std::nullopt;
    }
    address.host = std::string(host);
    return address;
}
