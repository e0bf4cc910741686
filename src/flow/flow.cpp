#include "flow/flow.h"

#include "capture/packet.h"
#include "tls/tls.h"

Flow::Flow(FlowKey const& key) {
    packets.reserve(maxPackets);
    std::pmr::polymorphic_allocator<TLSProtocolProcessor> inArena(&arena);
    processors.push_back(std::allocate_shared<TLSProtocolProcessor>(inArena, &features, key));
    processors.push_back(std::allocate_shared<TLSProtocolProcessor>(inArena, &features, key.reverse()));
}

Flow::~Flow() = default;

bool Flow::processPacket(std::shared_ptr<Packet> const& packet) {
    for (auto const& entry : processors) {
        ProtocolProcessor& processor = *entry;
        if (processor.canProcess(packet)) processor.process(packet);
        if (features.fatalAlertSeen) break;
    }
    return features.handshakeComplete();
}

bool Flow::processPackets() {
    bool complete = false;
    for (auto const& packet : packets) {
        if (complete) break;
        complete = processPacket(packet);
    }
    packets.clear();
    features.formatAddresses();
    // The analysis is over: record buffers and pending segments are not needed any more.
    for (auto const& processor : processors) processor->release();
    return complete;
}

void Flow::releaseAnalysis() {
    for (auto const& processor : processors) processor->release();
    TLSFeatures spent;
    std::swap(features, spent);
}
