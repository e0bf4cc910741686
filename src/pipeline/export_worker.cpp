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
            ++rows;
        }
        flows.clear();
    }
}
