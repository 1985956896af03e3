#include "transport/Address.h"

#include <netdb.h>

#include <optional>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

namespace {

struct HostCase {
    const char* name;
    const char* host;
    std::optional<Ipv4Address> address;
};

void PrintTo(const HostCase& c, std::ostream* os) {
    *os << c.name;
}

class NumericHostTest : public testing::TestWithParam<HostCase> {};

TEST_P(NumericHostTest, ReadsTheAddress) {
    EXPECT_EQ(ParseNumericHost(GetParam().host), GetParam().address);
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, NumericHostTest,
    testing::Values(HostCase{"Plain", "192.168.0.25", Ipv4Address{192, 168, 0, 25}},
                    HostCase{"LeadingZerosAreDecimal", "010.001.002.003", Ipv4Address{10, 1, 2, 3}},
                    HostCase{"ZeroPaddedLoopback", "127.000.000.001", Ipv4Address{127, 0, 0, 1}},
                    HostCase{"OnlyLowEightBitsCount", "1.2.3.300", Ipv4Address{1, 2, 3, 44}},
                    HostCase{"ManyDigits", "1.2.3.0000000000000261", Ipv4Address{1, 2, 3, 5}},
                    HostCase{"TwoParts", "127.1", Ipv4Address{127, 0, 0, 1}},
                    HostCase{"OneNumber", "2130706433", Ipv4Address{127, 0, 0, 1}},
                    HostCase{"HexadecimalPart", "0x7f.0.0.1", Ipv4Address{127, 0, 0, 1}},
                    HostCase{"Name", "pop.example.com", std::nullopt},
                    HostCase{"FiveParts", "1.2.3.4.5", std::nullopt},
                    HostCase{"EmptyPart", "1..2.3", std::nullopt},
                    HostCase{"TrailingDot", "1.2.3.4.", std::nullopt},
                    HostCase{"TrailingSpaceAndText", "1.2.3.4 x", std::nullopt},
                    HostCase{"Sign", "-1.2.3.4", std::nullopt}, HostCase{"Empty", "", std::nullopt},
                    HostCase{"Null", nullptr, std::nullopt}),
    [](const testing::TestParamInfo<HostCase>& info) { return std::string(info.param.name); });

TEST(ResolveHostTest, NamesGoToTheResolver) {
    EXPECT_EQ(ResolveHost("localhost"), (Ipv4Address{127, 0, 0, 1}));
    EXPECT_EQ(ResolveHost("tallwyn-test.invalid"), std::nullopt);
}

TEST(ChoosePortTest, ZeroMeansTheServicePort) {
    const servent* pop3 = getservbyname("pop3", nullptr);
    const int expected = pop3 != nullptr ? ntohs(static_cast<uint16_t>(pop3->s_port)) : 110;
    EXPECT_EQ(ChoosePort(0), expected);
    EXPECT_EQ(ChoosePort(995), 995);
    EXPECT_EQ(ChoosePort(0, "tallwyn-no-such-service", 110), 110);
}

}  // namespace
