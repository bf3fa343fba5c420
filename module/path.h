// Paths as the layer handles them: Windows paths with backslashes, native
// paths with slashes from the POSIX backend.
#pragma once

#include <string>

namespace qvtr {

// The directory part of a path with its trailing separator (after the last
// backslash or slash); empty when the path has none.
std::string DirectoryOf(const char* path);

}  // namespace qvtr
