#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "capture/packet_source.h"
#include "flow/flow_table.h"
#include "pipeline/channel.h"

// Body of the capture thread: dispatches packets into flows, opens a flow only for a
// TCP connection whose first payload is a TLS hello or a QUIC connection at a client
// Initial, and hands each flow to the task channel 10 s of capture time after its first
// packet (on a quiet live link, when the clock says so), or at once when a SYN starts a
// new connection on its 4-tuple.
class PacketSourceWorker {
public:
    PacketSourceWorker(FlowTable& flows, std::shared_ptr<FlowChannel> const& taskChannel);

    void setPacketSource(std::unique_ptr<PacketSource>& source);
    // Flows the workers are done with come back on this channel and are freed here, on
    // the thread whose allocator arena holds their memory.
    void takeFinishedFrom(std::shared_ptr<FlowChannel> const& channel) { finished = channel; }
    void operator()();
    void close();
    // True when the packet may start a flow: a TCP segment whose payload starts with a
    // TLS hello, or a datagram whose first packet is a QUIC client Initial.
    static bool opensFlow(Packet const& packet);
    void flushExpiredFlows(uint64_t now);
    // What the capture read and skipped; read it after the capture has ended.
    CaptureCounts captureCounts() const;
    // Sends the flows handed over so far to the task channel, as one batch.
    void sendHandedOver();

    // How far the capture has come, written by the capture thread for any thread to read.
    struct Progress {
        std::atomic<uint64_t> packets{0};
        std::atomic<uint64_t> bytesRead{0};
        std::atomic<uint64_t> bytesTotal{0};
        std::atomic<uint64_t> flowsOpen{0};
        std::atomic<uint64_t> flowBytes{0};  // what the open flows hold
    };
    Progress const& progress() const { return progress_; }

    // Bytes the open flows may hold (-F); past it flows are evicted unanalysed.
    static constexpr size_t defaultFlowMemory = size_t(1024) << 20;
    size_t flowMemoryBudget = defaultFlowMemory;
    // Flows evicted so far; any thread may read it.
    uint64_t evictedFlows() const { return evicted; }
    // The capture's counts while it runs, for any thread; null before a source is set.
    CaptureCounts const* liveCaptureCounts() const { return source ? &source->counts : nullptr; }

    static constexpr size_t batchSize = 64;
    // What may still come after the end of a connection: the other side's segments in
    // flight, retransmissions.
    static constexpr uint64_t closeDelay = 1000;  // milliseconds of capture time
    // Live capture: the longest a handed-over flow waits for its batch to fill.
    static constexpr uint64_t batchDelay = 50;  // milliseconds of capture time

private:
    void dispatch(Packet const& packet);
    // Queues the packet in its flow, or opens one for it when it may start one.
    void follow(Packet const& packet, FlowKey const& key);
    // A RST, or a FIN from each side, ends the connection: its flow goes to the analysis
    // closeDelay later, not at its full timeout, so that ended flows do not wait in memory.
    void noteClosing(Packet const& packet, FlowKey const& key);
    void handOver(std::shared_ptr<Flow>&& flow, uint64_t now);
    void keepWithinBudget(uint64_t now);
    void publishProgress(uint64_t packets);

    std::vector<std::shared_ptr<Flow>> handedOver;
    std::shared_ptr<FlowChannel> finished;
    std::vector<std::shared_ptr<Flow>> spent;
    uint64_t firstHandedOverAt = 0;
    bool live = false;
    LiveCount evicted;
    uint64_t evictedWhenWarned = 0;
    std::chrono::steady_clock::time_point nextEvictionWarning{};

    FlowTable& flows;
    std::shared_ptr<FlowChannel> taskChannel;
    std::unique_ptr<PacketSource> source;
    // Cleared/read from another thread (the stop request) while the capture runs.
    std::atomic<PacketSource*> activeSource{nullptr};
    Progress progress_;
};
