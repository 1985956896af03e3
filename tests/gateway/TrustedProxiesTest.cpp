#include "gateway/TrustedProxies.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct ClientCase {
    const char* name;
    std::vector<const char*> trusted;
    std::string xForwardedFor;
    std::string forwarded;
    const char* client;  // nullptr: the fields name none, the proxy counts
};

class ClientOfTest : public testing::TestWithParam<ClientCase> {};

TEST_P(ClientOfTest, IsTheLastAddressThatIsNotTrusted) {
    CTrustedProxies proxies;
    for (const char* range : GetParam().trusted) {
        ASSERT_TRUE(proxies.Add(range)) << range;
    }
    const auto client = proxies.ClientOf(GetParam().xForwardedFor, GetParam().forwarded);
    if (GetParam().client == nullptr) {
        EXPECT_FALSE(client) << CTrustedProxies::Format(*client);
    } else {
        ASSERT_TRUE(client);
        EXPECT_EQ(CTrustedProxies::Format(*client), GetParam().client);
    }
}

const std::vector<const char*> kLocal = {"127.0.0.1"};

INSTANTIATE_TEST_SUITE_P(
    Fields, ClientOfTest,
    testing::Values(
        ClientCase{"OneHop", kLocal, " 203.0.113.5\r\n", "", "203.0.113.5"},
        // What the client wrote itself stands left of what the proxy added.
        ClientCase{"ClientsOwnEntryIgnored", kLocal, "6.6.6.6, 203.0.113.5", "", "203.0.113.5"},
        ClientCase{"TrustedHopsSkipped",
                   {"127.0.0.1", "10.0.0.0/8", "2001:db8::/32"},
                   "198.51.100.7, 2001:db8:1::2, 10.1.2.3",
                   "",
                   "198.51.100.7"},
        ClientCase{"EveryHopTrusted", {"10.0.0.0/8"}, "10.0.0.9, 10.0.0.1", "", "10.0.0.9"},
        ClientCase{"TwoFieldLines", kLocal, "6.6.6.6\r\n,203.0.113.5\r\n", "", "203.0.113.5"},
        ClientCase{"Ipv6Client", kLocal, "2001:DB8:0:0::7", "", "2001:db8::7"},
        ClientCase{"PortsAndBrackets", kLocal, "[2001:db8::7]:4711, 192.0.2.1:80", "", "192.0.2.1"},
        ClientCase{"GarbageCountsAsNone", kLocal, "6.6.6.6, <script>", "", nullptr},
        ClientCase{"UntrustedGarbageHidesNothing", kLocal, "garbage, 192.0.2.1", "", "192.0.2.1"},
        ClientCase{"NoFields", kLocal, "", "", nullptr},
        ClientCase{"EmptyField", kLocal, " \r\n", "for=192.0.2.1", "192.0.2.1"},
        ClientCase{"ForwardedElements", kLocal, "",
                   "for=6.6.6.6, For=\"[2001:db8::7]:4711\";proto=https;by=127.0.0.1",
                   "2001:db8::7"},
        ClientCase{"ForwardedOtherPairsFirst", kLocal, "", "proto=https;for=192.0.2.60",
                   "192.0.2.60"},
        ClientCase{"ForwardedObfuscated", kLocal, "", "for=_hidden, for=unknown", nullptr},
        ClientCase{"XForwardedForWins", kLocal, "192.0.2.1", "for=192.0.2.2", "192.0.2.1"}),
    [](const testing::TestParamInfo<ClientCase>& info) { return std::string(info.param.name); });

struct RangeCase {
    const char* name;
    const char* range;  // as --trusted-proxy takes it
    bool valid;
    std::vector<const char*> inside;
    std::vector<const char*> outside;
};

class RangeTest : public testing::TestWithParam<RangeCase> {};

TEST_P(RangeTest, HoldsItsAddressesOnly) {
    CTrustedProxies proxies;
    ASSERT_EQ(proxies.Add(GetParam().range), GetParam().valid);
    EXPECT_EQ(proxies.Empty(), !GetParam().valid);
    for (const char* text : GetParam().inside) {
        EXPECT_TRUE(proxies.Contains(*CTrustedProxies::ParseAddress(text))) << text;
    }
    for (const char* text : GetParam().outside) {
        EXPECT_FALSE(proxies.Contains(*CTrustedProxies::ParseAddress(text))) << text;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, RangeTest,
    testing::Values(
        RangeCase{"OneIpv4", "192.0.2.1", true, {"192.0.2.1"}, {"192.0.2.2", "::ffff:192.0.2.2"}},
        RangeCase{"Ipv4Bits",
                  "10.20.0.0/14",
                  true,
                  {"10.23.255.255", "10.20.0.0"},
                  {"10.24.0.0", "10.19.255.255"}},
        RangeCase{"Ipv4AllBits", "0.0.0.0/0", true, {"1.2.3.4"}, {"2001:db8::1"}},
        RangeCase{"Ipv6Bits", "2001:db8::/33", true, {"2001:db8:7fff::1"}, {"2001:db8:8000::1"}},
        RangeCase{
            "MappedIpv6HoldsIpv4", "::ffff:192.0.2.0/120", true, {"192.0.2.77"}, {"192.0.3.1"}},
        RangeCase{"Ipv4TooManyBits", "192.0.2.0/33", false, {}, {}},
        RangeCase{"Ipv6TooManyBits", "::1/129", false, {}, {}},
        RangeCase{"BitsNotANumber", "192.0.2.0/x", false, {}, {}},
        RangeCase{"NoBits", "192.0.2.0/", false, {}, {}},
        RangeCase{"Name", "localhost", false, {}, {}},
        RangeCase{"ShortIpv4", "127.1", false, {}, {}}),
    [](const testing::TestParamInfo<RangeCase>& info) { return std::string(info.param.name); });

}  // namespace
