// printf-style formatting of texts that come from files: bounded in memory and
// time, and never asking for more arguments than the caller says it gave.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

namespace qvtr {

// The most characters a formatted text holds; longer results are cut. The
// same limit as the system's message formatter (64 KiB with its terminator).
constexpr size_t kMaxFormattedText = 64 * 1024 - 1;

// Any number of arguments: the caller vouches for them.
constexpr size_t kCallerArguments = static_cast<size_t>(-1);

// What a text asks of its arguments.
struct FormatShape {
    size_t arguments = 0;     // arguments the conversions consume (a '*' counts as one)
    size_t conversions = 0;   // conversions other than %%
    size_t plainStrings = 0;  // conversions that are %s with at most flags, a width and a precision in digits
    bool supported = true;    // false: %n, positional arguments, or a conversion this formatter does not know
};

FormatShape ScanFormat(const char* format);

// Formats `format` with `args`. A text whose conversions are not supported, or
// that needs more than `argumentCount` arguments, is given as it stands. The
// result never holds more than kMaxFormattedText characters.
std::string FormatBoundedV(const char* format, size_t argumentCount, va_list args);
std::string FormatBounded(const char* format, size_t argumentCount, ...);

}  // namespace qvtr
