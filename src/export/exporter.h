#pragma once
#include <chrono>
#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

struct TLSFeatures;

// Turns the records of complete handshakes into CSV rows in rotating files and stores
// their certificates as PEM files named by SHA-1 digest.
class FlowExporter {
public:
    // The first line of every CSV file.
    static const char* const headerLine;

    FlowExporter() = default;
    ~FlowExporter();
    FlowExporter(FlowExporter const&) = delete;
    FlowExporter& operator=(FlowExporter const&) = delete;

    // Writes one row, first closing a file that is due and opening one when none is
    // open, and closes the file once it holds the row limit.
    void exportRow(TLSFeatures const& features);

    void openFile();
    void closeFile();
    // Hands the rows written so far to the operating system, so they outlive the process.
    void flush();
    // Rows of a steady stream wait at most this long for a flush.
    static constexpr std::chrono::seconds maxUnflushed{1};

    // Finishes the ".tmp" files that a killed run left in directory under this prefix:
    // cuts a partial last row, renames the file to ".csv" (never over an existing name),
    // removes one that holds no row, and logs a warning for each. A file still locked by a
    // running exporter is left alone. Returns the number of files handled.
    static int finishLeftovers(std::string const& directory, std::string const& prefix);
    std::string getOutputFilename(std::string prefix);
    void writeRow(TLSFeatures const& features);

    std::string writeCertificates(std::vector<std::string> const& chain);
    std::string encodeHandshakeMessages(std::map<std::string, std::string> const& messages);
    std::string encodeByteString(std::string const& bytes);

    // Path of the file being written, with its final ".csv" name; empty when none is open.
    std::string const& currentFile() const { return currentPath; }

private:
    bool fileExpired(std::chrono::steady_clock::time_point now) const;
    void storeCertificate(std::string const& der, std::string const& digest);
    std::string certificateDigest(std::string const& der);
    void reportFileError(char const* what);

    void releaseLock();
    void writeOut();

    std::chrono::steady_clock::time_point fileOpenedAt{};
    std::chrono::steady_clock::time_point lastFlush{};
    int lockFd = -1;  // the open ".tmp" file, locked while it is written
    int32_t rowsInFile = 0;
    int32_t fileSequence = 0;
    std::string lastTimestamp;
    std::ofstream output;
    // Rows not yet handed to the stream; written out from this size, and on every flush.
    std::string unwritten;
    static constexpr size_t writeSize = 256 * 1024;
    std::string currentPath;
    bool fileErrorLogged = false;  // a failed write or close of the current file was logged
    bool openErrorLogged = false;  // a failed open was logged and no open has succeeded since
    // The same few certificates come back in flow after flow: their digests, and the fact
    // that they are in the store, are remembered instead of hashed and looked up each time.
    std::unordered_map<std::string, std::string> knownCertificates;
};
