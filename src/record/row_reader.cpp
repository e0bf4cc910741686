#include "record/row_reader.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace records {

RecordFile recordFile(std::string_view name) {
    RecordFile file;
    constexpr std::string_view tmp = ".tmp";
    if (name.size() > tmp.size() && name.substr(name.size() - tmp.size()) == tmp) {
        file.open = true;
        name.remove_suffix(tmp.size());
    }
    auto const endsWith = [&](std::string_view suffix) {
        return name.size() > suffix.size() && name.substr(name.size() - suffix.size()) == suffix;
    };
    file.kind = endsWith(".csv") ? FileKind::Csv : endsWith(".json") ? FileKind::Json : FileKind::None;
    return file;
}

RowReader::RowReader(std::string const& path) : fileHolder(std::fopen(path.c_str(), "rb")), buffer(1u << 20) {
    file = fileHolder.get();
    kind = recordFile(std::string_view(path).substr(path.rfind('/') + 1));
    if (kind.kind == FileKind::None) kind.kind = FileKind::Csv;
}

RowReader::RowReader(std::FILE* open, RecordFile form) : fileHolder(open), kind(form), buffer(1u << 20) {
    file = fileHolder.get();
}

RowReader::~RowReader() = default;

bool RowReader::failed() const { return file != nullptr && std::ferror(file) != 0; }

// Moves the unread bytes to the front and reads on, growing the buffer when they fill it;
// false when the buffer is at its bound and full.
bool RowReader::fill() {
    if (begin > 0) {
        std::memmove(buffer.data(), buffer.data() + begin, end - begin);
        end -= begin;
        begin = 0;
    }
    if (end == buffer.size()) {
        if (buffer.size() >= maxRecord) return false;
        buffer.resize(buffer.size() * 2);
    }
    size_t const got = std::fread(buffer.data() + end, 1, buffer.size() - end, file);
    end += got;
    if (got == 0) eof = true;
    return true;
}

// Drops the line that fills the whole buffer, up to its end.
void RowReader::skipLongLine() {
    begin = end = 0;
    int c;
    while ((c = std::fgetc(file)) != EOF && c != '\n') {
    }
    if (c == EOF) eof = true;
    ++nextLine;
}

RowReader::Result RowReader::next(RowCells& cells) {
    why = nullptr;
    recordText = {};
    if (!file) return Result::End;
    return kind.kind == FileKind::Json ? nextJson(cells) : nextCsv(cells);
}

RowReader::Result RowReader::nextCsv(RowCells& cells) {
    while (true) {
        if (begin == end && !eof && !fill()) return Result::End;
        if (begin == end) return Result::End;
        char const* const at = buffer.data() + begin;
        // Empty lines are no records.
        size_t const blank = at[0] == '\n' ? 1 : (end - begin >= 2 && at[0] == '\r' && at[1] == '\n') ? 2 : 0;
        if (blank) {
            begin += blank;
            ++nextLine;
            continue;
        }
        bool ok = true;
        size_t const used = parseCsv(cells, ok);
        if (used == 0) {
            // The buffer ends inside the record: at the end of a file still being written
            // that is a row not written whole yet, and it is left for a later reading.
            if (eof) {
                begin = end;
                return Result::End;
            }
            if (!fill()) {
                firstLine = nextLine;
                skipLongLine();
                why = "line too long";
                return Result::TooLong;
            }
            continue;
        }
        firstLine = nextLine;
        recordText = std::string_view(buffer.data() + begin, std::min<size_t>(used, 200));
        nextLine += static_cast<uint64_t>(std::count(buffer.data() + begin, buffer.data() + begin + used, '\n'));
        begin += used;
        if (firstLine == 1 && recordText.substr(0, columns[0].name.size()) == columns[0].name) continue;  // the header
        return ok ? Result::Row : Result::Malformed;
    }
}

size_t RowReader::parseCsv(RowCells& cells, bool& ok) {
    char const* const base = buffer.data();
    bool const endIsLineEnd = eof && !kind.open;  // a finished file's last line may lack its "\n"
    // A record that cannot be read costs its first line only: the next line is read afresh.
    auto const bad = [&](char const* reason) -> size_t {
        why = reason;
        ok = false;
        auto const* nl = static_cast<char const*>(std::memchr(base + begin, '\n', end - begin));
        if (nl) return static_cast<size_t>(nl - base) + 1 - begin;
        return endIsLineEnd ? end - begin : 0;
    };
    size_t pos = begin, column = 0;
    while (true) {
        if (column == columnCount) return bad("more cells than columns");
        if (pos < end && base[pos] == '"') {
            size_t const start = pos + 1;
            size_t scan = start;
            bool doubled = false;
            while (true) {
                auto const* q = static_cast<char const*>(std::memchr(base + scan, '"', end - scan));
                if (!q) return endIsLineEnd ? bad("a quoted cell is not closed") : 0;
                scan = static_cast<size_t>(q - base);
                if (scan + 1 == end && !endIsLineEnd) return 0;
                if (scan + 1 < end && base[scan + 1] == '"') {
                    doubled = true;
                    scan += 2;
                    continue;
                }
                break;
            }
            std::string_view const raw(base + start, scan - start);
            if (doubled) {
                // Copied from pair to pair, keeping the first quote of each.
                std::string& cell = decoded[column];
                cell.clear();
                for (size_t from = 0; from < raw.size();) {
                    size_t const quote = std::min(raw.find('"', from), raw.size() - 1);
                    cell.append(raw.data() + from, quote + 1 - from);
                    from = quote + 2;
                }
                cells[column] = cell;
            } else {
                cells[column] = raw;
            }
            pos = scan + 1;
        } else {
            // A plain loop: most cells are a few bytes, where a call per character class costs more.
            size_t p = pos;
            while (p < end && base[p] != ',' && base[p] != '\n' && base[p] != '"') ++p;
            if (p < end && base[p] == '"') return bad("a quote inside an unquoted cell");
            if (p == end && !endIsLineEnd) return 0;
            size_t stop = p;
            if (stop > pos && base[stop - 1] == '\r' && (p == end || base[p] == '\n')) --stop;
            cells[column] = std::string_view(base + pos, stop - pos);
            pos = stop;
        }
        ++column;
        if (pos == end) {
            if (!endIsLineEnd) return 0;
            break;
        }
        if (base[pos] == ',') {
            ++pos;
            continue;
        }
        if (base[pos] == '\r' && pos + 1 < end && base[pos + 1] == '\n') ++pos;
        if (base[pos] == '\n') {
            ++pos;
            break;
        }
        if (base[pos] == '\r' && pos + 1 == end) return endIsLineEnd ? end - begin : 0;
        return bad("text after a quoted cell");
    }
    if (column != columnCount) {
        why = "fewer cells than columns";
        ok = false;
    }
    return pos - begin;
}

// The next line of a JSON lines file without its "\n"; a last line without one is left
// alone in a file still being written.
bool RowReader::takeLine(std::string_view& line, bool& tooLong) {
    tooLong = false;
    while (true) {
        if (auto const* nl = static_cast<char const*>(std::memchr(buffer.data() + begin, '\n', end - begin))) {
            line = std::string_view(buffer.data() + begin, static_cast<size_t>(nl - buffer.data()) - begin);
            begin += line.size() + 1;
            return true;
        }
        if (eof) {
            if (begin == end || kind.open) return false;
            line = std::string_view(buffer.data() + begin, end - begin);
            begin = end;
            return true;
        }
        if (!fill()) {
            skipLongLine();
            --nextLine;  // counted by the caller
            tooLong = true;
            return true;
        }
    }
}

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

// By hand: std::from_chars costs several times more, on every row.
bool parseCode(std::string_view text, uint16_t& code) {
    if (text.size() != 6 || text[0] != '0' || text[1] != 'x') return false;
    unsigned value = 0;
    for (size_t i = 2; i < 6; ++i) {
        int const digit = hexDigit(text[i]);
        if (digit < 0) return false;
        value = value << 4 | static_cast<unsigned>(digit);
    }
    code = static_cast<uint16_t>(value);
    return true;
}

bool parseNumber(std::string_view text, uint64_t& value) {
    auto const result = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && result.ec == std::errc() && result.ptr == text.data() + text.size();
}

// A plain loop: find_first_not_of would scan the set of digits once per character.
bool isDigest(std::string_view text) {
    if (text.size() != 40) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

std::string_view takeDigest(std::string_view& chain) {
    auto const colon = chain.find(':');
    std::string_view const digest = chain.substr(0, colon);
    chain = colon == std::string_view::npos ? std::string_view{} : chain.substr(colon + 1);
    return digest;
}

void serverKey(std::string& key, std::string_view address, std::string_view port) {
    bool const v6 = address.find(':') != std::string_view::npos;
    key.clear();
    if (v6) key += '[';
    key += address;
    key += v6 ? "]:" : ":";
    key += port;
}

std::string_view messageValue(std::string_view messages, std::string_view name) {
    // Keys are registry names and values Base64: no escapes to mind.
    size_t at = 0;
    while ((at = messages.find(name, at)) != std::string_view::npos) {
        size_t const after = at + name.size();
        bool const key = at > 0 && messages[at - 1] == '"' && messages.substr(after, 3) == "\":\"";
        at = after;
        if (!key) continue;
        size_t const start = after + 3, stop = messages.find('"', start);
        return stop == std::string_view::npos ? std::string_view{} : messages.substr(start, stop - start);
    }
    return {};
}

}  // namespace records
