#pragma once
// How the fuzz targets feed their input to the monitor, shared by the targets (fuzz/) and
// by the tests that replay what they found. Each function returns false when the code
// under test broke one of its own promises on that input; sanitizer reports and crashes
// speak for themselves.
#include <pcap/pcap.h>

#include <boost/filesystem.hpp>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "export/settings.h"
#include "capture/packet.h"
#include "capture/packet_source.h"
#include "flow/flow.h"
#include "pipeline/engine.h"
#include "support/builders.h"

namespace replay {

namespace detail {

inline bool inside(const uint8_t* p, size_t n, const uint8_t* begin, size_t size) {
    return p != nullptr && p >= begin && n <= size && static_cast<size_t>(p - begin) <= size - n;
}

// The decoded pointers lie within the frame, in header order, and every byte the packet
// offers is read (so a sanitizer sees any that it does not own).
inline bool decodedWithin(Packet const& packet, const uint8_t* frame, size_t size, unsigned& sink) {
    if (packet.payloadLength < 0 || !inside(packet.payload, static_cast<size_t>(packet.payloadLength), frame, size))
        return false;
    if (packet.ethernetHeader) {
        if (!inside(packet.ethernetHeader, Packet::macAddressesLength, frame, size)) return false;
        sink += static_cast<unsigned>(ethernetToString(packet.ethernetHeader).size());
    }
    for (size_t i = 0; i < packet.tcpPayloadLength(); ++i) sink += packet.tcpPayload()[i];
    sink += static_cast<unsigned>(packet.timestamp() + static_cast<uint64_t>(packet.captureTime() > 0));
    sink += PacketSourceWorker::opensFlow(packet);
    return packet.flowKey() == packet.key || packet.flowKey() == packet.key.reverse();
}

}  // namespace detail

// One captured frame, decoded for every link type the capture knows (and an unsupported
// one), then copied as a queued packet is. The capture time is taken from the frame's first 16 bytes, so odd clocks get tried.
inline bool frame(const uint8_t* data, size_t size) {
    pcap_pkthdr header{};
    int64_t seconds = 0, micros = 0;
    if (size >= 16) {
        std::memcpy(&seconds, data, 8);
        std::memcpy(&micros, data + 8, 8);
    }
    header.ts.tv_sec = static_cast<time_t>(seconds);
    header.ts.tv_usec = static_cast<suseconds_t>(micros);
    header.caplen = header.len = static_cast<uint32_t>(size);

    unsigned sink = 0;
    for (int linkType : {DLT_NULL, DLT_EN10MB, DLT_RAW, DLT_LINUX_SLL, DLT_LINUX_SLL2, DLT_IPV4, DLT_IPV6, DLT_IEEE802_11}) {
        auto packet = std::make_shared<Packet>(linkType);
        const bool decoded = packet->parse(&header, data);
        if (decoded && (linkType == DLT_IEEE802_11 || !detail::decodedWithin(*packet, data, size, sink))) return false;
        if (decoded) {
            // The kept copy stands alone: nothing may point back into the capture buffer.
            std::unique_ptr<KeptPacket, decltype(&KeptPacket::destroy)> copy(
                KeptPacket::copyOf(*packet, packet->flowKey()), &KeptPacket::destroy);
            Packet kept(linkType);
            copy->restore(kept, packet->flowKey());
            if (detail::inside(kept.payload, 0, data, size) || kept.key != packet->key ||
                !detail::decodedWithin(kept, kept.data, kept.header->caplen, sink))
                return false;
        }
        packet->reset();
    }
    volatile unsigned keep = sink;
    (void)keep;
    return true;
}

// A frame built from a recipe of encapsulations, so the fuzzer reaches deep nestings:
//
//   cut (2 bytes) | flip at (2 bytes) | flip xor (1 byte) | ops (up to 16, ending at 0xff) | payload
//
// Each op wraps what was built so far (a segment over IPv4 or IPv6 to begin with) in one
// more header, chosen by its low 4 bits; bit 4 picks IPv6 for an outer IP header. The
// decoder must find the segment exactly when the nesting is at most 8 deep with at most 8
// tags in one Ethernet header, and must fail on every shorter cut of the frame. After
// that, one byte of the frame is changed and the frame cut, and the decoded packet must
// keep the promises of frame().
inline bool encapsulation(const uint8_t* data, size_t size) {
    using namespace build;
    if (size < 5) return true;
    const size_t cut = size_t(data[0]) << 8 | data[1], flipAt = size_t(data[2]) << 8 | data[3];
    const uint8_t flip = data[4];
    size_t pos = 5;
    std::vector<uint8_t> ops;
    while (pos < size && ops.size() < 16 && data[pos] != 0xff) ops.push_back(data[pos++]);
    if (pos < size) ++pos;
    Segment segment;
    segment.payload.assign(data + pos, data + std::min(size, pos + 2000));
    if (segment.payload.empty()) segment.payload = {0x16};
    if (!ops.empty() && (ops[0] & 0x10)) segment.src = "fd00::1", segment.dst = "fd00::2";
    const bool innerV6 = segment.src.find(':') != std::string::npos;

    Bytes built = innerV6 ? ipv6(segment) : ipv4(segment);
    bool isFrame = false;  // else an IP datagram
    int depth = 0, tags = 0, maxTags = 0;
    auto toFrame = [&] {
        if (isFrame) return;
        built = wrap::ethernetFrame(wrap::ip(built));
        isFrame = true;
        tags = 0;
    };
    auto toDatagramOver = [&](bool v6, uint8_t protocol, Bytes const& inner) {
        built = wrap::ipOver(v6, protocol, inner);
        isFrame = false;
    };
    // A tag or a Cisco MetaData header goes right after the MAC addresses of the frame.
    auto insertAfterMacs = [&](Bytes const& typed) {
        Bytes head(built.begin(), built.begin() + 12);
        append(head, typed);
        head.insert(head.end(), built.begin() + 12, built.end());
        built = head;
    };
    for (uint8_t op : ops) {
        const bool v6 = (op & 0x10) != 0;
        switch (op & 0x0f) {
        case 0: toFrame(); insertAfterMacs({0x81, 0x00, 0x00, 0x64}); maxTags = std::max(maxTags, ++tags); break;
        case 1: toFrame(); insertAfterMacs({0x89, 0x09, 1, 1, 0, 1, 0, 2}); ++depth; break;
        case 2:
            if (isFrame) toDatagramOver(v6, 17, wrap::vxlan(built)); else toDatagramOver(v6, 17, wrap::geneve(wrap::etherTypeOf(built), built, op >> 5));
            ++depth;
            break;
        case 3: toDatagramOver(v6, 47, isFrame ? wrap::gre(0x6558, built, op & 0x20, op & 0x40, op & 0x80) : wrap::gre(wrap::etherTypeOf(built), built, op & 0x20, op & 0x40, op & 0x80)); ++depth; break;
        case 4: toFrame(); toDatagramOver(v6, 47, wrap::erspan2(built)); ++depth; break;
        case 5: toFrame(); toDatagramOver(v6, 47, wrap::erspan3(built, op & 0x20)); ++depth; break;
        case 6: toFrame(); toDatagramOver(v6, 17, wrap::geneve(0x6558, built, op >> 5)); ++depth; break;
        case 7:
            if (isFrame) toDatagramOver(v6, 47, wrap::gre(0x88be, built));  // ERSPAN type I
            else toDatagramOver(v6, wrap::etherTypeOf(built) == 0x0800 ? 4 : 41, built);
            ++depth;
            break;
        case 8:
            if (isFrame) break;
            built = wrap::ethernetFrame(wrap::mpls(built, 1 + (op >> 5)));
            isFrame = true, tags = 0, ++depth;
            break;
        case 9:
            if (isFrame) break;
            built = wrap::ethernetFrame(wrap::pppoe(built));
            isFrame = true, tags = 0, ++depth;
            break;
        case 10:
            if (isFrame || wrap::etherTypeOf(built) != 0x86dd) break;
            built = wrap::withIpv6Extensions(built, {uint8_t(op & 0x20 ? 43 : 0), 60});
            break;
        default: break;
        }
    }
    toFrame();

    pcap_pkthdr header{};
    header.caplen = header.len = static_cast<uint32_t>(built.size());
    Packet packet(DLT_EN10MB);
    const bool decoded = packet.parse(&header, built.data());
    const bool followable = depth <= maxEncapsulations && maxTags <= maxVlanTags;
    if (decoded != followable) return false;
    if (decoded && (packet.payloadLength != static_cast<int32_t>(segment.payload.size()) || packet.key.ipVersion != (innerV6 ? 6 : 4) ||
                    packet.key.dstPort != segment.dstPort || !packet.isTcp()))
        return false;
    if (!decoded && packet.skipped != SkipReason::TooDeep) return false;
    // Cut short: never decoded, never read past the cut (the sanitizer sees a heap copy).
    if (cut < built.size()) {
        std::unique_ptr<uint8_t[]> copy(new uint8_t[cut ? cut : 1]);
        if (cut) std::memcpy(copy.get(), built.data(), cut);
        header.caplen = header.len = static_cast<uint32_t>(cut);
        Packet shorter(DLT_EN10MB);
        if (shorter.parse(&header, copy.get())) return false;
    }
    if (!built.empty()) built[flipAt % built.size()] ^= flip;
    return frame(built.data(), std::min(built.size(), std::max<size_t>(cut, 1)));
}

// TCP payloads of one connection, as a sequence of segments:
//
//   control (1 byte) | length (2 bytes, big-endian) | payload (length bytes, cut at the end)
//
// control bit 7: direction (0 client to server, 1 server to client); bit 6: delivered
// late (queued after every segment that is not); bits 0-5: signed shift of the segment's
// sequence number against its direction's stream position (1..31 leave a gap, 32..63
// overlap by 32..1 bytes). So 0x00 and 0x80 continue their direction in order. The
// client's stream starts 256 bytes before the 2^32 wrap. At most 64 segments are used.
struct FlowOutcome {
    bool promisesKept = true;
    bool complete = false;
    TLSFeatures features;
};

inline FlowOutcome segments(const uint8_t* data, size_t size) {
    constexpr size_t maxSegments = 64;
    constexpr size_t maxPayload = 65535 - 40;
    build::Segment directions[2];
    directions[0].src = "192.168.1.10";
    directions[0].dst = "10.1.2.3";
    directions[0].srcPort = 51000;
    directions[0].dstPort = 443;
    directions[0].seq = 0xffffff00;
    directions[1].src = directions[0].dst;
    directions[1].dst = directions[0].src;
    directions[1].srcPort = directions[0].dstPort;
    directions[1].dstPort = directions[0].srcPort;
    directions[1].seq = 900000;

    FlowOutcome outcome;
    std::vector<std::shared_ptr<Packet>> inOrder, late;
    long micros = 0;
    size_t pos = 0;
    while (pos + 3 <= size && inOrder.size() + late.size() < maxSegments) {
        const uint8_t control = data[pos];
        size_t length = static_cast<size_t>(data[pos + 1]) << 8 | data[pos + 2];
        pos += 3;
        if (length > size - pos) length = size - pos;
        if (length > maxPayload) length = maxPayload;

        build::Segment& s = directions[control >> 7];
        const int32_t shift = static_cast<int8_t>(static_cast<uint8_t>(control << 2)) >> 2;
        s.seq += static_cast<uint32_t>(shift);
        s.payload.assign(data + pos, data + pos + length);
        pos += length;
        auto packet = build::tcpPacket(s, 1700000000, micros);
        micros += 1000;
        s.seq += static_cast<uint32_t>(length);
        if (!packet) {
            outcome.promisesKept = false;
            return outcome;
        }
        ((control & 0x40) ? late : inOrder).push_back(packet);
    }
    if (inOrder.empty() && late.empty()) return outcome;

    Flow flow(inOrder.empty() ? late.front()->flowKey() : inOrder.front()->flowKey());
    for (auto const& p : inOrder) flow.enqueuePacket(*p);
    for (auto const& p : late) flow.enqueuePacket(*p);
    outcome.complete = flow.processPackets();
    outcome.promisesKept = outcome.complete == flow.features().handshakeComplete();
    outcome.features = flow.features();
    return outcome;
}

// Runs the capture file `input` through a FlowEngine into `output` (created, and removed
// afterwards) with the settings as they are. Returns the CSV rows written, header lines
// left out; nullopt when libpcap refuses the file.
inline std::optional<std::vector<std::string>> runCapture(boost::filesystem::path const& input,
                                                          boost::filesystem::path const& output) {
    namespace fs = boost::filesystem;
    fs::create_directories(output);
    ExportSettings::instance().outputDir = output.string();
    bool opened = false;
    {
        FlowEngine engine;
        opened = engine.open(input.string());
        if (opened) engine.processPackets();
    }
    std::vector<std::string> rows;
    for (fs::directory_iterator it(output), end; it != end; ++it) {
        if (it->path().extension() != ".csv") continue;
        // Rows end at line breaks outside quoted cells; the first one is the header.
        std::ifstream csv(it->path().string(), std::ios::binary);
        std::string row;
        bool quoted = false, header = true;
        for (char c; csv.get(c);) {
            if (c == '"') quoted = !quoted;
            if (c != '\n' || quoted) {
                row += c;
                continue;
            }
            if (!header) rows.push_back(row);
            header = false;
            row.clear();
        }
    }
    fs::remove_all(output);
    if (!opened) return std::nullopt;
    return rows;
}

// A whole capture file: the input is written as it is to `directory`/input.pcap (classic
// pcap or pcapng, whatever libpcap makes of it) and run as above into `directory`/out.
inline std::optional<std::vector<std::string>> capture(boost::filesystem::path const& directory, const uint8_t* data,
                                                       size_t size) {
    const boost::filesystem::path input = directory / "input.pcap";
    {
        std::ofstream file(input.string(), std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    return runCapture(input, directory / "out");
}

}  // namespace replay
