// Reads a file that a user names on the command line: only a regular file, never
// blocking on a FIFO or a device, and never more than a bound.
#pragma once

#include <string>

namespace tool {

// The reason a file over `limit` bytes is refused.
inline std::string TooLarge(size_t limit) {
    return "larger than " + std::to_string(limit >> 20) + " MiB";
}

// False with a reason ("is a directory", "not a regular file", "larger than ...").
bool ReadRegularFile(const std::string& path, size_t limit, std::string& bytes, std::string& reason);

// Whether a file the user names as an output may be written: absent, or a
// regular file of the user's own with a single name (never a link, a FIFO, a
// device or another user's file). `exists` says whether something is there.
bool UsableOutput(const std::string& path, bool& exists, std::string& reason);

// Writes `bytes` to a new file beside `path` and renames it into place, so that
// the name is never written through and a reader sees the old file or the new one.
bool ReplaceFile(const std::string& path, const std::string& bytes, std::string& reason);

}  // namespace tool
