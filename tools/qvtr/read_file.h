// Reads a file that a user names on the command line: only a regular file, never
// blocking on a FIFO or a device, and never more than a bound.
#pragma once

#include <string>

namespace tool {

// False with a reason ("is a directory", "not a regular file", "larger than ...").
bool ReadRegularFile(const std::string& path, size_t limit, std::string& bytes, std::string& reason);

}  // namespace tool
