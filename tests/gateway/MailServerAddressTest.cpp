#include "gateway/MailServerAddress.h"

#include <gtest/gtest.h>

namespace {

struct Case {
    const char* name;
    const char* text;
    bool valid;
    const char* host = "";
    int port = 0;
    bool tls = false;
    bool startTls = false;
};

class ParseMailServerTest : public testing::TestWithParam<Case> {};

TEST_P(ParseMailServerTest, ReadsHostAndPort) {
    const Case& c = GetParam();
    const auto address = ParseMailServer(c.text);
    ASSERT_EQ(address.has_value(), c.valid);
    if (c.valid) {
        EXPECT_EQ(address->host, c.host);
        EXPECT_EQ(address->port, c.port);
        EXPECT_EQ(address->tls, c.tls);
        EXPECT_EQ(address->startTls, c.startTls);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ParseMailServerTest,
    testing::Values(
        Case{"NameOnly", "pop.example.jp", true, "pop.example.jp", 0},
        Case{"AddressOnly", "127.0.0.1", true, "127.0.0.1", 0},
        Case{"WithPort", "127.0.0.1:1110", true, "127.0.0.1", 1110},
        Case{"LowestPort", "host:1", true, "host", 1},
        Case{"HighestPort", "host:65535", true, "host", 65535},
        Case{"LeadingZeros", "host:00110", true, "host", 110}, Case{"Empty", "", false},
        Case{"EmptyPort", "host:", false}, Case{"PortZero", "host:0", false},
        Case{"PortTooLarge", "host:65536", false}, Case{"PortFarTooLarge", "host:99999", false},
        Case{"PortLetters", "host:abc", false}, Case{"PortWithBlank", "host: 110", false},
        Case{"PortSigned", "host:+110", false}, Case{"NoHost", ":110", false},
        Case{"Tls", "pop3s://pop.example.jp", true, "pop.example.jp", 995, true},
        Case{"TlsWithPort", "pop3s://127.0.0.1:1995", true, "127.0.0.1", 1995, true},
        Case{"TlsSchemeInCapitals", "POP3S://Host", true, "Host", 995, true},
        Case{"TlsWithSlash", "pop3s://host:995/", true, "host", 995, true},
        Case{"Plain", "pop3://host", true, "host", 0, false},
        Case{"PlainWithPort", "Pop3://host:1110", true, "host", 1110, false},
        Case{"StartTls", "pop3+stls://pop.example.jp", true, "pop.example.jp", 0, false, true},
        Case{"StartTlsWithPort", "POP3+STLS://host:1110/", true, "host", 1110, false, true},
        Case{"StartTlsWithoutHost", "pop3+stls://:110", false},
        Case{"TlsWithoutHost", "pop3s://", false}, Case{"TlsWithOnlyAPort", "pop3s://:995", false},
        Case{"TlsEmptyPort", "pop3s://host:", false},
        Case{"TlsPortTooLarge", "pop3s://host:99999", false},
        Case{"TlsWithPath", "pop3s://host/INBOX", false},
        Case{"OtherScheme", "imaps://host", false},
        Case{"SchemeWithoutSlashes", "pop3s:host", false},
        Case{"SchemeTwice", "pop3s://pop3s://host", false}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace

namespace {

struct DescribeCase {
    const char* name;
    const char* text;
    const char* words;
};

class DescribeMailServerTest : public testing::TestWithParam<DescribeCase> {};

TEST_P(DescribeMailServerTest, SaysHowTheServerIsReached) {
    EXPECT_EQ(DescribeMailServer(GetParam().text), GetParam().words);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, DescribeMailServerTest,
    testing::Values(DescribeCase{"Tls", "pop3s://pop.example.jp", "TLS to pop.example.jp port 995"},
                    DescribeCase{"PlainWithPort", "127.0.0.1:1110", "plain to 127.0.0.1 port 1110"},
                    DescribeCase{"PlainServicePort", "pop3://host", "plain to host port 110"},
                    DescribeCase{"StartTls", "pop3+stls://pop.example.jp",
                                 "STARTTLS to pop.example.jp port 110"},
                    DescribeCase{"Empty", "", "none set"},
                    DescribeCase{"Unusable", "host:0",
                                 "not usable: give host, host:port, pop3://host[:port], "
                                 "pop3s://host[:port] or pop3+stls://host[:port]"}),
    [](const testing::TestParamInfo<DescribeCase>& info) { return std::string(info.param.name); });

}  // namespace
