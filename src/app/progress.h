#pragma once
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "pipeline/engine.h"

// The progress line's text: bytes read of the total, packets, flows open, rows, rate and
// time left (or, when finished, the time taken); compact for a narrow terminal.
std::string progressText(EngineProgress const& progress, double seconds, bool finished, bool compact);

// One line on a terminal, rewritten at most four times a second while the engine reads
// its files; the last state stays on the terminal when the object goes.
class ProgressLine {
public:
    ProgressLine(FlowEngine const& engine, int fd);
    ~ProgressLine();
    ProgressLine(ProgressLine const&) = delete;
    ProgressLine& operator=(ProgressLine const&) = delete;

    static constexpr std::chrono::milliseconds interval{250};

private:
    void draw(bool finished);

    FlowEngine const& engine;
    int fd;
    std::chrono::steady_clock::time_point started;
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    std::thread thread;
};
