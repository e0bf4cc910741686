// ClientHello reading and JA4: the worked example of the JA4 definition rebuilt as a real
// message (with GREASE that must be left out), the ALPN corner cases, and every truncation
// of a real hello read without going past its end.
#include <gtest/gtest.h>

#include <algorithm>

#include "tls/client_hello.h"
#include "report/hello_builder.h"
#include "support/handshake.h"
#include "tls/tls.h"

namespace {

using namespace build;
using report_test::exampleHello;
using tls::ClientHelloInfo;

TEST(ClientHello, Ja4WorkedExample) {
    Bytes const message = exampleHello();
    ClientHelloInfo hello;
    ASSERT_TRUE(tls::parseClientHello(message, hello));
    EXPECT_EQ(hello.highestVersion(), 0x0304);
    EXPECT_EQ(hello.groups, (std::vector<uint16_t>{0x1a1a, 0x11ec, 0x001d, 0x0017}));
    EXPECT_EQ(hello.keyShares, (std::vector<uint16_t>{0x11ec}));
    EXPECT_EQ(hello.alpn, (std::vector<std::string>{"h2", "http/1.1"}));
    tls::Ja4 ja4;
    EXPECT_EQ(ja4.fingerprint(hello), "t13d1516h2_8daaf6152771_e5627efa2ab1");
    // The same hello over DTLS: a cookie after the session ID, versions counted downwards.
    ASSERT_TRUE(tls::parseClientHello(exampleHello({"h2", "http/1.1"}, true), hello, 'd'));
    EXPECT_EQ(ja4.fingerprint(hello), "dd3d1516h2_8daaf6152771_e5627efa2ab1");
}

TEST(ClientHello, Ja4AlpnForms) {
    struct {
        std::vector<std::string> protocols;
        char const* part;
    } const cases[] = {{{}, "00"}, {{"http/1.1"}, "h1"}, {{"x"}, "xx"}, {{"\xab\x01\xcd"}, "ad"}, {{""}, "00"}};
    tls::Ja4 ja4;
    for (auto const& c : cases) {
        ClientHelloInfo hello;
        ASSERT_TRUE(tls::parseClientHello(exampleHello(c.protocols), hello));
        // An empty protocol list still counts as an extension.
        EXPECT_EQ(ja4.fingerprint(hello).substr(8, 2), c.part);
    }
}

TEST(ClientHello, EveryTruncationStaysInBounds) {
    Bytes const message = exampleHello();
    ClientHelloInfo whole, hello;
    ASSERT_TRUE(tls::parseClientHello(message, whole));
    for (size_t length = 0; length < message.size(); ++length) {
        // A copy of exactly that length, so a read past it is a heap overflow the sanitizer sees.
        Bytes const cut(message.begin(), message.begin() + static_cast<long>(length));
        if (!tls::parseClientHello(cut, hello)) continue;
        // Readable once the fixed part fits; the extensions that fit are a prefix of all of them.
        EXPECT_EQ(hello.cipherSuites, whole.cipherSuites) << length;
        ASSERT_LE(hello.extensions.size(), whole.extensions.size()) << length;
        EXPECT_TRUE(std::equal(hello.extensions.begin(), hello.extensions.end(), whole.extensions.begin())) << length;
    }
    tls::ServerHelloInfo server;
    EXPECT_FALSE(tls::parseServerHello(message, server));  // not a ServerHello
}

// The monitor and the report read a hello through the same views: an extension block that
// claims more bytes than the message holds is walked as far as it goes by both.
TEST(ClientHello, MonitorAndReportReadAMalformedBlockAlike) {
    ClientHelloFields f;
    Bytes const sni = sniExtension("a.example");
    f.extensions = concat({sni, extension(0x0017, {}), Bytes{0x00, 0x10, 0x00}});  // the last one is cut
    for (size_t extra : {0, 1, 40}) {
        Bytes message = clientHello(f);
        size_t const at = message.size() - f.extensions->size() - 2;  // the block's length
        unsigned const claimed = static_cast<unsigned>(f.extensions->size() + extra);
        message[at] = static_cast<uint8_t>(claimed >> 8);
        message[at + 1] = static_cast<uint8_t>(claimed);

        ClientHelloInfo hello;
        ASSERT_TRUE(tls::parseClientHello(message, hello)) << extra;
        EXPECT_TRUE(hello.hasSni) << extra;
        EXPECT_EQ(hello.extensions, (std::vector<uint16_t>{0x0000, 0x0017})) << extra;

        SettingsGuard guard;
        Connection conn;
        TLSFeatures features;
        TLSProtocolProcessor client(&features, conn.fromClient({0})->key);
        client.process(conn.fromClient(record(22, message)));
        EXPECT_EQ(features.sni, "a.example") << extra;
    }
}

}  // namespace
