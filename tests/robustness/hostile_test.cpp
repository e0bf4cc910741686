// Handshakes that lie, flood or stretch the limits. Each one must end in a clear outcome:
// the row with whatever could be read, or no row; never a crash or a read out of bounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "export/export_fixture.h"
#include "robustness/replay.h"
#include "support/handshake.h"
#include "tls/tls.h"

using namespace build;

namespace {

constexpr size_t SEGMENT = 1448;  // a typical TCP payload size on Ethernet

// Cuts a byte stream into TCP-sized pieces.
std::vector<Bytes> pieces(Bytes const& stream, size_t size) {
    std::vector<Bytes> out;
    for (size_t at = 0; at < stream.size(); at += size)
        out.emplace_back(stream.begin() + at, stream.begin() + std::min(stream.size(), at + size));
    return out;
}

void patch(Bytes& bytes, size_t offset, int width, uint32_t value) {
    for (int i = width - 1; i >= 0; --i, value >>= 8) bytes.at(offset + i) = static_cast<uint8_t>(value);
}

uint32_t peek(Bytes const& bytes, size_t offset, int width) {
    uint32_t value = 0;
    for (int i = 0; i < width; ++i) value = value << 8 | bytes.at(offset + i);
    return value;
}

struct Hostile : ::testing::Test {
    SettingsGuard guard;
    export_test::LogCapture log;  // keeps thousands of progress lines off the console
    Connection conn;
    std::shared_ptr<Flow> flow = conn.flow();

    void SetUp() override {
        guard.config.certificates = true;
        guard.config.keyShare = true;
        guard.config.hasMessageTypes = true;
        guard.config.messageTypes.clear();
    }
    // A new connection and flow for the next case.
    void restart() {
        conn = Connection();
        flow = conn.flow();
    }
    void client(Bytes const& stream) {
        for (auto const& piece : pieces(stream, SEGMENT)) flow->enqueuePacket(*conn.fromClient(piece));
    }
    void server(Bytes const& stream) {
        for (auto const& piece : pieces(stream, SEGMENT)) flow->enqueuePacket(*conn.fromServer(piece));
    }
    // Both ChangeCipherSpec records, then the analysis: true when a row would be written.
    bool finish() {
        client(record(20, {1}));
        server(record(20, {1}));
        return flow->processPackets();
    }
    TLSFeatures const& row() const { return flow->features(); }
};

Bytes clientHelloRecord(std::string const& host = "lie.example", Bytes padding = {}) {
    ClientHelloFields f;
    f.extensions = concat({std::move(padding), sniExtension(host), renegotiationExtension({})});
    return record(22, clientHello(f));
}

// Offsets of the length fields in the client's hello record and the server's first record
// (ServerHello of 76 bytes, then a Certificate message), record header included.
namespace at {
constexpr size_t recordLength = 3;
constexpr size_t messageLength = 6;
constexpr size_t sessionIdLength = 43;
constexpr size_t cipherListLength = 76;
constexpr size_t extensionBlockLength = 114;
constexpr size_t sniExtensionLength = 118;
constexpr size_t sniNameLength = 123;
constexpr size_t serverSessionIdLength = 43;
constexpr size_t certificateListLength = 85;
constexpr size_t firstCertificateLength = 88;
}  // namespace at

struct Lie {
    const char* what;
    bool inServerFlight;
    size_t offset;
    int width;
    uint32_t value;
    bool row;
    // What the row holds, when one is written.
    std::string sni;
    size_t chain = 2;  // server certificates kept
    std::string suite = "0xc02f";
};

}  // namespace

// One length at a time lies, at every level a handshake has.
TEST_F(Hostile, LengthsThatLieAtEveryLevel) {
    const Bytes hello = clientHelloRecord();
    const Bytes firstCertificate = fakeCertificate(11);
    const Bytes flight =
        record(22, concat({serverHello({}), certificateMessage({firstCertificate, fakeCertificate(13)})}));
    // The offsets still point where the builders put the fields.
    ASSERT_EQ(peek(hello, at::sessionIdLength, 1), 32u);
    ASSERT_EQ(peek(hello, at::cipherListLength, 2), 34u);
    ASSERT_EQ(peek(hello, at::extensionBlockLength, 2), hello.size() - at::extensionBlockLength - 2);
    ASSERT_EQ(peek(hello, at::sniExtensionLength, 2), 16u);
    ASSERT_EQ(peek(hello, at::sniNameLength, 2), 11u);
    ASSERT_EQ(peek(flight, at::serverSessionIdLength, 1), 32u);
    ASSERT_EQ(peek(flight, at::firstCertificateLength, 3), firstCertificate.size());
    const uint32_t listLength = peek(flight, at::certificateListLength, 3);
    const uint32_t bodyUpToCompression = at::extensionBlockLength - 9;

    const Lie lies[] = {
        // A record that claims more than is sent swallows the ChangeCipherSpec after it.
        {"record longer than sent", false, at::recordLength, 2, 0xffff, false, ""},
        // The hello's tail is taken for the next record header, whose type ends the direction.
        {"record shorter than its hello", false, at::recordLength, 2, 100, false, ""},
        // A message longer than is joined is never read in part: no row. So is the rest of a
        // record read as a message header that declares more.
        {"message longer than its record", false, at::messageLength, 3, 0xffffff, false, ""},
        {"message ending before its extensions", false, at::messageLength, 3, bodyUpToCompression, false, ""},
        {"session id longer than the message", false, at::sessionIdLength, 1, 255, true, ""},
        {"session id shorter than it is", false, at::sessionIdLength, 1, 0, true, ""},
        {"cipher list longer than the message", false, at::cipherListLength, 2, 0xfffe, true, ""},
        {"extension block longer than the message", false, at::extensionBlockLength, 2, 0xffff, true, "lie.example"},
        {"extension block shorter than its first extension", false, at::extensionBlockLength, 2, 8, true, ""},
        {"extension longer than the block", false, at::sniExtensionLength, 2, 0xffff, true, ""},
        {"extension shorter than its content", false, at::sniExtensionLength, 2, 4, true, ""},
        {"server name longer than its extension", false, at::sniNameLength, 2, 0xffff, true, ""},
        // The cipher suite lies beyond the claimed session id; the Certificate is still read.
        {"server session id longer than the message", true, at::serverSessionIdLength, 1, 255, true, "lie.example", 2,
         ""},
        {"certificate list longer than its entries", true, at::certificateListLength, 3, listLength + 100, true,
         "lie.example"},
        {"certificate list shorter than its entries", true, at::certificateListLength, 3,
         static_cast<uint32_t>(firstCertificate.size() + 3), true, "lie.example", 1},
        {"certificate longer than the list", true, at::firstCertificateLength, 3, 0xffffff, true, "lie.example", 0},
        // The next entry's length is then read from inside the first certificate.
        {"certificate shorter than it is", true, at::firstCertificateLength, 3, 10, true, "lie.example", 1},
    };
    for (Lie const& lie : lies) {
        SCOPED_TRACE(lie.what);
        restart();
        Bytes c = hello, s = flight;
        patch(lie.inServerFlight ? s : c, lie.offset, lie.width, lie.value);
        client(c);
        server(s);
        const bool complete = finish();
        EXPECT_EQ(complete, lie.row);
        if (!complete) continue;
        EXPECT_TRUE(row().clientHelloSeen && row().serverHelloSeen);
        EXPECT_EQ(row().sni, lie.sni);
        EXPECT_EQ(row().serverCertificateChain.size(), lie.chain);
        EXPECT_EQ(row().cipherSuiteCodePoint, lie.suite);
    }
}

// A record of length 0 carries nothing to act on: it ends its direction like application
// data would, so the ChangeCipherSpec after it is never seen and no row is written.
TEST_F(Hostile, ZeroLengthRecordEndsItsDirection) {
    for (uint8_t type : {20, 21, 22}) {
        SCOPED_TRACE(static_cast<int>(type));
        restart();
        client(concat({clientHelloRecord(), record(type, {})}));
        server(record(22, serverHello({})));
        EXPECT_FALSE(finish());
        EXPECT_TRUE(row().clientHelloSeen);
        EXPECT_FALSE(row().clientChangeCipherSpecSeen);
    }
    restart();
    client(record(22, {}));
    client(clientHelloRecord());
    server(record(22, serverHello({})));
    EXPECT_FALSE(finish());
    EXPECT_FALSE(row().clientHelloSeen) << "the hello came in a segment after the direction ended";
}

// Records of the largest size the length field allows, in TCP-sized segments: a
// ClientHello whose server name sits in the last bytes of the record buffer and a
// Certificate message holding one 65,525-byte certificate.
TEST_F(Hostile, MaximalRecordsAreReadToTheirLastByte) {
    const size_t fixedPart = clientHelloRecord("max.example").size();
    const Bytes hello = clientHelloRecord("max.example", extension(21, Bytes(65540 - fixedPart - 4, 0)));
    ASSERT_EQ(hello.size(), 5u + 65535u);
    const Bytes certificate = fakeCertificate(11, 9, true, 65525 - fakeCertificate(11, 9, true, 0).size());
    const Bytes certificates = record(22, certificateMessage({certificate}));
    ASSERT_EQ(certificates.size(), 5u + 65535u);

    client(hello);
    server(concat({record(22, serverHello({})), certificates}));
    ASSERT_TRUE(finish());
    EXPECT_EQ(row().sni, "max.example");
    ASSERT_EQ(row().serverCertificateChain.size(), 1u);
    EXPECT_EQ(row().serverCertificateChain[0].size(), 65525u);
    EXPECT_EQ(row().handshakeMessages.at("ClientHello").size(), 65535u);
    EXPECT_EQ(row().handshakeMessages.at("ServerCertificates").size(), 65535u);
}

// A hello fragmented over many records is joined and read whole. A hello record cut into
// one-byte segments, all but the first arriving in reverse order, is put back together.
TEST_F(Hostile, HellosSplitOverManyRecordsAndSegments) {
    ClientHelloFields f;
    f.extensions = sniExtension("split.example");
    const Bytes message = clientHello(f);
    Bytes fragments;
    for (auto const& piece : pieces(message, 40)) append(fragments, record(22, piece));
    client(fragments);
    server(record(22, serverHello({})));
    ASSERT_TRUE(finish());
    EXPECT_EQ(row().tlsVersion, "TLSv1.2");
    EXPECT_EQ(row().sni, "split.example") << "the fragments are joined into one message";
    EXPECT_EQ(row().handshakeMessages.at("ClientHello").size(), message.size());

    restart();
    const Bytes hello = clientHelloRecord("reversed.example", extension(21, Bytes(400, 0)));
    std::vector<std::shared_ptr<Packet>> segments;
    for (auto const& piece : pieces(hello, 1)) segments.push_back(conn.fromClient(piece));
    // The first segment fixes where the stream starts; all the others come backwards.
    flow->enqueuePacket(*segments.front());
    for (auto it = segments.rbegin(); it + 1 != segments.rend(); ++it) flow->enqueuePacket(**it);
    server(record(22, serverHello({})));
    ASSERT_TRUE(finish());
    EXPECT_EQ(row().sni, "reversed.example");
    EXPECT_EQ(row().handshakeMessages.at("ClientHello").size(), hello.size() - 5);
}

// Thousands of warning alerts are each logged and change nothing; a fatal one after them
// still counts.
TEST_F(Hostile, EndlessWarningAlerts) {
    constexpr size_t count = 5000;
    Bytes alerts;
    for (size_t i = 0; i < count; ++i) append(alerts, record(21, {1, 90}));
    for (bool fatalAtTheEnd : {false, true}) {
        SCOPED_TRACE(fatalAtTheEnd ? "then a fatal alert" : "then ChangeCipherSpec");
        restart();
        client(concat({clientHelloRecord(), alerts, fatalAtTheEnd ? record(21, {2, 40}) : Bytes{}}));
        server(record(22, serverHello({})));
        EXPECT_EQ(finish(), !fatalAtTheEnd);
        EXPECT_EQ(row().fatalAlertSeen, fatalAtTheEnd);
    }
    const std::string text = log.text();
    size_t warnings = 0;
    for (size_t at = text.find("level (1), desc (90)"); at != std::string::npos;
         at = text.find("level (1), desc (90)", at + 1))
        ++warnings;
    EXPECT_EQ(warnings, 2 * count);
}

namespace {
// The engine's settings as start-up would leave them, restored afterwards.
struct EngineSettings : SettingsGuard {
    EngineSettings() {
        output.outputPrefix = "output";
        output.exportThreshold = 1000000;
        output.exportDuration = 60;
        config.certificates = false;
        config.keyShare = false;
        config.hasMessageTypes = false;
    }
};
}  // namespace

// 3,000 connections from one client, 10 ms apart, through a real capture file and the whole
// pipeline. Each source port is used twice, 15 s apart, after the first flow on it has
// expired; every tenth connection ends with a fatal alert and gives no row.
TEST(HostileCapture, ThousandsOfConnectionsFromOneClient) {
    EngineSettings settings;
    export_test::LogCapture log;
    constexpr int connections = 3000, ports = 1500;
    std::vector<Frame> frames;
    long micros = 0;
    for (int i = 0; i < connections; ++i) {
        Connection conn;
        conn.client.src = conn.server.dst = "10.0.0.1";
        conn.client.srcPort = conn.server.dstPort = static_cast<uint16_t>(20000 + i % ports);
        conn.client.seq = 1000u * static_cast<uint32_t>(i);
        const bool fatal = i % 10 == 9;
        const Bytes clientEnd = fatal ? record(21, {2, 48}) : record(20, {1});
        const std::pair<Segment*, Bytes> sends[] = {
            {&conn.client, clientHelloRecord("host" + std::to_string(i) + ".example")},
            {&conn.server, record(22, serverHello({}))},
            {&conn.client, clientEnd},
            {&conn.server, record(20, {1})}};
        for (auto const& [segment, payload] : sends) {
            Segment& s = *segment;
            s.payload = payload;
            frames.push_back({ethernet(ipv4(s)), 1700000000 + micros / 1000000, micros % 1000000});
            s.seq += static_cast<uint32_t>(payload.size());
            micros += 2500;
        }
    }
    namespace fs = boost::filesystem;
    const fs::path directory = fs::temp_directory_path() / fs::unique_path("varno-hostile-%%%%-%%%%");
    fs::create_directories(directory);
    const fs::path capture = directory / "connections.pcap";
    ASSERT_TRUE(writePcap(capture.string(), DLT_EN10MB, frames));

    const auto rows = replay::runCapture(capture, directory / "out");
    fs::remove_all(directory);
    ASSERT_TRUE(rows);
    EXPECT_EQ(rows->size(), static_cast<size_t>(connections - connections / 10));
    std::set<std::string> names;
    for (auto const& row : *rows) {
        EXPECT_NE(row.find(",10.0.0.1,"), std::string::npos) << row;
        names.insert(row.substr(row.find(",host") + 1, row.find(".example") - row.find(",host") - 1));
    }
    EXPECT_EQ(names.size(), rows->size()) << "one row per connection, none twice";
}
