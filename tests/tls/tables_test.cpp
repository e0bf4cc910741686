// TLS tables: the handshake types that can be saved, the version table, and the
// key-exchange kinds the monitor reads from the cipher-suite registry (rows per kind and
// the ends of the ranges that decide a column).
#include <gtest/gtest.h>

#include <map>

#include "tls/registry.h"
#include "tls/tables.h"

namespace {

TEST(Tables, SavedTypesAndVersions) {
    EXPECT_EQ(saveHandshakeTypes.size(), 19u);
    for (int absent : {7, 9, 10, 17, 18, 19, 20, 25, 253, 255}) EXPECT_FALSE(saveHandshakeTypes.count(absent));
    EXPECT_EQ(saveHandshakeTypes.at(0), "HelloRequest");
    EXPECT_EQ(saveHandshakeTypes.at(11), "Certificate");
    EXPECT_EQ(saveHandshakeTypes.at(24), "KeyUpdate");
    EXPECT_EQ(saveHandshakeTypes.at(254), "MessageHash");

    int known = 0;
    for (uint32_t code = 0; code < 65536; ++code) {
        tls::Version const v = tls::versionFromCode(static_cast<uint16_t>(code));
        if (v == tls::Version::Unknown) continue;
        ++known;
        EXPECT_EQ(tls::versionCode(v), code);
        EXPECT_EQ(tls::versionFromText(tls::versionText(v)), v);
    }
    EXPECT_EQ(known, 5);
    EXPECT_EQ(tls::versionText(tls::versionFromCode(0x0300)), "SSLv3.0");
    EXPECT_EQ(tls::versionText(tls::versionFromCode(0x0304)), "TLSv1.3");
    EXPECT_EQ(tls::versionText(tls::Version::Unknown), "");
}

TEST(Tables, KeyExchangeKindsPerSuite) {
    using tls::KeyExchangeKind;
    std::map<KeyExchangeKind, int> rows;
    for (uint32_t code = 0; code < 65536; ++code) {
        KeyExchangeKind const kind = tls::keyExchangeKind(static_cast<uint16_t>(code));
        ++rows[kind];
        EXPECT_EQ(tls::suiteInfo(static_cast<uint16_t>(code)).keyExchange, kind) << code;
    }
    EXPECT_EQ(rows[KeyExchangeKind::Rsa], 32);
    EXPECT_EQ(rows[KeyExchangeKind::Ecdh], 97);
    EXPECT_EQ(rows[KeyExchangeKind::FiniteField], 67);

    std::map<uint16_t, KeyExchangeKind> const samples = {
        {0x0000, KeyExchangeKind::Other},       {0x0001, KeyExchangeKind::Rsa},
        {0x0003, KeyExchangeKind::Rsa},         {0x000a, KeyExchangeKind::Rsa},
        {0x000b, KeyExchangeKind::Other},       {0x0011, KeyExchangeKind::FiniteField},
        {0x0014, KeyExchangeKind::FiniteField}, {0x001b, KeyExchangeKind::FiniteField},
        {0x002e, KeyExchangeKind::Other},       {0x0062, KeyExchangeKind::Other},
        {0x009e, KeyExchangeKind::FiniteField}, {0x00ff, KeyExchangeKind::Other},
        {0x1301, KeyExchangeKind::Other},       {0xc001, KeyExchangeKind::Ecdh},
        {0xc02f, KeyExchangeKind::Ecdh},        {0xc0a1, KeyExchangeKind::Rsa},
        {0xccaa, KeyExchangeKind::FiniteField}, {0xd004, KeyExchangeKind::Other},
        {0xd005, KeyExchangeKind::Ecdh},        {0x0a0a, KeyExchangeKind::Other},
    };
    for (auto const& [code, kind] : samples) EXPECT_EQ(tls::keyExchangeKind(code), kind) << std::hex << code;
}

}  // namespace
