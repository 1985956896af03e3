#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// An IPv4 or IPv6 address as 16 bytes in wire order, IPv4 in its mapped form
// (::ffff:a.b.c.d), so that one key and one range test serve both.
using IpAddress = std::array<std::uint8_t, 16>;

// The reverse proxies whose word on the client's address is taken. A connection from
// one of them names its client in X-Forwarded-For (or, without that field, in the
// for= of Forwarded), each proxy on the way adding the address it was reached from;
// the client is the last address there that is not itself a trusted proxy. What a
// client writes into those fields itself stands to the left of that and is never
// read. A connection from any other address is its own client.
class CTrustedProxies {
public:
    // Adds "ADDRESS" or "ADDRESS/BITS", IPv4 or IPv6 (bits 0 to 32, or 0 to 128).
    // False, adding nothing, when text is neither.
    bool Add(std::string_view text);
    bool Empty() const { return m_ranges.empty(); }
    bool Contains(const IpAddress& address) const;

    // The client's address from the fields of a request that came through a trusted
    // proxy; nothing when the fields name no client or the address that would count
    // is not one (garbage, "unknown", an obfuscated name): the proxy is then taken
    // as the client.
    std::optional<IpAddress> ClientOf(std::string_view xForwardedFor,
                                      std::string_view forwarded) const;

    // An address as the fields write it: "192.0.2.1", "2001:db8::1", either with a
    // port ("192.0.2.1:8080", "[2001:db8::1]:8080"), IPv6 also in brackets alone.
    static std::optional<IpAddress> ParseAddress(std::string_view text);
    static IpAddress FromIpv4(std::uint32_t networkOrder);
    // Dotted for IPv4, RFC 5952 text for IPv6.
    static std::string Format(const IpAddress& address);

private:
    struct CRange {
        IpAddress address{};
        int bits = 0;  // of the 128
    };
    std::optional<IpAddress> LastUntrusted(const std::vector<std::string_view>& hops) const;

    std::vector<CRange> m_ranges;
};
