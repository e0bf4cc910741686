#pragma once
#include <chrono>
#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "pipeline/flow_process.h"

struct TLSFeatures;

// Last stage of the pipeline: turns complete flows into CSV rows in rotating files and
// stores their certificates as PEM files named by SHA-1 digest.
class FlowExporter {
public:
    explicit FlowExporter(std::shared_ptr<FlowChannel> const& channel);
    ~FlowExporter();
    FlowExporter(FlowExporter const&) = delete;
    FlowExporter& operator=(FlowExporter const&) = delete;

    void operator()();

    void openFile();
    void closeFile();
    std::string getOutputFilename(std::string prefix);
    void writeRow(TLSFeatures const& features);
    void writeRow(std::shared_ptr<Flow> const& flow);

    std::string writeCertificates(std::vector<std::string> const& chain);
    std::string writeCertificate(std::string& certificate);
    std::string encodeHandshakeMessages(std::map<std::string, std::string> const& messages);
    std::string hashByteString(std::string& bytes);
    std::string encodeByteString(std::string const& bytes);

    // Path of the file being written, with its final ".csv" name; empty when none is open.
    std::string const& currentFile() const { return currentPath; }

private:
    bool fileExpired(std::chrono::steady_clock::time_point now) const;
    void storeCertificate(std::string const& der, std::string const& digest);
    std::string certificateDigest(std::string const& der);
    void reportFileError(char const* what);

    std::shared_ptr<FlowChannel> channel;
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
