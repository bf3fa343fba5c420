// The tool's rule for texts it formats: only %s conversions, one per argument.
#pragma once

#include <cstddef>
#include <string>

namespace tool {

// Empty when `text` may be formatted with `argumentCount` string arguments;
// otherwise why not, in a few words.
std::string WhyNotFormattable(const std::string& text, size_t argumentCount);

}  // namespace tool
