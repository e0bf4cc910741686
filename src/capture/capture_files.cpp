#include "capture/capture_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <pcap/pcap.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <tuple>

#include "base/byte_reader.h"
#include "base/error_text.h"
#include "base/log.h"

namespace {

// First four bytes, read big-endian: pcap in both byte orders, with microsecond and
// nanosecond times and the old modified format; pcapng's section header block type.
constexpr std::array<uint32_t, 7> captureMagics = {0xa1b2c3d4, 0xd4c3b2a1, 0xa1b23c4d, 0x4d3cb2a1,
                                                   0xa1b2cd34, 0x34cdb2a1, 0x0a0d0d0a};

// Reads up to four bytes from the start of path; errno text on failure.
bool readHead(std::string const& path, std::array<uint8_t, 4>& head, size_t& got, std::string& failure) {
    int fd;
    do fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        failure = errorText(errno);
        return false;
    }
    got = 0;
    while (got < head.size()) {
        ssize_t n = ::read(fd, head.data() + got, head.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            failure = errorText(errno);
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        got += size_t(n);
    }
    ::close(fd);
    return true;
}

struct PcapCloser {
    void operator()(pcap_t* handle) const { pcap_close(handle); }
};

}  // namespace

bool startsLikeCaptureFile(std::span<const uint8_t> head) {
    ByteReader reader(head);
    const uint32_t magic = reader.u32();
    return reader.ok() && std::find(captureMagics.begin(), captureMagics.end(), magic) != captureMagics.end();
}

CaptureDirectory listCaptureFiles(std::string const& directory) {
    CaptureDirectory result;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(directory.c_str()), ::closedir);
    if (!dir) {
        result.failedPath = directory;
        result.failure = errorText(errno);
        return result;
    }
    std::vector<std::string> names;
    while (dirent* entry = ::readdir(dir.get())) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(std::move(name));
    }
    // Name order first, so files with the same first capture time keep it.
    std::sort(names.begin(), names.end());

    for (std::string const& name : names) {
        std::string const path = directory + "/" + name;
        struct stat info;
        if (::stat(path.c_str(), &info) != 0) {
            if (errno == ENOENT) continue;  // a dangling link or a file gone meanwhile
            result.failedPath = path;
            result.failure = errorText(errno);
            return result;
        }
        if (!S_ISREG(info.st_mode)) continue;

        std::array<uint8_t, 4> head{};
        size_t got = 0;
        if (!readHead(path, head, got, result.failure)) {
            result.failedPath = path;
            return result;
        }
        if (!startsLikeCaptureFile({head.data(), got})) {
            VARNO_LOG(info) << "Not a capture file, skipped: " << path;
            continue;
        }

        CaptureFile file;
        if (std::string const failure = readFirstCaptureTime(path, file); !failure.empty()) {
            result.failedPath = path;
            result.failure = failure;
            return result;
        }
        if (file.size == 0) continue;  // a header and no frame: nothing to read
        file.size = uint64_t(info.st_size);
        result.files.push_back(std::move(file));
    }
    sortByFirstCapture(result.files);
    return result;
}

std::string readFirstCaptureTime(std::string const& path, CaptureFile& file) {
    file = CaptureFile{path};
    FILE* stream = std::fopen(path.c_str(), "rb");
    if (stream == nullptr) return errorText(errno);
    char errorBuffer[PCAP_ERRBUF_SIZE] = {};
    std::unique_ptr<pcap_t, PcapCloser> handle(pcap_fopen_offline(stream, errorBuffer));
    if (!handle) {
        std::fclose(stream);  // a handle closes its file; a failed open leaves it to us
        return errorBuffer;
    }
    pcap_pkthdr* header = nullptr;
    const u_char* bytes = nullptr;
    const int read = pcap_next_ex(handle.get(), &header, &bytes);
    if (read == PCAP_ERROR_BREAK) return {};
    if (read < 0) return pcap_geterr(handle.get());
    struct stat info;
    file.size = ::fstat(::fileno(stream), &info) == 0 ? uint64_t(info.st_size) : 0;
    file.firstSeconds = int64_t(header->ts.tv_sec);
    file.firstMicroseconds = int64_t(header->ts.tv_usec);
    return {};
}

void sortByFirstCapture(std::vector<CaptureFile>& files) {
    std::stable_sort(files.begin(), files.end(), [](CaptureFile const& a, CaptureFile const& b) {
        return std::tie(a.firstSeconds, a.firstMicroseconds) < std::tie(b.firstSeconds, b.firstMicroseconds);
    });
}
