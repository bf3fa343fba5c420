// Values set as `reg add` sets them (any name, type and data the input spells),
// then export, deletion and import of the key: the tree comes back, and a second
// export gives the same bytes. An export refused for a name the format cannot
// carry is fine; a different tree never is.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "regfile/reg_file.h"
#include "win32/api.h"

namespace {

const char* const kKey = "Software\\QvtrFuzz";

struct Entry {
    std::string name;
    DWORD type;
    std::string data;
};

// Records separated by 0xFF: a type selector byte, the name, 0xFE, the data.
std::vector<Entry> Entries(const uint8_t* data, size_t size) {
    static const DWORD kTypes[] = {REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_BINARY, REG_DWORD, REG_QWORD, REG_NONE};
    std::vector<Entry> entries;
    const std::string input(reinterpret_cast<const char*>(data), size);
    for (size_t start = 0; start < input.size() && entries.size() < 16;) {
        size_t end = input.find('\xFF', start);
        end = end == std::string::npos ? input.size() : end;
        const std::string record = input.substr(start, end - start);
        start = end + 1;
        if (record.empty()) {
            continue;
        }
        const size_t split = record.find('\xFE', 1);
        Entry entry{record.substr(1, split == std::string::npos ? std::string::npos : split - 1),
                    kTypes[static_cast<unsigned char>(record[0]) % 7],
                    split == std::string::npos ? std::string() : record.substr(split + 1)};
        // As `reg add` stores them: strings end in a NUL, numbers have their size.
        if (entry.type == REG_SZ || entry.type == REG_EXPAND_SZ) {
            entry.data = entry.data.substr(0, entry.data.find('\0')) + '\0';
        } else if (entry.type == REG_MULTI_SZ && (entry.data.empty() || entry.data.back() != '\0')) {
            entry.data += '\0';
        } else if (entry.type == REG_DWORD || entry.type == REG_QWORD) {
            entry.data.resize(entry.type == REG_DWORD ? 4 : 8, '\0');
        }
        if (entry.name.find('\0') == std::string::npos && entry.name.size() < 256) {
            entries.push_back(entry);
        }
    }
    return entries;
}

// The values of the key in the order the store keeps them.
std::vector<Entry> Snapshot() {
    std::vector<Entry> values;
    HKEY key = nullptr;
    if (Api().RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        __builtin_trap();
    }
    for (DWORD i = 0;; ++i) {
        char name[1024];
        DWORD length = sizeof name;
        std::string data(1 << 16, '\0');
        DWORD size = static_cast<DWORD>(data.size());
        DWORD type = 0;
        if (Api().RegEnumValueA(key, i, name, &length, nullptr, &type, reinterpret_cast<BYTE*>(&data[0]), &size) !=
            ERROR_SUCCESS) {
            break;
        }
        data.resize(size);
        values.push_back({std::string(name, length), type, data});
    }
    Api().RegCloseKey(key);
    return values;
}

}  // namespace

char g_directory[64] = "";

void RemoveRegistry() {
    for (const char* file : {"/registry.db", "/registry.db-wal", "/registry.db-shm", "/registry.db-seq"}) {
        unlink((std::string(g_directory) + file).c_str());
    }
    rmdir(g_directory);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // In memory where it can be: every change is a committed write.
    char directory[] = "/dev/shm/qvtr-reg-roundtrip-fuzz-XXXXXX";
    if (mkdtemp(directory) != nullptr) {
        std::strcpy(g_directory, directory);
        setenv("QVTR_REGISTRY", (std::string(directory) + "/registry.db").c_str(), 1);
        std::atexit(RemoveRegistry);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    regfile::DeleteTree(HKEY_CURRENT_USER, kKey);
    HKEY key = nullptr;
    Api().RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    const std::vector<Entry> entries = Entries(data, size);
    for (const Entry& entry : entries) {
        Api().RegSetValueExA(key, entry.name.c_str(), 0, entry.type, reinterpret_cast<const BYTE*>(entry.data.data()),
                             static_cast<DWORD>(entry.data.size()));
    }
    Api().RegCloseKey(key);
    std::vector<Entry> before = Snapshot();
    std::string first;
    if (regfile::Export(HKEY_CURRENT_USER, "HKEY_CURRENT_USER", kKey, first) != ERROR_SUCCESS) {
        return 0;
    }
    regfile::DeleteTree(HKEY_CURRENT_USER, kKey);
    regfile::Document document;
    regfile::Problem problem;
    if (!regfile::Parse(first, document, problem) || !document.skipped.empty() ||
        regfile::Apply(document, problem) != ERROR_SUCCESS) {
        __builtin_trap();
    }
    std::string second;
    if (regfile::Export(HKEY_CURRENT_USER, "HKEY_CURRENT_USER", kKey, second) != ERROR_SUCCESS || second != first) {
        __builtin_trap();
    }
    for (Entry& value : before) {
        const std::string cut = value.data.substr(0, value.data.find('\0'));
        if (value.type == REG_SZ && cut.find_first_of("\r\n") == std::string::npos) {
            value.data = cut + '\0';  // reg.exe writes a REG_SZ cut at its first NUL
        }
    }
    const std::vector<Entry> after = Snapshot();
    if (after.size() != before.size()) {
        __builtin_trap();
    }
    for (size_t i = 0; i < after.size(); ++i) {
        if (after[i].name != before[i].name || after[i].type != before[i].type || after[i].data != before[i].data) {
            __builtin_trap();
        }
    }
    return 0;
}
