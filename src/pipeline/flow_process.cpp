#include "pipeline/flow_process.h"

#include <exception>

#include "base/log.h"
#include "flow/flow.h"

const std::shared_ptr<Flow> NullFlowProcessMsg;
const std::shared_ptr<Flow> NullFlowEntryMsg;

void FlowTaskWorker::operator()() {
    while (true) {
        std::shared_ptr<Flow> flow = taskChannel->receive();
        if (!flow) return;
        bool complete = false;
        try {
            complete = flow->processPackets();
        } catch (std::exception const& error) {
            // One bad flow must not end the worker: the engine would wait for it forever.
            VARNO_LOG(error) << "dropping a flow after an error in its processing: " << error.what();
            complete = false;
        } catch (...) {
            VARNO_LOG(error) << "dropping a flow after an unknown error in its processing";
            complete = false;
        }
        if (complete)
            exportChannel->send(flow);
        else
            ++incomplete;
    }
}
