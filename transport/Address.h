#pragma once

#include <array>
#include <cstdint>
#include <optional>

// An IPv4 address as its four bytes in wire order (127.0.0.1 is {127, 0, 0, 1}).
using Ipv4Address = std::array<std::uint8_t, 4>;

// The highest TCP port.
constexpr int kMaxPort = 65535;

// The port used when the "pop3" service is not in the service database.
constexpr int kPop3FallbackPort = 110;

// Reads host as a numeric IPv4 address, or gives nothing when host is a name.
// Four dot-separated runs of decimal digits are read as decimal (leading zeros are not
// octal) and only the low 8 bits of each count: 010.001.002.003 is 10.1.2.3 and
// 1.2.3.300 is 1.2.3.44. Any other numeric form the C library's inet_aton takes
// (127.1, 0x7f.0.0.1, 2130706433) has the address inet_aton gives it. Texts holding
// anything but letters, digits and dots are never numeric.
std::optional<Ipv4Address> ParseNumericHost(const char* host);

// The numeric address of host, else the first IPv4 address the resolver finds for it;
// nothing when neither gives one.
std::optional<Ipv4Address> ResolveHost(const char* host);

// port itself when it is not 0; otherwise the TCP port of service in the service
// database, or fallback when the database has no such service.
int ChoosePort(int port, const char* service = "pop3", int fallback = kPop3FallbackPort);
