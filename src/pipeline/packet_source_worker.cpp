#include "pipeline/packet_source_worker.h"

#include <stdexcept>

#include "flow/flow.h"
#include "tls/tls.h"

PacketSourceWorker::PacketSourceWorker(FlowTable& flows, std::shared_ptr<FlowChannel> const& taskChannel)
    : flows(flows), taskChannel(taskChannel) {}

void PacketSourceWorker::setPacketSource(std::unique_ptr<PacketSource>& newSource) {
    activeSource.store(nullptr);
    source = std::move(newSource);
    activeSource.store(source.get());
}

void PacketSourceWorker::close() {
    PacketSource* current = activeSource.load();
    if (!current) return;
    current->active.store(false);
    // In immediate mode a read on a quiet link may not return at its timeout; breaking
    // the loop wakes it (pcap_breakloop is safe from a signal handler).
    pcap_breakloop(current->handle);
}

bool PacketSourceWorker::checkTlsSignatures(Packet const& packet) {
    if (packet.tcpPayload() == nullptr) return false;
    return looksLikeTlsHello({packet.tcpPayload(), packet.tcpPayloadLength()});
}

void PacketSourceWorker::operator()() {
    if (!source) throw std::runtime_error("capture started without a packet source");
    while (source->hasMorePackets()) {
        std::shared_ptr<Packet> packet = source->nextPacket();
        FlowKey const& key = packet->flowKey;
        if (Flow* flow = flows.find(key)) {
            if (flow->packets.size() < flow->maxPackets) flow->enqueuePacket(packet->keepIn(flow->packetStore));
        } else if (checkTlsSignatures(*packet)) {
            Flow& opened = flows.open(key, packet->timestamp());
            opened.enqueuePacket(packet->keepIn(opened.packetStore));
        }
        flushExpiredFlows(packet->timestamp());
        source->recycle(std::move(packet));
    }
}

void PacketSourceWorker::flushExpiredFlows(uint64_t now) {
    flows.expire(now, [this](std::shared_ptr<Flow>&& flow) { taskChannel->send(flow); });
}
