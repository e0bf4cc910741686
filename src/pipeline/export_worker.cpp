#include "pipeline/export_worker.h"

#include "flow/flow.h"

void FlowExportWorker::operator()() {
    while (std::shared_ptr<Flow> flow = channel->receive()) {
        exporter.exportRow(flow->features);
        ++rows;
    }
    exporter.closeFile();
}
