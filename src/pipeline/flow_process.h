#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "flow/flow.h"
#include "pipeline/channel.h"

class FlowExporter;

// Body of one TLS processing thread: takes flows from the task channel, analyses them
// and passes complete ones to the export channel, or, when it is the only worker, writes
// their rows itself: a thread and a hand-over fewer on a machine with few cores.
class FlowTaskWorker {
public:
    FlowTaskWorker(std::shared_ptr<FlowChannel> const& taskChannel, std::shared_ptr<FlowChannel> const& exportChannel)
        : taskChannel(taskChannel), exportChannel(exportChannel) {}
    FlowTaskWorker(std::shared_ptr<FlowChannel> const& taskChannel, FlowExporter& exporter)
        : taskChannel(taskChannel), exporter(&exporter) {}
    // Where flows go once their row is written (or they are dropped): back to the thread
    // that built them. Without one they are freed here.
    void returnFinishedTo(std::shared_ptr<FlowChannel> const& channel) { finished = channel; }
    void operator()();
    // Flows analysed without a complete handshake, in all and by reason, read after the
    // thread has ended; rows this worker wrote itself so far, for any thread.
    using ReasonCounts = std::array<uint64_t, noRowReasonCount>;
    uint64_t incompleteFlows() const;
    ReasonCounts const& incompleteByReason() const { return incomplete; }
    uint64_t rowsWritten() const { return rows.load(std::memory_order_relaxed); }

    // Flows taken from the task channel at once.
    static constexpr size_t batchSize = 64;

private:
    static bool process(Flow& flow);
    void countIncomplete(Flow const& flow);
    void passOn(std::vector<std::shared_ptr<Flow>>& complete);
    void retire();

    std::shared_ptr<FlowChannel> taskChannel;
    std::shared_ptr<FlowChannel> exportChannel;
    std::shared_ptr<FlowChannel> finished;
    std::vector<std::shared_ptr<Flow>> spent;
    FlowExporter* exporter = nullptr;
    ReasonCounts incomplete{};
    std::atomic<uint64_t> rows{0};
};
