#include "localization/format_text.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace qvtr {

namespace {

// A width or precision past this only adds characters that the cut drops anyway.
constexpr long kClamp = static_cast<long>(kMaxFormattedText) + 1;

struct Directive {
    std::string flags;
    bool widthStar = false;
    long width = -1;
    bool precisionStar = false;
    long precision = -1;
    std::string length;
    char conversion = 0;
    const char* end = nullptr;  // just past the conversion
    bool supported = true;
};

long ReadNumber(const char*& p) {
    long value = 0;
    while (*p >= '0' && *p <= '9') {
        value = std::min<long>(value * 10 + (*p - '0'), kClamp);
        ++p;
    }
    return value;
}

bool IsInteger(char c) {
    return c != '\0' && std::strchr("diouxX", c) != nullptr;
}
bool IsFloat(char c) {
    return c != '\0' && std::strchr("eEfFgGaA", c) != nullptr;
}

// Parses the conversion after a '%' (not "%%").
Directive ParseConversion(const char* p) {
    Directive directive;
    while (*p != '\0' && std::strchr("-+ #0", *p) != nullptr) {
        directive.flags += *p++;
    }
    if (*p == '*') {
        directive.widthStar = true;
        ++p;
    } else if (*p >= '0' && *p <= '9') {
        directive.width = ReadNumber(p);
    }
    if (*p == '$') {
        directive.supported = false;  // positional arguments cannot be checked against a count
    }
    if (*p == '.') {
        ++p;
        if (*p == '*') {
            directive.precisionStar = true;
            ++p;
        } else {
            directive.precision = ReadNumber(p);
        }
    }
    for (const char* length : {"hh", "h", "ll", "l", "j", "z", "t", "L"}) {
        const size_t n = std::strlen(length);
        if (std::strncmp(p, length, n) == 0) {
            directive.length = length;
            p += n;
            break;
        }
    }
    directive.conversion = *p;
    directive.end = *p != '\0' ? p + 1 : p;
    const char c = directive.conversion;
    const std::string& len = directive.length;
    if (IsInteger(c)) {
        directive.supported &= len != "L";
    } else if (IsFloat(c)) {
        directive.supported &= len.empty() || len == "l" || len == "L";
    } else if (c == 'c' || c == 's' || c == 'p') {
        directive.supported &= len.empty();
    } else {
        directive.supported = false;  // %n, an unknown letter, or the text's end
    }
    return directive;
}

// Appends what `directive` makes of `value`, at most up to the bound; false once cut.
template <typename T>
bool Emit(std::string& out, const std::string& directive, T value) {
    const size_t room = kMaxFormattedText - out.size();
    char small[256];
    const int n = std::snprintf(small, sizeof small, directive.c_str(), value);
    if (n < 0) {
        return true;  // nothing the formatter could write (an encoding error)
    }
    const size_t take = std::min(static_cast<size_t>(n), room);
    if (static_cast<size_t>(n) < sizeof small) {
        out.append(small, take);
    } else {
        const size_t old = out.size();
        out.resize(old + take + 1);
        std::snprintf(&out[old], take + 1, directive.c_str(), value);
        out.resize(old + take);
    }
    return static_cast<size_t>(n) <= room;
}

template <typename Signed, typename Unsigned>
bool EmitInteger(std::string& out, const std::string& directive, char conversion, va_list& args) {
    if (conversion == 'd' || conversion == 'i') {
        return Emit(out, directive, va_arg(args, Signed));
    }
    return Emit(out, directive, va_arg(args, Unsigned));
}

bool EmitValue(std::string& out, const Directive& directive, const std::string& text, va_list& args) {
    const char c = directive.conversion;
    const std::string& len = directive.length;
    if (IsInteger(c)) {
        if (len == "l") {
            return EmitInteger<long, unsigned long>(out, text, c, args);
        }
        if (len == "ll") {
            return EmitInteger<long long, unsigned long long>(out, text, c, args);
        }
        if (len == "j") {
            return EmitInteger<intmax_t, uintmax_t>(out, text, c, args);
        }
        if (len == "z" || len == "t") {
            return EmitInteger<ptrdiff_t, size_t>(out, text, c, args);
        }
        return EmitInteger<int, unsigned>(out, text, c, args);  // hh and h arrive promoted
    }
    if (IsFloat(c)) {
        return len == "L" ? Emit(out, text, va_arg(args, long double)) : Emit(out, text, va_arg(args, double));
    }
    if (c == 'c') {
        return Emit(out, text, va_arg(args, int));
    }
    if (c == 'p') {
        return Emit(out, text, va_arg(args, void*));
    }
    return Emit(out, text, va_arg(args, const char*));
}

bool AppendLiteral(std::string& out, const char* begin, size_t count) {
    const size_t room = kMaxFormattedText - out.size();
    out.append(begin, std::min(count, room));
    return count <= room;
}

std::string Unformatted(const char* format) {
    return std::string(format, std::min(std::strlen(format), kMaxFormattedText));
}

std::string FormatChecked(const char* format, va_list& args) {
    std::string out;
    const char* p = format;
    while (*p != '\0') {
        const char* percent = std::strchr(p, '%');
        const size_t run = percent ? static_cast<size_t>(percent - p) : std::strlen(p);
        if (!AppendLiteral(out, p, run) || percent == nullptr) {
            break;
        }
        if (percent[1] == '%') {
            if (!AppendLiteral(out, "%", 1)) {
                break;
            }
            p = percent + 2;
            continue;
        }
        const Directive directive = ParseConversion(percent + 1);
        std::string flags = directive.flags;
        long width = directive.width;
        long precision = directive.precision;
        if (directive.widthStar) {
            const int star = va_arg(args, int);
            if (star < 0) {
                flags += '-';
            }
            width = std::min<long>(star < 0 ? -static_cast<long>(star) : star, kClamp);
        }
        if (directive.precisionStar) {
            const int star = va_arg(args, int);
            precision = star < 0 ? -1 : std::min<long>(star, kClamp);
        }
        std::string text = "%" + flags;
        if (width >= 0) {
            text += std::to_string(width);
        }
        if (precision >= 0) {
            text += "." + std::to_string(precision);
        }
        text += directive.length + directive.conversion;
        if (!EmitValue(out, directive, text, args)) {
            break;
        }
        p = directive.end;
    }
    return out;
}

}  // namespace

FormatShape ScanFormat(const char* format) {
    FormatShape shape;
    for (const char* p = std::strchr(format, '%'); p != nullptr; p = std::strchr(p, '%')) {
        if (p[1] == '%') {
            p += 2;
            continue;
        }
        const Directive directive = ParseConversion(p + 1);
        shape.supported &= directive.supported;
        ++shape.conversions;
        shape.arguments += 1 + (directive.widthStar ? 1 : 0) + (directive.precisionStar ? 1 : 0);
        if (directive.conversion == 's' && directive.length.empty() && !directive.widthStar &&
            !directive.precisionStar) {
            ++shape.plainStrings;
        }
        p = directive.end;
    }
    return shape;
}

std::string FormatBoundedV(const char* format, size_t argumentCount, va_list args) {
    const FormatShape shape = ScanFormat(format);
    if (!shape.supported || shape.arguments > argumentCount) {
        return Unformatted(format);
    }
    va_list work;
    va_copy(work, args);
    std::string out = FormatChecked(format, work);
    va_end(work);
    return out;
}

std::string FormatBounded(const char* format, size_t argumentCount, ...) {
    va_list args;
    va_start(args, argumentCount);
    std::string out = FormatBoundedV(format, argumentCount, args);
    va_end(args);
    return out;
}

}  // namespace qvtr
