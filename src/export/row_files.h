#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>

#include "base/live_count.h"
#include "export/settings.h"

// The rotating row files (CSV or JSON lines) and the rows waiting to go into them. A file is
// written as NAME.csv.tmp and renamed to NAME.csv when closed (NAME.json alike); it only ever holds whole rows: a write
// that fails part way (disk full, quota, I/O error) is cut back to the last complete row,
// and the rows not written wait here, in order, for the next attempt.
class RowFiles {
public:
    // Rows that cannot be written wait in memory up to this many bytes; later ones are lost.
    static constexpr size_t maxWaitingBytes = size_t(64) << 20;
    // Bytes handed to the file system at once.
    static constexpr size_t writeSize = 256 * 1024;

    // The settings are read as files are opened, filled and closed: they outlive this. Files
    // are named PREFIX_YYYYMMDDHHMMSS plus `extension` and start with `header` (may be empty).
    explicit RowFiles(ExportSettings const& settings, std::string extension = ".csv", std::string header = csvFileHeader())
        : settings(settings), extension(std::move(extension)), header(std::move(header)) {}
    // The first line of every CSV file, with its line break.
    static std::string csvFileHeader();
    ~RowFiles();
    RowFiles(RowFiles const&) = delete;
    RowFiles& operator=(RowFiles const&) = delete;

    // A row is appended to rowText() after its start was taken with rowStart(), then
    // ended with endRow(start); false when it did not fit the bound and was lost.
    std::string& rowText() { return waiting; }
    size_t rowStart() const { return waiting.size(); }
    bool endRow(size_t start);

    // Writes the waiting rows into files, opening one when needed and closing each at the
    // row limit; false when some could not be written (they go on waiting).
    bool writeWaiting();
    // Opens the next file (its age counts from now); on failure rows wait for a later one.
    void openFile();
    // Writes the waiting rows it can, then publishes the file under its ".csv" name, or
    // removes it when it holds no row.
    void closeFile();
    // Ends the run: closes the file; rows still waiting are lost.
    void finish();

    bool isOpen() const { return fd >= 0; }
    // The file is older than the age limit at now.
    bool expired(std::chrono::steady_clock::time_point now) const;
    bool rowLimitReached() const;
    std::string getOutputFilename(std::string const& prefix);
    // Path of the file being written, with its final ".csv" name; empty when none is open.
    std::string const& currentFile() const { return currentPath; }

    // Rows in files; any thread may read it.
    uint64_t written() const { return rowsWritten.load(std::memory_order_relaxed); }
    uint64_t lost() const { return rowsLost; }
    // Files published under their ".csv" name; any thread may read it.
    uint64_t filesFinished() const { return published; }
    size_t waitingRows() const { return lengths.size(); }
    size_t waitingBytes() const { return waiting.size() - taken; }
    // The errno of the write or open that left rows waiting; 0 when writing works.
    int failure() const { return error; }
    std::string const& failedFile() const { return failedPath; }

private:
    bool writeChunk(size_t most);
    bool writeHeader();
    int writeAt(char const* data, size_t size, size_t& done);
    void cutBack(off_t size);
    void publish();
    void fail(char const* what, int errorNumber, std::string const& path);
    void dropTaken();

    ExportSettings const& settings;
    std::string const extension;
    std::string const header;
    int fd = -1;  // the open ".tmp" file, locked while it is written
    std::string currentPath;
    off_t fileBytes = 0;  // bytes of whole rows (and the header) in the file
    bool headerWritten = false;
    bool damaged = false;  // a cut that failed: the file may end in a partial row
    int32_t rowsInFile = 0;
    int32_t fileSequence = 0;
    std::string lastTimestamp;
    std::chrono::steady_clock::time_point fileOpenedAt{};

    // Rows not yet in a file: the bytes from `taken` on, and each row's length in order.
    std::string waiting;
    size_t taken = 0;
    std::deque<uint32_t> lengths;

    std::atomic<uint64_t> rowsWritten{0};
    LiveCount rowsLost;
    LiveCount published;
    int error = 0;
    std::string failedPath;
};
