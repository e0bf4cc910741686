#pragma once
// The cells of a CSV row as the record's table wants them written.
#include <array>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "record/columns.h"

struct TLSFeatures;

namespace records {

// Names a chain's certificates in a row by their digests, storing each where readers look
// for it (the certificate store).
class CertificateNamer {
public:
    // Appends the digests of the chain, leaf first, joined by ':'.
    virtual void appendChain(std::string& row, std::vector<std::string> const& chain) = 0;

protected:
    ~CertificateNamer() = default;
};

// Appends a cell as RFC 4180 wants it: unchanged unless it holds a separator, a quote or a
// line break, which would split the row; then quoted with inner quotes doubled.
void appendCell(std::string& row, std::string_view text);

// Standard padded Base64 of bytes, appended.
void appendBase64(std::string& text, std::string_view bytes);

// The HandshakeMessages value: the compact JSON object of message name to Base64 bytes;
// nothing when there is none.
void appendHandshakeMessages(std::string& text, std::map<std::string, std::string> const& messages);

// The value of one column of the table as plain text, before any CSV quoting.
void appendCellText(std::string& text, size_t column, TLSFeatures const& features, CertificateNamer& certificates);

// One CSV row of the record, with its line break, in the order of the column table.
void appendRow(std::string& row, TLSFeatures const& features, CertificateNamer& certificates);
// The same from the columns' texts (appendCellText), when other formats need them too.
void appendRow(std::string& row, std::array<std::string, columnCount> const& cells);

}  // namespace records
