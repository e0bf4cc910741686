#pragma once
#include <pcap/pcap.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "capture/packet.h"

struct Interface;

// Link type (pcap_datalink) -> bytes of link-layer header before the network layer,
// VLAN tags not counted.
extern const std::map<int, int> LINK_LAYER_OFFSETS;
int linkLayerOffset(pcap_t* handle);

// The capture filter for a link type, the one place that says which frames reach the
// program: IPv4 and IPv6 TCP segments that carry payload, untagged or behind one or two
// VLAN tags, and TCP segments with SYN set and ACK clear (a connection starting on a
// 4-tuple ends the flow that held it). Frames the decoder skips and counts also pass:
// IPv6 with extension headers, three VLAN tags. Empty for an unsupported link type.
std::string captureFilter(int linkType);

// What a capture read and what it could not use.
struct CaptureCounts {
    uint64_t framesRead = 0;  // every frame the filter let through
    uint64_t notIp = 0;
    uint64_t ipv6ExtensionHeaders = 0;
    uint64_t tooManyVlanTags = 0;
    uint64_t cutShort = 0;
    uint64_t malformed = 0;

    void countSkipped(SkipReason reason);
};

// One libpcap capture handle (file or live device) delivering decoded TCP packets.
class PacketSource {
public:
    // What one read gave: a decoded packet, a quiet read timeout on a live capture, or
    // the end of the input.
    enum class Read { Packet, Idle, End };

    static std::unique_ptr<PacketSource> create(std::string path);
    static std::unique_ptr<PacketSource> create(Interface const& interface);

    explicit PacketSource(pcap_t* handle);
    ~PacketSource();
    PacketSource(PacketSource const&) = delete;
    PacketSource& operator=(PacketSource const&) = delete;

    bool setFilter(std::string const& expression);
    Read read();
    // Reads until a packet or the end, through read timeouts.
    bool hasMorePackets();
    std::shared_ptr<Packet> nextPacket();
    // Takes back a packet that nobody kept, so the next read needs no allocation.
    void recycle(std::shared_ptr<Packet>&& used);

    pcap_t* handle;
    int linkType;
    int32_t linkOffset;
    std::shared_ptr<Packet> packet;
    std::shared_ptr<Packet> spare;

    CaptureCounts counts;  // written by the capture thread only

private:
    bool installCaptureFilter();
    bool waitForFrames();
    bool startDraining();
    int selectableFd = -1;  // live capture: polled for frames with the read timeout
    bool draining = false;
    std::chrono::steady_clock::time_point drainUntil;

public:
    std::atomic<bool> active{true};
    bool live = false;  // a device, not a file
    static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is written from a signal handler");
};
