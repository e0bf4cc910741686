#include "flow/flow.h"

#include "base/byte_reader.h"
#include "capture/packet.h"
#include "tls/dtls_processor.h"
#include "tls/quic_processor.h"
#include "tls/tls.h"

std::string_view noRowReasonText(NoRowReason reason) {
    static constexpr std::string_view texts[noRowReasonCount] = {
        "flow memory full",
        "analysis failed",
        "fatal alert",
        "20-segment limit reached",
        "gap in the TCP stream",
        "no ClientHello",
        "no ServerHello",
        "no ChangeCipherSpec from the client",
        "no ChangeCipherSpec from the server",
    };
    return texts[static_cast<size_t>(reason)];
}

Flow::Flow(FlowKey const& key) : key(key) {
    packets.reserve(maxPackets);
    // A UDP flow is QUIC or DTLS, as its first datagram shows: see addDatagramProcessor.
    if (key.protocol == Packet::protocolUdp) return;
    std::pmr::polymorphic_allocator<TLSProtocolProcessor> inArena(&arena);
    processors.push_back(std::allocate_shared<TLSProtocolProcessor>(inArena, &features, key));
    processors.push_back(std::allocate_shared<TLSProtocolProcessor>(inArena, &features, key.reverse()));
}

Flow::~Flow() = default;

// A UDP flow opens at a QUIC client Initial (a long header: first bit set) or at a DTLS
// ClientHello (first byte 22).
void Flow::addDatagramProcessor(Packet const& opening) {
    ByteReader payload(opening.payloadBytes());
    if ((payload.u8() & 0x80) != 0) {
        std::pmr::polymorphic_allocator<QuicProtocolProcessor> inArena(&arena);
        processors.push_back(std::allocate_shared<QuicProtocolProcessor>(inArena, &features, key));
    } else {
        std::pmr::polymorphic_allocator<DtlsProtocolProcessor> inArena(&arena);
        processors.push_back(std::allocate_shared<DtlsProtocolProcessor>(inArena, &features, key));
    }
}

bool Flow::processPacket(std::shared_ptr<Packet> const& packet) {
    if (processors.empty() && packet && packet->isUdp()) addDatagramProcessor(*packet);
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
    if (!complete) noRow = whyIncomplete();
    features.formatAddresses();
    // The analysis is over: record buffers and pending segments are not needed any more.
    for (auto const& processor : processors) processor->release();
    return complete;
}

// Read before the processors release their state: what stopped the handshake first.
NoRowReason Flow::whyIncomplete() const {
    if (features.fatalAlertSeen) return NoRowReason::FatalAlert;
    bool unfinished = false, gap = false;
    for (auto const& processor : processors) {
        unfinished |= !processor->finishedDirection();
        gap |= processor->waitsOnGap();
    }
    // Past the limit the missing part may have come: the capture may hold it.
    if (segmentLimitReached && unfinished) return NoRowReason::SegmentLimit;
    if (gap) return NoRowReason::TcpGap;
    if (!features.clientHelloSeen) return NoRowReason::NoClientHello;
    if (!features.serverHelloSeen) return NoRowReason::NoServerHello;
    if (!features.clientChangeCipherSpecSeen) return NoRowReason::NoClientChangeCipherSpec;
    return NoRowReason::NoServerChangeCipherSpec;
}

void Flow::releaseAnalysis() {
    for (auto const& processor : processors) processor->release();
    TLSFeatures spent;
    std::swap(features, spent);
}
