#pragma once
#include <string>

#include "base/error_text.h"

// File operations of the output directory that never replace someone else's data.
namespace output_files {

// 0 when nothing exists under path, EEXIST when any kind of entry does, errno otherwise.
int probe(std::string const& path);

// Creates path as a new empty file, never touching an existing entry (O_EXCL also
// refuses dangling symbolic links). Returns an open descriptor or -1 with errno set.
int createExclusive(std::string const& path);

// Writes all of data; 0 or errno.
int writeAll(int fd, std::string const& data);

// Moves a finished file to its final name unless that name is taken; 0 or errno
// (EEXIST when taken).
int publish(std::string const& from, std::string const& to);

}  // namespace output_files
