#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <vector>

// One capture file of a directory and where it belongs in the stream.
struct CaptureFile {
    std::string path;
    uint64_t size = 0;
    // Capture time of its first frame (seconds, microseconds).
    int64_t firstSeconds = 0;
    int64_t firstMicroseconds = 0;
};

// True when the bytes begin with a pcap (any byte order or time precision) or pcapng
// magic number.
bool startsLikeCaptureFile(std::span<const uint8_t> head);

// The capture files of one directory, or the first file that could not be read.
struct CaptureDirectory {
    // Files holding at least one frame, in the order of their first capture time (then
    // name), so rotated files read as one stream.
    std::vector<CaptureFile> files;
    std::string failedPath;  // empty when every capture file could be read
    std::string failure;     // why, in libpcap's or the system's words
};

// Opens a capture file and reads its first frame, for its place in a stream: fills
// `file` (its size stays 0 when it holds no frame) and returns empty, or the reason it cannot be
// read, in libpcap's or the system's words.
std::string readFirstCaptureTime(std::string const& path, CaptureFile& file);

// Orders files by their first capture time, keeping the given order among equal times.
void sortByFirstCapture(std::vector<CaptureFile>& files);

// Looks at every regular file directly in the directory; those that do not start like
// a capture file are left alone. A file that cannot be opened, or that starts like a
// capture but whose header or first frame libpcap cannot read, is a failure.
CaptureDirectory listCaptureFiles(std::string const& directory);
