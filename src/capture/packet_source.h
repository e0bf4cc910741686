#pragma once
#include <pcap/pcap.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "base/live_count.h"
#include "capture/capture_files.h"
#include "capture/capture_filter.h"
#include "capture/packet.h"

struct Interface;


// What a capture read and what it could not use.
struct CaptureCounts {
    // Kept by the capture thread; any thread may read them while the capture runs.
    LiveCount framesRead;  // every frame the filter let through
    LiveCount bytesRead;   // the bytes of those frames, as captured
    LiveCount notIp;
    LiveCount otherProtocol;
    LiveCount fragment;
    LiveCount tooDeep;
    LiveCount cutShort;
    LiveCount malformed;
    // QUIC Initials on no followed connection that did not decrypt as a client's first
    // (forged ones, or a server's whose client was not seen): counted, never kept.
    LiveCount quicInitialsRefused;
    // Live capture: libpcap's counters as last sampled, summed over wraps.
    LiveCount kernelDrops;
    LiveCount interfaceDrops;
    // Why the input could not be read to its end (the first reason), empty when it was.
    std::string failure;

    void countSkipped(SkipReason reason);
};

// One libpcap capture (a live device, one file, or several files read one after the
// other as one stream) delivering decoded TCP segments and UDP datagrams.
class PacketSource {
public:
    // What one read gave: a decoded packet, a quiet read timeout on a live capture or a
    // pipe, or the end of the input.
    enum class Read { Packet, Idle, End };

    // Kernel buffer of a live capture. Filled in bursts at hundreds of thousands of frames
    // a second while the capture thread shares the processor with the rest of the pipeline.
    static constexpr int defaultBufferBytes = 32 << 20;
    // How long the kernel may hold a received frame before the capture can read it: it
    // hands over a partly filled buffer block after a timeout (plus timer slack).
    static constexpr uint64_t deliveryDelayMilliseconds = 250;
    // Between two looks at libpcap's counters of a live capture, and between two log
    // records of them while the drops grow.
    static constexpr std::chrono::seconds statisticsInterval{1};
    static constexpr std::chrono::seconds statisticsLogInterval{60};

    // Each returns null when the input cannot be opened, with the reason in `reason`.
    static std::unique_ptr<PacketSource> create(std::string path, std::string* reason = nullptr);
    // The files in the order given; each is decoded by its own handle and link type.
    static std::unique_ptr<PacketSource> create(std::vector<CaptureFile> files, std::string* reason = nullptr);
    static std::unique_ptr<PacketSource> create(Interface const& interface, int bufferBytes = defaultBufferBytes,
                                                std::string* reason = nullptr);

    explicit PacketSource(pcap_t* handle);
    ~PacketSource();
    PacketSource(PacketSource const&) = delete;
    PacketSource& operator=(PacketSource const&) = delete;

    bool setFilter(std::string const& expression);
    Read read();
    std::shared_ptr<Packet> nextPacket();
    // Takes back a packet that nobody kept, so the next read needs no allocation.
    void recycle(std::shared_ptr<Packet>&& used);

    // File input: bytes of the files read so far, and their total size. Capture thread only.
    uint64_t bytesRead() const;
    uint64_t bytesTotal() const { return totalBytes; }

    // Capture time (milliseconds) by which flows expire while the input is idle: the wall
    // clock for a live capture; for a pipe, its last frame's time advanced by the
    // wall-clock time since that frame came. Less, for both, what a capture may still hold
    // back. Capture thread only.
    uint64_t idleTime() const;

    // Live capture: samples libpcap's counters into `counts` now (read() calls it every
    // statisticsInterval) and logs them (while the drops grow, and at the end).
    void logStatistics(bool atEnd);

    pcap_t* handle;
    int linkType;
    std::shared_ptr<Packet> packet;
    std::shared_ptr<Packet> spare;

    CaptureCounts counts;  // written by the capture thread only

private:
    bool installCaptureFilter();
    bool waitForFrames(int milliseconds);
    bool streamIdle();
    bool startDraining();
    Read endOfInput();
    void fail(std::string const& reason);
    bool openNextFile();
    void adoptHandle(pcap_t* newHandle);
    void checkStatistics(bool idle);

    int selectableFd = -1;  // live capture or pipe: polled for frames with the read timeout
    std::unique_ptr<bpf_program> streamFilter;  // a pipe's capture filter, applied by read()
    // A pipe's last frame: its capture time and when it came.
    uint64_t lastFrameTime = 0;
    std::chrono::steady_clock::time_point lastFrameClock;
    bool draining = false;
    std::chrono::steady_clock::time_point drainUntil;
    std::chrono::steady_clock::time_point quietUntil;

    // The stdio buffer of the file being read; freed only after its handle is closed.
    std::unique_ptr<char[]> fileBuffer;
    // Files still to read after the current one.
    std::deque<CaptureFile> pendingFiles;
    CaptureFile currentFile;
    uint64_t finishedBytes = 0;  // sizes of the files already read to their end
    uint64_t totalBytes = 0;

    // libpcap's counters are 32 bits wide and wrap on a long run: kept as 64-bit sums of
    // the differences between two looks.
    struct Statistics {
        uint64_t received = 0;
    };
    Statistics statistics;
    pcap_stat lastRaw{};
    uint64_t droppedWhenLogged = 0;
    bool statisticsEnded = false;
    unsigned readsSinceClock = 0;
    std::chrono::steady_clock::time_point nextStatistics;
    std::chrono::steady_clock::time_point nextStatisticsLog;

public:
    std::atomic<bool> active{true};
    bool live = false;  // a device, not a file
    // A file that is not a regular file (a pipe, standard input): read as frames come.
    bool stream = false;
    std::string deviceName;
    static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is written from a signal handler");
};
