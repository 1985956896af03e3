#include "gateway/TrustedProxies.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstring>

#include "mime/Ascii.h"

namespace {

constexpr int kIpv4Bits = 32;
constexpr int kIpv6Bits = 128;
// "::ffff:" before an IPv4 address's four bytes.
constexpr int kMappedPrefixBytes = 12;
// Longer than any address with a port; a longer text is not read.
constexpr std::size_t kMostAddressText = 64;

std::string_view Trim(std::string_view text) {
    return TrimmedOf(text, " \t\r\n");
}

bool IsPort(std::string_view text) {
    int port = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
    return error == std::errc() && end == text.data() + text.size() && port >= 0 && port <= 65535;
}

// A bare address, as inet_pton reads it.
std::optional<IpAddress> ParseBare(std::string_view text, bool v6) {
    if (text.empty() || text.size() >= kMostAddressText) {
        return std::nullopt;
    }
    char copy[kMostAddressText] = {};
    std::memcpy(copy, text.data(), text.size());
    IpAddress address{};
    if (v6) {
        if (inet_pton(AF_INET6, copy, address.data()) != 1) {
            return std::nullopt;
        }
        return address;
    }
    in_addr v4{};
    if (inet_pton(AF_INET, copy, &v4) != 1) {
        return std::nullopt;
    }
    return CTrustedProxies::FromIpv4(v4.s_addr);
}

// Splits at commas outside double quotes.
std::vector<std::string_view> SplitList(std::string_view text) {
    std::vector<std::string_view> items;
    bool quoted = false;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || (text[i] == ',' && !quoted)) {
            items.push_back(Trim(text.substr(start, i - start)));
            start = i + 1;
        } else if (text[i] == '"') {
            quoted = !quoted;
        }
    }
    return items;
}

// The for= value of one element of Forwarded ("for=192.0.2.1;proto=https"), empty
// when it has none.
std::string_view ForValue(std::string_view element) {
    while (!element.empty()) {
        const std::size_t semicolon = element.find(';');
        const std::string_view pair = Trim(element.substr(0, semicolon));
        if (StartsWithNoCase(pair, "for=")) {
            return Trim(pair.substr(4));
        }
        if (semicolon == std::string_view::npos) {
            break;
        }
        element.remove_prefix(semicolon + 1);
    }
    return {};
}

}  // namespace

bool CTrustedProxies::Add(std::string_view text) {
    text = Trim(text);
    const std::size_t slash = text.find('/');
    const std::string_view host = text.substr(0, slash);
    const bool v6 = host.find(':') != std::string_view::npos;
    const std::optional<IpAddress> address = ParseBare(host, v6);
    if (!address) {
        return false;
    }
    const int most = v6 ? kIpv6Bits : kIpv4Bits;
    int bits = most;
    if (slash != std::string_view::npos) {
        const std::string_view digits = text.substr(slash + 1);
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), bits);
        if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
            bits < 0 || bits > most) {
            return false;
        }
    }
    m_ranges.push_back(CRange{*address, v6 ? bits : bits + (kIpv6Bits - kIpv4Bits)});
    return true;
}

bool CTrustedProxies::Contains(const IpAddress& address) const {
    for (const CRange& range : m_ranges) {
        const int whole = range.bits / 8;
        const int rest = range.bits % 8;
        if (std::memcmp(address.data(), range.address.data(), static_cast<std::size_t>(whole)) !=
            0) {
            continue;
        }
        const auto mask = static_cast<std::uint8_t>(0xFF00 >> rest);
        if (rest == 0 || ((address[static_cast<std::size_t>(whole)] ^
                           range.address[static_cast<std::size_t>(whole)]) &
                          mask) == 0) {
            return true;
        }
    }
    return false;
}

std::optional<IpAddress> CTrustedProxies::ClientOf(std::string_view xForwardedFor,
                                                   std::string_view forwarded) const {
    if (!Trim(xForwardedFor).empty()) {
        return LastUntrusted(SplitList(xForwardedFor));
    }
    if (Trim(forwarded).empty()) {
        return std::nullopt;
    }
    std::vector<std::string_view> hops;
    for (const std::string_view element : SplitList(forwarded)) {
        hops.push_back(ForValue(element));
    }
    return LastUntrusted(hops);
}

std::optional<IpAddress> CTrustedProxies::LastUntrusted(
    const std::vector<std::string_view>& hops) const {
    std::optional<IpAddress> client;
    for (auto hop = hops.rbegin(); hop != hops.rend(); ++hop) {
        client = ParseAddress(*hop);
        if (!client || !Contains(*client)) {
            return client;
        }
    }
    // Every hop is trusted: the first of them is where the request began.
    return client;
}

std::optional<IpAddress> CTrustedProxies::ParseAddress(std::string_view text) {
    text = Trim(text);
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
        text = text.substr(1, text.size() - 2);
    }
    if (text.starts_with('[')) {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        const std::string_view after = text.substr(close + 1);
        if (!after.empty() && !(after.front() == ':' && IsPort(after.substr(1)))) {
            return std::nullopt;
        }
        return ParseBare(text.substr(1, close - 1), true);
    }
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) {
        return ParseBare(text, false);
    }
    if (text.find(':', colon + 1) == std::string_view::npos) {
        // One colon: an IPv4 address with its port.
        if (!IsPort(text.substr(colon + 1))) {
            return std::nullopt;
        }
        return ParseBare(text.substr(0, colon), false);
    }
    return ParseBare(text, true);
}

IpAddress CTrustedProxies::FromIpv4(std::uint32_t networkOrder) {
    IpAddress address{};
    address[10] = 0xFF;
    address[11] = 0xFF;
    std::memcpy(address.data() + kMappedPrefixBytes, &networkOrder, sizeof networkOrder);
    return address;
}

std::string CTrustedProxies::Format(const IpAddress& address) {
    static constexpr std::uint8_t kMapped[kMappedPrefixBytes] = {0, 0, 0, 0, 0,    0,
                                                                 0, 0, 0, 0, 0xFF, 0xFF};
    char text[INET6_ADDRSTRLEN] = {};
    if (std::memcmp(address.data(), kMapped, sizeof kMapped) == 0) {
        inet_ntop(AF_INET, address.data() + kMappedPrefixBytes, text, sizeof text);
    } else {
        inet_ntop(AF_INET6, address.data(), text, sizeof text);
    }
    return text;
}
