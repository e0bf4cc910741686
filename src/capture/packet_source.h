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

// Link type (pcap_datalink) -> bytes of link-layer header before the IPv4 header.
extern const std::map<int, int> LINK_LAYER_OFFSETS;
int linkLayerOffset(pcap_t* handle);

// Keeps every IPv4 TCP segment that carries payload and drops those that carry none.
extern const char* const CAPTURE_FILTER;

// One libpcap capture handle (file or live device) delivering decoded IPv4 TCP packets.
class PacketSource {
public:
    static std::unique_ptr<PacketSource> create(std::string path);
    static std::unique_ptr<PacketSource> create(Interface const& interface);

    explicit PacketSource(pcap_t* handle);
    ~PacketSource();
    PacketSource(PacketSource const&) = delete;
    PacketSource& operator=(PacketSource const&) = delete;

    bool setFilter(std::string const& expression);
    bool hasMorePackets();
    std::shared_ptr<Packet> nextPacket();
    // Takes back a packet that nobody kept, so the next read needs no allocation.
    void recycle(std::shared_ptr<Packet>&& used);

    pcap_t* handle;
    bool isEthernet;
    int32_t linkOffset;
    std::shared_ptr<Packet> packet;
    std::shared_ptr<Packet> spare;

private:
    bool startDraining();
    bool draining = false;
    std::chrono::steady_clock::time_point drainUntil;

public:
    std::atomic<bool> active{true};
    bool live = false;  // a device, not a file
    static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is written from a signal handler");
};
