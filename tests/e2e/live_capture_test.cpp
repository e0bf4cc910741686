// Live capture end to end: varno listens on one end of a veth link whose other end lies in a
// network namespace of its own, real openssl handshakes (IPv4 and IPv6, also inside a VXLAN
// overlay) and ngtcp2 QUIC handshakes cross the link, VLAN-tagged and tunnelled captures are
// replayed onto it, and a signal ends the run; on a link that falls quiet a row appears
// without one; a Prometheus server scrapes the run's metrics. Where namespaces cannot be
// made, the IPv4 handshakes run over loopback instead.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>

#include <atomic>
#include <optional>
#include <regex>
#include <set>
#include <thread>

#include "e2e/e2e_support.h"
#include "support/tmpfs.h"

namespace {

using namespace e2e;
using namespace std::chrono_literals;

constexpr int capNetAdmin = 12, capNetRaw = 13;

bool hasCapability(int bit) {
    std::istringstream status(readFile("/proc/self/status"));
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("CapEff:", 0) == 0) return (std::stoull(line.substr(7), nullptr, 16) >> bit) & 1;
    return false;
}

// Where the handshakes run: the device varno listens on, both ends' addresses and MAC
// addresses, and the command prefix that puts a process on the server's side.
struct Link {
    std::string device;
    std::string clientAddress, serverAddress;
    std::string clientAddress6, serverAddress6;  // empty over loopback
    std::string clientMac, serverMac;
    std::vector<std::string> serverSide, clientSide;
    uint16_t serverPort = 4433;
};

// A namespace and a veth pair named after this process, so parallel runs never meet; both
// are removed again however the test ends.
class VethLink {
public:
    VethLink() {
        static std::atomic<int> counter{0};
        int const pid = ::getpid(), n = counter++;
        namespace_ = "varno-e2e-" + std::to_string(pid) + "-" + std::to_string(n);
        hostEnd_ = "vne" + std::to_string(pid % 10000000) + "h" + std::to_string(n % 10);
        std::string const peerEnd = "vne" + std::to_string(pid % 10000000) + "p" + std::to_string(n % 10);
        // 10.x.y.z/30 from the process id and the counter.
        unsigned const value = (static_cast<unsigned>(pid) & 0xfffff) * 4 + (n & 3);
        std::string const net =
            "10." + std::to_string((value >> 14) & 0xff) + "." + std::to_string((value >> 6) & 0xff) + ".";
        unsigned const base = (value & 63) * 4;
        link_.device = hostEnd_;
        link_.clientAddress = net + std::to_string(base + 1);
        link_.serverAddress = net + std::to_string(base + 2);
        link_.clientMac = "02:76:6e:00:00:01";
        link_.serverMac = "02:76:6e:00:00:02";
        link_.serverSide = {"ip", "netns", "exec", namespace_};
        peerEnd_ = peerEnd;
        std::ostringstream prefix;  // fd00:VVVV:VVVV::/64 from the same value
        prefix << std::hex << "fd00:" << (value >> 16) << ":" << (value & 0xffff) << "::";
        link_.clientAddress6 = prefix.str() + "1";
        link_.serverAddress6 = prefix.str() + "2";

        std::string const ns = shellQuote(namespace_);
        std::vector<std::string> const steps = {
            "ip netns add " + ns,
            "ip link add " + hostEnd_ + " address " + link_.clientMac + " type veth peer name " + peerEnd +
                " address " + link_.serverMac + " netns " + ns,
            "ip addr add " + link_.clientAddress + "/30 dev " + hostEnd_,
            "ip link set " + hostEnd_ + " up",
            "ip -n " + ns + " addr add " + link_.serverAddress + "/30 dev " + peerEnd,
            "ip -n " + ns + " link set " + peerEnd + " up",
            "ip -n " + ns + " link set lo up",
            // nodad: usable at once, not after duplicate address detection.
            "ip -6 addr add " + link_.clientAddress6 + "/64 dev " + hostEnd_ + " nodad",
            "ip -n " + ns + " -6 addr add " + link_.serverAddress6 + "/64 dev " + peerEnd + " nodad",
        };
        for (auto const& step : steps) {
            auto const result = runShell(step);
            if (result.status != 0) {
                failure_ = step + ": " + result.out.substr(0, result.out.find('\n'));
                return;
            }
        }
        made_ = true;
    }
    ~VethLink() {
        runShell("ip link del " + hostEnd_ + " 2>/dev/null");
        runShell("ip netns del " + shellQuote(namespace_) + " 2>/dev/null");
        if (overlay_) runShell("ip netns del " + shellQuote(namespace_ + "-o") + " 2>/dev/null");
        if (!mirrorEnd_.empty()) runShell("ip link del " + mirrorEnd_ + " 2>/dev/null");
    }
    VethLink(VethLink const&) = delete;
    VethLink& operator=(VethLink const&) = delete;

    bool made() const { return made_; }
    std::string const& failure() const { return failure_; }
    Link const& link() const { return link_; }
    // Sends the frames of a capture out of the namespace's end, so they arrive at varno's.
    // Captures on loopback hold frames far over 1500 bytes: both ends take jumbo frames.
    RunResult replay(std::string const& capture, bool toMirror = false) const {
        std::string const hostEnd = toMirror ? mirrorEnd_ : hostEnd_, peerEnd = toMirror ? mirrorPeer_ : peerEnd_;
        for (std::string const& step : {"ip link set " + hostEnd + " mtu 9000",
                                         "ip -n " + shellQuote(namespace_) + " link set " + peerEnd + " mtu 9000"}) {
            auto const result = runShell(step);
            if (result.status != 0) return result;
        }
        return runShell("ip netns exec " + shellQuote(namespace_) + " tcpreplay -q -i " + peerEnd + " " +
                        shellQuote(capture));
    }

    // A second veth pair whose host end is set up as a sensor's mirror port: up, without an
    // address, IPv6 disabled before it comes up. Returns its name, or empty after a failure.
    std::string mirrorPort() {
        mirrorEnd_ = hostEnd_.substr(0, hostEnd_.size() - 2) + "m" + hostEnd_.back();
        mirrorPeer_ = hostEnd_.substr(0, hostEnd_.size() - 2) + "n" + hostEnd_.back();
        for (std::string const& step :
             {"ip link add " + mirrorEnd_ + " type veth peer name " + mirrorPeer_ + " netns " + shellQuote(namespace_),
              "sysctl -qw net.ipv6.conf." + mirrorEnd_ + ".disable_ipv6=1", "ip link set " + mirrorEnd_ + " up",
              "ip -n " + shellQuote(namespace_) + " link set " + mirrorPeer_ + " up"}) {
            auto const result = runShell(step);
            if (result.status != 0) {
                failure_ = step + ": " + result.out.substr(0, result.out.find('\n'));
                return {};
            }
        }
        return mirrorEnd_;
    }

    // A VXLAN overlay (VNI 42, UDP 4789) over the link: the server's end in the link's
    // namespace, the client's in a namespace of its own, made on the host's side and moved
    // there, so its tunnel socket stays on the host's veth end. The overlay addresses exist
    // only inside the namespaces. Returns the overlay's Link (with clientSide) or a failure.
    std::optional<Link> vxlanOverlay() {
        overlay_ = true;
        Link overlay = link_;
        overlay.clientAddress = "192.168.77.1";
        overlay.serverAddress = "192.168.77.2";
        overlay.clientAddress6 = overlay.serverAddress6 = "";
        overlay.clientMac = "02:76:6e:00:01:01";
        overlay.serverMac = "02:76:6e:00:01:02";
        std::string const ns = shellQuote(namespace_), clientNs = shellQuote(namespace_ + "-o");
        std::string const device = "vx" + hostEnd_.substr(3);
        auto vxlan = [&](std::string const& mac, std::string const& local, std::string const& remote,
                         std::string const& dev) {
            return "link add " + device + " address " + mac + " type vxlan id 42 dstport 4789 local " + local +
                   " remote " + remote + " dev " + dev;
        };
        for (auto const& step : std::vector<std::string>{
                 "ip netns add " + clientNs,
                 "ip -n " + clientNs + " link set lo up",
                 "ip " + vxlan(overlay.clientMac, link_.clientAddress, link_.serverAddress, hostEnd_),
                 "ip link set " + device + " netns " + clientNs,
                 "ip -n " + clientNs + " addr add " + overlay.clientAddress + "/30 dev " + device,
                 "ip -n " + clientNs + " link set " + device + " up",
                 "ip -n " + ns + " " + vxlan(overlay.serverMac, link_.serverAddress, link_.clientAddress, peerEnd_),
                 "ip -n " + ns + " addr add " + overlay.serverAddress + "/30 dev " + device,
                 "ip -n " + ns + " link set " + device + " up"}) {
            auto const result = runShell(step);
            if (result.status != 0) {
                failure_ = step + ": " + result.out.substr(0, result.out.find('\n'));
                return std::nullopt;
            }
        }
        overlay.clientSide = {"ip", "netns", "exec", namespace_ + "-o"};
        return overlay;
    }

private:
    std::string namespace_, hostEnd_, peerEnd_, failure_, mirrorEnd_, mirrorPeer_;
    Link link_;
    bool made_ = false, overlay_ = false;
};

uint16_t freeLoopbackPort() {
    int const fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    uint16_t port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

Link loopbackLink() {
    Link link;
    link.device = "lo";
    link.clientAddress = link.serverAddress = "127.0.0.1";
    link.clientMac = link.serverMac = "00:00:00:00:00:00";
    link.serverPort = freeLoopbackPort();
    return link;
}

class EndToEndLive : public ::testing::Test {
protected:
    void SetUp() override {
        if (!hasCapability(capNetRaw) || !hasCapability(capNetAdmin))
            GTEST_SKIP() << "live capture needs root (CAP_NET_RAW and CAP_NET_ADMIN); CI runs as root";
        if (!haveTool("openssl version")) GTEST_SKIP() << "openssl not installed";
        veth_ = std::make_unique<VethLink>();
        if (veth_->made()) {
            link_ = veth_->link();
        } else {
            std::cout << "[          ] no network namespace (" << veth_->failure() << "), using loopback\n";
            link_ = loopbackLink();
            ASSERT_NE(link_.serverPort, 0);
        }
    }

    // Starts varno on the link and waits until it listens; the log goes to logDirectory.
    std::unique_ptr<ChildProcess> startVarno(std::vector<std::string> options, std::string const& logDirectory,
                                             std::string device = {}) {
        std::vector<std::string> arguments = {VARNO_BINARY, "-i", device.empty() ? link_.device : device, "-s",
                                              "info"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        auto varno = std::make_unique<ChildProcess>(arguments, varnoOutput(device));
        EXPECT_TRUE(varno->started());
        bool const listening = waitFor(
            [&] {
                return varno->wait(0ms) != ChildProcess::stillRunning ||
                       logText(logDirectory).find("Listening on") != std::string::npos;
            },
            30s);
        EXPECT_TRUE(listening && varno->running()) << "varno did not start listening: " << readFile(varnoOutput(device));
        return varno;
    }

    // Standard output and error of varno, of the one on `device` when one was named.
    std::string varnoOutput(std::string const& device = {}) const {
        return device.empty() ? scratch_ / "varno.out" : scratch_ / (device + ".out");
    }

    // A throwaway certificate and key for e2e.test; returns the certificate's path.
    std::string makeCertificate() {
        std::string const certificate = scratch_ / "cert.pem", key = scratch_ / "key.pem";
        auto const made = runShell("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=e2e.test -keyout " +
                                   shellQuote(key) + " -out " + shellQuote(certificate));
        EXPECT_EQ(made.status, 0) << made.out;
        return certificate;
    }

    // openssl s_server on the server's side of the link, serving `connections` handshakes.
    std::unique_ptr<ChildProcess> startServer(std::string const& address, size_t connections) {
        std::vector<std::string> server = link_.serverSide;
        for (std::string const& argument : std::vector<std::string>{
                 "openssl", "s_server", "-www", "-accept", address + ":" + std::to_string(link_.serverPort), "-cert",
                 scratch_ / "cert.pem", "-key", scratch_ / "key.pem", "-naccept", std::to_string(connections)})
            server.push_back(argument);
        std::string const serverOutput = scratch_ / "server.out";
        auto process = std::make_unique<ChildProcess>(server, serverOutput);
        EXPECT_TRUE(waitFor([&] { return readFile(serverOutput).find("ACCEPT") != std::string::npos; }, 20s))
            << "s_server did not start: " << readFile(serverOutput);
        return process;
    }

    // A UDP server on the server's side of the link, once it listens on the link's port;
    // null (after a failure) when it does not.
    std::unique_ptr<ChildProcess> startUdpServer(std::vector<std::string> const& command) {
        std::vector<std::string> server = link_.serverSide;
        server.insert(server.end(), command.begin(), command.end());
        std::string const serverOutput = scratch_ / "server.out";
        auto process = std::make_unique<ChildProcess>(server, serverOutput);
        std::string serverSide;
        for (auto const& word : link_.serverSide) serverSide += shellQuote(word) + " ";
        std::string const listening = serverSide + "ss -ulnH 'sport = :" + std::to_string(link_.serverPort) + "'";
        bool const started = waitFor([&] { return !runShell(listening).out.empty(); }, 20s);
        EXPECT_TRUE(started) << command.front() << " did not start: " << readFile(serverOutput);
        return started ? std::move(process) : nullptr;
    }

    static RunResult connect(std::string const& address, uint16_t port, std::string const& version,
                             std::vector<std::string> const& clientSide = {}) {
        std::string prefix;
        for (auto const& word : clientSide) prefix += shellQuote(word) + " ";
        return runShell(prefix + "timeout 30 openssl s_client -connect " + address + ":" + std::to_string(port) + " " +
                        version + " -servername e2e.test </dev/null");
    }

    ScratchDir scratch_;
    std::unique_ptr<VethLink> veth_;
    Link link_;
};

TEST_F(EndToEndLive, EveryHandshakeAcrossTheLinkGetsItsRow) {
    std::string const certificate = makeCertificate();

    std::string const output = scratch_ / "out";
    auto varno = startVarno({"-o", output, "-c"}, output);
    ASSERT_TRUE(varno->running());

    std::vector<std::string> const versions = {"-tls1_2", "-tls1_3", "-tls1_2", "-tls1_3"};
    auto openSslServer = startServer(link_.serverAddress, versions.size());
    for (auto const& version : versions) {
        auto const client = connect(link_.serverAddress, link_.serverPort, version);
        ASSERT_EQ(client.status, 0) << version << ": " << client.out;
    }

    // The stop request comes right after the last handshake: what the kernel already holds
    // is still read, so no completed handshake may lose its row.
    ASSERT_TRUE(varno->signal(SIGINT));
    EXPECT_EQ(varno->wait(10s), 0) << readFile(varnoOutput());
    EXPECT_EQ(readFile(varnoOutput()), "");

    std::string const digest = certificateDigest(certificate);
    ASSERT_EQ(digest.size(), 40u);

    auto const csv = readCsvOutput(output);
    std::multiset<std::string> seenVersions;
    std::set<std::string> clientPorts;
    for (auto const& row : csv.rows) {
        ASSERT_EQ(row.size(), size_t{ColumnCount}) << joinCells(row);
        // Over loopback other traffic may show up; only this server's connections count.
        if (row[ServerIPAddress] != link_.serverAddress || row[ServerPortNumber] != std::to_string(link_.serverPort))
            continue;
        seenVersions.insert(row[TLSVersion]);
        clientPorts.insert(row[ClientPortNumber]);
        EXPECT_EQ(row[ProtocolType], "TLS");
        EXPECT_EQ(row[ClientIPAddress], link_.clientAddress);
        EXPECT_EQ(row[ClientMACAddress], link_.clientMac);
        EXPECT_EQ(row[ServerMACAddress], link_.serverMac);
        EXPECT_EQ(row[SNI], "e2e.test");
        // The throwaway certificate, sent alone; TLS 1.3 encrypts it.
        EXPECT_EQ(row[ServerCertificateChain], row[TLSVersion] == "TLSv1.3" ? "" : digest);
    }
    EXPECT_EQ(seenVersions, (std::multiset<std::string>{"TLSv1.2", "TLSv1.2", "TLSv1.3", "TLSv1.3"}))
        << "one row per handshake";
    EXPECT_EQ(clientPorts.size(), versions.size());
    std::string const log = logText(output);
    EXPECT_EQ(log.find("processed ServerHello"), std::string::npos) << "a debug record, not one of info";
    if (::geteuid() == 0) {
        std::string const warning = "warning - Capturing as root";
        size_t const found = log.find(warning);
        EXPECT_NE(found, std::string::npos) << log;
        EXPECT_EQ(log.find(warning, found + 1), std::string::npos) << "one warning";
    }
}

// IPv6 handshakes across the link, and recorded handshakes replayed onto it behind one and
// two VLAN tags (the kernel takes the outer tag off, libpcap puts it back for the filter
// and in the frame) and in tunnels.
TEST_F(EndToEndLive, Ipv6VlanTaggedAndTunnelledHandshakesGetTheirRows) {
    if (link_.device == "lo") GTEST_SKIP() << "needs the veth link";
    if (!haveTool("tcpreplay -V")) GTEST_SKIP() << "tcpreplay not installed (scripts/install-deps.sh)";
    makeCertificate();
    std::string const output = scratch_ / "out";
    auto varno = startVarno({"-o", output}, output);
    ASSERT_TRUE(varno->running());

    auto openSslServer = startServer("[" + link_.serverAddress6 + "]", 2);
    for (std::string const version : {"-tls1_2", "-tls1_3"}) {
        auto const client = connect("[" + link_.serverAddress6 + "]", link_.serverPort, version);
        ASSERT_EQ(client.status, 0) << version << ": " << client.out;
    }
    // Recorded on loopback: IPv4 behind an 802.1Q tag, IPv6 behind 802.1ad and 802.1Q, and
    // both in tunnels, which the kernel's filter passes in their outer form; the last one
    // with 1500-byte packets in Geneve, Cisco MetaData and QinQ, outer frames over 1500
    // bytes (the replay raises the link's MTU).
    std::multiset<std::string> expected = {link_.clientAddress6, link_.clientAddress6};
    struct Replayed {
        char const* capture;
        std::string client;
        size_t rows;
    };
    for (auto const& [capture, client, rows] :
         {Replayed{"vlan_8021q.pcap", "127.0.0.1", 2}, Replayed{"vlan_qinq_ipv6.pcap", "::1", 2},
          Replayed{"tun_every_encapsulation.pcap", "127.0.0.1", 2}, Replayed{"tun_nested_ipv6.pcap", "::1", 2},
          Replayed{"tun_full_size.pcap", "127.0.0.1", 3}}) {
        auto const replayed = veth_->replay(sourcePath(std::string("tests/data/") + capture));
        ASSERT_EQ(replayed.status, 0) << capture << ": " << replayed.out;
        for (size_t i = 0; i < rows; ++i) expected.insert(client);
    }

    ASSERT_TRUE(varno->signal(SIGINT));
    EXPECT_EQ(varno->wait(10s), 0) << readFile(varnoOutput());
    std::multiset<std::string> clients;
    for (auto const& row : readCsvOutput(output).rows) {
        ASSERT_EQ(row.size(), size_t{ColumnCount}) << joinCells(row);
        clients.insert(row[ClientIPAddress]);
        if (row[ClientIPAddress] == link_.clientAddress6) {
            EXPECT_EQ(row[ServerIPAddress], link_.serverAddress6);
            EXPECT_EQ(row[ClientMACAddress], link_.clientMac);
            EXPECT_EQ(row[SNI], "e2e.test");
        }
    }
    EXPECT_EQ(clients, expected) << "one row per handshake";
}

// A sensor's mirror port (up, no address, IPv6 disabled) and the "any" device, which -l
// leaves out, can both be captured on: frames replayed onto the mirror port and a real
// handshake across the link get their rows.
TEST_F(EndToEndLive, MirrorPortWithoutAddressAndTheAnyDeviceGetTheirRows) {
    if (link_.device == "lo") GTEST_SKIP() << "needs the veth link";
    if (!haveTool("tcpreplay -V")) GTEST_SKIP() << "tcpreplay not installed (scripts/install-deps.sh)";
    std::string const mirror = veth_->mirrorPort();
    ASSERT_FALSE(mirror.empty()) << veth_->failure();
    EXPECT_EQ(runShell(std::string(VARNO_BINARY) + " -l").out.find(" " + mirror + " "), std::string::npos)
        << "the listing shows addressed devices only";
    makeCertificate();
    std::string const mirrorOutput = scratch_ / "mirror", anyOutput = scratch_ / "any";
    auto onMirror = startVarno({"-o", mirrorOutput}, mirrorOutput, mirror);
    auto onAny = startVarno({"-o", anyOutput}, anyOutput, "any");
    ASSERT_TRUE(onMirror->running() && onAny->running());

    auto openSslServer = startServer(link_.serverAddress, 1);
    auto const client = connect(link_.serverAddress, link_.serverPort, "-tls1_3");
    ASSERT_EQ(client.status, 0) << client.out;
    auto const replayed = veth_->replay(sourcePath("tests/data/vlan_8021q.pcap"), true);
    ASSERT_EQ(replayed.status, 0) << replayed.out;

    for (auto* varno : {onMirror.get(), onAny.get()}) ASSERT_TRUE(varno->signal(SIGINT));
    EXPECT_EQ(onMirror->wait(10s), 0) << readFile(varnoOutput(mirror));
    EXPECT_EQ(onAny->wait(10s), 0) << readFile(varnoOutput("any"));
    auto clientsOf = [&](std::string const& output) {
        std::multiset<std::string> clients;
        for (auto const& row : readCsvOutput(output).rows)
            if (row.size() == size_t{ColumnCount}) clients.insert(row[ClientIPAddress]);
        return clients;
    };
    EXPECT_EQ(clientsOf(mirrorOutput), (std::multiset<std::string>{"127.0.0.1", "127.0.0.1"}));
    EXPECT_EQ(clientsOf(anyOutput).count(link_.clientAddress), 1u) << "the handshake across the link, once";
}

// A capture device that goes away during the run ends it with status 1 and says why, so a
// service manager restarts the sensor; the rows of finished flows are written.
TEST_F(EndToEndLive, DeviceThatIsDownOrDisappearsEndsTheRun) {
    if (link_.device == "lo") GTEST_SKIP() << "needs the veth link";
    if (!haveTool("tcpreplay -V")) GTEST_SKIP() << "tcpreplay not installed (scripts/install-deps.sh)";
    std::string const mirror = veth_->mirrorPort();
    ASSERT_FALSE(mirror.empty()) << veth_->failure();
    std::string const output = scratch_ / "out";
    // A device that is down is refused at start, its reason said once.
    ASSERT_EQ(runShell("ip link set " + mirror + " down").status, 0);
    auto const down = runVarno("-i " + mirror + " -o " + shellQuote(output));
    EXPECT_EQ(down.status, 255);
    EXPECT_EQ(down.err, "Could not open interface \"" + mirror + "\": That device is not up\n");
    ASSERT_EQ(runShell("ip link set " + mirror + " up").status, 0);
    auto varno = startVarno({"-o", output}, output, mirror);
    ASSERT_TRUE(varno->running());
    ASSERT_EQ(veth_->replay(sourcePath("tests/data/t12_ecdhe_rsa_sni.pcap"), true).status, 0);
    std::this_thread::sleep_for(500ms);  // past the kernel's block timeout: the frames are read
    ASSERT_EQ(runShell("ip link del " + mirror).status, 0);
    EXPECT_EQ(varno->wait(10s), 1);
    EXPECT_EQ(readFile(varnoOutput(mirror)).rfind("Capture on \"" + mirror + "\" failed: ", 0), 0u)
        << readFile(varnoOutput(mirror));
    EXPECT_EQ(readCsvOutput(output).rows.size(), 1u);
}

// TLS inside a VXLAN overlay, varno on the underlay's device: the rows hold the overlay's
// addresses and the MAC addresses of the inner Ethernet header.
TEST_F(EndToEndLive, HandshakesInsideAVxlanOverlayGetTheirRowsOnTheUnderlay) {
    if (link_.device == "lo") GTEST_SKIP() << "needs the veth link";
    auto const overlay = veth_->vxlanOverlay();
    ASSERT_TRUE(overlay) << veth_->failure();
    makeCertificate();
    std::string const output = scratch_ / "out";
    auto varno = startVarno({"-o", output}, output);
    ASSERT_TRUE(varno->running());

    auto openSslServer = startServer(overlay->serverAddress, 2);
    for (std::string const version : {"-tls1_2", "-tls1_3"}) {
        auto const client = connect(overlay->serverAddress, link_.serverPort, version, overlay->clientSide);
        ASSERT_EQ(client.status, 0) << version << ": " << client.out;
    }
    ASSERT_TRUE(varno->signal(SIGINT));
    EXPECT_EQ(varno->wait(10s), 0) << readFile(varnoOutput());
    std::multiset<std::string> versions;
    for (auto const& row : readCsvOutput(output).rows) {
        ASSERT_EQ(row.size(), size_t{ColumnCount}) << joinCells(row);
        versions.insert(row[TLSVersion]);
        EXPECT_EQ(row[ClientIPAddress], overlay->clientAddress);
        EXPECT_EQ(row[ServerIPAddress], overlay->serverAddress);
        EXPECT_EQ(row[ClientMACAddress], overlay->clientMac);
        EXPECT_EQ(row[ServerMACAddress], overlay->serverMac);
        EXPECT_EQ(row[SNI], "e2e.test");
    }
    EXPECT_EQ(versions, (std::multiset<std::string>{"TLSv1.2", "TLSv1.3"})) << "one row per handshake";
}

// QUIC handshakes between ngtcp2's example client and server (GnuTLS builds) across the
// link: one row each. Given an address, the client sends "localhost" as the server name.
TEST_F(EndToEndLive, QuicHandshakesAcrossTheLinkGetTheirRows) {
    if (!haveTool("command -v gtlsserver") || !haveTool("command -v gtlsclient"))
        GTEST_SKIP() << "gtlsserver or gtlsclient not installed (ngtcp2-server, ngtcp2-client: scripts/install-deps.sh)";
    makeCertificate();
    std::string const output = scratch_ / "out";
    auto varno = startVarno({"-o", output}, output);
    ASSERT_TRUE(varno->running());

    std::string const port = std::to_string(link_.serverPort);
    auto quicServer = startUdpServer({"gtlsserver", "-q", link_.serverAddress, port, scratch_ / "key.pem",
                                      scratch_ / "cert.pem"});
    ASSERT_TRUE(quicServer);
    size_t const handshakes = 3;
    for (size_t i = 0; i < handshakes; ++i) {
        auto const client = runShell("timeout 20 gtlsclient -q --exit-on-all-streams-close " + link_.serverAddress + " " +
                                     port + " https://" + link_.serverAddress + ":" + port + "/");
        ASSERT_EQ(client.status, 0) << client.out;
    }

    ASSERT_TRUE(varno->signal(SIGINT));
    EXPECT_EQ(varno->wait(10s), 0) << readFile(varnoOutput());
    std::set<std::string> clientPorts;
    for (auto const& row : readCsvOutput(output).rows) {
        ASSERT_EQ(row.size(), size_t{ColumnCount}) << joinCells(row);
        // Over loopback other traffic may show up; only this server's connections count.
        if (row[ServerIPAddress] != link_.serverAddress || row[ServerPortNumber] != port) continue;
        clientPorts.insert(row[ClientPortNumber]);
        EXPECT_EQ(row[ProtocolType], "QUIC");
        EXPECT_EQ(row[TLSVersion], "TLSv1.3");
        EXPECT_EQ(row[ClientIPAddress], link_.clientAddress);
        EXPECT_EQ(row[ClientMACAddress], link_.clientMac);
        EXPECT_EQ(row[ServerMACAddress], link_.serverMac);
        EXPECT_EQ(row[SNI], "localhost");
    }
    EXPECT_EQ(clientPorts.size(), handshakes) << "one row per handshake: " << logText(output);
}

// DTLS through the capture filter: s_server -listen answers the first ClientHello with a
// HelloVerifyRequest and the handshake goes on with the second one. (-quiet: without it
// s_server ends at once when its input is empty.)
TEST_F(EndToEndLive, DtlsHandshakeWithACookieGetsItsRow) {
    makeCertificate();
    std::string const output = scratch_ / "out";
    auto varno = startVarno({"-o", output}, output);
    ASSERT_TRUE(varno->running());

    std::string const port = std::to_string(link_.serverPort);
    auto dtlsServer = startUdpServer({"openssl", "s_server", "-dtls1_2", "-listen", "-quiet", "-naccept", "1",
                                      "-accept", port, "-cert", scratch_ / "cert.pem", "-key", scratch_ / "key.pem"});
    ASSERT_TRUE(dtlsServer);
    auto const client = connect(link_.serverAddress, link_.serverPort, "-dtls1_2");
    ASSERT_EQ(client.status, 0) << client.out;

    ASSERT_TRUE(varno->signal(SIGINT));
    EXPECT_EQ(varno->wait(10s), 0) << readFile(varnoOutput());
    size_t rows = 0;
    for (auto const& row : readCsvOutput(output).rows) {
        ASSERT_EQ(row.size(), size_t{ColumnCount}) << joinCells(row);
        if (row[ServerIPAddress] != link_.serverAddress || row[ServerPortNumber] != port) continue;
        ++rows;
        EXPECT_EQ(row[ProtocolType], "DTLS");
        EXPECT_EQ(row[TLSVersion], "DTLSv1.2");
        EXPECT_EQ(row[SNI], "e2e.test");
        EXPECT_EQ(row[ClientIPAddress], link_.clientAddress);
        EXPECT_EQ(row[ClientMACAddress], link_.clientMac);
        EXPECT_EQ(row[ServerMACAddress], link_.serverMac);
    }
    EXPECT_EQ(rows, 1u) << logText(output);
}

// Nothing crosses the link after a handshake: its row still appears once its 10 s are
// over, checked against the clock at each read timeout, without a stop request.
TEST_F(EndToEndLive, HandshakeOnAQuietLinkGetsItsRowWithoutAStopRequest) {
    if (link_.device == "lo") GTEST_SKIP() << "loopback is never reliably quiet";
    makeCertificate();
    std::string const output = scratch_ / "out";
    // One row a file: the file is published as soon as its row is written.
    auto varno = startVarno({"-o", output, "-t", "1"}, output);
    ASSERT_TRUE(varno->running());
    auto openSslServer = startServer(link_.serverAddress, 1);

    auto const start = std::chrono::steady_clock::now();
    auto const client = connect(link_.serverAddress, link_.serverPort, "-tls1_2");
    ASSERT_EQ(client.status, 0) << client.out;
    bool const appeared = waitFor([&] { return !readCsvOutput(output).rows.empty(); }, 12s);
    auto const seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(appeared) << "no row " << seconds << " s after the handshake began";
    EXPECT_TRUE(varno->running()) << "the row came from a stop, not from the clock";

    ASSERT_TRUE(varno->signal(SIGINT));
    EXPECT_EQ(varno->wait(10s), 0) << readFile(varnoOutput());
    auto const rows = readCsvOutput(output).rows;
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][ClientIPAddress], link_.clientAddress);
}

// kill -9 in the middle of a live run: every row the exporter had flushed is in a ".csv"
// file after the next start, and every line of it is a whole row. Connections keep coming,
// so earlier ones are handed on by capture time while the run goes on.
TEST_F(EndToEndLive, RowsFlushedBeforeAKillAreKeptAfterTheRestart) {
    makeCertificate();
    std::string const output = scratch_ / "out";
    auto varno = startVarno({"-o", output}, output);
    ASSERT_TRUE(varno->running());
    auto openSslServer = startServer(link_.serverAddress, 10000);

    std::atomic<bool> clientsDone{false};
    std::thread clients([&] {
        while (!clientsDone) connect(link_.serverAddress, link_.serverPort, "-tls1_3");
    });
    // The rows of the open file: complete lines after the header.
    auto flushedRows = [&] {
        std::vector<std::string> rows;
        for (auto const& entry : fs::directory_iterator(output))
            if (entry.path().string().ends_with(".csv.tmp")) {
                std::string const text = readFile(entry.path());
                std::istringstream lines(text.substr(0, text.rfind('\n') + 1));
                std::string line;
                std::getline(lines, line);  // header
                while (std::getline(lines, line)) rows.push_back(line);
            }
        return rows;
    };
    bool const someRows = waitFor([&] { return flushedRows().size() >= 10; }, 60s);
    ASSERT_TRUE(varno->signal(SIGKILL));
    varno->wait(10s);
    std::vector<std::string> const beforeKill = flushedRows();
    clientsDone = true;
    clients.join();
    ASSERT_TRUE(someRows) << "no rows reached the file: " << logText(output);

    // The next run finishes the leftover at its start; it is stopped as soon as it has.
    auto restarted = startVarno({"-o", output}, output);
    ASSERT_TRUE(waitFor([&] { return logText(output).find("Finished leftover output file") != std::string::npos; },
                        30s))
        << logText(output);
    std::this_thread::sleep_for(500ms);
    ASSERT_TRUE(restarted->signal(SIGINT));
    EXPECT_EQ(restarted->wait(10s), 0) << readFile(varnoOutput());

    auto const csv = readCsvOutput(output);
    EXPECT_TRUE(csv.tmpFiles.empty());
    std::set<std::string> published;
    for (auto const& row : csv.rows) {
        EXPECT_EQ(row.size(), size_t{ColumnCount}) << joinCells(row);
        published.insert(joinCells(row));
    }
    size_t kept = 0;
    for (std::string const& row : beforeKill) kept += published.count(row);
    EXPECT_EQ(kept, beforeKill.size()) << "rows flushed before the kill but missing after the restart";
    std::cout << "[          ] " << beforeKill.size() << " rows flushed before kill -9, " << kept
              << " of them in .csv files after the restart (" << csv.rows.size() << " rows in all)\n";
}

// The output file system is full when the handshakes' rows come: they wait in memory, and
// once there is room again they are written without a stop or a new row.
TEST_F(EndToEndLive, RowsWaitForAFullDiskAndAreWrittenWhenItHasRoom) {
    if (::geteuid() != 0) GTEST_SKIP() << varno_test::Tmpfs::skipReason;
    makeCertificate();
    std::string const output = scratch_ / "out", logs = scratch_ / "logs";
    varno_test::Tmpfs disk(output, 64 * 1024);
    ASSERT_TRUE(disk.mounted()) << varno_test::Tmpfs::skipReason;
    disk.fill();
    auto varno = startVarno({"-o", output, "-g", logs}, logs);
    ASSERT_TRUE(varno->running());
    std::vector<std::string> const versions = {"-tls1_2", "-tls1_3", "-tls1_2"};
    auto openSslServer = startServer(link_.serverAddress, versions.size());
    for (auto const& version : versions) ASSERT_EQ(connect(link_.serverAddress, link_.serverPort, version).status, 0);

    // Rows come once their flows' 10 s are over.
    ASSERT_TRUE(waitFor([&] { return logText(logs).find("Cannot write output file") != std::string::npos; }, 30s))
        << logText(logs);
    disk.free();
    EXPECT_TRUE(waitFor([&] { return logText(logs).find("Output files are written again") != std::string::npos; },
                        20s))
        << logText(logs);
    ASSERT_TRUE(varno->signal(SIGINT));
    EXPECT_EQ(varno->wait(10s), 0) << readFile(varnoOutput());
    size_t rows = 0;
    for (auto const& row : readCsvOutput(output).rows)
        rows += row[ServerIPAddress] == link_.serverAddress && row[ServerPortNumber] == std::to_string(link_.serverPort);
    EXPECT_EQ(rows, versions.size()) << logText(logs);
    EXPECT_EQ(logText(logs).find(", rows lost "), std::string::npos) << "the end-of-run record counts none";
}

// -Z: once the device is open the run goes on as that user, with no capability left, and
// still captures (with the kernel buffer -B gives).
TEST_F(EndToEndLive, RunsAsTheUserOfMinusZ) {
    if (::geteuid() != 0) GTEST_SKIP() << "dropping to another user needs root";
    if (::getpwnam("nobody") == nullptr) GTEST_SKIP() << "no user nobody";
    makeCertificate();
    std::string const output = scratch_ / "out";
    auto varno = startVarno({"-o", output, "-Z", "nobody", "-B", "8"}, output);
    ASSERT_TRUE(varno->running());

    std::map<std::string, std::string> status;
    std::istringstream lines(readFile("/proc/" + std::to_string(varno->pid()) + "/status"));
    for (std::string line; std::getline(lines, line);)
        status[line.substr(0, line.find(':'))] = line.substr(line.find(':') + 1);
    std::string const uid = std::to_string(::getpwnam("nobody")->pw_uid);
    EXPECT_EQ(status["Uid"], "\t" + uid + "\t" + uid + "\t" + uid + "\t" + uid);
    for (char const* set : {"CapInh", "CapPrm", "CapEff", "CapAmb"}) EXPECT_EQ(status[set], "\t0000000000000000") << set;

    auto openSslServer = startServer(link_.serverAddress, 1);
    ASSERT_EQ(connect(link_.serverAddress, link_.serverPort, "-tls1_3").status, 0);
    ASSERT_TRUE(varno->signal(SIGINT));
    EXPECT_EQ(varno->wait(10s), 0) << readFile(varnoOutput());
    size_t rows = 0;
    for (auto const& row : readCsvOutput(output).rows) rows += row[ServerIPAddress] == link_.serverAddress;
    EXPECT_EQ(rows, 1u);
    std::string const log = logText(output);
    EXPECT_NE(log.find("Running as user nobody"), std::string::npos) << log;
    EXPECT_EQ(log.find("Capturing as root"), std::string::npos) << log;
}

TEST_F(EndToEndLive, QuietLinkStopsPromptlyAndLeavesNoDirectory) {
    if (link_.device == "lo") GTEST_SKIP() << "loopback is never reliably quiet";
    std::string const output = scratch_ / "out", logs = scratch_ / "logs";
    fs::create_directory(logs);
    auto varno = startVarno({"-o", output, "-g", logs}, logs);
    ASSERT_TRUE(varno->running());
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(fs::is_directory(output)) << "made at start";

    ASSERT_TRUE(varno->signal(SIGTERM));
    EXPECT_EQ(varno->wait(5s), 0) << readFile(varnoOutput());
    EXPECT_EQ(readFile(varnoOutput()), "");
    EXPECT_FALSE(fs::exists(output)) << "nothing was written, so the directory goes";
}

// Every value Prometheus's HTTP API returns for the sensor, by series (name and labels).
std::map<std::string, double> storedSeries(uint16_t prometheusPort) {
    auto const answer = runShell("curl -s -G http://127.0.0.1:" + std::to_string(prometheusPort) +
                                 "/api/v1/query --data-urlencode " +
                                 shellQuote("query={job=\"varno\",__name__=~\"varno_.*|process_start_time_seconds\"}"));
    std::map<std::string, double> series;
    auto const json = nlohmann::json::parse(answer.out, nullptr, false);
    if (json.is_discarded() || json.value("status", "") != "success") return series;
    for (auto const& item : json["data"]["result"]) {
        std::string name = item["metric"]["__name__"];
        if (item["metric"].contains("reason")) name += "{" + item["metric"]["reason"].get<std::string>() + "}";
        series[name] = std::stod(item["value"][1].get<std::string>());
    }
    return series;
}

// Debian's Prometheus scrapes the sensor every second while captures are replayed onto the
// link; what it stored, read back through its query API, is what the end-of-run record says.
TEST_F(EndToEndLive, PrometheusStoresTheCountersOfTheEndOfRunRecord) {
    if (link_.device == "lo") GTEST_SKIP() << "needs the veth link";
    if (!haveTool("tcpreplay -V")) GTEST_SKIP() << "tcpreplay not installed (scripts/install-deps.sh)";
    if (!haveTool("prometheus --version 2>&1") || !haveTool("curl --version"))
        GTEST_SKIP() << "prometheus or curl not installed (scripts/install-deps.sh --test)";
    uint16_t const metricsPort = freeLoopbackPort(), prometheusPort = freeLoopbackPort();
    ASSERT_NE(metricsPort, prometheusPort);
    varno_test::writeFile(scratch_ / "prometheus.yml",
              "global: {scrape_interval: 1s, evaluation_interval: 1s}\n"
              "scrape_configs:\n"
              "  - job_name: varno\n"
              "    static_configs: [{targets: ['127.0.0.1:" + std::to_string(metricsPort) + "']}]\n");
    double const started = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    std::string const output = scratch_ / "out";
    // One row per file, so a file is finished while the sensor runs.
    auto varno = startVarno(
        {"-o", output, "-t", "1", "-F", "64", "--metrics", "127.0.0.1:" + std::to_string(metricsPort)}, output);
    ASSERT_TRUE(varno->running());
    ChildProcess prometheus({"prometheus", "--config.file=" + std::string(scratch_ / "prometheus.yml"),
                             "--storage.tsdb.path=" + std::string(scratch_ / "tsdb"),
                             "--web.listen-address=127.0.0.1:" + std::to_string(prometheusPort)},
                            scratch_ / "prometheus.out");
    ASSERT_TRUE(waitFor([&] { return storedSeries(prometheusPort).count("varno_frames_read_total") != 0; }, 60s))
        << readFile(scratch_ / "prometheus.out");

    for (char const* capture : {"t12_ecdhe_rsa_sni.pcap", "t12_alert_unknown_ca.pcap", "no_answer.pcap"})
        ASSERT_EQ(veth_->replay(sourcePath(std::string("tests/data/") + capture)).status, 0) << capture;
    // The unanswered hello is analysed 10 s after it came; then one more scrape.
    std::map<std::string, double> stored;
    ASSERT_TRUE(waitFor(
        [&] {
            stored = storedSeries(prometheusPort);
            return stored["varno_rows_written_total"] == 1 &&
                   stored["varno_connections_without_row_total{fatal_alert}"] == 1 &&
                   stored["varno_connections_without_row_total{no_server_hello}"] == 1 &&
                   stored["varno_flows_held"] == 0;
        },
        60s))
        << readFile(scratch_ / "prometheus.out");
    std::this_thread::sleep_for(2s);
    stored = storedSeries(prometheusPort);
    for (auto const& [name, value] : stored) std::cout << "[          ] " << name << " " << std::fixed << value << "\n";
    prometheus.signal(SIGTERM);
    ASSERT_TRUE(varno->signal(SIGINT));
    EXPECT_EQ(varno->wait(10s), 0) << readFile(varnoOutput());

    std::string const log = logText(output);
    std::smatch record;
    std::regex const endOfRun("End of run: frames read (\\d+);.*flows opened (\\d+), rows written (\\d+), flows "
                              "dropped incomplete (\\d+)");
    ASSERT_TRUE(std::regex_search(log, record, endOfRun)) << log;
    EXPECT_EQ(stored["varno_frames_read_total"], std::stod(record[1]));
    EXPECT_EQ(stored["varno_rows_written_total"], std::stod(record[3]));
    double withoutRow = 0;
    for (auto const& [name, value] : stored)
        if (name.rfind("varno_connections_without_row_total{", 0) == 0) withoutRow += value;
    EXPECT_EQ(withoutRow, std::stod(record[4]));
    EXPECT_EQ(stored["varno_output_files_finished_total"], 1);
    EXPECT_GT(stored["varno_frame_bytes_read_total"], stored["varno_frames_read_total"] * 54);
    for (char const* none : {"varno_kernel_drops_total", "varno_interface_drops_total", "varno_rows_lost_total",
                             "varno_flows_evicted_total", "varno_flow_memory_bytes"})
        EXPECT_EQ(stored[none], 0) << none;
    EXPECT_EQ(stored["varno_flow_memory_budget_bytes"], 64 << 20);
    EXPECT_NEAR(stored["process_start_time_seconds"], started, 10);
}

}  // namespace
