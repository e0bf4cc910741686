#include <gtest/gtest.h>

#include "support/handshake.h"
#include "tls/tls.h"

using namespace build;

namespace {
struct Processors : ::testing::Test {
    SettingsGuard guard;
    Connection conn;
    TLSFeatures features;
    std::shared_ptr<TLSProtocolProcessor> client, server;

    void SetUp() override {
        guard.config.keyShare = false;
        guard.config.certificates = false;
        guard.config.hasMessageTypes = false;
        guard.config.messageTypes.clear();
        Segment s = conn.client;
        s.payload = {0};
        FlowKey key = tcpPacket(s)->key;
        client = std::make_shared<TLSProtocolProcessor>(&features, key);
        server = std::make_shared<TLSProtocolProcessor>(&features, key.reverse());
    }
    void clientSends(Bytes const& payload) { client->process(conn.fromClient(payload)); }
    void serverSends(Bytes const& payload) { server->process(conn.fromServer(payload)); }
};

Bytes clientHelloWith(Bytes const& extensions) {
    ClientHelloFields f;
    f.extensions = extensions;
    return clientHello(f);
}
}  // namespace

TEST_F(Processors, ClientHelloFillsAddressesSniAndFlags) {
    ClientHelloFields f;
    f.cipherSuiteCount = 34;
    f.extensions = concat({sniExtension("example.com"), renegotiationExtension({})});
    clientSends(record(22, clientHello(f), 0x0301));
    EXPECT_TRUE(features.clientHelloSeen);
    EXPECT_EQ(features.sni, "example.com");
    EXPECT_FALSE(features.isCompressed);
    EXPECT_FALSE(features.isRenegotiated);
    EXPECT_EQ(features.tlsVersion, "TLSv1.2");
    EXPECT_EQ(features.clientIPAddress, "192.168.1.10");
    EXPECT_EQ(features.clientPortNumber, "51000");
    EXPECT_EQ(features.serverIPAddress, "10.1.2.3");
    EXPECT_EQ(features.serverPortNumber, "443");
    EXPECT_EQ(features.clientMACAddress, "02:00:00:00:00:01");
    EXPECT_EQ(features.serverMACAddress, "00:1a:2b:3c:4d:5e");
    EXPECT_EQ(features.connectionTimestamp, 1700000000000u);
    EXPECT_FALSE(client->isServer);
}

TEST_F(Processors, CompressionFollowsLastOfferedThenChosenMethod) {
    ClientHelloFields f;
    f.compression = {1, 0};
    clientSends(record(22, clientHello(f)));
    EXPECT_FALSE(features.isCompressed);
    TLSFeatures other;
    TLSProtocolProcessor p(&other, client->directionKey);
    f.compression = {0, 1};
    f.extensions.reset();  // no extensions at all
    p.process(conn.fromClient(record(22, clientHello(f))));
    EXPECT_TRUE(other.isCompressed);
    EXPECT_TRUE(other.sni.empty());
    ServerHelloFields s;
    TLSProtocolProcessor q(&other, server->directionKey);
    q.process(conn.fromServer(record(22, serverHello(s))));
    EXPECT_FALSE(other.isCompressed);
}

TEST_F(Processors, Tls13ServerHelloSetsVersionGroupAndKeyShare) {
    guard.config.keyShare = true;
    ServerHelloFields s;
    s.cipherSuite = 0x1301;
    s.extensions = concat({supportedVersionExtension(0x0304), keyShareExtension(0x001d, 32)});
    serverSends(record(22, serverHello(s)));
    EXPECT_TRUE(features.serverHelloSeen);
    EXPECT_TRUE(server->isServer);
    EXPECT_EQ(features.tlsVersion, "TLSv1.3");
    EXPECT_EQ(features.cipherSuiteCodePoint, "0x1301");
    EXPECT_EQ(features.tls13KexNamedGroupCodePoint, "0x001d");
    EXPECT_EQ(features.keyShareExtension.size(), 2u + 2u + 32u);
    // The server side is the packet's source.
    EXPECT_EQ(features.serverIPAddress, "10.1.2.3");
    EXPECT_EQ(features.clientPortNumber, "51000");
}

TEST_F(Processors, UnknownSuiteAndUnknownSelectedVersion) {
    ServerHelloFields s;
    s.cipherSuite = 0x0062;
    s.extensions = supportedVersionExtension(0x7f1c);
    serverSends(record(22, serverHello(s)));
    EXPECT_EQ(features.cipherSuiteCodePoint, "0x0062");
    EXPECT_FALSE(server->isRsaKeyExchange);
    EXPECT_EQ(features.tlsVersion, "") << "an unknown selected version leaves the version alone";
    EXPECT_TRUE(features.serverHelloSeen);
}

TEST_F(Processors, VersionRulesAcrossHelloRetryRequest) {
    ClientHelloFields first;
    first.extensions = sniExtension("first.example");
    clientSends(record(22, clientHello(first), 0x0301));
    EXPECT_EQ(features.tlsVersion, "TLSv1.2");
    ServerHelloFields hrr;
    hrr.cipherSuite = 0x1302;
    hrr.extensions = concat({supportedVersionExtension(0x0304), keyShareExtension(0x0017, 0)});
    serverSends(concat({record(22, serverHello(hrr)), record(20, {1})}));
    EXPECT_EQ(features.tlsVersion, "TLSv1.3");
    EXPECT_EQ(features.tls13KexNamedGroupCodePoint, "0x0017");
    ClientHelloFields second;
    second.version = 0x0301;
    second.extensions = sniExtension("second.example");
    clientSends(record(22, clientHello(second)));
    EXPECT_EQ(features.tlsVersion, "TLSv1.3");
    EXPECT_EQ(features.sni, "second.example");

    // A HelloRetryRequest seen before any ClientHello keeps a later ClientHello from
    // changing the version, and leaves versionFixed false.
    TLSFeatures other;
    TLSProtocolProcessor c(&other, client->directionKey), s(&other, server->directionKey);
    s.process(conn.fromServer(record(22, serverHello(hrr))));
    c.process(conn.fromClient(record(22, clientHello(second))));
    EXPECT_EQ(other.tlsVersion, "TLSv1.3");
    EXPECT_FALSE(c.versionFixed);
}

TEST_F(Processors, ServerKeyExchangeStrength) {
    Bytes ecdhe = handshake(12, {0x03, 0x00, 0x17, 0x41});
    ServerHelloFields s;
    s.cipherSuite = 0xc02f;
    serverSends(record(22, concat({serverHello(s), ecdhe})));
    EXPECT_EQ(features.kexParameter, "0x0017");

    TLSFeatures dhe;
    TLSProtocolProcessor p(&dhe, server->directionKey);
    s.cipherSuite = 0x009e;
    Bytes params;
    put16(params, 256);
    params.resize(2 + 256, 0xff);
    p.process(conn.fromServer(record(22, concat({serverHello(s), handshake(12, params)}))));
    EXPECT_EQ(dhe.kexParameter, "2048");

    TLSFeatures none;
    TLSProtocolProcessor q(&none, server->directionKey);
    q.process(conn.fromServer(record(22, handshake(12, {0x03, 0x00, 0x17}))));
    EXPECT_EQ(none.kexParameter, "") << "no ServerHello, no key-exchange name";
}

TEST_F(Processors, RsaKeySizeComesFromTheLastCertificate) {
    ServerHelloFields s;
    s.cipherSuite = 0x002f;
    Bytes chain = certificateMessage({fakeCertificate(11), fakeCertificate(12, 16), fakeCertificate(5, 1, false)});
    serverSends(record(22, concat({serverHello(s), chain, handshake(14, {})})));
    EXPECT_TRUE(server->isRsaKeyExchange);
    EXPECT_EQ(features.kexParameter, "1280");
    EXPECT_TRUE(features.serverCertificateChain.empty()) << "chain walked only for the key size";
}

TEST_F(Processors, CertificateChainsAreCapturedPerSide) {
    guard.config.certificates = true;
    serverSends(record(22, concat({serverHello({}), certificateMessage({fakeCertificate(11), fakeCertificate(13)})})));
    ASSERT_EQ(features.serverCertificateChain.size(), 2u);
    Bytes first = fakeCertificate(11);
    EXPECT_EQ(features.serverCertificateChain[0], std::string(first.begin(), first.end()));
    EXPECT_EQ(features.kexParameter, "") << "not an RSA suite";
    clientSends(record(22, clientHelloWith({})));
    clientSends(record(22, certificateMessage({fakeCertificate(11)})));
    EXPECT_EQ(features.clientCertificateChain.size(), 1u);
}

TEST_F(Processors, CertificateListThatDoesNotAddUpGivesNoKeySize) {
    ServerHelloFields s;
    s.cipherSuite = 0x0035;
    Bytes message = certificateMessage({fakeCertificate(11)});
    message[6] += 1;  // list length one more than the entries
    message[3] += 1;  // keep the handshake length consistent
    message.push_back(0);
    serverSends(record(22, concat({serverHello(s), message})));
    EXPECT_EQ(features.kexParameter, "");
}

TEST_F(Processors, AlertsAndChangeCipherSpec) {
    clientSends(record(21, {1, 0}));
    EXPECT_FALSE(features.fatalAlertSeen);
    clientSends(record(21, {2}));
    EXPECT_FALSE(features.fatalAlertSeen) << "a one-byte alert is never fatal";
    clientSends(concat({record(20, {1}), record(22, clientHelloWith({}))}));
    EXPECT_TRUE(features.clientChangeCipherSpecSeen);
    EXPECT_TRUE(client->finished);
    EXPECT_FALSE(features.clientHelloSeen) << "records after the ChangeCipherSpec are not looked at";
    serverSends(concat({record(23, Bytes(40, 9)), record(21, {2, 40})}));
    EXPECT_TRUE(server->finished);
    EXPECT_TRUE(features.fatalAlertSeen) << "the alert after application data is still read";
}

TEST_F(Processors, RawMessagesAreSavedUnderTheirNamesFirstOneWins) {
    guard.config.hasMessageTypes = true;
    Bytes hello = serverHello({});
    Bytes certs = certificateMessage({fakeCertificate(11)});
    Bytes done = handshake(14, {});
    serverSends(record(22, concat({hello, certs, handshake(12, {3, 0, 23}), done})));
    serverSends(record(22, concat({handshake(14, {9}), handshake(9, {}), handshake(200, {1})})));
    auto const& saved = features.handshakeMessages;
    EXPECT_EQ(saved.size(), 4u);
    EXPECT_EQ(saved.at("ServerHello"), std::string(hello.begin(), hello.end()));
    EXPECT_EQ(saved.at("ServerCertificates"), std::string(certs.begin(), certs.end()));
    EXPECT_EQ(saved.at("ServerHelloDone"), std::string(done.begin(), done.end()));
    EXPECT_TRUE(saved.count("ServerKeyExchange"));

    TLSFeatures only;
    guard.config.messageTypes = {1};
    TLSProtocolProcessor c(&only, client->directionKey), s(&only, server->directionKey);
    c.process(conn.fromClient(record(22, clientHelloWith({}))));
    s.process(conn.fromServer(record(22, hello)));
    ASSERT_EQ(only.handshakeMessages.size(), 1u);
    EXPECT_TRUE(only.handshakeMessages.count("ClientHello"));
}

TEST_F(Processors, MessageRunningPastItsRecordIsParsedAsFarAsItGoesButNotSaved) {
    guard.config.hasMessageTypes = true;
    Bytes hello = clientHelloWith(concat({renegotiationExtension({1}), sniExtension("cut.example")}));
    Bytes cut(hello.begin(), hello.end() - 3);  // the SNI does not fit any more
    clientSends(record(22, cut));
    EXPECT_TRUE(features.clientHelloSeen);
    EXPECT_EQ(features.tlsVersion, "TLSv1.2");
    EXPECT_TRUE(features.isRenegotiated) << "fields before the cut stay";
    EXPECT_EQ(features.sni, "");
    EXPECT_TRUE(features.handshakeMessages.empty());
}

TEST_F(Processors, EveryTruncationOfAServerFlightIsSafe) {
    guard.config.certificates = true;
    guard.config.keyShare = true;
    guard.config.hasMessageTypes = true;
    ServerHelloFields s;
    s.cipherSuite = 0x003c;
    s.extensions = concat({supportedVersionExtension(0x0303), keyShareExtension(0x001d, 32), renegotiationExtension({})});
    Bytes flight = concat({serverHello(s), certificateMessage({fakeCertificate(11, 20), fakeCertificate(13)}),
                           handshake(12, {3, 0, 23}), handshake(13, {}), handshake(14, {})});
    for (size_t n = 0; n <= flight.size(); ++n) {
        TLSFeatures f;
        TLSProtocolProcessor p(&f, server->directionKey);
        p.process(conn.fromServer(record(22, Bytes(flight.begin(), flight.begin() + n))));
        if (n == flight.size()) {
            EXPECT_EQ(f.kexParameter, "4096") << "RSA suite: size from the last certificate";
            EXPECT_TRUE(f.isClientAuthRequested);
            EXPECT_EQ(f.serverCertificateChain.size(), 2u);
            EXPECT_EQ(f.handshakeMessages.size(), 5u);
        }
    }
}
