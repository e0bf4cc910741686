#include "export/exporter.h"

#include "base/error_text.h"
#include "base/log.h"
#include "record/cells.h"
#include "tls/tls_features.h"

void FlowExporter::exportRow(TLSFeatures const& features) {
    const auto now = std::chrono::steady_clock::now();
    each([&](RowFiles& files) {
        if (files.expired(now)) files.closeFile();
        // Opened before the row, so a file's age counts from its first row.
        if (!files.isOpen() && files.failure() == 0) files.openFile();
    });
    writeRow(features);
    // A failed write is tried again with each new row: a disk with room again is used at once.
    bool due = false;
    each([&](RowFiles& files) {
        due |= files.failure() != 0 || files.waitingBytes() >= RowFiles::writeSize || files.rowLimitReached();
    });
    if (due)
        write();
    else if (now - lastFlush >= maxUnflushed)
        flush();
}

void FlowExporter::flush() {
    lastFlush = std::chrono::steady_clock::now();
    write();
}

void FlowExporter::write() {
    auto const now = std::chrono::steady_clock::now();
    lastAttempt = now;
    each([](RowFiles& files) { files.writeWaiting(); });
    reportTrouble(now);
}

std::optional<std::chrono::steady_clock::time_point> FlowExporter::retryAt() const {
    bool const waits = (csv && rows.failure() != 0 && rows.waitingRows() != 0) ||
                       (json && jsonRows.failure() != 0 && jsonRows.waitingRows() != 0);
    if (!waits) return std::nullopt;
    return lastAttempt + retryInterval;
}

void FlowExporter::finish() {
    each([](RowFiles& files) { files.finish(); });
    reportTrouble(std::chrono::steady_clock::time_point::max());
}

// While rows wait or are lost, or certificates cannot be stored: their counts, at most once
// a report interval (the first failure itself is logged where it happens).
void FlowExporter::reportTrouble(std::chrono::steady_clock::time_point now) {
    // The format in trouble speaks for the output: the one that fails, else the one with more waiting.
    RowFiles const& worst = !json                                                ? rows
                            : !csv || jsonRows.failure() != 0                    ? jsonRows
                            : rows.failure() != 0                                ? rows
                            : jsonRows.waitingRows() > rows.waitingRows()        ? jsonRows
                                                                                 : rows;
    bool const news = rowsLost() != lostWhenReported || certificates.missing() != certificatesWhenReported;
    if (!news && worst.failure() == 0) return;
    if (now < lastReport + reportInterval && lastReport != std::chrono::steady_clock::time_point{}) return;
    lastReport = now;
    lostWhenReported = rowsLost();
    certificatesWhenReported = certificates.missing();
    if (worst.waitingRows() == 0 && rowsLost() == 0 && certificates.missing() == 0) return;
    std::string text = "Output incomplete: " + std::to_string(worst.waitingRows()) + " rows (" +
                       std::to_string(worst.waitingBytes()) + " bytes) wait in memory, " + std::to_string(rowsLost()) +
                       " rows lost, " + std::to_string(certificates.missing()) + " certificates not stored";
    if (worst.failure() != 0) text += "; " + worst.failedFile() + ": " + errorText(worst.failure());
    if (certificates.missing() != 0) text += "; last certificate failure: " + certificates.lastFailure();
    VARNO_LOG(warning) << text;
}

void FlowExporter::writeRow(TLSFeatures const& features) {
    if (!json) {
        std::string& row = rows.rowText();
        size_t const start = rows.rowStart();
        records::appendRow(row, features, certificates);
        rows.endRow(start);
        return;
    }
    // Each column's text once, for both formats: a chain is named (and stored) once.
    for (size_t column = 0; column < records::columnCount; ++column) {
        cells[column].clear();
        records::appendCellText(cells[column], column, features, certificates);
    }
    if (csv) {
        size_t const start = rows.rowStart();
        records::appendRow(rows.rowText(), cells);
        rows.endRow(start);
    }
    size_t const start = jsonRows.rowStart();
    jsonWriter.append(jsonRows.rowText(), features, cells);
    jsonRows.endRow(start);
}
