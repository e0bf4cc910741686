#pragma once
#include <cstddef>
#include <deque>
#include <list>
#include <memory>

#include "capture/packet.h"
#include "flow/flowkey.h"
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

    // Declared first so that it outlives every packet the flow and its processors hold.
    PacketStore packetStore;
    std::deque<std::shared_ptr<Packet>> packets;
    std::list<std::shared_ptr<ProtocolProcessor>> processors;
    TLSFeatures features;
    size_t maxPackets = 20;
};
