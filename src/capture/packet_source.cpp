#include "capture/packet_source.h"

#include <poll.h>
#include <unistd.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include "base/error_text.h"
#include "base/log.h"
#include "capture/interfaces.h"

namespace {
// A quiet live link is looked at this often (the flows due by the clock are handed on).
constexpr int READ_TIMEOUT_MS = 512;
// libpcap's timeout, which the kernel takes for how long it keeps a partly filled buffer
// block before handing it to the capture. A block retired empty wakes nobody.
constexpr int BLOCK_TIMEOUT_MS = 200;
static_assert(PacketSource::deliveryDelayMilliseconds > BLOCK_TIMEOUT_MS);
// Reads between two looks at the clock for the statistics of a live capture.
constexpr unsigned READS_PER_CLOCK = 64;

// libpcap reads a file through stdio, by default in 4 KiB pieces, a system call each.
constexpr size_t FILE_BUFFER_BYTES = 1 << 20;

// Opens a capture file read through `buffer`, which must outlive the handle; after a
// failure `reason` says why (the caller reports it, once).
pcap_t* openOffline(std::string const& path, std::unique_ptr<char[]>& buffer, std::string& reason) {
    char errorBuffer[PCAP_ERRBUF_SIZE] = {};
    // "-" is standard input, as for tcpdump -r: a pipe from another capture tool.
    FILE* file = path == "-" ? ::fdopen(::dup(STDIN_FILENO), "rb") : std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        reason = errorText(errno);
        return nullptr;
    }
    buffer = std::make_unique_for_overwrite<char[]>(FILE_BUFFER_BYTES);
    std::setvbuf(file, buffer.get(), _IOFBF, FILE_BUFFER_BYTES);
    pcap_t* handle = pcap_fopen_offline(file, errorBuffer);
    if (handle == nullptr) {
        reason = errorBuffer;
        std::fclose(file);  // a handle closes its file; a failed open leaves it to us
    }
    return handle;
}

}  // namespace

void CaptureCounts::countSkipped(SkipReason reason) {
    switch (reason) {
    case SkipReason::NotIp: ++notIp; break;
    case SkipReason::OtherProtocol: ++otherProtocol; break;
    case SkipReason::Fragment: ++fragment; break;
    case SkipReason::TooDeep: ++tooDeep; break;
    case SkipReason::CutShort: ++cutShort; break;
    case SkipReason::Malformed: ++malformed; break;
    case SkipReason::None: break;
    }
}

namespace {
// Frames of a link type the decoder does not know are all skipped: said once, at the start.
void checkLinkType(int link) {
    if (linkLayerOf(link) == LinkLayer::Unsupported) VARNO_LOG(error) << "Unsupported data link type: " << link;
}
}  // namespace

PacketSource::PacketSource(pcap_t* handle)
    : handle(handle),
      linkType(pcap_datalink(handle)),
      packet(std::make_shared<Packet>(linkType)) {
    checkLinkType(linkType);
}

PacketSource::~PacketSource() {
    if (streamFilter) pcap_freecode(streamFilter.get());
    if (handle) pcap_close(handle);
}

std::unique_ptr<PacketSource> PacketSource::create(std::string path, std::string* reason) {
    struct stat info;
    const uint64_t size = ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) ? uint64_t(info.st_size) : 0;
    return create(std::vector<CaptureFile>{{std::move(path), size}}, reason);
}

std::unique_ptr<PacketSource> PacketSource::create(std::vector<CaptureFile> files, std::string* reason) {
    std::string why = "no capture file";
    if (reason == nullptr) reason = &why;
    if (files.empty()) return nullptr;
    std::unique_ptr<char[]> buffer;
    pcap_t* handle = openOffline(files.front().path, buffer, *reason);
    if (handle == nullptr) return nullptr;
    auto source = std::make_unique<PacketSource>(handle);
    source->fileBuffer = std::move(buffer);
    // A pipe (tcpdump -w - | varno -p -) is a live capture's frames as they come: the
    // flows it holds expire by the clock while it is quiet, as on a live device.
    struct stat info;
    const int fd = ::fileno(pcap_file(handle));
    if (files.size() == 1 && ::fstat(fd, &info) == 0 && !S_ISREG(info.st_mode)) {
        source->stream = true;
        source->selectableFd = fd;
        source->lastFrameClock = std::chrono::steady_clock::now();
    }
    for (CaptureFile const& file : files) source->totalBytes += file.size;
    source->currentFile = files.front();
    source->pendingFiles.assign(files.begin() + 1, files.end());
    if (!source->installCaptureFilter()) {
        *reason = "the capture filter could not be set (see the log)";
        return nullptr;
    }
    return source;
}

std::unique_ptr<PacketSource> PacketSource::create(Interface const& interface, int bufferBytes, std::string* reason) {
    std::string why;
    if (reason == nullptr) reason = &why;
    char errorBuffer[PCAP_ERRBUF_SIZE] = {};
    pcap_t* handle = pcap_create(interface.name.c_str(), errorBuffer);
    if (handle == nullptr) {
        *reason = errorBuffer;
        return nullptr;
    }
    pcap_set_promisc(handle, 1);
    pcap_set_timeout(handle, BLOCK_TIMEOUT_MS);
    // No immediate mode: on Linux it means one fixed ring slot per frame, sized for the
    // largest frame the device could hand over (64 KiB with segmentation offload), so the
    // default buffer held a few dozen frames and a burst overflowed it. Without it frames
    // are packed into the buffer's blocks, which the kernel hands over when full or after
    // the block timeout: at most that much later, nothing next to a flow's 10 s.
    if (int const status = pcap_set_buffer_size(handle, bufferBytes); status != 0) {
        *reason = "cannot set the capture buffer to " + std::to_string(bufferBytes) +
                  " bytes: " + pcap_statustostr(status);
        pcap_close(handle);
        return nullptr;
    }
    if (int const status = pcap_activate(handle); status < 0) {
        // A buffer the kernel cannot give fails here (PCAP_ERROR with the reason in the text).
        // libpcap's text may be its status's text again ("That device is not up"), and a
        // generic error has only its text: each said once.
        std::string const kind = pcap_statustostr(status);
        std::string const detail = pcap_geterr(handle);
        if (detail.empty() || detail == kind || status == PCAP_ERROR_PERM_DENIED)
            *reason = kind;
        else if (status == PCAP_ERROR || detail.find(kind) != std::string::npos)
            *reason = detail;
        else
            *reason = kind + ": " + detail;
        pcap_close(handle);
        return nullptr;
    }
    auto source = std::make_unique<PacketSource>(handle);
    source->live = true;
    source->deviceName = interface.name;
    source->nextStatistics = std::chrono::steady_clock::now() + statisticsInterval;
    source->nextStatisticsLog = std::chrono::steady_clock::now() + statisticsLogInterval;
    if (!source->installCaptureFilter()) {
        *reason = "the capture filter could not be set (see the log)";
        return nullptr;
    }
    // A blocking read on a quiet link does not return at the read timeout in libpcap 1.10;
    // reading without blocking and polling with the timeout does, so expired flows can be
    // handed over while nothing arrives.
    if (pcap_setnonblock(handle, 1, errorBuffer) == 0) source->selectableFd = pcap_get_selectable_fd(handle);
    return source;
}

bool PacketSource::setFilter(std::string const& expression) {
    bpf_program program{};
    if (pcap_compile(handle, &program, expression.c_str(), 1, PCAP_NETMASK_UNKNOWN) < 0) {
        VARNO_LOG(error) << pcap_geterr(handle);
        return false;
    }
    // libpcap would read on past frames its filter refuses, waiting in a quiet pipe for
    // one it accepts: a pipe's frames are filtered here, once each is read.
    if (stream) {
        if (streamFilter) pcap_freecode(streamFilter.get());
        streamFilter = std::make_unique<bpf_program>(program);
        return true;
    }
    if (pcap_setfilter(handle, &program) < 0) {
        VARNO_LOG(error) << pcap_geterr(handle);
        pcap_freecode(&program);
        return false;
    }
    pcap_freecode(&program);
    return true;
}

bool PacketSource::installCaptureFilter() {
    const std::string filter = captureFilter(linkType);
    VARNO_LOG(debug) << "Capture filter: " << filter;
    return filter.empty() || setFilter(filter);
}

PacketSource::Read PacketSource::read() {
    while (true) {
        if (!active.load(std::memory_order_relaxed) && !startDraining()) return endOfInput();
        if (stream && streamIdle()) return Read::Idle;
        pcap_pkthdr* header = nullptr;
        const u_char* bytes = nullptr;
        const int result = pcap_next_ex(handle, &header, &bytes);
        if (live) checkStatistics(result == 0);
        if (result == PCAP_ERROR_BREAK && live) continue;  // the stop request woke the read
        if (result < 0) {
            if (live) {
                fail("Capture on \"" + deviceName + "\" failed: " + pcap_geterr(handle));
                return endOfInput();
            }
            if (result == PCAP_ERROR)
                fail("Could not read capture file \"" + currentFile.path + "\" to its end: " + pcap_geterr(handle));
            if (openNextFile()) continue;
            return endOfInput();
        }
        if (result == 0) {
            // Nothing waiting on a live link. After a stop request the kernel has handed
            // over everything it received before once a block timeout has passed.
            if (draining) {
                const auto now = std::chrono::steady_clock::now();
                if (now >= quietUntil) return endOfInput();
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(quietUntil - now);
                if (selectableFd >= 0) waitForFrames(int(left.count()) + 1);
                continue;
            }
            if (selectableFd >= 0 && waitForFrames(READ_TIMEOUT_MS)) continue;
            return Read::Idle;
        }
        if (draining && std::chrono::steady_clock::now() > drainUntil) return endOfInput();
        if (streamFilter && pcap_offline_filter(streamFilter.get(), header, bytes) == 0) continue;
        ++counts.framesRead;
        counts.bytesRead += header->caplen;
        if (!packet->parse(header, bytes)) {
            counts.countSkipped(packet->skipped);
            continue;
        }
        // Without payload only a SYN without ACK (a new connection) and a FIN or RST (the
        // end of one) matter; the filter lets a few more through (segments with IPv4
        // options, and every segment inside a tunnel).
        if (packet->tcpPayloadLength() == 0 && !(packet->isSyn() && !packet->isAck()) && !packet->isFin() &&
            !packet->isRst())
            continue;
        if (stream) {
            lastFrameTime = packet->timestamp();
            lastFrameClock = std::chrono::steady_clock::now();
        }
        return Read::Packet;
    }
}

// Waits up to the given time for a frame; false when the time passed without one.
bool PacketSource::waitForFrames(int milliseconds) {
    pollfd waiting{selectableFd, POLLIN, 0};
    const int ready = ::poll(&waiting, 1, milliseconds);
    return ready != 0;  // a frame, an error the next read reports, or a signal: read again
}

// A pipe with nothing waiting, neither in it nor in the stdio buffer libpcap reads it
// through, after the read timeout (or a signal, so that a stop request is seen before the
// next read blocks). A frame that has only begun to arrive is waited for.
bool PacketSource::streamIdle() {
    FILE* file = pcap_file(handle);
    // glibc's read buffer: what is there is read without a system call.
    if (file == nullptr || file->_IO_read_ptr < file->_IO_read_end) return false;
    pollfd waiting{selectableFd, POLLIN, 0};
    const int ready = ::poll(&waiting, 1, READ_TIMEOUT_MS);
    return ready == 0 || (ready < 0 && errno == EINTR);
}

uint64_t PacketSource::idleTime() const {
    using namespace std::chrono;
    if (!stream)
        return uint64_t(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count()) -
               deliveryDelayMilliseconds;
    const auto quiet = uint64_t(duration_cast<milliseconds>(steady_clock::now() - lastFrameClock).count());
    return lastFrameTime + (quiet > deliveryDelayMilliseconds ? quiet - deliveryDelayMilliseconds : 0);
}

// After a stop request a live capture still reads what the kernel already holds, so a
// handshake completed just before the signal keeps its row. A busy link gets a bounded
// grace period; a file simply stops.
bool PacketSource::startDraining() {
    if (!live) return false;
    if (!draining) {
        char errorBuffer[PCAP_ERRBUF_SIZE] = {};
        if (pcap_setnonblock(handle, 1, errorBuffer) < 0) return false;
        draining = true;
        const auto now = std::chrono::steady_clock::now();
        quietUntil = now + std::chrono::milliseconds(deliveryDelayMilliseconds);
        drainUntil = now + std::chrono::seconds(1);
    }
    return true;
}

// The run goes on with what can still be read; its end reports the first failure.
void PacketSource::fail(std::string const& reason) {
    VARNO_LOG(error) << reason;
    if (counts.failure.empty()) counts.failure = reason;
}

PacketSource::Read PacketSource::endOfInput() {
    if (live && !statisticsEnded) {
        statisticsEnded = true;
        logStatistics(true);
    }
    return Read::End;
}

bool PacketSource::openNextFile() {
    finishedBytes += currentFile.size;
    while (!pendingFiles.empty()) {
        currentFile = std::move(pendingFiles.front());
        pendingFiles.pop_front();
        std::unique_ptr<char[]> buffer;
        std::string reason = "the capture filter could not be set (see the log)";
        pcap_t* next = openOffline(currentFile.path, buffer, reason);
        if (next != nullptr) {
            adoptHandle(next);  // closes the file before, which read through fileBuffer
            fileBuffer = std::move(buffer);
            if (installCaptureFilter()) return true;
        }
        // Readable when the run started, gone or changed since: the others still count.
        fail("Could not read capture file \"" + currentFile.path + "\": " + reason);
        finishedBytes += currentFile.size;
    }
    return false;
}

// The next file of the stream, with its own link type (and so its own filter).
void PacketSource::adoptHandle(pcap_t* newHandle) {
    pcap_close(handle);
    handle = newHandle;
    linkType = pcap_datalink(handle);
    checkLinkType(linkType);
    packet = std::make_shared<Packet>(linkType);
    spare.reset();  // decodes with the link type of the file before
}

uint64_t PacketSource::bytesRead() const {
    if (live) return 0;
    FILE* file = pcap_file(handle);
    const long position = file ? std::ftell(file) : -1;
    return std::min(totalBytes, finishedBytes + (position > 0 ? uint64_t(position) : 0));
}

void PacketSource::checkStatistics(bool idle) {
    if (!idle && ++readsSinceClock < READS_PER_CLOCK) return;
    readsSinceClock = 0;
    const auto now = std::chrono::steady_clock::now();
    if (now < nextStatistics) return;
    nextStatistics = now + statisticsInterval;
    logStatistics(false);
}

void PacketSource::logStatistics(bool atEnd) {
    pcap_stat raw{};
    if (pcap_stats(handle, &raw) < 0) {
        if (atEnd) VARNO_LOG(warning) << "No capture statistics for " << deviceName << ": " << pcap_geterr(handle);
        return;
    }
    // Unsigned 32-bit differences stay right across one wrap of libpcap's counters.
    statistics.received += uint32_t(raw.ps_recv - lastRaw.ps_recv);
    counts.kernelDrops += uint32_t(raw.ps_drop - lastRaw.ps_drop);
    counts.interfaceDrops += uint32_t(raw.ps_ifdrop - lastRaw.ps_ifdrop);
    lastRaw = raw;

    // Periodically only while the drops grow, at most once a statisticsLogInterval; at the
    // end always.
    const uint64_t dropped = counts.kernelDrops + counts.interfaceDrops;
    if (!atEnd) {
        const auto now = std::chrono::steady_clock::now();
        if (dropped == droppedWhenLogged || now < nextStatisticsLog) return;
        nextStatisticsLog = now + statisticsLogInterval;
    }
    droppedWhenLogged = dropped;
    const std::string text = "Capture statistics on " + deviceName + (atEnd ? " at the end: " : " so far: ") +
                             std::to_string(statistics.received) + " received, " +
                             std::to_string(counts.kernelDrops) + " dropped by the kernel, " +
                             std::to_string(counts.interfaceDrops) + " dropped by the interface";
    // Drops are worth a warning; more than 1 % of the frames is an error, which the
    // default severity shows.
    if (dropped == 0)
        VARNO_LOG(info) << text;
    else if (dropped * 100 > statistics.received)
        VARNO_LOG(error) << text;
    else
        VARNO_LOG(warning) << text;
}

std::shared_ptr<Packet> PacketSource::nextPacket() {
    std::shared_ptr<Packet> decoded = std::move(packet);
    packet = spare ? std::move(spare) : std::make_shared<Packet>(linkType);
    packet->reset();
    return decoded;
}

void PacketSource::recycle(std::shared_ptr<Packet>&& used) {
    if (used && used.use_count() == 1 && !used->ownsData && used->linkType == linkType) spare = std::move(used);
    used.reset();
}
