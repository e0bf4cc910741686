#include "app/logging.h"

#include "base/log.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/log/attributes/current_thread_id.hpp>
#include <boost/log/expressions.hpp>
#include <boost/log/expressions/formatters/format.hpp>
#include <boost/log/sinks/text_file_backend.hpp>
#include <boost/log/trivial.hpp>
#include <boost/log/utility/setup/common_attributes.hpp>
#include <boost/make_shared.hpp>

namespace logging = boost::log;
namespace sinks = boost::log::sinks;
namespace expr = boost::log::expressions;

std::atomic<uint64_t> CountDroppedRecords::dropped{0};

Logging::Logging(std::string const& directory, std::string const& severity, uintmax_t rotateAt)
    : core(logging::core::get()) {
    createSink(directory, severity, rotateAt);
}

void Logging::createSink(std::string const& directory, std::string const& severity, uintmax_t rotateAt) {
    // Appended to, so a run restarted after a crash keeps the crash's records.
    auto backend = boost::make_shared<sinks::text_file_backend>(
        logging::keywords::file_name = directory + "/varno.log",
        logging::keywords::target_file_name = directory + "/varno_%5N.log",
        logging::keywords::open_mode = std::ios_base::out | std::ios_base::app,
        logging::keywords::rotation_size = rotateAt,
        logging::keywords::time_based_rotation =
            sinks::file::rotation_at_time_interval(boost::posix_time::microseconds(3600000000LL)));
    backend->auto_flush(true);
    keepRotatedFiles(*backend, directory);
    auto fileSink = boost::make_shared<FileSink>(backend);
    logging::formatter const layout = expr::format("[%1%]: [%2%] %3% - %4%") %
                                      expr::attr<boost::posix_time::ptime>("TimeStamp") %
                                      expr::attr<logging::attributes::current_thread_id::value_type>("ThreadID") %
                                      expr::attr<logging::trivial::severity_level>("Severity") % expr::smessage;
    fileSink->set_formatter([layout](logging::record_view const& record, logging::formatting_ostream& out) {
        layout(record, out);
        if (uint64_t const dropped = CountDroppedRecords::dropped.exchange(0, std::memory_order_relaxed))
            out << " (" << dropped << " log records dropped before this one: the log's queue was full)";
    });
    // A log file that cannot be written (its directory cannot be made, the disk is full)
    // must not take the process down from the sink's own thread: such records are dropped.
    fileSink->set_exception_handler([] {});
    sink = fileSink;
    core->add_sink(sink);

    logging::trivial::severity_level level;
    if (logging::trivial::from_string(severity.data(), severity.size(), level)) {
        sink->set_filter(logging::trivial::severity >= level);
        varno_log::threshold.store(static_cast<int>(level));
    } else {
        varno_log::threshold.store(static_cast<int>(logging::trivial::trace));
    }

    logging::add_common_attributes();
}

void Logging::keepRotatedFiles(sinks::text_file_backend& backend, std::string const& directory) {
    // The rotated files of earlier runs are counted, so numbering goes on after the highest
    // and the oldest go once there are more than maxRotatedFiles. A directory that cannot
    // be read (the run is stopped at start anyway) leaves the files alone.
    try {
        backend.set_file_collector(sinks::file::make_collector(logging::keywords::target = directory,
                                                               logging::keywords::max_files = maxRotatedFiles));
        backend.scan_for_files();
    } catch (std::exception const&) {
    }
}

bool Logging::knownSeverity(std::string const& severity) {
    logging::trivial::severity_level level;
    return logging::trivial::from_string(severity.data(), severity.size(), level);
}

Logging::~Logging() {
    core->remove_sink(sink);
    // A destructor must not throw: a file that cannot be written loses its last records.
    try {
        sink->stop();
        sink->flush();
    } catch (...) {
    }
    sink.reset();
    core.reset();
    varno_log::threshold.store(static_cast<int>(logging::trivial::trace));
}
