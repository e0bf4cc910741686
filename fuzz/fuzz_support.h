#pragma once
// Shared set-up of the fuzz targets.
#include <boost/log/core.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/sinks/text_ostream_backend.hpp>
#include <boost/make_shared.hpp>
#include <cstdlib>

namespace fuzz {

// A sink that accepts every record and writes it nowhere: the log lines are still
// formatted (their operands read packet bytes too), but nothing reaches the console.
inline bool quietLog() {
    using Backend = boost::log::sinks::text_ostream_backend;
    boost::log::core::get()->add_sink(
        boost::make_shared<boost::log::sinks::synchronous_sink<Backend>>(boost::make_shared<Backend>()));
    return true;
}

// A broken invariant is a finding like any sanitizer report.
inline void require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace fuzz
