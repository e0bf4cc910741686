#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/live_count.h"
#include "flow/flow.h"
#include "pipeline/channel.h"

class FlowExporter;

// Body of the analysis thread: takes flows from the task channel, analyses them and
// writes the rows of complete ones through the exporter itself: a thread and a hand-over
// fewer on a machine with few cores.
class FlowTaskWorker {
public:
    FlowTaskWorker(std::shared_ptr<FlowChannel> const& taskChannel, FlowExporter& exporter)
        : taskChannel(taskChannel), exporter(exporter) {}
    // Where flows go once their row is written (or they are dropped): back to the thread
    // that built them. Without one they are freed here.
    void returnFinishedTo(std::shared_ptr<FlowChannel> const& channel) { finished = channel; }
    void operator()();
    // Flows analysed without a complete handshake, in all and by reason; any thread may
    // read them while this one runs.
    using ReasonCounts = std::array<LiveCount, noRowReasonCount>;
    uint64_t incompleteFlows() const;
    ReasonCounts const& incompleteByReason() const { return incomplete; }

    // Flows taken from the task channel at once.
    static constexpr size_t batchSize = 64;

private:
    static bool process(Flow& flow);
    void countIncomplete(Flow const& flow);
    bool receive(std::vector<std::shared_ptr<Flow>>& tasks);
    void retire();

    std::shared_ptr<FlowChannel> taskChannel;
    FlowExporter& exporter;
    std::shared_ptr<FlowChannel> finished;
    std::vector<std::shared_ptr<Flow>> spent;
    ReasonCounts incomplete{};
};
