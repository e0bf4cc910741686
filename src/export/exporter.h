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

    std::chrono::steady_clock::time_point fileOpenedAt{};
    int32_t rowsInFile = 0;
    int32_t fileSequence = 0;
    std::string lastTimestamp;
    std::ofstream output;
    std::string currentPath;
    bool fileErrorLogged = false;  // a failed write or close of the current file was logged
    bool openErrorLogged = false;  // a failed open was logged and no open has succeeded since
    // The same few certificates come back in flow after flow: their digests, and the fact
    // that they are in the store, are remembered instead of hashed and looked up each time.
    std::unordered_map<std::string, std::string> knownCertificates;
};
