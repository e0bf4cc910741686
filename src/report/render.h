#pragma once
// The three faces of a report: a plain-text summary for a terminal of 100 columns, one
// self-contained HTML page, and JSON for scripts (layout in the README).
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

#include "report/summary.h"

namespace report {

void renderText(Summary const& summary, std::ostream& out);
void renderHtml(Summary const& summary, std::ostream& out);
void renderJson(Summary const& summary, std::ostream& out);

// UTC forms of a time: "2024-05-01T12:00:00Z" from milliseconds, "2024-05-01" from seconds.
std::string isoTime(int64_t ms);
std::string isoDate(int64_t seconds);
// Text that arrived off the wire, made safe to print: invalid UTF-8 and control characters
// become "?".
std::string printable(std::string const& text);
// "1 handshake", "2 handshakes": a count and the noun that agrees with it.
std::string counted(uint64_t n, std::string_view one, std::string_view many);
// Percentage with one decimal, "0.0" when the whole is 0.
std::string percent(uint64_t part, uint64_t whole);

// The coverage of the certificate checks as one sentence: certificates visible in N of M
// handshakes, how many TLS 1.3 and QUIC hid, and the directories written without -c.
std::string coverageText(Summary const& summary);

// The share of saved ClientHellos that carry an Encrypted Client Hello extension, as one
// sentence that says what it cannot tell.
std::string echText(Summary const& summary);
// The share of saved hellos that offer ML-DSA signatures, with each level's count.
std::string mlDsaText(Summary const& summary);

// Handshakes per transport, the CSV's protocol types merged: "TLS/SSL over TCP", "DTLS over
// UDP", "QUIC over UDP".
struct TransportLine {
    std::string name;
    uint64_t handshakes = 0, tls13 = 0, postQuantum = 0;
};
std::vector<TransportLine> transportLines(Summary const& summary);

// A directory below a parent, as the parent's listing names it.
std::string lastComponent(std::string const& path);

}  // namespace report
