#pragma once
#include <memory>

#include "pipeline/channel.h"

// Body of one TLS processing thread: takes flows from the task channel, analyses them
// and passes complete ones to the export channel.
class FlowTaskWorker {
public:
    FlowTaskWorker(std::shared_ptr<FlowChannel> const& taskChannel, std::shared_ptr<FlowChannel> const& exportChannel)
        : taskChannel(taskChannel), exportChannel(exportChannel) {}
    void operator()();
    // Flows analysed without a complete handshake; read after the thread has ended.
    uint64_t incompleteFlows() const { return incomplete; }

private:
    std::shared_ptr<FlowChannel> taskChannel;
    std::shared_ptr<FlowChannel> exportChannel;
    uint64_t incomplete = 0;
};
