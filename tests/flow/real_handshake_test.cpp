// Real openssl and gnutls handshakes read through libpcap into flows, checked field by
// field against tshark's dissection of the same capture.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>

#include "pipeline/packet_source_worker.h"
#include "base/hex.h"
#include "flow/flow.h"
#include "support/handshake.h"
#include "tls/tls.h"
#include "support/files.h"

namespace {
using varno_test::dataFile;

std::vector<std::vector<std::string>> tshark(std::string const& file, std::string const& filter,
                                             std::vector<std::string> const& fields) {
    std::string command = "tshark -r '" + file + "' -Y '" + filter + "' -T fields -E separator='|' -E occurrence=a";
    for (auto const& f : fields) command += " -e " + f;
    command += " 2>/dev/null";
    std::vector<std::vector<std::string>> rows;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return rows;
    char line[8192];
    while (std::fgets(line, sizeof line, pipe)) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        std::vector<std::string> cells;
        std::stringstream in(text);
        std::string cell;
        while (std::getline(in, cell, '|')) cells.push_back(cell);
        cells.resize(fields.size());
        rows.push_back(cells);
    }
    ::pclose(pipe);
    return rows;
}

std::string hexGroup(std::string const& decimal) {
    return decimal.empty() ? "" : hex4(static_cast<uint16_t>(std::stoul(decimal.substr(0, decimal.find(',')), nullptr, 0)));
}

// Every connection of a capture, keyed by the client's port, after the flow analysis.
std::map<std::string, std::shared_ptr<Flow>> analyse(std::string const& file) {
    FlowTable table;
    auto tasks = std::make_shared<FlowChannel>();
    PacketSourceWorker worker(table, tasks);
    auto source = PacketSource::create(file);
    if (!source) return {};
    worker.setPacketSource(source);
    worker();
    tasks->send(nullptr);
    std::vector<std::shared_ptr<Flow>> flows;
    for (auto f = tasks->receive(); f; f = tasks->receive()) flows.push_back(f);
    for (auto const& f : table.takeAll()) flows.push_back(f);
    std::map<std::string, std::shared_ptr<Flow>> byClientPort;
    for (auto const& f : flows) {
        f->processPackets();
        byClientPort[f->features.clientPortNumber] = f;
    }
    return byClientPort;
}
}  // namespace

class RealHandshake : public ::testing::TestWithParam<std::string> {};

TEST_P(RealHandshake, FieldsAgreeWithTshark) {
    if (std::system("tshark -v >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark is not installed";
    SettingsGuard guard;
    guard.config.certificates = true;
    guard.config.keyShare = true;
    const std::string file = dataFile(GetParam());
    auto flows = analyse(file);
    auto clientHellos = tshark(file, "tls.handshake.type==1", {"tcp.srcport", "tls.handshake.extensions_server_name"});
    ASSERT_FALSE(clientHellos.empty());
    for (auto const& row : clientHellos) {
        ASSERT_TRUE(flows.count(row[0])) << "no flow for client port " << row[0];
        EXPECT_EQ(flows[row[0]]->features.sni, row[1]) << row[0];
        EXPECT_TRUE(flows[row[0]]->features.clientHelloSeen);
    }
    auto serverHellos = tshark(file, "tls.handshake.type==2",
                               {"tcp.dstport", "tls.handshake.ciphersuite", "tls.handshake.extensions_key_share_group",
                                "tls.handshake.extensions.supported_version", "tls.handshake.version"});
    // After a HelloRetryRequest the second ServerHello's values stand.
    std::map<std::string, std::vector<std::string>> lastServerHello;
    for (auto const& row : serverHellos) lastServerHello[row[0]] = row;
    for (auto const& [port, row] : lastServerHello) {
        TLSFeatures const& f = flows.at(row[0])->features;
        EXPECT_EQ(f.cipherSuiteCodePoint, row[1].substr(row[1].rfind(',') + 1)) << row[0];
        EXPECT_EQ(f.tls13KexNamedGroupCodePoint, hexGroup(row[2].substr(row[2].rfind(',') + 1))) << row[0];
        const std::string version = row[3].empty() ? row[4].substr(row[4].rfind(',') + 1) : row[3];
        static const std::map<std::string, std::string> names = {
            {"0x0301", "TLSv1.0"}, {"0x0302", "TLSv1.1"}, {"0x0303", "TLSv1.2"}, {"0x0304", "TLSv1.3"}};
        EXPECT_EQ(f.tlsVersion, names.at(version)) << row[0];
    }
    auto serverFlight = tshark(file, "tls.handshake.type==12 || tls.handshake.type==11 || tls.handshake.type==13",
                               {"tcp.dstport", "tcp.srcport", "tls.handshake.server_named_curve", "tls.handshake.p_len",
                                "tls.handshake.certificate_length", "tls.handshake.type"});
    for (auto const& row : serverFlight) {
        const bool fromServer = flows.count(row[0]) != 0;
        TLSFeatures const& f = (fromServer ? flows.at(row[0]) : flows.at(row[1]))->features;
        if (!row[2].empty()) {
            EXPECT_EQ(f.kexParameter, hexGroup(row[2])) << row[0];
        }
        if (!row[3].empty()) {
            EXPECT_EQ(f.kexParameter, std::to_string(std::stoul(row[3]) * 8)) << row[0];
        }
        if (!row[4].empty()) {
            const size_t count = static_cast<size_t>(std::count(row[4].begin(), row[4].end(), ',') + 1);
            EXPECT_EQ((fromServer ? f.serverCertificateChain : f.clientCertificateChain).size(), count) << row[0];
        }
        if (row[5].find("13") != std::string::npos) {
            EXPECT_TRUE(f.isClientAuthRequested) << row[0];
        }
    }
}

INSTANTIATE_TEST_SUITE_P(OwnCaptures, RealHandshake,
                         ::testing::Values("t10_ecdhe_rsa.pcap", "t11_ecdhe_rsa.pcap", "t12_ecdhe_rsa_sni.pcap",
                                           "t12_rsa_kx_chain2.pcap", "t12_dhe_rsa_ffdhe2048.pcap",
                                           "t12_client_auth.pcap", "t12_renegotiation.pcap", "t13_x25519.pcap",
                                           "t13_hrr.pcap", "gnutls_cli_t13.pcap", "openssl_to_gnutls_serv_t12.pcap",
                                           "several_connections.pcap", "t12_alert_unknown_ca.pcap"),
                         [](auto const& info) {
                             std::string name = info.param.substr(0, info.param.find('.'));
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

TEST(RealHandshakeOutcome, RsaKeySizeAlertAndCompletion) {
    SettingsGuard guard;
    auto rsa = analyse(dataFile("t12_rsa_kx_chain2.pcap"));
    ASSERT_EQ(rsa.size(), 1u);
    EXPECT_EQ(rsa.begin()->second->features.kexParameter, "2048") << "the leaf's key";
    EXPECT_TRUE(rsa.begin()->second->features.handshakeComplete());

    auto alert = analyse(dataFile("t12_alert_unknown_ca.pcap"));
    ASSERT_EQ(alert.size(), 1u);
    EXPECT_TRUE(alert.begin()->second->features.fatalAlertSeen);
    EXPECT_FALSE(alert.begin()->second->features.handshakeComplete());
}
