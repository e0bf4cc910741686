#pragma once
// The three faces of a report: a plain-text summary for a terminal of 100 columns, one
// self-contained HTML page, and JSON for scripts (layout in the README).
#include <cstdint>
#include <ostream>
#include <string>

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
// Percentage with one decimal, "0.0" when the whole is 0.
std::string percent(uint64_t part, uint64_t whole);

}  // namespace report
