#include <gtest/gtest.h>
#include <arpa/inet.h>

#include <sstream>

#include "capture/flowkey.h"

namespace {
IpAddress v4(char const* text) {
    uint8_t octets[4];
    inet_pton(AF_INET, text, octets);
    return IpAddress::fromIpv4(octets);
}
IpAddress v6(char const* text) {
    uint8_t bytes[16];
    inet_pton(AF_INET6, text, bytes);
    return IpAddress::fromIpv6(bytes);
}
std::string textOf(FlowKey const& k) {
    std::ostringstream out;
    out << k;
    return out.str();
}
}  // namespace

TEST(FlowKey, OrderWeighsTheLastOctetMostAndEndsWithProtocol) {
    FlowKey a{v4("10.0.0.2"), v4("9.0.0.3"), 443, 443, 6};
    FlowKey b{v4("9.0.0.3"), v4("10.0.0.2"), 443, 443, 6};
    EXPECT_TRUE(a < b);
    EXPECT_FALSE(b < a);
    EXPECT_TRUE((FlowKey{v4("10.0.0.1"), {}, 0, 0, 6} < FlowKey{v4("10.0.0.2"), {}, 0, 0, 6}));
    FlowKey tcp{v4("1.2.3.4"), v4("5.6.7.8"), 3, 4, 6}, udp{v4("1.2.3.4"), v4("5.6.7.8"), 3, 4, 17};
    EXPECT_TRUE(tcp < udp);
    EXPECT_FALSE(udp < tcp);
    // IPv6 addresses follow the same rule: the last byte weighs most.
    EXPECT_TRUE((FlowKey{v6("fd00::2"), {}, 0, 0, 6, 6} < FlowKey{v6("fc00::3"), {}, 0, 0, 6, 6}));
}

TEST(FlowKey, ReverseTwiceAndSelfConnection) {
    for (FlowKey const& k : {FlowKey{v4("192.168.1.10"), v4("10.1.2.3"), 51000, 443, 6},
                             FlowKey{v6("fd00::1"), v6("fd00::2"), 51000, 443, 6, 6}}) {
        EXPECT_TRUE(k.reverse().reverse() == k);
        EXPECT_FALSE(k.reverse() == k);
        FlowKey self = k;
        self.dstAddress = self.srcAddress;
        self.dstPort = self.srcPort;
        EXPECT_FALSE(self < self.reverse());
        EXPECT_FALSE(self.reverse() < self);
    }
}

TEST(FlowKey, IpVersionSeparatesAnIpv4AddressFromItsMappedIpv6Form) {
    FlowKey ipv4{v4("1.2.3.4"), v4("5.6.7.8"), 1, 2, 6, 4};
    FlowKey mapped{v6("::ffff:1.2.3.4"), v6("::ffff:5.6.7.8"), 1, 2, 6, 6};
    EXPECT_EQ(ipv4.srcAddress, mapped.srcAddress);
    EXPECT_FALSE(ipv4 == mapped);
    EXPECT_EQ(textOf(mapped), "[::ffff:1.2.3.4]:1 - [::ffff:5.6.7.8]:2 (6)");
}

TEST(FlowKey, TextFormAsInetNtopWritesTheAddresses) {
    EXPECT_EQ(textOf(FlowKey{v4("192.168.1.10"), v4("10.1.2.3"), 51000, 443, 6}),
              "192.168.1.10:51000 - 10.1.2.3:443 (6)");
    EXPECT_EQ(textOf(FlowKey{v6("FD00:0:0:0:0:0:0:1"), v6("2001:db8:0:0:1:0:0:1"), 51000, 443, 6, 6}),
              "[fd00::1]:51000 - [2001:db8::1:0:0:1]:443 (6)");
    EXPECT_EQ(addressToString(v6("::1"), 6), "::1");
}
