#include "pipeline/engine.h"

#include <boost/thread/thread.hpp>
#include <functional>
#include <vector>

#include "base/log.h"
#include "capture/interfaces.h"
#include "flow/flow.h"

FlowEngine::FlowEngine(int workerCount)
    : taskChannel(std::make_shared<FlowChannel>()),
      exportChannel(std::make_shared<FlowChannel>()),
      finishedChannel(std::make_shared<FlowChannel>()),
      packetSourceWorker(flows, taskChannel),
      exportWorker(exportChannel, exporter) {
    packetSourceWorker.takeFinishedFrom(finishedChannel);
    exportWorker.returnFinishedTo(finishedChannel);
    if (workerCount == 1) {
        workers.push_back(std::make_shared<FlowTaskWorker>(taskChannel, exporter));
    } else {
        for (int i = 0; i < workerCount; ++i)
            workers.push_back(std::make_shared<FlowTaskWorker>(taskChannel, exportChannel));
        exportThreadNeeded = true;
    }
    for (auto const& worker : workers) worker->returnFinishedTo(finishedChannel);
}

FlowEngine::~FlowEngine() = default;

bool FlowEngine::open(std::string path) { return openFiles(PacketSource::create(std::move(path))); }

bool FlowEngine::open(std::vector<CaptureFile> files) { return openFiles(PacketSource::create(std::move(files))); }

bool FlowEngine::openFiles(std::unique_ptr<PacketSource> source) {
    if (!open(std::move(source))) return false;
    // A file can wait for the workers, so its flows are not all held in memory at once.
    // Without a worker nobody drains the task channel: a bound would stall the capture.
    if (!workers.empty()) taskChannel->setCapacity(fileChannelCapacity);
    exportChannel->setCapacity(fileChannelCapacity);
    return true;
}

bool FlowEngine::open(Interface const& interface) { return open(PacketSource::create(interface)); }

bool FlowEngine::open(std::unique_ptr<PacketSource> source) {
    if (!source) return false;
    packetSourceWorker.setPacketSource(source);
    return true;
}

void FlowEngine::processPackets() {
    // One worker writes the rows itself; several hand them to the export thread.
    boost::thread exportThread;
    if (exportThreadNeeded) exportThread = boost::thread(std::ref(exportWorker));
    std::vector<boost::thread> workerThreads;
    for (auto const& worker : workers) workerThreads.emplace_back(std::ref(*worker));
    boost::thread captureThread(std::ref(packetSourceWorker));

    captureThread.join();
    captureEnded.store(true);
    // Flows still live when the capture ended go to the workers in key order.
    std::vector<std::shared_ptr<Flow>> remaining = flows.takeAll();
    remaining.insert(remaining.end(), workers.size(), NullFlowProcessMsg);
    taskChannel->sendBatch(remaining);
    for (auto& thread : workerThreads) thread.join();
    if (exportThreadNeeded) {
        exportChannel->send(NullFlowEntryMsg);
        exportThread.join();
    } else {
        exporter.closeFile();
    }

    runCounts.capture = packetSourceWorker.captureCounts();
    runCounts.flowsOpened = flows.opened();
    runCounts.rowsWritten = exportWorker.rowsWritten();
    runCounts.flowsIncomplete = 0;
    for (auto const& worker : workers) {
        runCounts.flowsIncomplete += worker->incompleteFlows();
        runCounts.rowsWritten += worker->rowsWritten();
    }
    VARNO_LOG(info) << runCounts;
}

std::ostream& operator<<(std::ostream& out, RunCounts const& counts) {
    CaptureCounts const& c = counts.capture;
    return out << "End of run: frames read " << c.framesRead << "; skipped: not IP " << c.notIp
               << ", other IP protocols " << c.otherProtocol << ", IP fragments " << c.fragment
               << ", more than 8 encapsulations or VLAN tags " << c.tooDeep << ", cut short " << c.cutShort
               << ", malformed " << c.malformed
               << "; flows opened " << counts.flowsOpened << ", rows written " << counts.rowsWritten
               << ", flows dropped incomplete " << counts.flowsIncomplete;
}

void FlowEngine::interupt() { packetSourceWorker.close(); }

EngineProgress FlowEngine::progress() const {
    auto const& capture = packetSourceWorker.progress();
    EngineProgress now;
    now.packets = capture.packets.load(std::memory_order_relaxed);
    now.bytesRead = capture.bytesRead.load(std::memory_order_relaxed);
    now.bytesTotal = capture.bytesTotal.load(std::memory_order_relaxed);
    // Flows left when the capture ends go to the workers at once.
    now.flowsOpen = captureEnded.load() ? 0 : capture.flowsOpen.load(std::memory_order_relaxed);
    // The same counters as the end-of-run record, read while they grow.
    now.rows = exportWorker.rowsWritten();
    for (auto const& worker : workers) now.rows += worker->rowsWritten();
    return now;
}
