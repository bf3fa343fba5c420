// The .reg parser over arbitrary bytes. Whatever value it accepts, the writer
// must write so that parsing the written line gives the same value back, as far
// as the format can carry it (a REG_SZ is cut at its first NUL, as by reg.exe).
#include <cstddef>
#include <cstdint>
#include <string>

#include "regfile/reg_file.h"
#include "win32/api.h"

namespace {

bool IsText(const std::string& bytes) {
    return bytes.empty() || Api().MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes.data(),
                                                      static_cast<int>(bytes.size()), nullptr, 0) > 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    regfile::Document document;
    regfile::Problem problem;
    if (!regfile::Parse(std::string(reinterpret_cast<const char*>(data), size), document, problem)) {
        return 0;
    }
    for (const regfile::Key& key : document.keys) {
        for (const regfile::Value& value : key.values) {
            const bool textType = value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ;
            if (value.remove || value.name.find_first_of("\r\n") != std::string::npos || !IsText(value.name) ||
                (textType && !IsText(value.data))) {
                continue;  // the export refuses these
            }
            const std::string text = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\K]\r\n" +
                                     regfile::FormatValue(value.name, value.type, value.data) + "\r\n";
            regfile::Document again;
            if (!regfile::Parse(text, again, problem) || again.keys.size() != 1 || again.keys[0].values.size() != 1) {
                __builtin_trap();
            }
            std::string expected = value.data;
            const std::string cut = value.data.substr(0, value.data.find('\0'));
            if (value.type == REG_SZ && cut.find_first_of("\r\n") == std::string::npos) {
                expected = cut + '\0';
            }
            const regfile::Value& back = again.keys[0].values[0];
            if (back.name != value.name || back.type != value.type || back.data != expected) {
                __builtin_trap();
            }
        }
    }
    return 0;
}
