#pragma once
#include <array>
#include <atomic>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "capture/packet_source.h"
#include "export/exporter.h"
#include "flow/flow_table.h"
#include "pipeline/channel.h"
#include "pipeline/flow_process.h"
#include "pipeline/packet_source_worker.h"

struct Interface;

// What a run saw, for the record at its end.
struct RunCounts {
    CaptureCounts capture;
    uint64_t flowsOpened = 0;
    uint64_t rowsWritten = 0;  // rows in files
    uint64_t rowsLost = 0;     // rows that could not be written
    uint64_t certificatesLost = 0;  // certificates that could not be stored
    uint64_t flowsIncomplete = 0;  // analysed without a complete handshake: no row
    FlowTaskWorker::ReasonCounts incompleteByReason{};  // adds up to flowsIncomplete
};
std::ostream& operator<<(std::ostream& out, RunCounts const& counts);

// A look at a running pipeline, for a progress display.
struct EngineProgress {
    uint64_t packets = 0;     // decoded packets read
    uint64_t bytesRead = 0;   // of the input files
    uint64_t bytesTotal = 0;  // their size; 0 for a live capture
    uint64_t flowsOpen = 0;   // flows collecting packets
    uint64_t rows = 0;        // rows in files
};

// The counters of a running pipeline, for metrics and the periodic summary.
struct LiveCounts {
    uint64_t framesRead = 0, bytesRead = 0;  // frames the filter let through, their bytes
    uint64_t kernelDrops = 0, interfaceDrops = 0;  // live capture, as libpcap last said
    uint64_t quicInitialsRefused = 0;
    uint64_t flowsHeld = 0, flowBytes = 0, flowBudget = 0, flowsEvicted = 0;
    uint64_t rowsWritten = 0, rowsLost = 0, filesFinished = 0;
    std::array<uint64_t, noRowReasonCount> noRow{};  // connections without a row, by reason
};

// Owns the pipeline: flow table, channels, the capture thread and the analysis thread,
// which writes the rows through the exporter.
class FlowEngine {
public:
    FlowEngine();
    ~FlowEngine();

    bool open(std::string path);
    // Several capture files read as one stream, in the order given.
    bool open(std::vector<CaptureFile> files);
    bool open(Interface const& interface, int bufferBytes = PacketSource::defaultBufferBytes);
    bool open(std::unique_ptr<PacketSource> source);
    // Why the last open failed.
    std::string const& openFailure() const { return openFailureReason; }
    // Runs the pipeline until the input ends and every flow has been exported.
    void processPackets();
    // Bytes the open flows may hold before flows are evicted; set before the run.
    void setFlowMemory(size_t bytes) { packetSourceWorker.flowMemoryBudget = bytes; }
    // Asks the capture to stop; safe from a signal handler.
    void interrupt();
    // Complete once processPackets has returned.
    RunCounts const& counts() const { return runCounts; }
    // Safe from any thread while processPackets runs.
    EngineProgress progress() const;
    // Safe from any thread from open until the engine goes: relaxed reads, no lock.
    LiveCounts liveCounts() const;

    FlowTable flows;

    // Flows a channel holds before a sender waits, when the input is a file.
    static constexpr size_t fileChannelCapacity = 1024;

private:
    bool openFiles(std::unique_ptr<PacketSource> source);

    std::shared_ptr<FlowChannel> taskChannel;
    // Flows whose row is written (or that were dropped) go back to the capture thread, to
    // be freed where their memory was taken: freed on another thread, every block locks the
    // capture thread's allocator arena, and the two threads contend on it.
    std::shared_ptr<FlowChannel> finishedChannel;
    PacketSourceWorker packetSourceWorker;
    FlowExporter exporter;
    FlowTaskWorker worker;
    RunCounts runCounts;
    std::string openFailureReason;
    std::atomic<bool> captureEnded{false};
};
