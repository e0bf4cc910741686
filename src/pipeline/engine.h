#pragma once
#include <list>
#include <memory>
#include <ostream>
#include <string>

#include "capture/packet_source.h"
#include "export/exporter.h"
#include "flow/flow_table.h"
#include "pipeline/channel.h"
#include "pipeline/export_worker.h"
#include "pipeline/flow_process.h"
#include "pipeline/packet_source_worker.h"

struct Interface;

// What a run saw, for the record at its end.
struct RunCounts {
    CaptureCounts capture;
    uint64_t flowsOpened = 0;
    uint64_t rowsWritten = 0;
    uint64_t flowsIncomplete = 0;  // analysed without a complete handshake: no row
};
std::ostream& operator<<(std::ostream& out, RunCounts const& counts);

// Owns the pipeline: flow table, channels, capture worker, flow task workers, exporter.
class FlowEngine {
public:
    explicit FlowEngine(int workerCount);
    ~FlowEngine();

    bool open(std::string path);
    bool open(Interface const& interface);
    bool open(std::unique_ptr<PacketSource> source);
    // Runs the pipeline until the input ends and every flow has been exported.
    void processPackets();
    // Asks the capture to stop; safe from a signal handler.
    void interupt();
    // Complete once processPackets has returned.
    RunCounts const& counts() const { return runCounts; }

    FlowTable flows;

    // Flows a channel holds before a sender waits, when the input is a file.
    static constexpr size_t fileChannelCapacity = 1024;

private:
    std::shared_ptr<FlowChannel> taskChannel;
    std::shared_ptr<FlowChannel> exportChannel;
    PacketSourceWorker packetSourceWorker;
    std::list<std::shared_ptr<FlowTaskWorker>> workers;
    FlowExporter exporter;
    FlowExportWorker exportWorker;
    RunCounts runCounts;
    bool exportThreadNeeded = false;
};
