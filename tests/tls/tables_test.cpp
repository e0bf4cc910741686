// TLS registry tables: row counts per group, the ends of every range, and keys that must
// not be found.
#include <gtest/gtest.h>

#include "tls/tables.h"

namespace {

TEST(Tables, SmallTables) {
    EXPECT_EQ(tlsVersions.size(), 5u);
    EXPECT_EQ(tlsVersions.at(0x0300), "SSLv3.0");
    EXPECT_EQ(tlsVersions.at(0x0304), "TLSv1.3");
    EXPECT_FALSE(tlsVersions.count(0x0200));
    EXPECT_FALSE(tlsVersions.count(0x0305));
    EXPECT_FALSE(tlsVersions.count(0x7f1c));

    EXPECT_EQ(parseHandshakeTypes.size(), 6u);
    for (int type : {1, 2, 6, 11, 12, 13}) EXPECT_TRUE(parseHandshakeTypes.count(type)) << type;

    EXPECT_EQ(saveHandshakeTypes.size(), 19u);
    for (int absent : {7, 9, 10, 17, 18, 19, 20, 25, 253, 255}) EXPECT_FALSE(saveHandshakeTypes.count(absent));
    EXPECT_EQ(saveHandshakeTypes.at(0), "HelloRequest");
    EXPECT_EQ(saveHandshakeTypes.at(11), "Certificate");
    EXPECT_EQ(saveHandshakeTypes.at(24), "KeyUpdate");
    EXPECT_EQ(saveHandshakeTypes.at(254), "MessageHash");
}

TEST(Tables, KeyExchangeRowsPerName) {
    std::map<std::string, int> rows;
    for (auto const& [codePoint, name] : keyExchangeAlgorithms) {
        ++rows[name];
        EXPECT_EQ(codePoint.size(), 6u);
        EXPECT_EQ(codePoint.find_first_not_of("0123456789abcdef", 2), std::string::npos) << codePoint;
    }
    std::map<std::string, int> const expected = {
        {"NULL", 1},          {"RSA", 32},          {"DH_DSS", 20},     {"DH_RSA", 20},
        {"DHE_DSS", 20},      {"DHE_RSA", 25},      {"DH_anon", 22},    {"KRB5", 14},
        {"PSK_", 1},          {"DHE_PSK", 22},      {"RSA_PSK", 20},    {"PSK", 23},
        {"SM4_GCM_SM3", 1},   {"SM4_CCM_SM3", 1},   {"AES_128_GCM_SHA256", 1},
        {"AES_256_GCM_SHA384", 1}, {"CHACHA20_POLY1305_SHA256", 1}, {"AES_128_CCM_SHA256", 1},
        {"AES_128_CCM_8_SHA256", 1}, {"ECDH", 39}, {"ECDHE", 58},     {"SRP_SHA", 3},
        {"SRP_SHA_RSA", 3},   {"SRP_SHA_DSS", 3},   {"PSK_DHE", 2},     {"ECCPWD", 4},
        {"SHA256_SHA256", 1}, {"SHA384_SHA384", 1}, {"GOSTR341112_256", 7},
    };
    EXPECT_EQ(rows, expected);
    EXPECT_EQ(keyExchangeAlgorithms.size(), 348u);
}

TEST(Tables, KeyExchangeRangeEndsAndGaps) {
    std::map<std::string, std::string> const samples = {
        {"0x0000", "NULL"},     {"0x0001", "RSA"},        {"0x0003", "RSA"},     {"0x000a", "RSA"},
        {"0x000b", "DH_DSS"},   {"0x0010", "DH_RSA"},     {"0x001b", "DH_anon"}, {"0x001e", "KRB5"},
        {"0x002b", "KRB5"},     {"0x002c", "PSK_"},       {"0x0067", "DHE_RSA"}, {"0x00c7", "SM4_CCM_SM3"},
        {"0x1301", "AES_128_GCM_SHA256"}, {"0x1305", "AES_128_CCM_8_SHA256"},    {"0xc001", "ECDH"},
        {"0xc02f", "ECDHE"},    {"0xc030", "ECDHE"},      {"0xc033", "ECDHE"},   {"0xc03b", "ECDHE"},
        {"0xc0a1", "RSA"},      {"0xc0af", "ECDHE"},      {"0xc0b5", "SHA384_SHA384"},
        {"0xcca8", "ECDHE"},    {"0xccaa", "DHE_RSA"},    {"0xccae", "RSA_PSK"}, {"0xd005", "ECDHE"},
        {"0xc100", "GOSTR341112_256"}, {"0xc106", "GOSTR341112_256"},
    };
    for (auto const& [codePoint, name] : samples) EXPECT_EQ(keyExchangeName(codePoint), name) << codePoint;

    for (char const* absent : {"0x001c", "0x001d", "0x0047", "0x0066", "0x00ff", "0x00c8", "0x1300", "0x1306",
                               "0xc000", "0xc0b6", "0xc107", "0xd004", "0x0a0a", "0xfafa", "0xC02F", "0xc02f ",
                               "c02f", "0x2f", "0x00002f", ""}) {
        EXPECT_FALSE(keyExchangeAlgorithms.count(absent)) << absent;
        EXPECT_EQ(keyExchangeName(absent), "") << absent;
    }
}

}  // namespace
