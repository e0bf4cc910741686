#pragma once
#include <cstddef>
#include <list>
#include <memory>
#include <memory_resource>
#include <string_view>

#include "capture/packet.h"
#include "capture/flowkey.h"
#include "tls/tls_features.h"

// Why a flow handed over for analysis gave no row: exactly one per such flow, the first
// that applies in this order.
enum class NoRowReason : uint8_t {
    FlowMemoryFull,            // evicted unanalysed to keep the flows within their memory budget
    AnalysisFailed,            // the analysis threw (logged as an error)
    FatalAlert,                // either side sent a fatal alert
    MessageTooLong,            // a handshake message declared more than is joined: its cells would be partial
    SegmentLimit,              // segments past the 20 kept were dropped while a side was unfinished
    TcpGap,                    // a side waits for data missing from the capture
    NoClientHello,             // only the server's side of the handshake was seen
    NoServerHello,             // the server never answered within the 10 s
    NoClientChangeCipherSpec,  // the client's side ended without one
    NoServerChangeCipherSpec,  // the server's side ended without one
    Count                      // not a reason: how many there are, for tables indexed by reason
};
constexpr size_t noRowReasonCount = static_cast<size_t>(NoRowReason::Count);
// The reason in the words of the end-of-run record.
std::string_view noRowReasonText(NoRowReason reason);

struct FlowAnalysis;
class ProtocolProcessor;

// One TCP connection that opened with a TLS hello, or one UDP 4-tuple that opened with a
// QUIC client Initial or a DTLS ClientHello: the packets it keeps (both directions) until
// its analysis, which builds the processors (one per TCP direction, one for QUIC or DTLS)
// and the result record they fill. Tens of thousands of flows may wait at once, most of
// them holding a hello or two, so a waiting flow is its key, a few counters and its kept
// packets; the analysis state exists only while the analysis thread works on it.
class Flow {
public:
    explicit Flow(FlowKey const& key);
    FlowKey const key;
    ~Flow();
    Flow(Flow const&) = delete;
    Flow& operator=(Flow const&) = delete;

    // Keeps a copy of a packet of this flow for the analysis.
    void enqueuePacket(Packet const& packet);
    // A segment came after the flow held maxPackets of them; it was not kept.
    void refusePacket() { segmentLimitReached = true; }
    size_t keptPackets() const { return keptCount; }
    // Runs the analysis over the packets kept since the last call; true when the handshake
    // was seen complete, otherwise noRow says why not.
    bool processPackets();
    NoRowReason noRow = NoRowReason::AnalysisFailed;
    // The result record and the processors, made with the analysis state when first asked for.
    TLSFeatures& features();
    std::pmr::list<std::shared_ptr<ProtocolProcessor>>& processors();
    // Hints for the analysis thread: start fetching this flow's object, or (once that has
    // arrived) its first kept packets, into the cache.
    void prefetch() const { __builtin_prefetch(this); }
    void prefetchPackets() const {
        if (!firstKept) return;
        __builtin_prefetch(firstKept);
        __builtin_prefetch(reinterpret_cast<const char*>(firstKept) + 64);
    }
    // Frees what the analysis allocated (on the analysis thread), once the row is written;
    // the kept packets go with the flow, on the thread that kept them.
    void releaseAnalysis();

    // Packets kept per flow; the analysis needs the hellos and the flights around them.
    static constexpr size_t maxPackets = 20;

    // For the flow memory budget, on the capture thread: the bytes this flow holds (object
    // and kept packets), those the table has counted for it, whether the side that did
    // not open it has sent anything, and whether it was evicted (it then gets no row).
    size_t footprint() const { return sizeof(Flow) + keptBytes; }
    size_t chargedBytes = 0;
    bool openedFromKeySource = true;
    bool answered = false;
    bool evicted = false;
    // On the capture thread: the directions that sent a FIN (bit 0 the endpoint the key
    // names first), whether the flow's time was brought forward, and per direction the
    // sequence number after the last payload seen (bit n of sentFrom: direction n sent any).
    uint8_t finsSeen = 0;
    bool closing = false;
    uint8_t sentFrom = 0;
    uint32_t sentUpTo[2] = {};

private:
    bool processPacket(FlowAnalysis& analysis, std::shared_ptr<Packet> const& packet);
    NoRowReason whyIncomplete(FlowAnalysis const& analysis) const;
    FlowAnalysis& analysisState();

    KeptPacket* firstKept = nullptr;
    KeptPacket* lastKept = nullptr;
    KeptPacket* firstUnanalysed = nullptr;
    size_t keptBytes = 0;
    uint8_t keptCount = 0;
    bool segmentLimitReached = false;
    std::unique_ptr<FlowAnalysis> analysis;
};
