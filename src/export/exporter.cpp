#include "export/exporter.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <system_error>

#include "base/log.h"
#include "export/base64.h"
#include "export/output_files.h"
#include "export/settings.h"
#include "export/sha1.h"
#include "tls/tls_features.h"

namespace fs = boost::filesystem;
using namespace output_files;

const char* const FlowExporter::headerLine =
    "ConnectionTimestamp,ProtocolType,ClientIPAddress,ClientPortNumber,ClientMACAddress,ServerIPAddress,"
    "ServerPortNumber,ServerMACAddress,TLSVersion,SNI,CipherSuiteCodePoint,TLSKEXParameter,"
    "TLS13KEXNamedGroupCodePoint,ServerCertificateChain,IsClientAuthRequested,ClientCertificateChain,"
    "IsRenegotiated,IsCompressed,KeyShareExtension,HandshakeMessages";

namespace {

constexpr int64_t nanosPerMinute = 60'000'000'000;

// Upper bound on names tried for one file; only reached if the directory is flooded
// with files of our own naming pattern.
constexpr int maxNameAttempts = 100000;

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

FlowExporter::~FlowExporter() {
    // An unfinished file keeps its ".tmp" name, so readers never take it for complete.
    writeOut();
    if (output.is_open()) output.close();
    releaseLock();
}

void FlowExporter::exportRow(TLSFeatures const& features) {
    const auto now = std::chrono::steady_clock::now();
    if (fileExpired(now)) closeFile();
    if (!output.is_open()) openFile();
    writeRow(features);
    if (rowsInFile == ExportSettings::instance().exportThreshold)
        closeFile();
    else if (now - lastFlush >= maxUnflushed)
        flush();
}

void FlowExporter::flush() {
    lastFlush = std::chrono::steady_clock::now();
    writeOut();
    if (!output.is_open()) return;
    output.flush();
    if (!output) reportFileError("Cannot write output file ");
}

void FlowExporter::releaseLock() {
    if (lockFd >= 0) ::close(lockFd);
    lockFd = -1;
}

bool FlowExporter::fileExpired(std::chrono::steady_clock::time_point now) const {
    int64_t minutes = ExportSettings::instance().exportDuration;
    int64_t opened = std::chrono::duration_cast<std::chrono::nanoseconds>(fileOpenedAt.time_since_epoch()).count();
    int64_t span, deadline;
    if (__builtin_mul_overflow(minutes, nanosPerMinute, &span) || __builtin_add_overflow(opened, span, &deadline))
        return minutes < 0;  // beyond the 64-bit range: a huge limit is no limit, a huge negative one always passed
    return std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count() > deadline;
}

std::string FlowExporter::getOutputFilename(std::string prefix) {
    std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[16];
    std::string timestamp(stamp, std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &local));

    std::string suffix;
    if (timestamp == lastTimestamp)
        suffix = "_" + std::to_string(fileSequence);
    else
        fileSequence = 0;
    lastTimestamp = timestamp;
    ++fileSequence;
    return prefix + "_" + timestamp + suffix + ".csv";
}

void FlowExporter::openFile() {
    ExportSettings const& config = ExportSettings::instance();
    output.clear();
    fileErrorLogged = false;
    releaseLock();

    // Names repeat across runs and clock changes: skip every name whose ".csv" or ".tmp"
    // already exists instead of replacing someone's data.
    int error = EEXIST;
    for (int attempt = 0; attempt < maxNameAttempts && error == EEXIST; ++attempt) {
        currentPath = config.outputDir + "/" + getOutputFilename(config.outputPrefix);
        error = probe(currentPath);
        if (error != 0) continue;
        int fd = createExclusive(currentPath + ".tmp");
        error = fd < 0 ? errno : 0;
        if (fd >= 0) {
            // Held while the file is written: a run starting meanwhile in the same
            // directory leaves a locked ".tmp" alone instead of taking it for a leftover.
            if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
                VARNO_LOG(warning) << "Cannot lock output file " << currentPath << ".tmp: " << errorText(errno)
                                   << "; a run started meanwhile may take it for a leftover";
            lockFd = fd;
        }
    }
    if (error == 0) output.open(currentPath + ".tmp", std::ios::out | std::ios::trunc | std::ios::binary);

    if (output.is_open()) {
        openErrorLogged = false;
        output << headerLine << '\n';
    } else {
        // Rows are dropped until a later flow manages to open a file; one message per outage.
        if (!openErrorLogged)
            VARNO_LOG(error) << "Cannot create output file " << currentPath << ".tmp: "
                             << (error == 0 ? std::string("open failed") : errorText(error));
        openErrorLogged = true;
        output.setstate(std::ios::failbit);
        releaseLock();
        currentPath.clear();
    }
    rowsInFile = 0;
    fileOpenedAt = lastFlush = std::chrono::steady_clock::now();
}

void FlowExporter::closeFile() {
    writeOut();
    if (!output.is_open()) return;
    output.close();
    if (output.fail()) reportFileError("Cannot write output file ");
    // Published even after a write error: whatever reached the file is kept for the reader.
    if (int error = publish(currentPath + ".tmp", currentPath))
        VARNO_LOG(error) << "Cannot rename output file " << currentPath << ".tmp to " << currentPath << ": "
                         << errorText(error);
    releaseLock();
    currentPath.clear();
}

void FlowExporter::reportFileError(char const* what) {
    if (fileErrorLogged) return;
    fileErrorLogged = true;
    VARNO_LOG(error) << what << currentPath << ".tmp";
}

void FlowExporter::writeRow(TLSFeatures const& features) {
    // Rows gather in one buffer written in large pieces: the stream writes every piece of
    // a kilobyte or more (a row with certificates or messages) with a system call of its own.
    std::string& row = unwritten;
    row += std::to_string(features.connectionTimestamp);
    row += features.tlsVersion.starts_with("TLS") ? ",TLS" : ",SSL";
    for (std::string const* text :
         {&features.clientIPAddress, &features.clientPortNumber, &features.clientMACAddress, &features.serverIPAddress,
          &features.serverPortNumber, &features.serverMACAddress, &features.tlsVersion, &features.sni,
          &features.cipherSuiteCodePoint, &features.kexParameter, &features.tls13KexNamedGroupCodePoint}) {
        row += ',';
        appendCell(row, *text);
    }
    row += ',';
    row += writeCertificates(features.serverCertificateChain);
    row += features.isClientAuthRequested ? ",1," : ",0,";
    row += writeCertificates(features.clientCertificateChain);
    row += features.isRenegotiated ? ",1" : ",0";
    row += features.isCompressed ? ",1," : ",0,";
    row += encodeByteString(features.keyShareExtension);
    row += ',';
    row += encodeHandshakeMessages(features.handshakeMessages);
    row += '\n';
    ++rowsInFile;
    if (unwritten.size() >= writeSize) writeOut();
}

void FlowExporter::writeOut() {
    if (output.is_open() && !unwritten.empty()) {
        output.write(unwritten.data(), std::streamsize(unwritten.size()));
        if (!output) reportFileError("Cannot write output file ");
    }
    unwritten.clear();
}

std::string FlowExporter::writeCertificates(std::vector<std::string> const& chain) {
    std::string cell;
    bool first = true;
    for (std::string const& certificate : chain) {
        if (!first) cell += ':';
        first = false;
        cell += certificateDigest(certificate);
    }
    return cell;
}

std::string FlowExporter::certificateDigest(std::string const& der) {
    constexpr size_t maxKnownCertificates = 4096;
    auto known = knownCertificates.find(der);
    if (known != knownCertificates.end()) return known->second;

    Sha1 sha1;
    sha1.update(reinterpret_cast<const unsigned char*>(der.data()), der.size());
    std::string digest = sha1.finalHex();
    try {
        storeCertificate(der, digest);
    } catch (std::exception const& e) {
        // A certificate that cannot be stored costs its file, not the export: the row
        // still names it by digest. It is not remembered, so a later flow tries again.
        VARNO_LOG(error) << "Cannot store certificate " << digest << ": " << e.what();
        return digest;
    }
    if (knownCertificates.size() >= maxKnownCertificates) knownCertificates.clear();
    knownCertificates.emplace(der, digest);
    return digest;
}

void FlowExporter::storeCertificate(std::string const& der, std::string const& digest) {
    fs::path first = fs::path(ExportSettings::instance().outputDir) / digest.substr(0, 2);
    fs::path second = first / digest.substr(2, 2);
    fs::path file = second / (digest + ".pem");

    // Any entry under the name means stored: files of the store are never rewritten.
    if (fs::exists(fs::symlink_status(file))) return;
    if (!fs::exists(first)) fs::create_directory(first);
    if (!fs::exists(second)) fs::create_directory(second);

    int fd = createExclusive(file.string());
    if (fd < 0) {
        if (errno == EEXIST) return;
        throw std::system_error(errno, std::generic_category(), "open " + file.string());
    }
    std::string pem = "-----BEGIN CERTIFICATE-----\n" + encodeByteString(der) + "\n-----END CERTIFICATE-----\n";
    int error = writeAll(fd, pem);
    if (::close(fd) != 0 && error == 0 && errno != EINTR) error = errno;
    if (error != 0) {
        // A truncated file would pass for stored forever; it is ours, so take it back.
        ::unlink(file.c_str());
        throw std::system_error(error, std::generic_category(), "write " + file.string());
    }
}

std::string FlowExporter::encodeHandshakeMessages(std::map<std::string, std::string> const& messages) {
    if (messages.empty()) return "\"\"";
    // The compact JSON object, written straight into its CSV-quoted form (every quote
    // doubled). Keys are registry names and values Base64 text, so nothing needs JSON
    // escaping; this is byte for byte what nlohmann's dump gives, several times faster.
    size_t size = 4;
    for (auto const& [name, bytes] : messages) size += name.size() + (bytes.size() + 2) / 3 * 4 + 12;
    std::string cell;
    cell.reserve(size);
    cell += "\"{";
    bool first = true;
    for (auto const& [name, bytes] : messages) {
        if (!first) cell += ',';
        first = false;
        cell += "\"\"";
        cell += name;
        cell += "\"\":\"\"";
        cell += encodeByteString(bytes);
        cell += "\"\"";
    }
    cell += "}\"";
    return cell;
}

std::string FlowExporter::encodeByteString(std::string const& bytes) {
    // base64_encode counts in 32 bits; longer input goes in pieces of whole 3-byte groups.
    constexpr size_t piece = size_t(3) << 30;
    const unsigned char* data = reinterpret_cast<const unsigned char*>(bytes.data());
    std::string text;
    for (size_t done = 0; done < bytes.size(); done += piece) {
        size_t length = bytes.size() - done < piece ? bytes.size() - done : piece;
        text += base64_encode(data + done, uint32_t(length));
    }
    return text;
}
