// ClientHello reading and JA4: the worked example of the JA4 definition rebuilt as a real
// message (with GREASE that must be left out), the ALPN corner cases, and every truncation
// of a real hello read without going past its end.
#include <gtest/gtest.h>

#include "report/client_hello.h"
#include "support/builders.h"

namespace {

using namespace build;
using report::ClientHelloInfo;

Bytes u16List(std::vector<uint16_t> const& values, size_t prefix = 2) {
    Bytes b;
    if (prefix == 1) put8(b, static_cast<unsigned>(values.size() * 2));
    else put16(b, static_cast<unsigned>(values.size() * 2));
    for (auto v : values) put16(b, v);
    return b;
}

Bytes alpn(std::vector<std::string> const& names) {
    Bytes list;
    for (auto const& n : names) {
        put8(list, static_cast<unsigned>(n.size()));
        append(list, text(n));
    }
    Bytes b;
    put16(b, static_cast<unsigned>(list.size()));
    append(b, list);
    return extension(0x0010, b);
}

// A hello with the cipher suites and extensions of the JA4 worked example (t13d1516h2),
// GREASE values added in front of both lists.
Bytes exampleHello(std::vector<std::string> const& protocols = {"h2", "http/1.1"}) {
    Bytes body;
    put16(body, 0x0303);
    body.resize(body.size() + 32, 0x5a);
    put8(body, 0);
    append(body, u16List({0x2a2a, 0x1301, 0x1302, 0x1303, 0xc02b, 0xc02f, 0xc02c, 0xc030, 0xcca9, 0xcca8, 0xc013,
                          0xc014, 0x009c, 0x009d, 0x002f, 0x0035}));
    put8(body, 1);
    put8(body, 0);
    Bytes keyShare;
    put16(keyShare, 6);
    put16(keyShare, 0x11ec);
    put16(keyShare, 2);
    put16(keyShare, 0xabcd);
    Bytes const sigalgs = u16List({0x0403, 0x0804, 0x0401, 0x0503, 0x0805, 0x0501, 0x0806, 0x0601});
    Bytes const extensions = concat({
        extension(0x3a3a, {}), sniExtension("example.com"), extension(0x0017, {}), extension(0xff01, {0}),
        extension(0x000a, u16List({0x1a1a, 0x11ec, 0x001d, 0x0017})), extension(0x000b, {1, 0}),
        extension(0x0023, {}), alpn(protocols), extension(0x0005, {1, 0, 0, 0, 0}), extension(0x000d, sigalgs),
        extension(0x0012, {}), extension(0x0033, keyShare), extension(0x002d, {1, 1}),
        extension(0x002b, u16List({0x4a4a, 0x0304, 0x0303}, 1)), extension(0x001b, {2, 0, 2}),
        extension(0x4469, {}), extension(0x0015, {0, 0})});
    put16(body, static_cast<unsigned>(extensions.size()));
    append(body, extensions);
    return handshake(1, body);
}

TEST(ReportClientHello, Ja4WorkedExample) {
    Bytes const message = exampleHello();
    ClientHelloInfo hello;
    ASSERT_TRUE(report::parseClientHello(message, hello));
    EXPECT_EQ(hello.highestVersion(), 0x0304);
    EXPECT_EQ(hello.groups, (std::vector<uint16_t>{0x1a1a, 0x11ec, 0x001d, 0x0017}));
    EXPECT_EQ(hello.keyShares, (std::vector<uint16_t>{0x11ec}));
    EXPECT_EQ(hello.alpn, (std::vector<std::string>{"h2", "http/1.1"}));
    report::Ja4 ja4;
    EXPECT_EQ(ja4.fingerprint(hello), "t13d1516h2_8daaf6152771_e5627efa2ab1");
}

TEST(ReportClientHello, Ja4AlpnForms) {
    struct {
        std::vector<std::string> protocols;
        char const* part;
    } const cases[] = {{{}, "00"}, {{"http/1.1"}, "h1"}, {{"x"}, "xx"}, {{"\xab\x01\xcd"}, "ad"}, {{""}, "00"}};
    report::Ja4 ja4;
    for (auto const& c : cases) {
        ClientHelloInfo hello;
        ASSERT_TRUE(report::parseClientHello(exampleHello(c.protocols), hello));
        // An empty protocol list still counts as an extension.
        EXPECT_EQ(ja4.fingerprint(hello).substr(8, 2), c.part);
    }
}

TEST(ReportClientHello, EveryTruncationStaysInBounds) {
    Bytes const message = exampleHello();
    ClientHelloInfo hello;
    for (size_t length = 0; length < message.size(); ++length) {
        // A copy of exactly that length, so a read past it is a heap overflow the sanitizer sees.
        Bytes const cut(message.begin(), message.begin() + static_cast<long>(length));
        EXPECT_FALSE(report::parseClientHello(cut, hello)) << length;
    }
    report::ServerHelloInfo server;
    EXPECT_FALSE(report::parseServerHello(message, server));  // not a ServerHello
}

}  // namespace
