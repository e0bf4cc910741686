#include "record/cells.h"

#include "record/base64.h"
#include "record/certificate_path.h"
#include "record/columns.h"
#include "tls/tls_features.h"

namespace records {

void appendCell(std::string& row, std::string_view text) {
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

void appendBase64(std::string& text, std::string_view bytes) {
    base64Append(text, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

void appendHandshakeMessages(std::string& cell, std::map<std::string, std::string> const& messages) {
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

std::string certificateRelativePath(std::string_view digest) {
    std::string path;
    path.reserve(digest.size() + 10);
    path.append(digest.substr(0, 2)).append("/").append(digest.substr(2, 2)).append("/").append(digest).append(".pem");
    return path;
}

std::string certificatePath(std::string_view dir, std::string_view digest) {
    std::string path(dir);
    if (!path.empty() && path.back() != '/') path += '/';
    return path + certificateRelativePath(digest);
}

namespace {

// The value of each column, in table order: a new column is an entry here beside its
// entry in the column table.
using CellWriter = void (*)(std::string& row, TLSFeatures const& f, CertificateNamer& certificates);

void flag(std::string& row, bool set) { row += set ? '1' : '0'; }

constexpr CellWriter cellWriters[] = {
    [](std::string& row, TLSFeatures const& f, CertificateNamer&) { row += std::to_string(f.connectionTimestamp); },
    // TLS from version 1.0 on; SSL for SSL 3.0 and for a handshake whose version stayed unknown.
    [](std::string& row, TLSFeatures const& f, CertificateNamer&) {
        using Transport = TLSFeatures::Transport;
        row += f.transport == Transport::Quic   ? "QUIC"
               : f.transport == Transport::Dtls ? "DTLS"
               : f.versionCode >= 0x0301        ? "TLS"
                                                : "SSL";
    },
    [](std::string& row, TLSFeatures const& f, CertificateNamer&) { appendCell(row, f.clientIPAddress); },
    [](std::string& row, TLSFeatures const& f, CertificateNamer&) { appendCell(row, f.clientPortNumber); },
    [](std::string& row, TLSFeatures const& f, CertificateNamer&) { appendCell(row, f.clientMACAddress); },
    [](std::string& row, TLSFeatures const& f, CertificateNamer&) { appendCell(row, f.serverIPAddress); },
    [](std::string& row, TLSFeatures const& f, CertificateNamer&) { appendCell(row, f.serverPortNumber); },
    [](std::string& row, TLSFeatures const& f, CertificateNamer&) { appendCell(row, f.serverMACAddress); },
    [](std::string& row, TLSFeatures const& f, CertificateNamer&) { appendCell(row, f.tlsVersion); },
    [](std::string& row, TLSFeatures const& f, CertificateNamer&) { appendCell(row, f.sni); },
    [](std::string& row, TLSFeatures const& f, CertificateNamer&) { appendCell(row, f.cipherSuiteCodePoint); },
    [](std::string& row, TLSFeatures const& f, CertificateNamer&) { appendCell(row, f.kexParameter); },
    [](std::string& row, TLSFeatures const& f, CertificateNamer&) { appendCell(row, f.tls13KexNamedGroupCodePoint); },
    [](std::string& row, TLSFeatures const& f, CertificateNamer& c) { c.appendChain(row, f.serverCertificateChain); },
    [](std::string& row, TLSFeatures const& f, CertificateNamer&) { flag(row, f.isClientAuthRequested); },
    [](std::string& row, TLSFeatures const& f, CertificateNamer& c) { c.appendChain(row, f.clientCertificateChain); },
    [](std::string& row, TLSFeatures const& f, CertificateNamer&) { flag(row, f.isRenegotiated); },
    [](std::string& row, TLSFeatures const& f, CertificateNamer&) { flag(row, f.isCompressed); },
    [](std::string& row, TLSFeatures const& f, CertificateNamer&) { appendBase64(row, f.keyShareExtension); },
    [](std::string& row, TLSFeatures const& f, CertificateNamer&) { appendHandshakeMessages(row, f.handshakeMessages); },
};
static_assert(std::size(cellWriters) == columnCount, "every column of the table has its value");

}  // namespace

void appendRow(std::string& row, TLSFeatures const& features, CertificateNamer& certificates) {
    for (size_t column = 0; column < columnCount; ++column) {
        if (column != 0) row += ',';
        cellWriters[column](row, features, certificates);
    }
    row += '\n';
}

}  // namespace records
