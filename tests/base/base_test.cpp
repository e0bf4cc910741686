// The bounded reader every parser relies on, and the hexadecimal forms of the output.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "base/byte_reader.h"
#include "base/hex.h"

TEST(ByteReader, ReadsPastTheEndFailAndStayFailed) {
    const std::vector<uint8_t> bytes = {0x01, 0x02, 0x03, 0x04, 0x05};
    ByteReader r(bytes.data(), bytes.size());
    EXPECT_EQ(r.u16(), 0x0102);
    EXPECT_EQ(r.u24(), 0x030405u);
    EXPECT_TRUE(r.ok());
    EXPECT_TRUE(r.empty());
    EXPECT_EQ(r.u8(), 0);  // one byte too far
    EXPECT_FALSE(r.ok());

    ByteReader short_(bytes.data(), bytes.size());
    EXPECT_EQ(short_.u32(), 0x01020304u);
    EXPECT_EQ(short_.u16(), 0);  // needs two, one is left: nothing is read
    EXPECT_FALSE(short_.ok());
    EXPECT_EQ(short_.u8(), 0) << "a failed reader stays failed although a byte is left";
    EXPECT_TRUE(short_.bytes(0).empty());
    EXPECT_EQ(short_.remaining(), 0u);
    EXPECT_FALSE(short_.skip(0));
}

TEST(ByteReader, SubViewsNeverReachPastTheirParent) {
    const std::vector<uint8_t> bytes = {0x00, 0x03, 0xaa, 0xbb, 0xcc, 0xdd};
    ByteReader r(bytes.data(), bytes.size());
    ByteReader inner = r.sub(r.u16());
    EXPECT_EQ(inner.remaining(), 3u);
    EXPECT_EQ(inner.u16(), 0xaabb);
    EXPECT_EQ(inner.u16(), 0) << "the sub-view ends before the parent's last byte";
    EXPECT_FALSE(inner.ok());
    EXPECT_EQ(r.u8(), 0xdd) << "the parent moved past the sub-view only";

    ByteReader parent(bytes.data(), bytes.size());
    ByteReader tooLong = parent.sub(7);
    EXPECT_FALSE(tooLong.ok());
    EXPECT_EQ(tooLong.remaining(), 0u);
    EXPECT_FALSE(parent.ok());
}

TEST(Hex, ZeroPaddedLowerCase) {
    EXPECT_EQ(hex4(0x1d), "0x001d");
    EXPECT_EQ(hex4(0xC02F), "0xc02f");
    EXPECT_EQ(hex4(0), "0x0000");
}
