#pragma once

#include <optional>
#include <string>
#include <string_view>

// The port of POP3 over TLS, for "pop3s://host" without a port.
constexpr int kPop3sPort = 995;

// Where the POP3 dialogue connects, taken from a setting's MAIL_SERVER.
struct CMailServerAddress {
    std::string host;       // name or dotted IPv4 address
    int port = 0;           // 0: the "pop3" service port (only without TLS)
    bool tls = false;       // TLS from the first byte
    bool startTls = false;  // plain until STLS, then TLS; never on without it
};

// Reads MAIL_SERVER: "host" (the "pop3" service port) or "host:port" with a decimal
// port from 1 to 65535; the same after "pop3://"; after "pop3s://" the connection is
// TLS and the port without one is 995; after "pop3+stls://" the dialogue starts in
// plain text on the "pop3" service port (or the one given) and turns to TLS with STLS
// before it logs in. The scheme is matched without regard to case,
// and one "/" after the URL forms is allowed. An empty host, an empty port, a port out
// of range or with anything but digits, another scheme or a path gives nothing: the
// dialogue then fails as for a host that does not resolve, without any traffic.
std::optional<CMailServerAddress> ParseMailServer(std::string_view mailServer);

// What ParseMailServer accepts, for messages that refuse a value.
constexpr std::string_view kMailServerForms =
    "host, host:port, pop3://host[:port], pop3s://host[:port] or pop3+stls://host[:port]";

// How the dialogue would reach mailServer, in words for a person:
// "TLS to pop.example.com port 995", "plain to 127.0.0.1 port 110", "STARTTLS to
// pop.example.com port 110", or why it cannot.
std::string DescribeMailServer(std::string_view mailServer);
