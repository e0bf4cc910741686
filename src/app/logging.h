#pragma once
#include <boost/log/core.hpp>
#include <boost/log/sinks/async_frontend.hpp>
#include <boost/log/sinks/bounded_fifo_queue.hpp>
#include <boost/log/sinks/text_file_backend.hpp>
#include <boost/shared_ptr.hpp>
#include <atomic>
#include <cstdint>
#include <string>

// Drops a record that finds the log's queue full, and counts it: the next record written
// says how many went.
struct CountDroppedRecords {
    template <typename Lock>
    static bool on_overflow(boost::log::record_view const&, Lock&) {
        ++dropped;
        return false;
    }
    static void on_queue_space_available() {}
    static void interrupt() {}
    static std::atomic<uint64_t> dropped;
};

// The process's one log destination: an asynchronous sink writing a rotating text file
// in the log directory, passing records at or above the given severity. Its queue is
// bounded, so a flood of records (a flood of connections at a low severity, a disk that
// cannot keep up) costs dropped records, never the process's memory.
class Logging {
public:
    // Records waiting for the sink's thread; past it they are dropped and counted.
    static constexpr size_t maxQueuedRecords = 10000;
    // The active file is rotated at this size (and every hour) to varno_NNNNN.log.
    static constexpr uintmax_t rotationSize = 5 * 1024 * 1024;
    // Rotated files kept in the log directory; the oldest go first.
    static constexpr unsigned maxRotatedFiles = 50;

    // directory: where "varno.log" and its rotated copies go. severity: trace, debug, info,
    // warning, error or fatal; any other text lets every record through. A test may rotate
    // at a smaller size.
    Logging(std::string const& directory, std::string const& severity, uintmax_t rotateAt = rotationSize);
    ~Logging();

    // Waits until the records logged so far are in the file (made by then).
    void flush() { sink->flush(); }
    // Whether the text names a severity level (any other lets every record through).
    static bool knownSeverity(std::string const& severity);
    Logging(Logging const&) = delete;
    Logging& operator=(Logging const&) = delete;

private:
    using FileSink = boost::log::sinks::asynchronous_sink<
        boost::log::sinks::text_file_backend,
        boost::log::sinks::bounded_fifo_queue<maxQueuedRecords, CountDroppedRecords>>;

    void createSink(std::string const& directory, std::string const& severity, uintmax_t rotateAt);
    static void keepRotatedFiles(boost::log::sinks::text_file_backend& backend, std::string const& directory);

    boost::shared_ptr<FileSink> sink;
    boost::shared_ptr<boost::log::core> core;
};
