#include "export/exporter.h"

#include "base/error_text.h"
#include "base/log.h"
#include "export/base64.h"
#include "export/settings.h"
#include "tls/tls_features.h"

namespace {

// Appends a cell as RFC 4180 wants it: unchanged unless it holds a separator, a quote or
// a line break, which would split the row; then quoted with inner quotes doubled.
void appendCell(std::string& row, std::string const& text) {
    bool plain = true;
    for (char c : text)
        if (c == ',' || c == '"' || c == '\r' || c == '\n') {
            plain = false;
            break;
        }
    if (plain) {
        row += text;
        return;
    }
    row += '"';
    for (char c : text) {
        if (c == '"') row += '"';
        row += c;
    }
    row += '"';
}

}  // namespace

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
    row += std::to_string(features.connectionTimestamp);
    // TLS from version 1.0 on; SSL for SSL 3.0 and for a handshake whose version stayed unknown.
    using Transport = TLSFeatures::Transport;
    row += features.transport == Transport::Quic   ? ",QUIC"
           : features.transport == Transport::Dtls ? ",DTLS"
           : features.versionCode >= 0x0301        ? ",TLS"
                                                   : ",SSL";
    for (std::string const* text :
         {&features.clientIPAddress, &features.clientPortNumber, &features.clientMACAddress, &features.serverIPAddress,
          &features.serverPortNumber, &features.serverMACAddress, &features.tlsVersion, &features.sni,
          &features.cipherSuiteCodePoint, &features.kexParameter, &features.tls13KexNamedGroupCodePoint}) {
        row += ',';
        appendCell(row, *text);
    }
    row += ',';
    row += certificates.chainCell(features.serverCertificateChain);
    row += features.isClientAuthRequested ? ",1," : ",0,";
    row += certificates.chainCell(features.clientCertificateChain);
    row += features.isRenegotiated ? ",1" : ",0";
    row += features.isCompressed ? ",1," : ",0,";
    appendBase64(row, features.keyShareExtension);
    row += ',';
    appendHandshakeMessages(row, features.handshakeMessages);
    row += '\n';
    rows.endRow(start);
}

std::string FlowExporter::encodeHandshakeMessages(std::map<std::string, std::string> const& messages) {
    std::string cell;
    appendHandshakeMessages(cell, messages);
    return cell;
}

void FlowExporter::appendHandshakeMessages(std::string& cell, std::map<std::string, std::string> const& messages) {
    if (messages.empty()) {
        cell += "\"\"";
        return;
    }
    // The compact JSON object, written straight into its CSV-quoted form (every quote
    // doubled). Keys are registry names and values Base64 text, so nothing needs JSON
    // escaping; this is byte for byte what nlohmann's dump gives, several times faster.
    size_t size = cell.size() + 4;
    for (auto const& [name, bytes] : messages) size += name.size() + (bytes.size() + 2) / 3 * 4 + 12;
    cell.reserve(size);
    cell += "\"{";
    bool first = true;
    for (auto const& [name, bytes] : messages) {
        if (!first) cell += ',';
        first = false;
        cell += "\"\"";
        cell += name;
        cell += "\"\":\"\"";
        appendBase64(cell, bytes);
        cell += "\"\"";
    }
    cell += "}\"";
}

void FlowExporter::appendBase64(std::string& text, std::string const& bytes) {
    base64Append(text, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

std::string FlowExporter::encodeByteString(std::string const& bytes) { return base64Text(bytes); }
