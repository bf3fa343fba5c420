// Whole-key walks of the POSIX registry cost in proportion to the key's size:
// ten times the entries may cost at most twenty times the work. The work is
// counted in SQLite virtual-machine steps, which do not depend on the machine's load.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <functional>
#include <string>

#include "qvtr/registry.h"
#include "registry/reg_file.h"
#include "win32/api.h"
#include "win32/posix/registry_store.h"

namespace {

const std::string kBase = "Software\\QvtrScalingTest";

// Steps run so far by every statement the store has prepared.
uint64_t StepsSoFar() {
    LONG error = ERROR_SUCCESS;
    posix::reg::Store* store = posix::reg::Store::Get(error);
    uint64_t steps = 0;
    for (sqlite3_stmt* s = sqlite3_next_stmt(store->Db(), nullptr); s != nullptr;
         s = sqlite3_next_stmt(store->Db(), s)) {
        steps += static_cast<uint64_t>(sqlite3_stmt_status(s, SQLITE_STMTSTATUS_VM_STEP, 0));
    }
    return steps;
}

HKEY Open(const std::string& path) {
    HKEY key = nullptr;
    Api().RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    return key;
}

// A key with `count` sub-keys (each holding one value), or with `count` values.
void Fill(const std::string& path, int count, bool values) {
    Api().QvtrRegTransaction(QVTR_REG_BEGIN);
    HKEY key = Open(path);
    const DWORD data = 1;
    for (int i = 0; i < count; ++i) {
        const std::string name = "Entry" + std::to_string(i);
        HKEY target = values ? key : Open(path + "\\" + name);
        Api().RegSetValueExA(target, values ? name.c_str() : "v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                             4);
        if (!values) {
            Api().RegCloseKey(target);
        }
    }
    Api().RegCloseKey(key);
    Api().QvtrRegTransaction(QVTR_REG_COMMIT);
}

// Visits every index once, upwards or downwards; the count of entries seen.
int Enumerate(const std::string& path, bool values, bool down, int count) {
    HKEY key = Open(path);
    int seen = 0;
    for (int step = 0; step < count; ++step) {
        const DWORD index = static_cast<DWORD>(down ? count - 1 - step : step);
        char name[64];
        DWORD length = sizeof name;
        const LONG error = values ? Api().RegEnumValueA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr)
                                  : Api().RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        seen += error == ERROR_SUCCESS ? 1 : 0;
    }
    Api().RegCloseKey(key);
    return seen;
}

int DeleteWithKeyObject(const std::string& path, int count) {
    CRegistryKey key(HKEY_CURRENT_USER, path, true, false, true);
    return key.DeleteTree() == ERROR_SUCCESS ? count : 0;
}

int DeleteAsImport(const std::string& path, int count) {
    return regfile::DeleteTree(HKEY_CURRENT_USER, path) == ERROR_SUCCESS ? count : 0;
}

TEST(RegistryScaling, TenTimesTheEntriesCostAtMostTwentyTimesTheSteps) {
    using namespace std::placeholders;
    const struct {
        const char* what;
        bool values;                                      // the key holds values rather than sub-keys
        std::function<int(const std::string&, int)> run;  // entries handled
    } walks[] = {
        {"sub-keys upwards", false, std::bind(Enumerate, _1, false, false, _2)},
        {"sub-keys downwards", false, std::bind(Enumerate, _1, false, true, _2)},
        {"values upwards", true, std::bind(Enumerate, _1, true, false, _2)},
        {"values downwards", true, std::bind(Enumerate, _1, true, true, _2)},
        {"DeleteTree of sub-keys", false, DeleteWithKeyObject},
        {"DeleteTree of values", true, DeleteWithKeyObject},
        {"an import's tree deletion", false, DeleteAsImport},
    };
    const int kSmall = 300;
    for (const auto& walk : walks) {
        uint64_t cost[2] = {};
        for (int size = 0; size < 2; ++size) {
            const int count = size == 0 ? kSmall : kSmall * 10;
            const std::string path = kBase + "\\" + std::to_string(count);
            regfile::DeleteTree(HKEY_CURRENT_USER, path);
            Fill(path, count, walk.values);
            const uint64_t before = StepsSoFar();
            EXPECT_EQ(walk.run(path, count), count) << walk.what;
            cost[size] = StepsSoFar() - before;
            regfile::DeleteTree(HKEY_CURRENT_USER, path);
        }
        EXPECT_LE(cost[1], cost[0] * 20) << walk.what << ": " << cost[0] << " steps for " << kSmall << ", " << cost[1]
                                         << " for ten times as many";
    }
}

}  // namespace
