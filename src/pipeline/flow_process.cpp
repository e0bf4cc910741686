#include "pipeline/flow_process.h"

#include <exception>

#include "base/log.h"
#include "export/exporter.h"
#include "flow/flow.h"

const std::shared_ptr<Flow> endOfFlows;

void FlowTaskWorker::operator()() {
    std::vector<std::shared_ptr<Flow>> tasks;
    for (;;) {
        if (!receive(tasks)) {
            exporter.flush();  // the retry of rows that wait for a failed write
            continue;
        }
        for (size_t i = 0; i < tasks.size(); ++i) {
            // Flows and their packets were last written on the capture thread's core: the
            // next flows are fetched while this one is analysed.
            if (i + 2 < tasks.size() && tasks[i + 2]) tasks[i + 2]->prefetch();
            if (i + 1 < tasks.size() && tasks[i + 1]) tasks[i + 1]->prefetchPackets();
            std::shared_ptr<Flow>& flow = tasks[i];
            if (!flow) {
                retire();
                return;
            }
            if (process(*flow))
                exporter.exportRow(flow->features());
            else
                countIncomplete(*flow);
            spent.push_back(std::move(flow));
        }
        tasks.clear();
        retire();
        // Nothing more waiting: the rows go to the file now, so a kill cannot take rows
        // that were handed over a while ago.
        if (taskChannel->empty()) exporter.flush();
    }
}

uint64_t FlowTaskWorker::incompleteFlows() const {
    uint64_t total = 0;
    for (uint64_t count : incomplete) total += count;
    return total;
}

void FlowTaskWorker::countIncomplete(Flow const& flow) {
    ++incomplete[static_cast<size_t>(flow.noRow)];
    VARNO_LOG(debug) << "no row (" << noRowReasonText(flow.noRow) << ") -> [" << flow.key << "]";
}

// Waits for flows; while rows wait for a failed write, only until their next retry (false).
bool FlowTaskWorker::receive(std::vector<std::shared_ptr<Flow>>& tasks) {
    auto const retry = exporter.retryAt();
    if (!retry) {
        taskChannel->receiveBatch(tasks, batchSize);
        return true;
    }
    auto const wait = *retry - std::chrono::steady_clock::now();
    return wait > wait.zero() && taskChannel->receiveBatchFor(tasks, batchSize, wait);
}

void FlowTaskWorker::retire() {
    for (auto const& flow : spent) flow->releaseAnalysis();
    if (finished) finished->sendBatch(spent);
    spent.clear();
}

bool FlowTaskWorker::process(Flow& flow) {
    if (flow.evicted) {
        flow.noRow = NoRowReason::FlowMemoryFull;
        return false;
    }
    // Set first: a flow whose analysis throws keeps this reason.
    flow.noRow = NoRowReason::AnalysisFailed;
    try {
        return flow.processPackets();
    } catch (std::exception const& error) {
        // One bad flow must not end the worker: the engine would wait for it forever.
        VARNO_LOG(error) << "dropping a flow after an error in its processing: " << error.what();
    } catch (...) {
        VARNO_LOG(error) << "dropping a flow after an unknown error in its processing";
    }
    return false;
}
