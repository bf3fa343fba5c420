// The tool's text formatting on arbitrary texts and arguments: a text the
// tool accepts is formatted with exactly the strings given, and every result
// stays within the bound. The first byte picks how many arguments there are.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "localization/format_text.h"
#include "tools/qvtr/text_check.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const size_t count = data[0] % 9;
    // The text, then the arguments, separated by NUL bytes.
    std::vector<std::string> parts(1);
    for (size_t i = 1; i < size; ++i) {
        if (data[i] == 0 && parts.size() <= count) {
            parts.emplace_back();
        } else {
            parts.back() += static_cast<char>(data[i]);
        }
    }
    parts.resize(count + 1);
    const std::string& text = parts[0];
    // What the module does with an error text: no arguments at all.
    Check(qvtr::FormatBounded(text.c_str(), 0).size() <= qvtr::kMaxFormattedText);
    if (!tool::WhyNotFormattable(text, count).empty()) {
        return 0;
    }
    const char* a[8] = {"", "", "", "", "", "", "", ""};
    for (size_t i = 0; i < count; ++i) {
        a[i] = parts[i + 1].c_str();
    }
    const std::string out = qvtr::FormatBounded(text.c_str(), count, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7]);
    Check(out.size() <= qvtr::kMaxFormattedText);
    return 0;
}
