#include "gateway/MailServerAddress.h"

#include <gtest/gtest.h>

namespace {

struct Case {
    const char* name;
    const char* text;
    bool valid;
    const char* host = "";
    int port = 0;
};

class ParseMailServerTest : public testing::TestWithParam<Case> {};

TEST_P(ParseMailServerTest, ReadsHostAndPort) {
    const Case& c = GetParam();
    const auto address = ParseMailServer(c.text);
    ASSERT_EQ(address.has_value(), c.valid);
    if (c.valid) {
        EXPECT_EQ(address->host, c.host);
        EXPECT_EQ(address->port, c.port);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ParseMailServerTest,
    testing::Values(Case{"NameOnly", "pop.example.jp", true, "pop.example.jp", 0},
                    Case{"AddressOnly", "127.0.0.1", true, "127.0.0.1", 0},
                    Case{"WithPort", "127.0.0.1:1110", true, "127.0.0.1", 1110},
                    Case{"LowestPort", "host:1", true, "host", 1},
                    Case{"HighestPort", "host:65535", true, "host", 65535},
                    Case{"LeadingZeros", "host:00110", true, "host", 110}, Case{"Empty", "", false},
                    Case{"EmptyPort", "host:", false}, Case{"PortZero", "host:0", false},
                    Case{"PortTooLarge", "host:65536", false},
                    Case{"PortFarTooLarge", "host:99999", false},
                    Case{"PortLetters", "host:abc", false},
                    Case{"PortWithBlank", "host: 110", false},
                    Case{"PortSigned", "host:+110", false}, Case{"NoHost", ":110", false}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
