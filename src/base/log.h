#pragma once
// Components write log records through Boost.Log's trivial logger; the application sets up the sink.
#include <atomic>
#include <boost/log/trivial.hpp>

namespace varno_log {
// Lowest severity the sink lets through; Logging sets it. Checking it first keeps a
// filtered record (the per-handshake info lines at the default "error") from costing a
// trip through the logging core on the packet path.
extern std::atomic<int> threshold;
inline bool enabled(boost::log::trivial::severity_level level) {
    return static_cast<int>(level) >= threshold.load(std::memory_order_relaxed);
}
}  // namespace varno_log

#define VARNO_LOG(severity)                                                                                  \
    for (bool varno_log_on_ = ::varno_log::enabled(::boost::log::trivial::severity); varno_log_on_;       \
         varno_log_on_ = false)                                                                              \
    BOOST_LOG_TRIVIAL(severity)
