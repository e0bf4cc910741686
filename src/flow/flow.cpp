#include "flow/flow.h"

#include "base/byte_reader.h"
#include "capture/packet.h"
#include "tls/dtls_processor.h"
#include "tls/quic_processor.h"
#include "tls/tls.h"

std::string_view noRowReasonText(NoRowReason reason) {
    static constexpr std::string_view texts[] = {
        "flow memory full",
        "analysis failed",
        "fatal alert",
        "handshake message too long",
        "20-segment limit reached",
        "gap in the TCP stream",
        "no ClientHello",
        "no ServerHello",
        "no ChangeCipherSpec from the client",
        "no ChangeCipherSpec from the server",
    };
    static_assert(std::size(texts) == noRowReasonCount, "a text for every reason");
    return texts[static_cast<size_t>(reason)];
}

// What the analysis of one flow builds, on the analysis thread: its processors, the
// packets made again from the kept copies, and the result record. The processors and
// packets are carved from a buffer inside it: one allocation per flow instead of dozens.
struct FlowAnalysis {
    static constexpr size_t arenaSize = 2 * (sizeof(TLSProtocolProcessor) + 8 * sizeof(void*)) +
                                        Flow::maxPackets * (sizeof(Packet) + 4 * sizeof(void*)) +
                                        2 * alignof(std::max_align_t);
    // Declared first: it outlives everything carved from it.
    alignas(std::max_align_t) std::byte arenaBuffer[arenaSize];
    std::pmr::monotonic_buffer_resource arena{arenaBuffer, sizeof arenaBuffer};
    TLSFeatures features;
    std::pmr::list<std::shared_ptr<ProtocolProcessor>> processors{&arena};

    template <typename Processor>
    void add(FlowKey const& key) {
        std::pmr::polymorphic_allocator<Processor> inArena(&arena);
        processors.push_back(std::allocate_shared<Processor>(inArena, &features, key));
    }
    void addDatagramProcessor(Packet const& opening, FlowKey const& key);
    std::shared_ptr<Packet> restore(KeptPacket const& kept, FlowKey const& flowKey) {
        auto packet = std::allocate_shared<Packet>(std::pmr::polymorphic_allocator<Packet>(&arena), -1);
        kept.restore(*packet, flowKey);
        return packet;
    }
};

Flow::Flow(FlowKey const& key) : key(key) {}

Flow::~Flow() {
    while (firstKept) {
        KeptPacket* next = firstKept->next;
        KeptPacket::destroy(firstKept);
        firstKept = next;
    }
}

void Flow::enqueuePacket(Packet const& packet) {
    KeptPacket* kept = KeptPacket::copyOf(packet, key);
    (lastKept ? lastKept->next : firstKept) = kept;
    lastKept = kept;
    if (!firstUnanalysed) firstUnanalysed = kept;
    keptBytes += kept->bytesHeld();
    ++keptCount;
}

TLSFeatures& Flow::features() { return analysisState().features; }

std::pmr::list<std::shared_ptr<ProtocolProcessor>>& Flow::processors() { return analysisState().processors; }

// A TCP flow gets a processor per direction at once; a UDP flow gets its one when the
// analysis meets its first datagram (see addDatagramProcessor).
FlowAnalysis& Flow::analysisState() {
    if (analysis) return *analysis;
    analysis = std::make_unique<FlowAnalysis>();
    if (key.protocol != Packet::protocolUdp) {
        analysis->add<TLSProtocolProcessor>(key);
        analysis->add<TLSProtocolProcessor>(key.reverse());
    }
    return *analysis;
}

// A UDP flow opens at a QUIC client Initial (a long header: first bit set) or at a DTLS
// ClientHello (first byte 22).
void FlowAnalysis::addDatagramProcessor(Packet const& opening, FlowKey const& key) {
    ByteReader payload(opening.payloadBytes());
    if ((payload.u8() & 0x80) != 0)
        add<QuicProtocolProcessor>(key);
    else
        add<DtlsProtocolProcessor>(key);
}

bool Flow::processPacket(FlowAnalysis& state, std::shared_ptr<Packet> const& packet) {
    if (state.processors.empty() && packet->isUdp()) state.addDatagramProcessor(*packet, key);
    for (auto const& entry : state.processors) {
        ProtocolProcessor& processor = *entry;
        if (processor.canProcess(packet)) processor.process(packet);
        if (state.features.fatalAlertSeen) break;
    }
    return state.features.handshakeComplete();
}

bool Flow::processPackets() {
    FlowAnalysis& state = analysisState();
    bool complete = false;
    for (const KeptPacket* kept = firstUnanalysed; kept && !complete; kept = kept->next)
        complete = processPacket(state, state.restore(*kept, key));
    firstUnanalysed = nullptr;
    if (!complete) noRow = whyIncomplete(state);
    state.features.formatAddresses();
    // The analysis is over: record buffers and pending segments are not needed any more.
    for (auto const& processor : state.processors) processor->release();
    return complete;
}

// Read before the processors release their state: what stopped the handshake first.
NoRowReason Flow::whyIncomplete(FlowAnalysis const& state) const {
    TLSFeatures const& features = state.features;
    if (features.fatalAlertSeen) return NoRowReason::FatalAlert;
    if (features.messageTooLong) return NoRowReason::MessageTooLong;
    bool unfinished = false, gap = false;
    for (auto const& processor : state.processors) {
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

void Flow::releaseAnalysis() { analysis.reset(); }
