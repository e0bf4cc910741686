#pragma once
// Reading the records back: the rows of a CSV file (RFC 4180: a quoted cell may hold commas,
// quotes and line breaks) or the objects of a JSON lines file, each as the cells of the
// column table in their CSV text, decoded; and the typed reading of those cells.
#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "record/columns.h"

namespace records {

using RowCells = std::array<std::string_view, columnCount>;

// The files that hold records, by name: NAME.csv and NAME.json, finished, and the same
// with ".tmp" while a sensor still writes them.
enum class FileKind { None, Csv, Json };
struct RecordFile {
    FileKind kind = FileKind::None;
    bool open = false;  // ".tmp": still being written, so only its complete lines are read
};
RecordFile recordFile(std::string_view name);

class RowReader {
public:
    // A record longer than this is skipped and reported, so a broken file cannot make
    // memory grow without bound.
    static constexpr size_t maxRecord = 64u << 20;

    explicit RowReader(std::string const& path);
    // Reads an open file from where it stands, and closes it at the end (an unlinked
    // temporary file, a pipe).
    RowReader(std::FILE* open, RecordFile form);
    ~RowReader();
    RowReader(RowReader const&) = delete;
    RowReader& operator=(RowReader const&) = delete;

    bool opened() const { return file != nullptr; }
    // True when reading stopped at an error rather than at the end of the file.
    bool failed() const;

    enum class Result { Row, Malformed, TooLong, End };
    // The next record, skipping a CSV header and empty lines. With Row the cells hold it
    // until the next call; otherwise problem() says what was wrong with the text.
    Result next(RowCells& cells);
    // The number of the line the last record started on, from 1.
    uint64_t line() const { return firstLine; }
    char const* problem() const { return why; }
    // The start of the last record's text, for messages.
    std::string_view text() const { return recordText; }

private:
    bool fill();
    Result nextCsv(RowCells& cells);
    Result nextJson(RowCells& cells);
    // Parses the CSV record at begin; 0 when the buffer does not hold all of it yet, else
    // the bytes it takes (malformed ones: its first line).
    size_t parseCsv(RowCells& cells, bool& ok);
    bool takeLine(std::string_view& line, bool& tooLong);
    void skipLongLine();

    struct Close {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, Close> fileHolder;
    std::FILE* file = nullptr;
    RecordFile kind;
    std::vector<char> buffer;
    size_t begin = 0, end = 0;
    bool eof = false;
    uint64_t nextLine = 1, firstLine = 0;
    char const* why = nullptr;
    std::string_view recordText;
    std::array<std::string, columnCount> decoded;  // cells that are not a plain slice of the text
};

// Typed reading of a cell.
// "0x" and four hex digits.
bool parseCode(std::string_view text, uint16_t& code);
// A whole decimal number.
bool parseNumber(std::string_view text, uint64_t& value);
// "0" or "1".
inline bool isFlag(std::string_view text) { return text == "0" || text == "1"; }
// 40 lower-case hex digits: a certificate's name in a chain cell.
bool isDigest(std::string_view text);
// The first digest of a chain cell, which is then cut from chain; chain is empty at the end.
std::string_view takeDigest(std::string_view& chain);
// "address:port", the IPv6 address in brackets, written over key.
void serverKey(std::string& key, std::string_view address, std::string_view port);
// The Base64 value of a member of the HandshakeMessages cell (a JSON object); empty when
// it has none.
std::string_view messageValue(std::string_view messages, std::string_view name);

}  // namespace records
