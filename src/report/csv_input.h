#pragma once
// Finding the monitor's output files: the record files of a directory, finished and still
// being written, and the output directories of a folder. Their rows are read by the
// record's row reader.
#include <string>
#include <vector>

#include "record/row_reader.h"

namespace report {

using records::RowCells;
using enum records::Column;

// The CSV and JSON lines files of a directory in name order, ".tmp" ones included, but for a
// JSON file that has a CSV twin (both formats of the same rows). An empty result is fine; a
// directory that cannot be listed sets error.
std::vector<std::string> recordFiles(std::string const& dir, std::string& error);

// The directories directly inside dir, in name order; a dir that cannot be listed sets error.
std::vector<std::string> subdirectoriesOf(std::string const& dir, std::string& error);

}  // namespace report
