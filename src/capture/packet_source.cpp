#include "capture/packet_source.h"

#include <poll.h>

#include <chrono>
#include <stdexcept>
#include <vector>

#include "base/log.h"
#include "capture/interfaces.h"

const std::map<int, int> LINK_LAYER_OFFSETS = {
    {DLT_NULL, 4},
    {DLT_EN10MB, 14},
    {DLT_RAW, 0},
    {DLT_LINUX_SLL, 16},
    {DLT_LINUX_SLL2, 20},
};

namespace {
constexpr int READ_TIMEOUT_MS = 512;

// The filter is written with absolute offsets from the start of the frame (link[...]):
// libpcap's own ip/ip6/vlan words do not reach behind tags on cooked captures, and
// variable offsets would be computed wrongly by the kernel on a cooked ("any") capture,
// where libpcap moves the constant part of every load but not an offset held in a
// register. Filter syntax gives "and" and "or" equal precedence, so every group is
// bracketed.
std::string join(std::vector<std::string> const& parts, char const* word) {
    std::string text = "(";
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i) text += word;
        text += parts[i];
    }
    return text + ")";
}
std::string allOf(std::vector<std::string> const& parts) { return join(parts, " and "); }
std::string anyOf(std::vector<std::string> const& parts) { return join(parts, " or "); }

std::string byteAt(size_t offset) { return "link[" + std::to_string(offset) + "]"; }
std::string wordAt(size_t offset) { return "link[" + std::to_string(offset) + ":2]"; }

// The version nibble of an IP header at `at`; only a raw link needs to look at it.
std::string versionAt(size_t at, int version) {
    return byteAt(at) + " & 0xf0 = " + std::to_string(version << 4);
}

// An IPv4 header at `at`: an unfragmented (or first) TCP segment with payload, a SYN
// without ACK, or a total length of 0 (segmentation offload). With IPv4 options the TCP
// header moves; those rare segments all pass and the decoder judges them.
std::string ipv4At(size_t at) {
    return allOf({byteAt(at + 9) + " = 6", wordAt(at + 6) + " & 0x1fff = 0",
                  anyOf({byteAt(at) + " != 0x45", wordAt(at + 2) + " = 0",
                         wordAt(at + 2) + " > 20 + (" + byteAt(at + 32) + " & 0xf0) / 4",
                         byteAt(at + 33) + " & 0x12 = 2"})});
}

// An IPv6 header at `at`: TCP right after it with payload, or a SYN without ACK; or an
// extension header that may hide TCP (counted by the decoder).
std::string ipv6At(size_t at) {
    std::vector<std::string> next = {allOf({byteAt(at + 6) + " = 6",
                                            anyOf({wordAt(at + 4) + " > (" + byteAt(at + 52) + " & 0xf0) / 4",
                                                   byteAt(at + 53) + " & 0x12 = 2"})})};
    for (int header : {0, 43, 44, 51, 60}) next.push_back(byteAt(at + 6) + " = " + std::to_string(header));
    return anyOf(next);
}

std::string vlanTagAt(size_t at) {
    return anyOf({wordAt(at) + " = 0x8100", wordAt(at) + " = 0x88a8", wordAt(at) + " = 0x9100"});
}

// Links that name the network layer by EtherType at `typeAt`, the header ending at
// `headerEnd`; each VLAN tag (type, tag control) moves both by 4 bytes.
std::string etherTypeLink(size_t typeAt, size_t headerEnd) {
    std::vector<std::string> alternatives;
    for (size_t tags = 0; tags <= 2; ++tags) {
        std::vector<std::string> conditions;
        for (size_t i = 0; i < tags; ++i) conditions.push_back(vlanTagAt(typeAt + 4 * i));
        const size_t type = typeAt + 4 * tags, ip = headerEnd + 4 * tags;
        conditions.push_back(anyOf({allOf({wordAt(type) + " = 0x800", ipv4At(ip)}),
                                    allOf({wordAt(type) + " = 0x86dd", ipv6At(ip)})}));
        alternatives.push_back(allOf(conditions));
    }
    alternatives.push_back(allOf({vlanTagAt(typeAt), vlanTagAt(typeAt + 4), vlanTagAt(typeAt + 8)}));
    return anyOf(alternatives);
}

// The null link's address family, in either byte order.
std::string nullFamily(std::vector<uint32_t> const& families) {
    std::vector<std::string> tests;
    for (uint32_t family : families) {
        tests.push_back("link[0:4] = " + std::to_string(family));
        tests.push_back("link[0:4] = " + std::to_string(__builtin_bswap32(family)));
    }
    return anyOf(tests);
}
}  // namespace

std::string captureFilter(int linkType) {
    switch (linkLayerOf(linkType)) {
    case LinkLayer::Ethernet: return etherTypeLink(12, 14);
    case LinkLayer::LinuxSll: return etherTypeLink(14, 16);
    case LinkLayer::LinuxSll2: return etherTypeLink(0, 20);
    case LinkLayer::Null:
        return anyOf({allOf({nullFamily({2}), ipv4At(4)}), allOf({nullFamily({10, 24, 28, 30}), ipv6At(4)})});
    case LinkLayer::Raw:
        return anyOf({allOf({versionAt(0, 4), ipv4At(0)}), allOf({versionAt(0, 6), ipv6At(0)})});
    case LinkLayer::Unsupported: break;
    }
    return "";
}

void CaptureCounts::countSkipped(SkipReason reason) {
    switch (reason) {
    case SkipReason::NotIp: ++notIp; break;
    case SkipReason::Ipv6ExtensionHeaders: ++ipv6ExtensionHeaders; break;
    case SkipReason::TooManyVlanTags: ++tooManyVlanTags; break;
    case SkipReason::CutShort: ++cutShort; break;
    case SkipReason::Malformed: ++malformed; break;
    case SkipReason::None: break;
    }
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
      linkType(pcap_datalink(handle)),
      linkOffset(linkLayerOffset(handle)),
      packet(std::make_shared<Packet>(linkType)) {}

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
    if (!source->installCaptureFilter()) return nullptr;
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
    if (!source->installCaptureFilter()) return nullptr;
    // libpcap 1.10 in immediate mode does not return at its read timeout on a quiet link;
    // reading without blocking and polling with the timeout does, so expired flows can be
    // handed over while nothing arrives.
    if (pcap_setnonblock(handle, 1, errorBuffer) == 0) source->selectableFd = pcap_get_selectable_fd(handle);
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

bool PacketSource::installCaptureFilter() {
    const std::string filter = captureFilter(linkType);
    VARNO_LOG(debug) << "Capture filter: " << filter;
    return filter.empty() || setFilter(filter);
}

PacketSource::Read PacketSource::read() {
    while (true) {
        if (!active.load(std::memory_order_relaxed) && !startDraining()) return Read::End;
        pcap_pkthdr* header = nullptr;
        const u_char* bytes = nullptr;
        const int result = pcap_next_ex(handle, &header, &bytes);
        if (result == PCAP_ERROR_BREAK && live) continue;  // the stop request woke the read
        if (result < 0) return Read::End;                  // end of file or a read error
        if (result == 0) {
            // Nothing waiting on a live link, or nothing left to drain after a stop request.
            if (draining) return Read::End;
            if (selectableFd >= 0 && waitForFrames()) continue;
            return Read::Idle;
        }
        if (draining && std::chrono::steady_clock::now() > drainUntil) return Read::End;
        ++counts.framesRead;
        if (!packet->parse(header, bytes)) {
            counts.countSkipped(packet->skipped);
            continue;
        }
        // Only a SYN without ACK matters without payload; the filter lets a few more
        // through (segments with IPv4 options).
        if (packet->tcpPayloadLength() == 0 && !(packet->isSyn() && !packet->isAck())) continue;
        return Read::Packet;
    }
}

bool PacketSource::hasMorePackets() {
    Read result;
    while ((result = read()) == Read::Idle) {
    }
    return result == Read::Packet;
}

// Waits up to the read timeout for a frame; false when the time passed without one.
bool PacketSource::waitForFrames() {
    pollfd waiting{selectableFd, POLLIN, 0};
    const int ready = ::poll(&waiting, 1, READ_TIMEOUT_MS);
    return ready != 0;  // a frame, an error the next read reports, or a signal: read again
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
    packet = spare ? std::move(spare) : std::make_shared<Packet>(linkType);
    packet->reset();
    return decoded;
}

void PacketSource::recycle(std::shared_ptr<Packet>&& used) {
    if (used && used.use_count() == 1 && !used->ownsData) spare = std::move(used);
    used.reset();
}
