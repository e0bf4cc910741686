// ClientHello reading and JA4: the worked example of the JA4 definition rebuilt as a real
// message (with GREASE that must be left out), the ALPN corner cases, and every truncation
// of a real hello read without going past its end.
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "tls/client_hello.h"
#include "report/hello_builder.h"
#include "e2e/e2e_support.h"
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

// JA4 of the first ClientHello of each stream of its authors' captures, as their tool gives
// it (most of these handshakes never complete, so the hellos are taken out with tshark).
TEST(ClientHello, Ja4AsItsAuthorsToolGivesIt) {
    SKIP_WITHOUT_SHARED_DIR();
    if (!e2e::haveTool("tshark -v")) GTEST_SKIP() << "tshark not installed";
    // Prints "STREAM HEX" for each ClientHello carried over TCP.
    std::string const hellos = R"PY(
import json, subprocess, sys
out = subprocess.run(["tshark", "-r", sys.argv[1], "-Y", "tls.handshake.type == 1 && tcp", "-T", "json", "-x"],
                     capture_output=True, check=True).stdout
def find(node, key):
    if isinstance(node, dict):
        for k, v in node.items():
            if k == key: yield v
            yield from find(v, key)
    elif isinstance(node, list):
        for v in node: yield from find(v, key)
for packet in json.loads(out or b"[]"):
    layers = packet["_source"]["layers"]
    for raw in find(layers, "tls.handshake_raw"):
        print(layers["tcp"]["tcp.stream"], (raw[0] if isinstance(raw, list) else raw))
)PY";
    size_t compared = 0;
    for (std::string const name : {"tls12.pcap", "ipv6.pcapng", "tls-alpn-h2.pcap", "tls-non-ascii-alpn.pcapng",
                                   "badcurveball.pcap", "chrome-cloudflare-quic-with-secrets.pcapng"}) {
        std::string const outputs = varno_test::sharedPath("reference/ja4/" + name + ".json");
        std::string const capture = std::filesystem::exists(varno_test::sharedPath("reference/ja4/" + name))
                                        ? varno_test::sharedPath("reference/ja4/" + name)
                                        : varno_test::sharedPath("captures/public/ja4-" + name);
        auto const expected = nlohmann::json::parse(varno_test::readFile(outputs));
        auto const run = e2e::runShell("python3 -c " + e2e::shellQuote(hellos) + " " +
                                              e2e::shellQuote(capture));
        ASSERT_EQ(run.status, 0) << run.err;
        std::set<std::string> seen;
        std::istringstream lines(run.out);
        for (std::string stream, hex; lines >> stream >> hex;) {
            if (!seen.insert(stream).second) continue;  // JA4.1 is the stream's first hello
            Bytes message;
            for (size_t i = 0; i + 1 < hex.size(); i += 2) message.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
            ClientHelloInfo hello;
            ASSERT_TRUE(tls::parseClientHello(message, hello)) << name;
            tls::Ja4 ja4;
            for (auto const& entry : expected) {
                if (std::to_string(entry.value("stream", -1)) != stream || !entry.contains("JA4.1")) continue;
                std::string want = entry["JA4.1"];
                // The first ALPN value is the bytes ba ad: the JA4 text prints the first and last
                // characters of its hex form, "bd" (its own example: ab cd gives "ad"); the
                // authors' tool prints "99" there.
                if (name == std::string("tls-non-ascii-alpn.pcapng")) want.replace(8, 2, "bd");
                EXPECT_EQ(ja4.fingerprint(hello), want) << name << " stream " << stream;
                ++compared;
            }
        }
    }
    EXPECT_GE(compared, 6u);
}

}  // namespace
