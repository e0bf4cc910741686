#include "report/csv_input.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

namespace report {

const std::string_view csvHeader =
    "ConnectionTimestamp,ProtocolType,ClientIPAddress,ClientPortNumber,ClientMACAddress,ServerIPAddress,"
    "ServerPortNumber,ServerMACAddress,TLSVersion,SNI,CipherSuiteCodePoint,TLSKEXParameter,"
    "TLS13KEXNamedGroupCodePoint,ServerCertificateChain,IsClientAuthRequested,ClientCertificateChain,"
    "IsRenegotiated,IsCompressed,KeyShareExtension,HandshakeMessages";

bool splitRow(std::string_view line, RowCells& cells) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    // Left: cells 0..8, none of which can hold a comma.
    size_t pos = 0;
    for (size_t i = 0; i < SNI; ++i) {
        size_t const comma = line.find(',', pos);
        if (comma == std::string_view::npos) return false;
        cells[i] = line.substr(pos, comma - pos);
        pos = comma + 1;
    }
    // Right: the quoted last cell, whose inner quotes come in pairs.
    if (line.size() < pos + 2 || line.back() != '"') return false;
    size_t open = line.size() - 1;
    while (true) {
        // Jump from quote to quote: the cell is long (Base64), its quotes are few.
        auto const* q = static_cast<char const*>(memrchr(line.data() + pos, '"', open - pos));
        if (!q) return false;
        open = static_cast<size_t>(q - line.data());
        if (open > pos && line[open - 1] == '"') {
            --open;  // a doubled quote inside the cell
            continue;
        }
        break;
    }
    if (open == pos || line[open - 1] != ',') return false;
    cells[HandshakeMessages] = line.substr(open, line.size() - open);
    size_t stop = open - 1;  // the comma before the last cell
    for (size_t i = HandshakeMessages - 1; i > SNI; --i) {
        size_t const comma = line.rfind(',', stop - 1);
        if (comma == std::string_view::npos || comma < pos || stop == 0) return false;
        cells[i] = line.substr(comma + 1, stop - comma - 1);
        stop = comma;
    }
    if (stop < pos) return false;
    cells[SNI] = line.substr(pos, stop - pos);
    return true;
}

std::vector<std::string> csvFiles(std::string const& dir, std::string& error) {
    std::vector<std::string> files;
    std::error_code ec;
    std::filesystem::directory_iterator it(dir, ec), end;
    if (ec) {
        error = ec.message();
        return files;
    }
    for (; it != end; it.increment(ec)) {
        if (ec) {
            error = ec.message();
            break;
        }
        auto const& path = it->path();
        if (path.extension() == ".csv" && it->is_regular_file(ec)) files.push_back(path.string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<std::string> subdirectoriesOf(std::string const& dir, std::string& error) {
    std::vector<std::string> dirs;
    std::error_code ec;
    std::filesystem::directory_iterator it(dir, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        std::error_code entry;  // an entry that cannot be examined is not an output directory
        if (it->is_directory(entry)) dirs.push_back(it->path().string());
    }
    if (ec) error = ec.message();
    std::sort(dirs.begin(), dirs.end());
    return dirs;
}

LineReader::LineReader(std::string const& path) : fileHolder(std::fopen(path.c_str(), "rb")), buffer(1u << 20) {
    file = fileHolder.get();
}

bool LineReader::next(std::string_view& line, bool& tooLong) {
    tooLong = false;
    if (!file) return false;
    while (true) {
        if (auto* nl = static_cast<char*>(std::memchr(buffer.data() + begin, '\n', end - begin))) {
            size_t const length = static_cast<size_t>(nl - (buffer.data() + begin));
            line = std::string_view(buffer.data() + begin, length);
            begin += length + 1;
            return true;
        }
        if (eof) {
            if (begin == end) return false;
            line = std::string_view(buffer.data() + begin, end - begin);  // last line without "\n"
            begin = end;
            return true;
        }
        // Move the partial line to the front, grow the buffer if the line fills it, read on.
        if (begin > 0) {
            std::memmove(buffer.data(), buffer.data() + begin, end - begin);
            end -= begin;
            begin = 0;
        }
        if (end == buffer.size()) {
            if (buffer.size() >= maxLine) {
                // Drop the long line up to its end, then report it once.
                end = 0;
                int c;
                while ((c = std::fgetc(file)) != EOF && c != '\n') {
                }
                tooLong = true;
                line = {};
                return true;
            }
            buffer.resize(buffer.size() * 2);
        }
        size_t const got = std::fread(buffer.data() + end, 1, buffer.size() - end, file);
        end += got;
        if (got == 0) eof = true;
    }
}

}  // namespace report
