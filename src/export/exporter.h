#pragma once
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "export/certificate_store.h"
#include "export/json_lines.h"
#include "export/row_files.h"
#include "export/settings.h"

struct TLSFeatures;

// Turns the records of complete handshakes into CSV rows or JSON lines (or both) in rotating
// files (RowFiles) and stores their certificates (CertificateStore). Rows that cannot be written wait in
// memory and are written, in order, at the next attempt: with each new row and, while
// they wait, every retryInterval.
class FlowExporter {
public:
    // Rows of a steady stream wait at most this long before they are handed to the file.
    static constexpr std::chrono::seconds maxUnflushed{1};
    // Between two attempts to write rows that wait, when no new row comes.
    static constexpr std::chrono::seconds retryInterval{3};
    // Between two log records about rows that wait or are lost.
    static constexpr std::chrono::seconds reportInterval{60};

    // Where and how rows and certificates go; the settings outlive the exporter.
    explicit FlowExporter(ExportSettings const& settings = ExportSettings::instance())
        : csv(settings.csv), json(settings.json), rows(settings), jsonRows(settings, ".json", ""),
          certificates(settings.outputDir) {}
    FlowExporter(FlowExporter const&) = delete;
    FlowExporter& operator=(FlowExporter const&) = delete;

    // Writes one row, first closing a file that is due and opening one when none is
    // open, and closes the file once it holds the row limit.
    void exportRow(TLSFeatures const& features);
    // Hands the rows formatted so far to the file system (or tries again to).
    void flush();
    // When the rows that wait for a failed write are to be tried again; none when no row waits.
    std::optional<std::chrono::steady_clock::time_point> retryAt() const;
    // Ends the run: writes what it can, publishes the file; rows still waiting are lost.
    void finish();

    void openFile() {
        each([](RowFiles& files) { files.openFile(); });
    }
    void closeFile() {
        each([](RowFiles& files) { files.closeFile(); });
    }
    std::string getOutputFilename(std::string const& prefix) { return first().getOutputFilename(prefix); }
    std::string const& currentFile() const { return first().currentFile(); }
    // Formats one row into the rows waiting for the file.
    void writeRow(TLSFeatures const& features);

    std::string writeCertificates(std::vector<std::string> const& chain) { return certificates.chainCell(chain); }

    // Rows in files (any thread may ask), rows lost to write errors, certificates not stored.
    // With several formats a row counts as written once it is in each, as lost when any lost it.
    uint64_t rowsWritten() const { return csv && json ? std::min(rows.written(), jsonRows.written()) : first().written(); }
    uint64_t rowsLost() const { return csv && json ? std::max(rows.lost(), jsonRows.lost()) : first().lost(); }
    uint64_t filesFinished() const { return (csv ? rows.filesFinished() : 0) + (json ? jsonRows.filesFinished() : 0); }
    uint64_t certificatesLost() const { return certificates.missing(); }

    // Finishes the ".tmp" files that a killed run left in directory under this prefix:
    // cuts a partial last row, renames the file to ".csv" (never over an existing name),
    // removes one that holds no row, and logs a warning for each. A file still locked by a
    // running exporter is left alone. Returns the number of files handled.
    static int finishLeftovers(std::string const& directory, std::string const& prefix);

private:
    void write();
    void reportTrouble(std::chrono::steady_clock::time_point now);
    template <typename Visit>
    void each(Visit visit) {
        if (csv) visit(rows);
        if (json) visit(jsonRows);
    }
    RowFiles const& first() const { return csv ? rows : jsonRows; }
    RowFiles& first() { return csv ? rows : jsonRows; }

    bool const csv, json;
    RowFiles rows;      // CSV
    RowFiles jsonRows;  // JSON lines
    JsonLineWriter jsonWriter;
    std::array<std::string, records::columnCount> cells;  // a row's texts, when JSON needs them
    CertificateStore certificates;
    std::chrono::steady_clock::time_point lastFlush{};
    std::chrono::steady_clock::time_point lastAttempt{};
    std::chrono::steady_clock::time_point lastReport{};
    uint64_t lostWhenReported = 0;
    uint64_t certificatesWhenReported = 0;
};
