#pragma once
// Reading the exporter's CSV files: complete "*.csv" files of a directory (never the ".tmp"
// that is still being written), line by line in large blocks, each line cut into its cells.
#include <array>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace report {

constexpr size_t columnCount = 20;
enum Column : size_t {
    ConnectionTimestamp, ProtocolType, ClientIPAddress, ClientPortNumber, ClientMACAddress,
    ServerIPAddress, ServerPortNumber, ServerMACAddress, TLSVersion, SNI, CipherSuiteCodePoint,
    TLSKEXParameter, TLS13KEXNamedGroupCodePoint, ServerCertificateChain, IsClientAuthRequested,
    ClientCertificateChain, IsRenegotiated, IsCompressed, KeyShareExtension, HandshakeMessages,
};
extern const std::string_view csvHeader;

using RowCells = std::array<std::string_view, columnCount>;

// Cuts a row into its 20 cells. The SNI is written as the client sent it, so it may hold
// commas: the nine cells before it are taken from the left, the quoted last cell and the
// nine before it from the right, and the SNI is what lies between. False when the line
// cannot be a row.
bool splitRow(std::string_view line, RowCells& cells);

// The CSV files of a directory in name order. An empty result is fine; a directory that
// cannot be listed sets error.
std::vector<std::string> csvFiles(std::string const& dir, std::string& error);

// The directories directly inside dir, in name order; a dir that cannot be listed sets error.
std::vector<std::string> subdirectoriesOf(std::string const& dir, std::string& error);

// Lines of a file, read in blocks of 1 MiB; a line longer than maxLine is skipped whole and
// reported as too long, so a broken file cannot make memory grow without bound.
class LineReader {
public:
    static constexpr size_t maxLine = 64u << 20;
    explicit LineReader(std::string const& path);
    bool opened() const { return file != nullptr; }
    // True when reading stopped at an error rather than at the end of the file.
    bool failed() const { return file != nullptr && std::ferror(file) != 0; }
    // Next line without its "\n"; false at the end of the file.
    bool next(std::string_view& line, bool& tooLong);

private:
    struct Close {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, Close> fileHolder;
    std::FILE* file = nullptr;
    std::vector<char> buffer;
    size_t begin = 0, end = 0;
    bool eof = false;
};

}  // namespace report
