// The .reg parser over arbitrary bytes. Whatever it accepts, the writer must
// write again so that parsing the written line gives the same value back.
#include <cstddef>
#include <cstdint>
#include <string>

#include "registry/reg_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    regfile::Document document;
    regfile::Problem problem;
    if (!regfile::Parse(std::string(reinterpret_cast<const char*>(data), size), document, problem)) {
        return 0;
    }
    for (const regfile::Key& key : document.keys) {
        for (const regfile::Value& value : key.values) {
            if (value.remove) {
                continue;
            }
            const std::string text = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\K]\r\n" +
                                     regfile::FormatValue(value.name, value.type, value.data) + "\r\n";
            regfile::Document again;
            if (!regfile::Parse(text, again, problem) || again.keys.size() != 1 || again.keys[0].values.size() != 1) {
                __builtin_trap();
            }
            const regfile::Value& back = again.keys[0].values[0];
            if (back.name != value.name || back.type != value.type || back.data != value.data) {
                __builtin_trap();
            }
        }
    }
    return 0;
}
