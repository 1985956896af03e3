#pragma once

#include <optional>
#include <string>
#include <string_view>

// Where the POP3 dialogue connects, taken from a setting's MAIL_SERVER.
struct CMailServerAddress {
    std::string host;  // name or dotted IPv4 address
    int port = 0;      // 0: the "pop3" service port
};

// Reads MAIL_SERVER: "host" (the "pop3" service port) or "host:port" with a decimal
// port from 1 to 65535. An empty host, an empty port, a port out of range or with
// anything but digits gives nothing: the dialogue then fails as for a host that does
// not resolve, without any traffic.
std::optional<CMailServerAddress> ParseMailServer(std::string_view mailServer);
