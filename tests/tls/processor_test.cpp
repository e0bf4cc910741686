#include <gtest/gtest.h>

#include "support/certificates.h"
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
    features.formatAddresses();
    EXPECT_EQ(features.clientIPAddress, "192.168.1.10");
    EXPECT_EQ(features.clientPortNumber, "51000");
    EXPECT_EQ(features.serverIPAddress, "10.1.2.3");
    EXPECT_EQ(features.serverPortNumber, "443");
    EXPECT_EQ(features.clientMACAddress, "02:00:00:00:00:01");
    EXPECT_EQ(features.serverMACAddress, "00:1a:2b:3c:4d:5e");
    EXPECT_EQ(features.connectionTimestamp, 1700000000000u);
}

TEST_F(Processors, CompressionFollowsLastOfferedThenChosenMethod) {
    ClientHelloFields f;
    f.compression = {1, 0};
    clientSends(record(22, clientHello(f)));
    EXPECT_FALSE(features.isCompressed);
    TLSFeatures other;
    TLSProtocolProcessor p(&other, client->directionKey());
    f.compression = {0, 1};
    f.extensions.reset();  // no extensions at all
    p.process(conn.fromClient(record(22, clientHello(f))));
    EXPECT_TRUE(other.isCompressed);
    EXPECT_TRUE(other.sni.empty());
    ServerHelloFields s;
    TLSProtocolProcessor q(&other, server->directionKey());
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
    EXPECT_EQ(features.tlsVersion, "TLSv1.3");
    EXPECT_EQ(features.cipherSuiteCodePoint, "0x1301");
    EXPECT_EQ(features.tls13KexNamedGroupCodePoint, "0x001d");
    EXPECT_EQ(features.keyShareExtension.size(), 2u + 2u + 32u);
    // The server side is the packet's source.
    features.formatAddresses();
    EXPECT_EQ(features.serverIPAddress, "10.1.2.3");
    EXPECT_EQ(features.clientPortNumber, "51000");
}

TEST_F(Processors, UnknownSuiteAndUnknownSelectedVersion) {
    ServerHelloFields s;
    s.cipherSuite = 0x0062;
    s.extensions = supportedVersionExtension(0x7f1c);
    serverSends(record(22, serverHello(s)));
    EXPECT_EQ(features.cipherSuiteCodePoint, "0x0062");
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
    // changing the version.
    TLSFeatures other;
    TLSProtocolProcessor c(&other, client->directionKey()), s(&other, server->directionKey());
    s.process(conn.fromServer(record(22, serverHello(hrr))));
    c.process(conn.fromClient(record(22, clientHello(second))));
    EXPECT_EQ(other.tlsVersion, "TLSv1.3");
}

// The ChangeCipherSpec records around a HelloRetryRequest (middlebox compatibility) do not
// end a side: the real ServerHello is read, and without it there is no row.
TEST_F(Processors, HelloRetryRequestWaitsForTheRealServerHello) {
    guard.config.keyShare = true;
    guard.config.hasMessageTypes = true;
    guard.config.messageTypes = {2, 6};
    ServerHelloFields hrr, real;
    hrr.helloRetryRequest = true;
    hrr.cipherSuite = real.cipherSuite = 0x1302;
    hrr.extensions = concat({supportedVersionExtension(0x0304), keyShareExtension(0x0017, 0)});
    real.extensions = concat({supportedVersionExtension(0x0304), keyShareExtension(0x001d, 32)});
    clientSends(record(22, clientHelloWith({})));
    serverSends(concat({record(22, serverHello(hrr)), record(20, {1})}));
    clientSends(concat({record(20, {1}), record(22, clientHelloWith(sniExtension("second.example")))}));
    EXPECT_FALSE(features.handshakeComplete()) << "the exchange may end here: no row";
    EXPECT_EQ(features.sni, "second.example");
    serverSends(concat({record(22, serverHello(real)), record(23, {1, 2})}));
    clientSends(record(23, {1, 2}));
    EXPECT_TRUE(features.handshakeComplete());
    EXPECT_EQ(features.tls13KexNamedGroupCodePoint, "0x001d");
    EXPECT_EQ(features.keyShareExtension.size(), 36u);
    EXPECT_EQ(features.handshakeMessages.count("HelloRetryRequest") + features.handshakeMessages.count("ServerHello"), 2u);
}

TEST_F(Processors, ServerKeyExchangeStrength) {
    Bytes ecdhe = handshake(12, {0x03, 0x00, 0x17, 0x41});
    ServerHelloFields s;
    s.cipherSuite = 0xc02f;
    serverSends(record(22, concat({serverHello(s), ecdhe})));
    EXPECT_EQ(features.kexParameter, "0x0017");

    TLSFeatures dhe;
    TLSProtocolProcessor p(&dhe, server->directionKey());
    s.cipherSuite = 0x009e;
    Bytes params;
    put16(params, 256);
    params.resize(2 + 256, 0xff);
    p.process(conn.fromServer(record(22, concat({serverHello(s), handshake(12, params)}))));
    EXPECT_EQ(dhe.kexParameter, "2048");

    TLSFeatures none;
    TLSProtocolProcessor q(&none, server->directionKey());
    q.process(conn.fromServer(record(22, handshake(12, {0x03, 0x00, 0x17}))));
    EXPECT_EQ(none.kexParameter, "") << "no ServerHello, no key-exchange name";
}

TEST_F(Processors, RsaKeySizeIsTheLeafsModulusLength) {
    struct Case {
        std::string what;
        Bytes leaf;
        std::string kexParameter;
    };
    Bytes const rsa2048 = selfSignedCertificate("RSA", 2048);
    std::vector<Case> const cases = {
        {"RSA-1024 leaf", selfSignedCertificate("RSA", 1024), "1024"},
        {"RSASSA-PSS leaf", selfSignedCertificate("RSA-PSS", 1536), "1536"},
        {"EC leaf", selfSignedCertificate("EC"), ""},
        {"leaf libcrypto cannot read", fakeCertificate(11), ""},
    };
    ServerHelloFields s;
    s.cipherSuite = 0x002f;
    for (auto const& c : cases) {
        ASSERT_FALSE(c.leaf.empty()) << c.what;
        TLSFeatures f;
        TLSProtocolProcessor p(&f, server->directionKey());
        p.process(conn.fromServer(record(22, concat({serverHello(s), certificateMessage({c.leaf, rsa2048})}))));
        EXPECT_EQ(f.kexParameter, c.kexParameter) << c.what << ": the leaf's key, not the next one's";
        EXPECT_TRUE(f.serverCertificateChain.empty()) << c.what << ": chain walked only for the key size";
    }
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

TEST_F(Processors, AlertsAndChangeCipherSpec) {
    clientSends(record(21, {1, 0}));
    EXPECT_FALSE(features.fatalAlertSeen);
    clientSends(record(21, {2}));
    EXPECT_FALSE(features.fatalAlertSeen) << "a one-byte alert is never fatal";
    clientSends(concat({record(20, {1}), record(22, clientHelloWith({}))}));
    EXPECT_TRUE(features.clientChangeCipherSpecSeen);
    EXPECT_TRUE(client->finishedDirection());
    EXPECT_FALSE(features.clientHelloSeen) << "records after the ChangeCipherSpec are not looked at";
    serverSends(concat({record(23, Bytes(40, 9)), record(21, {2, 40})}));
    EXPECT_TRUE(server->finishedDirection());
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
    TLSProtocolProcessor c(&only, client->directionKey()), s(&only, server->directionKey());
    c.process(conn.fromClient(record(22, clientHelloWith({}))));
    s.process(conn.fromServer(record(22, hello)));
    ASSERT_EQ(only.handshakeMessages.size(), 1u);
    EXPECT_TRUE(only.handshakeMessages.count("ClientHello"));
}

// Messages joined across records are saved and parsed whole (the joining itself is the
// handshake stream's test). Each case sends its segments in turn from one side.
TEST_F(Processors, MessagesJoinedAcrossRecordsAreSavedAndParsed) {
    struct Sent {
        Bytes payload;
        uint8_t tcpFlags = 0x18;
    };
    struct Case {
        std::string what;
        bool fromClient = false;
        std::vector<Sent> segments;
        std::map<std::string, Bytes> saved;
        std::string suite = {}, kexParameter = {}, sni = {};
        size_t chainLength = 0;
        uint64_t timestamp = 0;  // checked when set
    };
    // The handshake stream as records of at most `size` bytes, one segment each.
    auto records = [](Bytes const& stream, size_t size) {
        std::vector<Sent> out;
        for (size_t at = 0; at < stream.size(); at += size)
            out.push_back({record(22, Bytes(stream.begin() + at, stream.begin() + std::min(stream.size(), at + size)))});
        return out;
    };
    auto join = [](std::vector<std::vector<Sent>> parts) {
        std::vector<Sent> out;
        for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
        return out;
    };

    ServerHelloFields rsaSuite, ecdheSuite;
    rsaSuite.cipherSuite = 0x009c;
    ecdheSuite.cipherSuite = 0xc02f;
    Bytes const rsaHello = serverHello(rsaSuite), ecdheHello = serverHello(ecdheSuite);
    Bytes const leaf = selfSignedCertificate("RSA", 1024);
    Bytes const chain = certificateMessage({leaf, selfSignedCertificate("RSA", 2048)});
    Bytes const done = handshake(14, {});
    Bytes oversized;  // declares one byte more than is joined
    put8(oversized, 11);
    put24(oversized, HandshakeStream::maxJoined - 3);
    oversized.resize(400, 0);
    ClientHelloFields named;
    named.extensions = sniExtension("joined.example");
    Bytes const hello = clientHello(named);
    Bytes const helloRecord = record(22, hello);

    std::vector<Case> const cases = {
        {.what = "a Certificate over many records",
         .segments = records(concat({rsaHello, chain, done}), 200),
         .saved = {{"ServerHello", rsaHello}, {"ServerCertificates", chain}, {"ServerHelloDone", done}},
         .suite = "0x009c",
         .kexParameter = "1024",
         .chainLength = 2},
        {.what = "a declaration longer than is joined ends the direction: nothing of it or after it is read",
         .segments = join({records(oversized, oversized.size()), records(ecdheHello, ecdheHello.size()),
                           records(concat({done, Bytes(ecdheHello.begin(), ecdheHello.begin() + 50)}), 100)}),
         .saved = {}},
        {.what = "a ClientHello joined takes the time of the packet that completed it",
         .fromClient = true,
         .segments = records(hello, hello.size() / 2 + 1),
         .saved = {{"ClientHello", hello}},
         .sni = "joined.example",
         .timestamp = 1700000000001},
        {.what = "data on a SYN starts one number after it",
         .fromClient = true,
         .segments = {{Bytes(helloRecord.begin(), helloRecord.begin() + 60), 0x02},
                      {Bytes(helloRecord.begin() + 60, helloRecord.end())}},
         .saved = {{"ClientHello", hello}},
         .sni = "joined.example"},
    };
    guard.config.hasMessageTypes = true;
    for (bool certificates : {false, true}) {
        guard.config.certificates = certificates;
        for (auto const& c : cases) {
            std::string const what = c.what + (certificates ? " (-c)" : "");
            Connection link;
            TLSFeatures f;
            TLSProtocolProcessor p(&f, c.fromClient ? client->directionKey() : server->directionKey());
            for (auto const& segment : c.segments)
                p.process(c.fromClient ? link.fromClient(segment.payload, segment.tcpFlags)
                                       : link.fromServer(segment.payload, segment.tcpFlags));
            std::map<std::string, Bytes> saved;
            for (auto const& [name, bytes] : f.handshakeMessages) saved[name] = Bytes(bytes.begin(), bytes.end());
            EXPECT_EQ(saved, c.saved) << what;
            EXPECT_EQ(f.cipherSuiteCodePoint, c.suite) << what;
            EXPECT_EQ(f.kexParameter, c.kexParameter) << what;
            EXPECT_EQ(f.sni, c.sni) << what;
            EXPECT_EQ(f.serverCertificateChain.size(), certificates ? c.chainLength : 0) << what;
            if (c.timestamp) {
                EXPECT_EQ(f.connectionTimestamp, c.timestamp) << what;
            }
        }
    }
}

TEST_F(Processors, EveryTruncationOfAServerFlightIsSafe) {
    guard.config.certificates = true;
    guard.config.keyShare = true;
    guard.config.hasMessageTypes = true;
    ServerHelloFields s;
    s.cipherSuite = 0x003c;
    s.extensions = concat({supportedVersionExtension(0x0303), keyShareExtension(0x001d, 32), renegotiationExtension({})});
    Bytes flight = concat({serverHello(s), certificateMessage({selfSignedCertificate("RSA", 2048), fakeCertificate(13)}),
                           handshake(12, {3, 0, 23}), handshake(13, {}), handshake(14, {})});
    for (size_t n = 0; n <= flight.size(); ++n) {
        TLSFeatures f;
        TLSProtocolProcessor p(&f, server->directionKey());
        p.process(conn.fromServer(record(22, Bytes(flight.begin(), flight.begin() + n))));
        if (n == flight.size()) {
            EXPECT_EQ(f.kexParameter, "2048") << "RSA suite: size of the leaf's key";
            EXPECT_TRUE(f.isClientAuthRequested);
            EXPECT_EQ(f.serverCertificateChain.size(), 2u);
            EXPECT_EQ(f.handshakeMessages.size(), 5u);
        }
    }
}
