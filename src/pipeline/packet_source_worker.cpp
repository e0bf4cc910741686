#include "pipeline/packet_source_worker.h"

#include <chrono>
#include <stdexcept>

#include "base/byte_reader.h"
#include "base/log.h"
#include "flow/flow.h"
#include "tls/dtls_records.h"
#include "tls/quic_initial.h"
#include "tls/tls.h"

namespace {
// Packets between two updates of the bytes read: asking the file position costs a call.
constexpr uint64_t packetsPerBytesUpdate = 1024;
}  // namespace

PacketSourceWorker::PacketSourceWorker(FlowTable& flows, std::shared_ptr<FlowChannel> const& taskChannel)
    : flows(flows), taskChannel(taskChannel) {}

void PacketSourceWorker::setPacketSource(std::unique_ptr<PacketSource>& newSource) {
    activeSource.store(nullptr);
    source = std::move(newSource);
    progress_.bytesTotal.store(source ? source->bytesTotal() : 0);
    activeSource.store(source.get());
}

void PacketSourceWorker::close() {
    PacketSource* current = activeSource.load();
    if (!current) return;
    current->active.store(false);
    // A read on a quiet link may not return at its timeout; breaking the loop wakes it
    // (pcap_breakloop is safe from a signal handler). A file never waits, and its handle
    // changes from one file to the next.
    if (current->live) pcap_breakloop(current->handle);
}

bool PacketSourceWorker::opensFlow(Packet const& packet) {
    if (packet.payload == nullptr) return false;
    const std::span<const uint8_t> payload = packet.payloadBytes();
    if (!packet.isUdp()) return looksLikeTlsHello(payload);
    return dtls::isDtlsDatagram(payload) ? dtls::startsWithClientHello(payload) : quic::startsWithClientInitial(payload);
}

void PacketSourceWorker::operator()() {
    if (!source) throw std::runtime_error("capture started without a packet source");
    // A pipe's flows go on as a live capture's: as soon as they are due.
    live = source->live || source->stream;
    uint64_t packets = 0;
    while (true) {
        const PacketSource::Read read = source->read();
        if (read == PacketSource::Read::End) break;
        if (read == PacketSource::Read::Idle) {
            // A live link or a pipe fell quiet: the clock tells which flows are due;
            // nothing waits for a batch to fill.
            flushExpiredFlows(source->idleTime());
            sendHandedOver();
            publishProgress(packets);
            continue;
        }
        std::shared_ptr<Packet> packet = source->nextPacket();
        dispatch(*packet);
        source->recycle(std::move(packet));
        publishProgress(++packets);
    }
    sendHandedOver();
    progress_.bytesRead.store(source->bytesRead(), std::memory_order_relaxed);
}

void PacketSourceWorker::publishProgress(uint64_t packets) {
    progress_.packets.store(packets, std::memory_order_relaxed);
    progress_.flowsOpen.store(flows.size(), std::memory_order_relaxed);
    progress_.flowBytes.store(flows.bytesHeld(), std::memory_order_relaxed);
    if (packets % packetsPerBytesUpdate == 0)
        progress_.bytesRead.store(source->bytesRead(), std::memory_order_relaxed);
}

void PacketSourceWorker::dispatch(Packet const& packet) {
    const FlowKey key = packet.flowKey();
    if (packet.isUdp()) {
        // Only QUIC datagrams that begin with an Initial and DTLS datagrams carry hellos; the
        // rest (short headers, Handshake packets, STUN, RTP) are not even counted towards a
        // flow's packets.
        const std::span<const uint8_t> payload = packet.payloadBytes();
        if (quic::startsWithInitial(payload) || dtls::isDtlsDatagram(payload)) follow(packet, key);
        return;
    }
    // A new connection on this 4-tuple: the old one is over, and the new one must not
    // join its flow.
    if (packet.isSyn() && !packet.isAck())
        flows.close(key, [&](std::shared_ptr<Flow>&& flow) { handOver(std::move(flow), packet.timestamp()); });
    if (packet.tcpPayloadLength() != 0) follow(packet, key);
    if (packet.isFin() || packet.isRst()) noteClosing(packet, key);
}

namespace {

// Whether a packet was sent by the endpoint the flow's key names first.
bool fromKeySource(Packet const& packet, FlowKey const& key) {
    return packet.key.srcPort == key.srcPort && packet.key.srcAddress == key.srcAddress;
}

// A ServerHello opens a flow whose client was not seen; anything else that opens one is
// a client's first word.
bool opensWithClientHello(Packet const& packet) {
    if (packet.isUdp()) return true;
    ByteReader record(packet.payloadBytes());
    const uint8_t contentType = record.u8();
    record.skip(4);  // version and length
    const uint8_t handshakeType = record.u8();
    return !record.ok() || contentType != 0x16 || handshakeType != 0x02;
}

// Where the sender's payload so far ends, for telling a FIN or RST of the connection from
// one forged with another sequence number (which the endpoints would ignore).
void noteSent(Flow& flow, Packet const& packet) {
    if (!packet.isTcp()) return;
    const int side = fromKeySource(packet, flow.key) ? 0 : 1;
    const uint32_t end = packet.sequenceNumber() + (packet.isSyn() ? 1 : 0) + packet.tcpPayloadLength();
    // Serial-number order: a retransmission of earlier data does not move it back.
    if (!(flow.sentFrom & (1 << side)) || static_cast<int32_t>(end - flow.sentUpTo[side]) > 0)
        flow.sentUpTo[side] = end;
    flow.sentFrom |= static_cast<uint8_t>(1 << side);
}

}  // namespace

void PacketSourceWorker::follow(Packet const& packet, FlowKey const& key) {
    if (Flow* flow = flows.find(key)) {
        noteSent(*flow, packet);
        if (flow->keptPackets() < Flow::maxPackets) {
            flow->enqueuePacket(packet);
            flow->answered = flow->answered || fromKeySource(packet, flow->key) != flow->openedFromKeySource;
            flows.charge(*flow);
        } else {
            flow->refusePacket();
        }
    } else if (opensFlow(packet)) {
        Flow& opened = flows.open(key, packet.timestamp(), opensWithClientHello(packet));
        opened.openedFromKeySource = fromKeySource(packet, opened.key);
        noteSent(opened, packet);
        opened.enqueuePacket(packet);
        flows.charge(opened);
    } else if (packet.isUdp() && quic::startsWithInitial(packet.payloadBytes())) {
        ++source->counts.quicInitialsRefused;
    }
    if (flows.bytesHeld() > flowMemoryBudget) keepWithinBudget(packet.timestamp());
    flushExpiredFlows(packet.timestamp());
}

void PacketSourceWorker::noteClosing(Packet const& packet, FlowKey const& key) {
    Flow* flow = flows.find(key);
    if (!flow || flow->closing) return;
    // It must stand right after the last payload its sender was seen to send: a forged one
    // (or one from a side that never spoke) leaves the flow its full time.
    const int side = fromKeySource(packet, flow->key) ? 0 : 1;
    const uint32_t end = packet.sequenceNumber() + packet.tcpPayloadLength();
    if (!(flow->sentFrom & (1 << side)) || end != flow->sentUpTo[side]) return;
    if (packet.isFin()) flow->finsSeen |= static_cast<uint8_t>(1 << side);
    if (!packet.isRst() && flow->finsSeen != 3) return;
    flow->closing = true;
    const uint64_t now = packet.timestamp();
    flows.hasten(key, now > UINT64_MAX - closeDelay ? UINT64_MAX : now + closeDelay);
}

void PacketSourceWorker::keepWithinBudget(uint64_t now) {
    evicted += flows.evictOver(flowMemoryBudget, [&](std::shared_ptr<Flow>&& flow) { handOver(std::move(flow), now); });
    // A warning when eviction starts, then at most once a minute while it goes on.
    const auto clock = std::chrono::steady_clock::now();
    if (evicted == evictedWhenWarned || clock < nextEvictionWarning) return;
    VARNO_LOG(warning) << "Flow memory budget of " << (flowMemoryBudget >> 20) << " MiB reached: "
                       << evicted - evictedWhenWarned << " flows evicted without a row ("
                       << evicted << " in all; those holding only a client's hello go first)";
    evictedWhenWarned = evicted;
    nextEvictionWarning = clock + std::chrono::minutes(1);
}

void PacketSourceWorker::flushExpiredFlows(uint64_t now) {
    flows.expire(now, [&](std::shared_ptr<Flow>&& flow) { handOver(std::move(flow), now); });
    // Flows go on in batches, one wake-up of the workers each; on a live capture none
    // waits longer than a moment of capture time.
    if (handedOver.size() >= batchSize || (live && !handedOver.empty() && now - firstHandedOverAt >= batchDelay))
        sendHandedOver();
}

void PacketSourceWorker::handOver(std::shared_ptr<Flow>&& flow, uint64_t now) {
    if (handedOver.empty()) firstHandedOverAt = now;
    handedOver.push_back(std::move(flow));
}

void PacketSourceWorker::sendHandedOver() {
    taskChannel->sendBatch(handedOver);
    if (!finished) return;
    finished->takeAll(spent);
    spent.clear();
}

CaptureCounts PacketSourceWorker::captureCounts() const { return source ? source->counts : CaptureCounts{}; }
