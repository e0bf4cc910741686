#include <gtest/gtest.h>

#include <sstream>

#include "capture/flowkey.h"

namespace {
uint32_t address(unsigned a, unsigned b, unsigned c, unsigned d) { return a | b << 8 | c << 16 | d << 24; }
std::string textOf(FlowKey const& k) {
    std::ostringstream out;
    out << k;
    return out.str();
}
}  // namespace

TEST(FlowKey, OrderWeighsTheLastOctetMostAndEndsWithProtocol) {
    FlowKey a{address(10, 0, 0, 2), address(9, 0, 0, 3), 443, 443, 6};
    FlowKey b{address(9, 0, 0, 3), address(10, 0, 0, 2), 443, 443, 6};
    EXPECT_TRUE(a < b);
    EXPECT_FALSE(b < a);
    FlowKey c{address(10, 0, 0, 1), 0, 0, 0, 6}, d{address(10, 0, 0, 2), 0, 0, 0, 6};
    EXPECT_TRUE(c < d);
    FlowKey tcp{1, 2, 3, 4, 6}, udp{1, 2, 3, 4, 17};
    EXPECT_TRUE(tcp < udp);
    EXPECT_FALSE(udp < tcp);
}

TEST(FlowKey, ReverseTwiceAndSelfConnection) {
    FlowKey k{address(192, 168, 1, 10), address(10, 1, 2, 3), 51000, 443, 6};
    EXPECT_TRUE(sameKey(k.reverse().reverse(), k));
    FlowKey self{address(127, 0, 0, 1), address(127, 0, 0, 1), 5000, 5000, 6};
    EXPECT_FALSE(self < self.reverse());
    EXPECT_FALSE(self.reverse() < self);
}

TEST(FlowKey, TextForm) {
    FlowKey k{address(192, 168, 1, 10), address(10, 1, 2, 3), 51000, 443, 6};
    EXPECT_EQ(textOf(k), "192.168.1.10:51000 - 10.1.2.3:443 (6)");
}
