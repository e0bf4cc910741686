#include "export/exporter.h"

#include "base/error_text.h"
#include "base/log.h"
#include "record/cells.h"
#include "tls/tls_features.h"

void FlowExporter::exportRow(TLSFeatures const& features) {
    const auto now = std::chrono::steady_clock::now();
    if (rows.expired(now)) rows.closeFile();
    // Opened before the row, so a file's age counts from its first row.
    if (!rows.isOpen() && rows.failure() == 0) rows.openFile();
    writeRow(features);
    // A failed write is tried again with each new row: a disk with room again is used at once.
    if (rows.failure() != 0 || rows.waitingBytes() >= RowFiles::writeSize || rows.rowLimitReached())
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
    rows.writeWaiting();
    reportTrouble(now);
}

std::optional<std::chrono::steady_clock::time_point> FlowExporter::retryAt() const {
    if (rows.failure() == 0 || rows.waitingRows() == 0) return std::nullopt;
    return lastAttempt + retryInterval;
}

void FlowExporter::finish() {
    rows.finish();
    reportTrouble(std::chrono::steady_clock::time_point::max());
}

// While rows wait or are lost, or certificates cannot be stored: their counts, at most once
// a report interval (the first failure itself is logged where it happens).
void FlowExporter::reportTrouble(std::chrono::steady_clock::time_point now) {
    bool const news = rows.lost() != lostWhenReported || certificates.missing() != certificatesWhenReported;
    if (!news && rows.failure() == 0) return;
    if (now < lastReport + reportInterval && lastReport != std::chrono::steady_clock::time_point{}) return;
    lastReport = now;
    lostWhenReported = rows.lost();
    certificatesWhenReported = certificates.missing();
    if (rows.waitingRows() == 0 && rows.lost() == 0 && certificates.missing() == 0) return;
    std::string text = "Output incomplete: " + std::to_string(rows.waitingRows()) + " rows (" +
                       std::to_string(rows.waitingBytes()) + " bytes) wait in memory, " + std::to_string(rows.lost()) +
                       " rows lost, " + std::to_string(certificates.missing()) + " certificates not stored";
    if (rows.failure() != 0) text += "; " + rows.failedFile() + ": " + errorText(rows.failure());
    if (certificates.missing() != 0) text += "; last certificate failure: " + certificates.lastFailure();
    VARNO_LOG(warning) << text;
}

void FlowExporter::writeRow(TLSFeatures const& features) {
    std::string& row = rows.rowText();
    size_t const start = rows.rowStart();
    records::appendRow(row, features, certificates);
    rows.endRow(start);
}
