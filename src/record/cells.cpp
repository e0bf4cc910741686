#include "record/cells.h"

#include <algorithm>

#include "record/base64.h"
#include "record/certificate_path.h"
#include "record/columns.h"
#include "tls/tls_features.h"

namespace records {

namespace {
bool needsQuotes(std::string_view text) {
    for (char c : text)
        if (c == ',' || c == '"' || c == '\r' || c == '\n') return true;
    return false;
}

// Quotes what was appended to row from `at` on, inner quotes doubled, in place.
void quoteFrom(std::string& row, size_t at) {
    size_t const quotes = static_cast<size_t>(std::count(row.begin() + long(at), row.end(), '"'));
    size_t from = row.size();
    row.resize(row.size() + quotes + 2);
    size_t to = row.size();
    row[--to] = '"';
    while (from > at) {
        char const c = row[--from];
        row[--to] = c;
        if (c == '"') row[--to] = '"';
    }
    row[--to] = '"';
}
}  // namespace

void appendCell(std::string& row, std::string_view text) {
    size_t const at = row.size();
    row += text;
    if (needsQuotes(text)) quoteFrom(row, at);
}

void appendBase64(std::string& text, std::string_view bytes) {
    base64Append(text, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

void appendHandshakeMessages(std::string& text, std::map<std::string, std::string> const& messages) {
    if (messages.empty()) return;
    // The compact JSON object. Keys are registry names and values Base64 text, so nothing
    // needs JSON escaping; this is byte for byte what nlohmann's dump gives, several times
    // faster.
    size_t size = text.size() + 2;
    for (auto const& [name, bytes] : messages) size += name.size() + (bytes.size() + 2) / 3 * 4 + 6;
    text.reserve(size);
    text += '{';
    bool first = true;
    for (auto const& [name, bytes] : messages) {
        if (!first) text += ',';
        first = false;
        text += '"';
        text += name;
        text += "\":\"";
        appendBase64(text, bytes);
        text += '"';
    }
    text += '}';
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

// The value of each column as plain text, in table order: a new column is an entry here
// beside its entry in the column table. The CSV row quotes it, the JSON object takes its form.
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
    [](std::string& row, TLSFeatures const& f, CertificateNamer&) { row.append(f.clientIPAddress); },
    [](std::string& row, TLSFeatures const& f, CertificateNamer&) { row.append(f.clientPortNumber); },
    [](std::string& row, TLSFeatures const& f, CertificateNamer&) { row.append(f.clientMACAddress); },
    [](std::string& row, TLSFeatures const& f, CertificateNamer&) { row.append(f.serverIPAddress); },
    [](std::string& row, TLSFeatures const& f, CertificateNamer&) { row.append(f.serverPortNumber); },
    [](std::string& row, TLSFeatures const& f, CertificateNamer&) { row.append(f.serverMACAddress); },
    [](std::string& row, TLSFeatures const& f, CertificateNamer&) { row.append(f.tlsVersion); },
    [](std::string& row, TLSFeatures const& f, CertificateNamer&) { row.append(f.sni); },
    [](std::string& row, TLSFeatures const& f, CertificateNamer&) { row.append(f.cipherSuiteCodePoint); },
    [](std::string& row, TLSFeatures const& f, CertificateNamer&) { row.append(f.kexParameter); },
    [](std::string& row, TLSFeatures const& f, CertificateNamer&) { row.append(f.tls13KexNamedGroupCodePoint); },
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

void appendCellText(std::string& text, size_t column, TLSFeatures const& features, CertificateNamer& certificates) {
    cellWriters[column](text, features, certificates);
}

void appendRow(std::string& row, TLSFeatures const& features, CertificateNamer& certificates) {
    for (size_t column = 0; column < columnCount; ++column) {
        if (column != 0) row += ',';
        size_t const at = row.size();
        cellWriters[column](row, features, certificates);
        std::string_view const text(row.data() + at, row.size() - at);
        // The messages cell is always quoted: "" when there is none.
        if (column == HandshakeMessages || needsQuotes(text)) quoteFrom(row, at);
    }
    row += '\n';
}

void appendRow(std::string& row, std::array<std::string, columnCount> const& cells) {
    for (size_t column = 0; column < columnCount; ++column) {
        if (column != 0) row += ',';
        size_t const at = row.size();
        row += cells[column];
        if (column == HandshakeMessages || needsQuotes(cells[column])) quoteFrom(row, at);
    }
    row += '\n';
}

}  // namespace records
