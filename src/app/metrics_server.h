#pragma once
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "pipeline/engine.h"

// Where --metrics listens: "PORT", "ADDR:PORT" or "[IPv6]:PORT", the address numeric.
struct MetricsAddress {
    std::string address = "127.0.0.1";
    uint16_t port = 0;
    // "ADDR:PORT", an IPv6 address in brackets.
    std::string text() const;
};
std::optional<MetricsAddress> parseMetricsAddress(std::string const& text);

// The counters in the Prometheus text exposition format (version 0.0.4).
std::string metricsText(LiveCounts const& counts, double startSeconds);
// The same counters as one line of the log.
std::string summaryText(LiveCounts const& counts);

// One thread of its own that serves the engine's counters over HTTP at /metrics and, when
// asked, logs them as one line every summaryInterval. It only reads counters the pipeline
// keeps as relaxed atomics and takes no lock the pipeline takes, so a slow or stuck
// scraper never holds up the capture.
class Monitoring {
public:
    explicit Monitoring(FlowEngine const& engine);
    ~Monitoring();
    Monitoring(Monitoring const&) = delete;
    Monitoring& operator=(Monitoring const&) = delete;

    // Binds and listens at the address; the reason it could not, or empty.
    std::string listen(MetricsAddress const& address);
    // Logs the summary line at info severity every summaryInterval.
    void logSummaries() { summaries = true; }
    // Starts the thread: answers scrapes and writes summaries until the object goes.
    void start();

    static constexpr std::chrono::seconds summaryInterval{60};

private:
    struct State;
    std::unique_ptr<State> state;
    bool summaries = false;
};
