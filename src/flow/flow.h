#pragma once
#include <cstddef>
#include <list>
#include <memory>
#include <memory_resource>
#include <string_view>
#include <vector>

#include "capture/packet.h"
#include "capture/flowkey.h"
#include "tls/tls.h"
#include "tls/tls_features.h"

// Why a flow handed over for analysis gave no row: exactly one per such flow, the first
// that applies in this order.
enum class NoRowReason : uint8_t {
    FlowMemoryFull,            // evicted unanalysed to keep the flows within their memory budget
    AnalysisFailed,            // the analysis threw (logged as an error)
    FatalAlert,                // either side sent a fatal alert
    SegmentLimit,              // segments past the 20 kept were dropped while a side was unfinished
    TcpGap,                    // a side waits for data missing from the capture
    NoClientHello,             // only the server's side of the handshake was seen
    NoServerHello,             // the server never answered within the 10 s
    NoClientChangeCipherSpec,  // the client's side ended without one
    NoServerChangeCipherSpec,  // the server's side ended without one
};
constexpr size_t noRowReasonCount = 9;
// The reason in the words of the end-of-run record.
std::string_view noRowReasonText(NoRowReason reason);

// One TCP connection that opened with a TLS hello, or one UDP 4-tuple that opened with a
// QUIC client Initial or a DTLS ClientHello: its queued packets (both directions), the
// processors (one per TCP direction, one for QUIC or DTLS) and the result record they fill.
class Flow {
public:
    explicit Flow(FlowKey const& key);
    FlowKey const key;
    ~Flow();
    Flow(Flow const&) = delete;
    Flow& operator=(Flow const&) = delete;

    void enqueuePacket(std::shared_ptr<Packet> const& packet) { packets.push_back(packet); }
    // A segment came after the flow held maxPackets of them; it was not kept.
    void refusePacket() { segmentLimitReached = true; }
    // Runs the analysis over the queued packets and empties the queue; true when the
    // handshake was seen complete, otherwise noRow says why not.
    bool processPackets();
    NoRowReason noRow = NoRowReason::AnalysisFailed;
    bool processPacket(std::shared_ptr<Packet> const& packet);
    // Hints for the analysis thread: start fetching this flow's object, or (once that has
    // arrived) its kept packets, into the cache.
    void prefetch() const {
        const auto* bytes = reinterpret_cast<const char*>(this);
        for (size_t offset = 0; offset < sizeof(Flow); offset += 64) __builtin_prefetch(bytes + offset);
    }
    void prefetchPackets() const {
        for (auto const& packet : packets) {
            __builtin_prefetch(packet.get());
            __builtin_prefetch(reinterpret_cast<const char*>(packet.get()) + 64);
        }
    }
    // Frees what the analysis allocated (on the analysis thread), once the row is written;
    // the flow's own blocks and kept packets go with the flow.
    void releaseAnalysis();

    // Packets kept per flow; the analysis needs the hellos and the flights around them.
    static constexpr size_t maxPackets = 20;

    // For the flow memory budget, on the capture thread: the bytes this flow holds (object
    // and kept packets), those the table has counted for it, whether the side that did
    // not open it has sent anything, and whether it was evicted (it then gets no row).
    size_t footprint() const { return sizeof(Flow) + packetStore.bytesHeld(); }
    size_t chargedBytes = 0;
    bool openedFromKeySource = true;
    bool answered = false;
    bool evicted = false;

private:
    void addDatagramProcessor(Packet const& opening);
    NoRowReason whyIncomplete() const;
    bool segmentLimitReached = false;

    // The fixed parts of a flow (its two processors with their shared-pointer blocks, their
    // list nodes, the packet queue) are carved from this buffer inside the flow object:
    // one allocation per flow instead of a dozen. Sized from what goes in, with room for
    // the library's bookkeeping: a buffer too small goes to the heap for a block twice its size.
    static constexpr size_t arenaSize = 2 * (sizeof(TLSProtocolProcessor) + 4 * sizeof(void*)) +
                                        2 * 4 * sizeof(void*) + maxPackets * sizeof(std::shared_ptr<Packet>) +
                                        2 * alignof(std::max_align_t);
    alignas(std::max_align_t) std::byte arenaBuffer[arenaSize];
    std::pmr::monotonic_buffer_resource arena{arenaBuffer, sizeof arenaBuffer};

public:
    // Declared before the packets so that it outlives every packet the flow and its
    // processors hold.
    PacketStore packetStore;
    std::pmr::vector<std::shared_ptr<Packet>> packets{&arena};
    std::pmr::list<std::shared_ptr<ProtocolProcessor>> processors{&arena};
    TLSFeatures features;
};
