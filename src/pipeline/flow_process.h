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

private:
    std::shared_ptr<FlowChannel> taskChannel;
    std::shared_ptr<FlowChannel> exportChannel;
};
