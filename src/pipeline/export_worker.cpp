#include "pipeline/export_worker.h"

#include "flow/flow.h"

#include <vector>

void FlowExportWorker::operator()() {
    std::vector<std::shared_ptr<Flow>> flows;
    for (;;) {
        channel->receiveBatch(flows, batchSize);
        for (auto const& flow : flows) {
            if (!flow) {
                exporter.closeFile();
                return;
            }
            exporter.exportRow(flow->features);
            rows.fetch_add(1, std::memory_order_relaxed);
            flow->releaseAnalysis();
        }
        if (finished) finished->sendBatch(flows);
        flows.clear();
        // Nothing more waiting: the rows go to the file now, so a kill cannot take rows
        // that were handed over a while ago.
        if (channel->empty()) exporter.flush();
    }
}
