#pragma once
#include <cstddef>
#include <deque>
#include <list>
#include <memory>
#include <memory_resource>

#include "capture/packet.h"
#include "capture/flowkey.h"
#include "tls/tls_features.h"

class ProtocolProcessor;

// One TCP connection that opened with a TLS hello: its queued packets (both directions),
// the two direction processors and the result record they fill.
class Flow {
public:
    explicit Flow(FlowKey const& key);
    ~Flow();
    Flow(Flow const&) = delete;
    Flow& operator=(Flow const&) = delete;

    void enqueuePacket(std::shared_ptr<Packet> const& packet) { packets.push_back(packet); }
    // Runs the analysis over the queued packets and empties the queue; true when the
    // handshake was seen complete.
    bool processPackets();
    bool processPacket(std::shared_ptr<Packet> const& packet);
    // Frees what the analysis allocated (on the analysis thread), once the row is written;
    // the flow's own blocks and kept packets go with the flow.
    void releaseAnalysis();

private:
    // The fixed parts of a flow (its processors, their list nodes, the packet queue's
    // blocks) are carved from this buffer inside the flow object. A flow is built on the
    // capture thread and freed on another; a dozen separate heap blocks freed across
    // threads per flow made the threads contend on the allocator.
    alignas(std::max_align_t) std::byte arenaBuffer[1152];
    std::pmr::monotonic_buffer_resource arena{arenaBuffer, sizeof arenaBuffer};

public:
    // Declared before the packets so that it outlives every packet the flow and its
    // processors hold.
    PacketStore packetStore;
    std::pmr::deque<std::shared_ptr<Packet>> packets{&arena};
    std::pmr::list<std::shared_ptr<ProtocolProcessor>> processors{&arena};
    TLSFeatures features;
    size_t maxPackets = 20;
};
