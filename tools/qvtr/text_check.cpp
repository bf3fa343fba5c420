#include "text_check.h"

#include "localization/format_text.h"

namespace tool {

namespace {

std::string Count(size_t n, const char* what) {
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

}  // namespace

std::string WhyNotFormattable(const std::string& text, size_t argumentCount) {
    if (text.find('\0') != std::string::npos) {
        return "the text holds a NUL character";
    }
    const qvtr::FormatShape shape = qvtr::ScanFormat(text.c_str());
    if (!shape.supported || shape.plainStrings != shape.conversions) {
        return "the text has conversions other than %s (the tool passes every argument as a string)";
    }
    if (shape.conversions != argumentCount) {
        return "the text has " + Count(shape.conversions, "%s conversion") + " but " +
               Count(argumentCount, "argument") + (argumentCount == 1 ? " was" : " were") + " given";
    }
    return "";
}

}  // namespace tool
