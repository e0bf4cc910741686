#include "export/row_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "base/log.h"
#include "export/output_files.h"
#include "record/columns.h"

using namespace output_files;

namespace {

constexpr int64_t nanosPerMinute = 60'000'000'000;

// Upper bound on names tried for one file; only reached if the directory is flooded
// with files of our own naming pattern.
constexpr int maxNameAttempts = 100000;

}  // namespace

RowFiles::~RowFiles() {
    // An unfinished file keeps its ".tmp" name, so readers never take it for complete.
    if (fd >= 0) ::close(fd);
}

bool RowFiles::endRow(size_t start) {
    size_t const length = waiting.size() - start;
    if (waiting.size() - taken > maxWaitingBytes) {
        waiting.resize(start);
        ++rowsLost;
        return false;
    }
    lengths.push_back(uint32_t(length));
    return true;
}

bool RowFiles::expired(std::chrono::steady_clock::time_point now) const {
    int64_t minutes = settings.exportDuration;
    int64_t opened = std::chrono::duration_cast<std::chrono::nanoseconds>(fileOpenedAt.time_since_epoch()).count();
    int64_t span, deadline;
    if (__builtin_mul_overflow(minutes, nanosPerMinute, &span) || __builtin_add_overflow(opened, span, &deadline))
        return minutes < 0;  // beyond the 64-bit range: a huge limit is no limit, a huge negative one always passed
    return std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count() > deadline;
}

bool RowFiles::rowLimitReached() const {
    int32_t const limit = settings.exportThreshold;
    return limit > 0 && int64_t(rowsInFile) + int64_t(lengths.size()) >= limit;
}

std::string RowFiles::getOutputFilename(std::string const& prefix) {
    std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[16];
    std::string timestamp(stamp, std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &local));

    std::string suffix;
    if (timestamp == lastTimestamp)
        suffix = "_" + std::to_string(fileSequence);
    else
        fileSequence = 0;
    lastTimestamp = timestamp;
    ++fileSequence;
    return prefix + "_" + timestamp + suffix + extension;
}

void RowFiles::openFile() {
    // Names repeat across runs and clock changes: skip every name whose ".csv" or ".tmp"
    // already exists instead of replacing someone's data.
    int failure = EEXIST;
    for (int attempt = 0; attempt < maxNameAttempts && failure == EEXIST; ++attempt) {
        currentPath = settings.outputDir + "/" + getOutputFilename(settings.outputPrefix);
        failure = probe(currentPath);
        if (failure != 0) continue;
        fd = createExclusive(currentPath + ".tmp");
        failure = fd < 0 ? errno : 0;
    }
    rowsInFile = 0;
    fileBytes = 0;
    headerWritten = damaged = false;
    fileOpenedAt = std::chrono::steady_clock::now();
    if (fd < 0) {
        fail("Cannot create output file ", failure, currentPath + ".tmp");
        currentPath.clear();
        return;
    }
    // Held while the file is written: a run starting meanwhile in the same directory
    // leaves a locked ".tmp" alone instead of taking it for a leftover.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        VARNO_LOG(warning) << "Cannot lock output file " << currentPath << ".tmp: " << errorText(errno)
                           << "; a run started meanwhile may take it for a leftover";
    writeHeader();
}

bool RowFiles::writeWaiting() {
    bool const wasFailing = error != 0 && !lengths.empty();
    // While writes fail, one row tries first: a retry with every new row stays cheap.
    size_t most = wasFailing ? 1 : lengths.size();
    while (!lengths.empty()) {
        if (fd < 0) openFile();
        if (fd < 0 || !writeHeader() || !writeChunk(most)) return false;
        most = lengths.size();
        int32_t const limit = settings.exportThreshold;
        if (limit > 0 && rowsInFile >= limit) publish();
    }
    if (wasFailing)
        VARNO_LOG(warning) << "Output files are written again; the rows that waited are in "
                           << (currentPath.empty() ? std::string("the files") : currentPath + ".tmp");
    error = 0;
    return true;
}

std::string RowFiles::csvFileHeader() { return records::csvHeader() + "\n"; }

bool RowFiles::writeHeader() {
    if (headerWritten) return true;
    size_t done = 0;
    if (int failure = writeAt(header.data(), header.size(), done)) {
        cutBack(0);
        fail("Cannot write output file ", failure, currentPath + ".tmp");
        return false;
    }
    fileBytes = off_t(header.size());
    headerWritten = true;
    return true;
}

// Writes the first rows waiting, up to writeSize bytes (at least one row), `most` rows and
// the file's row limit, and takes the whole ones that reached the file off the queue.
bool RowFiles::writeChunk(size_t most) {
    int32_t const limit = settings.exportThreshold;
    size_t const room = std::min(most, limit > 0 ? size_t(limit - rowsInFile) : lengths.size());
    size_t rows = 0, bytes = 0;
    while (rows < lengths.size() && rows < room && (rows == 0 || bytes + lengths[rows] <= writeSize))
        bytes += lengths[rows++];

    size_t done = 0;
    int const failure = writeAt(waiting.data() + taken, bytes, done);
    size_t whole = 0, wholeBytes = 0;
    while (whole < rows && wholeBytes + lengths[whole] <= done) wholeBytes += lengths[whole++];
    if (failure != 0 && wholeBytes != done) cutBack(fileBytes + off_t(wholeBytes));

    fileBytes += off_t(wholeBytes);
    rowsInFile += int32_t(whole);
    rowsWritten.fetch_add(whole, std::memory_order_relaxed);
    taken += wholeBytes;
    lengths.erase(lengths.begin(), lengths.begin() + ptrdiff_t(whole));
    dropTaken();
    if (failure != 0) fail("Cannot write output file ", failure, currentPath + ".tmp");
    return failure == 0;
}

// Writes at the end of the whole rows, so a cut-back never leaves a hole; `done` counts
// the bytes that reached the file.
int RowFiles::writeAt(char const* data, size_t size, size_t& done) {
    while (done < size) {
        ssize_t n = ::pwrite(fd, data + done, size - done, fileBytes + off_t(done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return EIO;  // nothing taken: trying again would never end
        done += size_t(n);
    }
    return 0;
}

void RowFiles::cutBack(off_t size) {
    if (::ftruncate(fd, size) == 0) return;
    // The file may end in a partial row: it keeps its ".tmp" name, and the next start
    // cuts the row off when it finishes the file as a leftover.
    if (!damaged)
        VARNO_LOG(error) << "Cannot cut output file " << currentPath << ".tmp back to its last whole row: "
                         << errorText(errno);
    damaged = true;
}

void RowFiles::dropTaken() {
    if (taken == waiting.size()) {
        waiting.clear();
        taken = 0;
    } else if (taken > waiting.size() / 2) {
        waiting.erase(0, taken);
        taken = 0;
    }
}

void RowFiles::fail(char const* what, int errorNumber, std::string const& path) {
    if (error == 0)
        VARNO_LOG(error) << what << path << ": " << errorText(errorNumber) << "; rows wait in memory (up to "
                         << (maxWaitingBytes >> 20) << " MiB) until it can be written";
    error = errorNumber;
    failedPath = path;
}

void RowFiles::closeFile() {
    writeWaiting();
    publish();
}

void RowFiles::publish() {
    if (fd < 0) return;
    if (::close(fd) != 0 && errno != EINTR) {
        VARNO_LOG(error) << "Cannot write output file " << currentPath << ".tmp: " << errorText(errno);
        damaged = true;
    }
    fd = -1;
    std::string const tmp = currentPath + ".tmp";
    if (rowsInFile == 0 && !damaged) {
        ::unlink(tmp.c_str());  // no row reached it: no empty file is ever published
    } else if (!damaged) {
        if (int failure = output_files::publish(tmp, currentPath))
            VARNO_LOG(error) << "Cannot rename output file " << tmp << " to " << currentPath << ": "
                             << errorText(failure);
        else
            ++published;
    }
    currentPath.clear();
}

void RowFiles::finish() {
    closeFile();
    rowsLost += lengths.size();
    lengths.clear();
    waiting.clear();
    taken = 0;
}
