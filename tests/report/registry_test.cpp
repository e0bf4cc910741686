// Names and classes of code points, by group: how many registered names each class holds, a
// few known code points per class, and unregistered values shown in hex.
#include <gtest/gtest.h>

#include <map>

#include "report/registry.h"

namespace {

using namespace report;

TEST(ReportRegistry, SuiteClassCounts) {
    std::map<SuiteClass, size_t> perClass;
    for (uint32_t code = 0; code < 65536; ++code) {
        SuiteInfo const& info = suiteInfo(static_cast<uint16_t>(code));
        if (info.cls != SuiteClass::Unknown) ++perClass[info.cls];
        EXPECT_EQ(info.cls == SuiteClass::Unknown, info.name == hexCode(static_cast<uint16_t>(code))) << code;
    }
    EXPECT_EQ(namedSuiteCount(), 352u);
    EXPECT_EQ(perClass[SuiteClass::Insecure], 102u);
    EXPECT_EQ(perClass[SuiteClass::Weak], 177u);
    EXPECT_EQ(perClass[SuiteClass::Good], 60u);
    EXPECT_EQ(perClass[SuiteClass::Other], 13u);
}

struct SuiteCase {
    uint16_t code;
    char const* name;
    SuiteClass cls;
    char const* firstReason;
};

TEST(ReportRegistry, KnownSuites) {
    SuiteCase const cases[] = {
        {0x0000, "TLS_NULL_WITH_NULL_NULL", SuiteClass::Insecure, "NULL encryption"},
        {0x0003, "TLS_RSA_EXPORT_WITH_RC4_40_MD5", SuiteClass::Insecure, "EXPORT"},
        {0x0005, "TLS_RSA_WITH_RC4_128_SHA", SuiteClass::Insecure, "RC4"},
        {0x000a, "TLS_RSA_WITH_3DES_EDE_CBC_SHA", SuiteClass::Insecure, "3DES"},
        {0x0009, "TLS_RSA_WITH_DES_CBC_SHA", SuiteClass::Insecure, "DES"},
        {0x00a6, "TLS_DH_anon_WITH_AES_128_GCM_SHA256", SuiteClass::Insecure, "anonymous"},
        {0x003b, "TLS_RSA_WITH_NULL_SHA256", SuiteClass::Insecure, "NULL encryption"},
        {0xc0b4, "TLS_SHA256_SHA256", SuiteClass::Insecure, "NULL encryption"},
        {0x009c, "TLS_RSA_WITH_AES_128_GCM_SHA256", SuiteClass::Weak, "static RSA key exchange"},
        {0xc02d, "TLS_ECDH_ECDSA_WITH_AES_128_GCM_SHA256", SuiteClass::Weak, "no forward secrecy"},
        {0xc013, "TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA", SuiteClass::Weak, "CBC"},
        {0x1301, "TLS_AES_128_GCM_SHA256", SuiteClass::Good, nullptr},
        {0x1303, "TLS_CHACHA20_POLY1305_SHA256", SuiteClass::Good, nullptr},
        {0xc02f, "TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256", SuiteClass::Good, nullptr},
        {0x009f, "TLS_DHE_RSA_WITH_AES_256_GCM_SHA384", SuiteClass::Good, nullptr},
        {0x00ff, "TLS_EMPTY_RENEGOTIATION_INFO_SCSV", SuiteClass::Other, nullptr},
        {0x0a0a, "0x0a0a", SuiteClass::Unknown, nullptr},  // GREASE
        {0xfefe, "0xfefe", SuiteClass::Unknown, nullptr},  // reserved range
        {0x1306, "TLS_AEGIS_256_SHA384", SuiteClass::Good, nullptr},
        {0x1308, "0x1308", SuiteClass::Unknown, nullptr},  // unassigned
    };
    for (auto const& c : cases) {
        SuiteInfo const& info = suiteInfo(c.code);
        EXPECT_EQ(info.name, c.name) << hexCode(c.code);
        EXPECT_EQ(info.cls, c.cls) << c.name;
        if (c.firstReason) {
            ASSERT_FALSE(info.reasons.empty()) << c.name;
            EXPECT_EQ(info.reasons.front(), c.firstReason) << c.name;
        }
    }
    EXPECT_TRUE(suiteInfo(0x002f).staticRsa);
    EXPECT_TRUE(suiteInfo(0x009e).finiteFieldDh);
    EXPECT_FALSE(suiteInfo(0xc02f).staticRsa || suiteInfo(0xc02f).finiteFieldDh);
}

TEST(ReportRegistry, GroupKinds) {
    std::map<GroupKind, size_t> perKind;
    for (uint32_t code = 0; code < 65536; ++code) ++perKind[groupKind(static_cast<uint16_t>(code))];
    EXPECT_EQ(namedGroupCount(), 56u);
    EXPECT_EQ(perKind[GroupKind::HybridPq], 3u);
    EXPECT_EQ(perKind[GroupKind::PurePq], 3u);
    EXPECT_EQ(perKind[GroupKind::ObsoletePq], 2u);
    EXPECT_EQ(perKind[GroupKind::Classical], 48u);

    struct {
        uint16_t code;
        char const* name;
        GroupKind kind;
    } const cases[] = {
        {0x11ec, "X25519MLKEM768", GroupKind::HybridPq},   {0x11eb, "SecP256r1MLKEM768", GroupKind::HybridPq},
        {0x0201, "MLKEM768", GroupKind::PurePq},           {0x6399, "X25519Kyber768Draft00 (OBSOLETE)", GroupKind::ObsoletePq},
        {0x001d, "x25519", GroupKind::Classical},          {0x0017, "secp256r1", GroupKind::Classical},
        {0x0100, "ffdhe2048", GroupKind::Classical},       {0x0a0a, "0x0a0a", GroupKind::Unknown},
        {0x0030, "0x0030", GroupKind::Unknown},            {0xff01, "arbitrary_explicit_prime_curves", GroupKind::Classical},
    };
    for (auto const& c : cases) {
        EXPECT_EQ(groupName(c.code), c.name);
        EXPECT_EQ(groupKind(c.code), c.kind) << c.name;
    }
}

TEST(ReportRegistry, Versions) {
    EXPECT_EQ(versionFromText("TLSv1.3"), Version::Tls13);
    EXPECT_EQ(versionFromText("SSLv3.0"), Version::Ssl3);
    EXPECT_EQ(versionFromText(""), Version::Unknown);
    EXPECT_EQ(versionCodeName(0x0301), "TLS 1.0");
    EXPECT_EQ(versionCodeName(0x7f1c), "0x7f1c");
    EXPECT_TRUE(isGrease(0x1a1a) && isGrease(0xfafa));
    EXPECT_FALSE(isGrease(0x1a2a) || isGrease(0x0a0b));
}

}  // namespace
