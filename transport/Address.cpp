#include "transport/Address.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <memory>

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsAlnum(char c) {
    return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

Ipv4Address FromNetworkOrder(const in_addr& addr) {
    Ipv4Address bytes{};
    std::memcpy(bytes.data(), &addr.s_addr, bytes.size());
    return bytes;
}

// a.b.c.d with only decimal digits in each part; each part taken modulo 256.
std::optional<Ipv4Address> ParseFourDecimalParts(const char* host) {
    Ipv4Address bytes{};
    const char* p = host;
    for (std::size_t part = 0; part < bytes.size(); ++part) {
        if (part > 0) {
            if (*p != '.') {
                return std::nullopt;
            }
            ++p;
        }
        if (!IsDigit(*p)) {
            return std::nullopt;
        }
        unsigned value = 0;
        for (; IsDigit(*p); ++p) {
            value = (value * 10 + static_cast<unsigned>(*p - '0')) & 0xFFu;
        }
        bytes[part] = static_cast<std::uint8_t>(value);
    }
    if (*p != '\0') {
        return std::nullopt;
    }
    return bytes;
}

}  // namespace

std::optional<Ipv4Address> ParseNumericHost(const char* host) {
    if (host == nullptr || *host == '\0') {
        return std::nullopt;
    }
    if (auto bytes = ParseFourDecimalParts(host)) {
        return bytes;
    }
    // inet_aton stops at white space and ignores what follows; such texts are names.
    for (const char* p = host; *p != '\0'; ++p) {
        if (!IsAlnum(*p) && *p != '.') {
            return std::nullopt;
        }
    }
    in_addr addr{};
    if (inet_aton(host, &addr) == 0) {
        return std::nullopt;
    }
    return FromNetworkOrder(addr);
}

std::optional<Ipv4Address> ResolveHost(const char* host) {
    if (host == nullptr || *host == '\0') {
        return std::nullopt;
    }
    if (auto bytes = ParseNumericHost(host)) {
        return bytes;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) {
        return std::nullopt;
    }
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> guard(found, &freeaddrinfo);
    for (const addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addr != nullptr &&
            ai->ai_addrlen >= sizeof(sockaddr_in)) {
            sockaddr_in sin{};
            std::memcpy(&sin, ai->ai_addr, sizeof sin);
            return FromNetworkOrder(sin.sin_addr);
        }
    }
    return std::nullopt;
}

int ChoosePort(int port, const char* service, int fallback) {
    if (port != 0) {
        return port;
    }
    servent entry{};
    servent* result = nullptr;
    char scratch[1024];
    // Any protocol, as the service database lists pop3 for tcp only anyway.
    if (getservbyname_r(service, nullptr, &entry, scratch, sizeof scratch, &result) == 0 &&
        result != nullptr) {
        return ntohs(static_cast<std::uint16_t>(result->s_port));
    }
    return fallback;
}
