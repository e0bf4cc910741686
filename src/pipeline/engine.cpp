#include "pipeline/engine.h"

#include <boost/thread/thread.hpp>
#include <algorithm>
#include <functional>
#include <numeric>
#include <vector>

#include "base/log.h"
#include "capture/interfaces.h"
#include "flow/flow.h"

FlowEngine::FlowEngine()
    : taskChannel(std::make_shared<FlowChannel>()),
      finishedChannel(std::make_shared<FlowChannel>()),
      packetSourceWorker(flows, taskChannel),
      worker(taskChannel, exporter) {
    packetSourceWorker.takeFinishedFrom(finishedChannel);
    worker.returnFinishedTo(finishedChannel);
}

FlowEngine::~FlowEngine() = default;

bool FlowEngine::open(std::string path) {
    return openFiles(PacketSource::create(std::move(path), &openFailureReason));
}

bool FlowEngine::open(std::vector<CaptureFile> files) {
    return openFiles(PacketSource::create(std::move(files), &openFailureReason));
}

bool FlowEngine::openFiles(std::unique_ptr<PacketSource> source) {
    if (!open(std::move(source))) return false;
    // A file can wait for the analysis, so its flows are not all held in memory at once.
    taskChannel->setCapacity(fileChannelCapacity);
    return true;
}

bool FlowEngine::open(Interface const& interface, int bufferBytes) {
    return open(PacketSource::create(interface, bufferBytes, &openFailureReason));
}

bool FlowEngine::open(std::unique_ptr<PacketSource> source) {
    if (!source) return false;
    packetSourceWorker.setPacketSource(source);
    return true;
}

void FlowEngine::processPackets() {
    boost::thread workerThread(std::ref(worker));
    boost::thread captureThread(std::ref(packetSourceWorker));

    captureThread.join();
    captureEnded.store(true);
    // Flows still live when the capture ended go to the analysis in key order.
    std::vector<std::shared_ptr<Flow>> remaining = flows.takeAll();
    remaining.push_back(endOfFlows);
    taskChannel->sendBatch(remaining);
    workerThread.join();
    exporter.finish();

    runCounts.capture = packetSourceWorker.captureCounts();
    runCounts.flowsOpened = flows.opened();
    runCounts.rowsWritten = exporter.rowsWritten();
    runCounts.rowsLost = exporter.rowsLost();
    runCounts.certificatesLost = exporter.certificatesLost();
    runCounts.flowsIncomplete = worker.incompleteFlows();
    runCounts.incompleteByReason = worker.incompleteByReason();
    VARNO_LOG(info) << runCounts;
}

std::ostream& operator<<(std::ostream& out, RunCounts const& counts) {
    CaptureCounts const& c = counts.capture;
    out << "End of run: frames read " << c.framesRead << "; skipped: not IP " << c.notIp
        << ", other IP protocols " << c.otherProtocol << ", IP fragments " << c.fragment
        << ", more than 8 encapsulations or VLAN tags " << c.tooDeep << ", cut short " << c.cutShort
        << ", malformed " << c.malformed;
    if (c.quicInitialsRefused != 0) out << ", QUIC Initials that did not decrypt " << c.quicInitialsRefused;
    out
        << "; flows opened " << counts.flowsOpened << ", rows written " << counts.rowsWritten;
    if (counts.rowsLost != 0) out << ", rows lost " << counts.rowsLost;
    if (counts.certificatesLost != 0) out << ", certificates lost " << counts.certificatesLost;
    out << ", flows dropped incomplete " << counts.flowsIncomplete;
    if (counts.flowsIncomplete == 0) return out;
    // The reasons that occurred, most frequent first.
    std::array<size_t, noRowReasonCount> order;
    std::iota(order.begin(), order.end(), 0);
    auto const& by = counts.incompleteByReason;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return by[a] > by[b]; });
    char const* separator = " (";
    for (size_t reason : order) {
        if (by[reason] == 0) continue;
        out << separator << noRowReasonText(static_cast<NoRowReason>(reason)) << ' ' << by[reason];
        separator = ", ";
    }
    return out << ')';
}

LiveCounts FlowEngine::liveCounts() const {
    LiveCounts now;
    if (CaptureCounts const* capture = packetSourceWorker.liveCaptureCounts()) {
        now.framesRead = capture->framesRead;
        now.bytesRead = capture->bytesRead;
        now.kernelDrops = capture->kernelDrops;
        now.interfaceDrops = capture->interfaceDrops;
        now.quicInitialsRefused = capture->quicInitialsRefused;
    }
    auto const& capture = packetSourceWorker.progress();
    bool const ended = captureEnded.load();
    now.flowsHeld = ended ? 0 : capture.flowsOpen.load(std::memory_order_relaxed);
    now.flowBytes = ended ? 0 : capture.flowBytes.load(std::memory_order_relaxed);
    now.flowBudget = packetSourceWorker.flowMemoryBudget;
    now.flowsEvicted = packetSourceWorker.evictedFlows();
    now.rowsWritten = exporter.rowsWritten();
    now.rowsLost = exporter.rowsLost();
    now.filesFinished = exporter.filesFinished();
    auto const& byReason = worker.incompleteByReason();
    std::copy(byReason.begin(), byReason.end(), now.noRow.begin());
    return now;
}

void FlowEngine::interrupt() { packetSourceWorker.close(); }

EngineProgress FlowEngine::progress() const {
    auto const& capture = packetSourceWorker.progress();
    EngineProgress now;
    now.packets = capture.packets.load(std::memory_order_relaxed);
    now.bytesRead = capture.bytesRead.load(std::memory_order_relaxed);
    now.bytesTotal = capture.bytesTotal.load(std::memory_order_relaxed);
    // Flows left when the capture ends go to the analysis at once.
    now.flowsOpen = captureEnded.load() ? 0 : capture.flowsOpen.load(std::memory_order_relaxed);
    // The same counter as the end-of-run record, read while it grows.
    now.rows = exporter.rowsWritten();
    return now;
}
