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
    const uint8_t* transport = packet.isTcp() ? packet.tcpHeader : packet.udpHeader;
    const size_t transportLength = packet.isTcp() ? 20 : 8;
    if (packet.payloadLength < 0 || !inside(packet.ipHeader, 20, frame, size) ||
        !inside(transport, transportLength, frame, size) ||
        !inside(packet.payload, static_cast<size_t>(packet.payloadLength), frame, size) ||
        transport < packet.ipHeader + 20 || packet.payload < transport + transportLength)
        return false;
    if (packet.ethernetHeader) {
        if (!inside(packet.ethernetHeader, 14, frame, size)) return false;
        sink += static_cast<unsigned>(ethernetToString(packet.ethernetHeader).size());
    }
    for (size_t i = 0; i < packet.tcpPayloadLength(); ++i) sink += packet.tcpPayload()[i];
    sink += static_cast<unsigned>(packet.timestamp() + static_cast<uint64_t>(packet.captureTime() > 0));
    sink += PacketSourceWorker::checkTlsSignatures(packet);
    return sameKey(packet.flowKey(), packet.key) || sameKey(packet.flowKey(), packet.key.reverse());
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
        const FlowKey key = packet->key;
        if (packet->copyPacketData() != decoded) return false;
        if (decoded) {
            // The copy stands alone: nothing may point back into the capture buffer.
            if (detail::inside(packet->payload, 0, data, size) || !sameKey(packet->key, key) ||
                !detail::decodedWithin(*packet, packet->data, packet->header->caplen, sink))
                return false;
        }
        packet->reset();
    }
    volatile unsigned keep = sink;
    (void)keep;
    return true;
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
    for (auto const& p : inOrder) flow.enqueuePacket(p);
    for (auto const& p : late) flow.enqueuePacket(p);
    outcome.complete = flow.processPackets();
    outcome.promisesKept = flow.packets.empty() && outcome.complete == flow.features.handshakeComplete();
    outcome.features = flow.features;
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
        FlowEngine engine(1);
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
