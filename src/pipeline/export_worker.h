#pragma once
#include <atomic>
#include <cstdint>
#include <memory>

#include "export/exporter.h"
#include "pipeline/channel.h"

// Body of the export thread: writes the row of every flow from the export channel until
// the end marker, then closes the last file.
class FlowExportWorker {
public:
    FlowExportWorker(std::shared_ptr<FlowChannel> const& channel, FlowExporter& exporter)
        : channel(channel), exporter(exporter) {}
    // Where flows go once their row is written: back to the thread that built them.
    void returnFinishedTo(std::shared_ptr<FlowChannel> const& channel) { finished = channel; }
    void operator()();
    // Rows handed to the exporter so far; any thread may read it.
    uint64_t rowsWritten() const { return rows.load(std::memory_order_relaxed); }

    static constexpr size_t batchSize = 64;

private:
    std::shared_ptr<FlowChannel> channel;
    FlowExporter& exporter;
    std::shared_ptr<FlowChannel> finished;
    std::atomic<uint64_t> rows{0};
};
