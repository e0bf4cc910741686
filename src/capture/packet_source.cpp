#include "capture/packet_source.h"

#include <chrono>
#include <stdexcept>

#include "base/log.h"
#include "capture/interfaces.h"

const std::map<int, int> LINK_LAYER_OFFSETS = {
    {0, 4},     // DLT_NULL (BSD loopback)
    {1, 14},    // DLT_EN10MB (Ethernet)
    {12, 0},    // DLT_RAW (raw IP)
    {113, 16},  // DLT_LINUX_SLL
    {276, 20},  // DLT_LINUX_SLL2
};

// IPv4 TCP segments whose payload (total length minus both header lengths) is not
// empty: a ChangeCipherSpec or alert alone in a segment passes, bare ACKs do not.
const char* const CAPTURE_FILTER = "tcp && ip[2:2] - ((ip[0] & 0xf) << 2) - ((tcp[12] & 0xf0) >> 2) > 0";

namespace {
constexpr int READ_TIMEOUT_MS = 512;
}

int linkLayerOffset(pcap_t* handle) {
    const int link = pcap_datalink(handle);
    auto it = LINK_LAYER_OFFSETS.find(link);
    if (it != LINK_LAYER_OFFSETS.end()) return it->second;
    VARNO_LOG(error) << "Unsupported data link type: " << link;
    return -1;
}

PacketSource::PacketSource(pcap_t* handle)
    : handle(handle),
      isEthernet(pcap_datalink(handle) == DLT_EN10MB),
      linkOffset(linkLayerOffset(handle)),
      packet(std::make_shared<Packet>(isEthernet, linkOffset)) {}

PacketSource::~PacketSource() {
    if (handle) pcap_close(handle);
}

std::unique_ptr<PacketSource> PacketSource::create(std::string path) {
    char errorBuffer[PCAP_ERRBUF_SIZE] = {};
    pcap_t* handle = pcap_open_offline(path.c_str(), errorBuffer);
    if (handle == nullptr) {
        VARNO_LOG(error) << errorBuffer;
        return nullptr;
    }
    auto source = std::make_unique<PacketSource>(handle);
    if (!source->setFilter(CAPTURE_FILTER)) return nullptr;
    return source;
}

std::unique_ptr<PacketSource> PacketSource::create(Interface const& interface) {
    char errorBuffer[PCAP_ERRBUF_SIZE] = {};
    pcap_t* handle = pcap_create(interface.name.c_str(), errorBuffer);
    if (handle == nullptr) {
        VARNO_LOG(error) << errorBuffer;
        return nullptr;
    }
    pcap_set_promisc(handle, 1);
    pcap_set_timeout(handle, READ_TIMEOUT_MS);
    pcap_set_immediate_mode(handle, 1);
    if (pcap_activate(handle) < 0) {
        VARNO_LOG(error) << pcap_geterr(handle);
        pcap_close(handle);
        return nullptr;
    }
    auto source = std::make_unique<PacketSource>(handle);
    source->live = true;
    if (!source->setFilter(CAPTURE_FILTER)) return nullptr;
    return source;
}

bool PacketSource::setFilter(std::string const& expression) {
    bpf_program program{};
    if (pcap_compile(handle, &program, expression.c_str(), 1, PCAP_NETMASK_UNKNOWN) < 0) {
        VARNO_LOG(error) << pcap_geterr(handle);
        return false;
    }
    if (pcap_setfilter(handle, &program) < 0) {
        VARNO_LOG(error) << pcap_geterr(handle);
        pcap_freecode(&program);
        return false;
    }
    pcap_freecode(&program);
    return true;
}

bool PacketSource::hasMorePackets() {
    while (true) {
        if (!active.load(std::memory_order_relaxed) && !startDraining()) return false;
        pcap_pkthdr* header = nullptr;
        const u_char* bytes = nullptr;
        const int result = pcap_next_ex(handle, &header, &bytes);
        if (result == PCAP_ERROR_BREAK && live) continue;  // the stop request woke the read
        if (result < 0) return false;                      // end of file or a read error
        if (result == 0) {
            // Read timeout on a quiet link, or nothing left to drain after a stop request.
            if (draining) return false;
            continue;
        }
        if (draining && std::chrono::steady_clock::now() > drainUntil) return false;
        if (packet->parse(header, bytes)) return true;
    }
}

// After a stop request a live capture still reads what the kernel already holds, so a
// handshake completed just before the signal keeps its row. A busy link gets a bounded
// grace period; a file simply stops.
bool PacketSource::startDraining() {
    if (!live) return false;
    if (!draining) {
        char errorBuffer[PCAP_ERRBUF_SIZE] = {};
        if (pcap_setnonblock(handle, 1, errorBuffer) < 0) return false;
        draining = true;
        drainUntil = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    }
    return true;
}

std::shared_ptr<Packet> PacketSource::nextPacket() {
    std::shared_ptr<Packet> decoded = std::move(packet);
    packet = spare ? std::move(spare) : std::make_shared<Packet>(isEthernet, linkOffset);
    packet->reset();
    return decoded;
}

void PacketSource::recycle(std::shared_ptr<Packet>&& used) {
    if (used && used.use_count() == 1 && !used->ownsData) spare = std::move(used);
    used.reset();
}
