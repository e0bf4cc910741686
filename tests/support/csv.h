#pragma once
// The CSV files of an output directory read back as rows of cells.
#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "record/row_reader.h"
#include "support/files.h"

namespace varno_test::csv {

namespace fs = std::filesystem;

// The header every CSV file starts with, written out independently of the exporter.
inline std::string const csvHeader =
    "ConnectionTimestamp,ProtocolType,ClientIPAddress,ClientPortNumber,ClientMACAddress,ServerIPAddress,"
    "ServerPortNumber,ServerMACAddress,TLSVersion,SNI,CipherSuiteCodePoint,TLSKEXParameter,"
    "TLS13KEXNamedGroupCodePoint,ServerCertificateChain,IsClientAuthRequested,ClientCertificateChain,"
    "IsRenegotiated,IsCompressed,KeyShareExtension,HandshakeMessages";

// Column positions, in header order.
enum Column : size_t {
    ConnectionTimestamp,
    ProtocolType,
    ClientIPAddress,
    ClientPortNumber,
    ClientMACAddress,
    ServerIPAddress,
    ServerPortNumber,
    ServerMACAddress,
    TLSVersion,
    SNI,
    CipherSuiteCodePoint,
    TLSKEXParameter,
    TLS13KEXNamedGroupCodePoint,
    ServerCertificateChain,
    IsClientAuthRequested,
    ClientCertificateChain,
    IsRenegotiated,
    IsCompressed,
    KeyShareExtension,
    HandshakeMessages,
    ColumnCount
};

inline std::vector<std::string> split(std::string const& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator)) parts.push_back(part);
    if (!text.empty() && text.back() == separator) parts.emplace_back();
    return parts;
}

// One CSV line split into cells; a cell in double quotes may hold commas and doubled quotes,
// and is returned as written, quotes included.
inline std::vector<std::string> csvCells(std::string const& line) {
    std::vector<std::string> cells(1);
    bool inQuotes = false;
    for (char c : line) {
        if (c == '"') inQuotes = !inQuotes;
        if (c == ',' && !inQuotes)
            cells.emplace_back();
        else
            cells.back() += c;
    }
    return cells;
}

// Everything the CSV files of one output directory hold, files in name order.
struct CsvOutput {
    std::vector<std::string> files;       // file names
    std::vector<std::string> headers;     // first line of each file
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> tmpFiles;    // files still under their ".tmp" name
};

inline CsvOutput readCsvOutput(fs::path const& directory) {
    CsvOutput output;
    if (!fs::is_directory(directory)) return output;
    std::vector<fs::path> files;
    for (auto const& entry : fs::directory_iterator(directory)) {
        if (entry.path().extension() == ".csv") files.push_back(entry.path());
        if (entry.path().extension() == ".tmp") output.tmpFiles.push_back(entry.path().filename().string());
    }
    std::sort(files.begin(), files.end());
    for (auto const& file : files) {
        output.files.push_back(file.filename().string());
        std::istringstream in(varno_test::readFile(file));
        std::string line;
        bool first = true;
        while (std::getline(in, line)) {
            if (first)
                output.headers.push_back(line);
            else
                output.rows.push_back(csvCells(line));
            first = false;
        }
    }
    return output;
}

inline std::string joinCells(std::vector<std::string> const& cells) {
    std::string line;
    for (size_t i = 0; i < cells.size(); ++i) line += (i ? "," : "") + cells[i];
    return line;
}

// Every record of the finished files with this extension (".csv" or ".json") as the record
// reader gives it back, cells joined by '|', sorted; a line it cannot read is kept as
// "unreadable: TEXT", so that a comparison shows it.
inline std::vector<std::string> recordsIn(fs::path const& directory, std::string const& extension) {
    std::vector<std::string> rows;
    if (!fs::is_directory(directory)) return rows;
    for (auto const& entry : fs::directory_iterator(directory)) {
        if (entry.path().extension() != extension) continue;
        records::RowReader reader(entry.path().string());
        records::RowCells cells;
        for (auto result = reader.next(cells); result != records::RowReader::Result::End; result = reader.next(cells)) {
            if (result != records::RowReader::Result::Row) {
                rows.push_back("unreadable: " + std::string(reader.text()));
                continue;
            }
            std::string row;
            for (auto const& cell : cells) row.append(cell).append("|");
            rows.push_back(row);
        }
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

}  // namespace varno_test::csv
