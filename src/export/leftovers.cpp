// Finishing the ".tmp" files of a run that ended without closing them (killed, crashed,
// power lost): what reached the file is kept as a ".csv" (or ".json") like any other.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "base/byte_reader.h"
#include "base/log.h"
#include "export/exporter.h"
#include "export/output_files.h"

using namespace output_files;

namespace {

constexpr int maxRecoveredNames = 1000;

// The two kinds of row file: CSV with a header, whose quoted cells may hold line breaks, and
// JSON lines, where every line feed ends a record (strings escape theirs).
struct Kind {
    std::string_view extension;
    bool csv;
};
constexpr Kind kinds[] = {{".csv", true}, {".json", false}};

Kind const* kindOf(std::string const& name) {
    for (Kind const& kind : kinds) {
        std::string const suffix = std::string(kind.extension) + ".tmp";
        if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            return &kind;
    }
    return nullptr;
}

struct Records {
    uint64_t count = 0;    // complete records, the header among them
    off_t completeEnd = 0;  // bytes up to the end of the last complete record
    off_t size = 0;
    int error = 0;
};

// Counts complete records: a record ends at a line feed, in CSV one outside quotes. Quoted
// cells (a server name may hold a line break) toggle at every quote; a doubled quote
// inside a cell toggles twice and so changes nothing.
Records scanRecords(int fd, bool csv) {
    Records records;
    std::array<uint8_t, 65536> chunk;
    bool quoted = false;
    while (true) {
        ssize_t n = ::read(fd, chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            records.error = errno;
            return records;
        }
        if (n == 0) return records;
        ByteReader reader(chunk.data(), size_t(n));
        while (!reader.empty()) {
            const uint8_t byte = reader.u8();
            ++records.size;
            if (byte == '"' && csv) {
                quoted = !quoted;
            } else if (byte == '\n' && !quoted) {
                ++records.count;
                records.completeEnd = records.size;
            }
        }
    }
}

bool isLeftoverName(std::string const& name, std::string const& prefix) {
    const std::string start = prefix + "_";
    Kind const* kind = kindOf(name);
    return kind && name.size() > start.size() + kind->extension.size() + 4 && name.compare(0, start.size(), start) == 0;
}

// Renames the finished file to its ".csv" (".json") name or, when someone took that, to the
// first free "_recovered" name beside it. Returns the name used, or empty with error set.
std::string publishLeftover(std::string const& tmpPath, std::string const& extension, int& error) {
    const std::string base = tmpPath.substr(0, tmpPath.size() - extension.size() - 4);
    std::string target = base + extension;
    error = publish(tmpPath, target);
    for (int n = 1; error == EEXIST && n <= maxRecoveredNames; ++n) {
        target = base + "_recovered" + (n == 1 ? std::string() : "_" + std::to_string(n)) + extension;
        error = publish(tmpPath, target);
    }
    return error == 0 ? target : std::string();
}

// Returns true when the file was handled (finished or removed).
bool finishLeftover(std::string const& path) {
    int fd;
    do fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        VARNO_LOG(error) << "Cannot open leftover output file " << path << ": " << errorText(errno);
        return false;
    }
    std::unique_ptr<int, void (*)(int*)> closer(&fd, [](int* descriptor) { ::close(*descriptor); });
    // A running exporter holds its file locked: that file is not a leftover.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return false;

    Kind const& kind = *kindOf(path);
    const Records records = scanRecords(fd, kind.csv);
    if (records.error != 0) {
        VARNO_LOG(error) << "Cannot read leftover output file " << path << ": " << errorText(records.error);
        return false;
    }
    const uint64_t headers = kind.csv ? 1 : 0;
    const uint64_t rows = records.count > headers ? records.count - headers : 0;
    if (rows == 0) {
        if (::unlink(path.c_str()) != 0) {
            VARNO_LOG(error) << "Cannot remove leftover output file " << path << ": " << errorText(errno);
            return false;
        }
        VARNO_LOG(warning) << "Removed leftover output file " << path << " of an earlier run: it held no complete row";
        return true;
    }
    const off_t cut = records.size - records.completeEnd;
    if (cut > 0 && ::ftruncate(fd, records.completeEnd) != 0) {
        VARNO_LOG(error) << "Cannot cut the partial row of leftover output file " << path << ": " << errorText(errno);
        return false;
    }
    int error = 0;
    const std::string target = publishLeftover(path, std::string(kind.extension), error);
    if (target.empty()) {
        VARNO_LOG(error) << "Cannot rename leftover output file " << path << ": " << errorText(error);
        return false;
    }
    VARNO_LOG(warning) << "Finished leftover output file " << path << " of an earlier run as " << target << ": "
                       << rows << " rows" << (cut > 0 ? ", a partial last row of " + std::to_string(cut) + " bytes cut" : "");
    return true;
}

}  // namespace

int FlowExporter::finishLeftovers(std::string const& directory, std::string const& prefix) {
    std::vector<std::string> names;
    {
        std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(directory.c_str()), ::closedir);
        if (!dir) return 0;  // no directory, no leftovers
        while (dirent* entry = ::readdir(dir.get()))
            if (isLeftoverName(entry->d_name, prefix)) names.emplace_back(entry->d_name);
    }
    std::sort(names.begin(), names.end());
    int handled = 0;
    for (std::string const& name : names)
        if (finishLeftover(directory + "/" + name)) ++handled;
    return handled;
}
