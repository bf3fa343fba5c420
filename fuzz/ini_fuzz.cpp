// The INI reader and writer on arbitrary bytes. The first byte picks the buffer
// size; the rest is the file. Every answer must stay inside the buffer, lists
// must name what the file holds, and an edit must read back as written.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "win32/posix/ini_file.h"

namespace {

using posix::ini::IniFile;

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// A query into a buffer with a guard zone behind it.
DWORD Query(const IniFile& file, const char* section, const char* key, DWORD size, std::vector<char>& buffer) {
    buffer.assign(size + 16, '#');
    const DWORD n = posix::ini::ReadString(&file, section, key, "dflt", buffer.data(), size);
    Check(size == 0 ? n == 0 : n < size);
    for (size_t i = size; i < buffer.size(); ++i) {
        Check(buffer[i] == '#');
    }
    return n;
}

void CheckEdits(const IniFile& file, const std::string& section) {
    const IniFile written(file.WithValue(section, "fz", "v a l"));
    const std::string_view* value = written.Find(section, "FZ");
    Check(value != nullptr && *value == "v a l");
    const IniFile removed(written.WithoutKey(section, "fz"));
    Check(removed.Find(section, "fz") == nullptr || file.Find(section, "fz") != nullptr);
    const IniFile dropped(file.WithoutSection(section));
    Check(dropped.Text().size() <= file.Text().size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const DWORD bufferSize = data[0] % 72;
    const IniFile file(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
    std::vector<char> buffer;
    Query(file, nullptr, nullptr, bufferSize, buffer);
    size_t sections = 0;
    for (std::string_view name : file.SectionNames()) {
        if (++sections > 8) {
            break;
        }
        const std::string section(name);
        Check(file.KeyNames(section) != nullptr);
        Query(file, section.c_str(), nullptr, bufferSize, buffer);
        size_t keys = 0;
        for (std::string_view keyName : *file.KeyNames(section)) {
            if (++keys > 8) {
                break;
            }
            const std::string key(keyName);
            const std::string_view* value = file.Find(section, key);
            Check(value != nullptr);
            const DWORD n = Query(file, section.c_str(), key.c_str(), bufferSize, buffer);
            // A name holding a NUL reaches the C interface shortened, so it may find another key.
            Check(n <= value->size() || key.find('\0') != std::string::npos || section.find('\0') != std::string::npos);
            posix::ini::ParseInt(value->substr(0, 29));
        }
        CheckEdits(file, section);
    }
    CheckEdits(file, "");
    CheckEdits(file, "a new section");
    return 0;
}
