#pragma once
#include <memory>

#include "export/exporter.h"
#include "pipeline/channel.h"

// Body of the export thread: writes the row of every flow from the export channel until
// the end marker, then closes the last file.
class FlowExportWorker {
public:
    FlowExportWorker(std::shared_ptr<FlowChannel> const& channel, FlowExporter& exporter)
        : channel(channel), exporter(exporter) {}
    void operator()();
    // Rows handed to the exporter; read after the thread has ended.
    uint64_t rowsWritten() const { return rows; }

    static constexpr size_t batchSize = 64;

private:
    std::shared_ptr<FlowChannel> channel;
    FlowExporter& exporter;
    uint64_t rows = 0;
};
