// The persisted POSIX registry: a read (open + query + close), enumeration, a
// tree deletion, a committed write and a large import, against the floors of
// the same run (a std::map lookup; a bare SQLite point select of the same row;
// for whole-key walks of N entries, N reads answered from memory).
//
// Run: build/native/bin/registry_bench --benchmark_repetitions=5
// (QVTR_BENCH_LARGEST=10000 leaves out the walks of 100,000 entries.)
// It works in a registry of its own in a temporary directory.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "bench/compare.h"
#include "qvtr/registry.h"
#include "regfile/reg_file.h"
#include "win32/api.h"

namespace {

// Plain bytes: filled before any static constructor runs.
char g_directory[64] = "";

// Before any static constructor of the layer opens the registry.
__attribute__((constructor(101))) void UseOwnRegistry() {
    if (std::getenv("QVTR_BENCH_CHANGER") != nullptr) {
        return;  // the parent's registry, inherited
    }
    char pattern[] = "/tmp/qvtr-registry-bench-XXXXXX";
    if (mkdtemp(pattern) != nullptr) {
        std::strcpy(g_directory, pattern);
        setenv("QVTR_REGISTRY", (std::string(g_directory) + "/registry.db").c_str(), 1);
    }
}

const char* const kReadKey = "Software\\QvtrBench\\Read";
const char* const kText = "C:\\Program Files\\Quillon\\bin\\qvtr.dll";

HKEY CreateKey(const std::string& path) {
    HKEY key = nullptr;
    Api().RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    return key;
}

void SetText(HKEY key, const std::string& name, const std::string& text) {
    Api().RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                         static_cast<DWORD>(text.size() + 1));
}

void PrepareRead() {
    static bool done = false;
    if (!done) {
        HKEY key = CreateKey(kReadKey);
        SetText(key, "InstallPath", kText);
        Api().RegCloseKey(key);
        done = true;
    }
}

void BM_Floor_MapLookup(benchmark::State& state) {
    std::map<std::string, std::string> registry;
    for (int i = 0; i < 1000; ++i) {
        registry["HKEY_CURRENT_USER\\SOFTWARE\\QVTRBENCH\\KEY" + std::to_string(i) + "|INSTALLPATH"] = kText;
    }
    registry["HKEY_CURRENT_USER\\SOFTWARE\\QVTRBENCH\\READ|INSTALLPATH"] = kText;
    const std::string wanted = "HKEY_CURRENT_USER\\SOFTWARE\\QVTRBENCH\\READ|INSTALLPATH";
    char buffer[256];
    for (auto _ : state) {
        auto found = registry.find(wanted);
        found->second.copy(buffer, sizeof buffer);
        benchmark::DoNotOptimize(buffer);
    }
}
BENCHMARK(BM_Floor_MapLookup);

// The same row as the registry read, selected by its key id and folded name on a
// connection of its own.
void BM_Floor_SqlitePointSelect(benchmark::State& state) {
    PrepareRead();
    sqlite3* db = nullptr;
    sqlite3_open_v2(std::getenv("QVTR_REGISTRY"), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* find = nullptr;
    const std::string path =
        "HKEY_USERS\\S-1-22-1-" + std::to_string(static_cast<unsigned long>(getuid())) + "\\SOFTWARE\\QVTRBENCH\\READ";
    sqlite3_prepare_v2(db, "SELECT id FROM keys WHERE path = ?1", -1, &find, nullptr);
    sqlite3_bind_blob(find, 1, path.data(), static_cast<int>(path.size()), SQLITE_STATIC);
    const sqlite3_int64 id = sqlite3_step(find) == SQLITE_ROW ? sqlite3_column_int64(find, 0) : 0;
    sqlite3_finalize(find);
    sqlite3_stmt* select = nullptr;
    sqlite3_prepare_v2(db, "SELECT type, data FROM vals WHERE key = ?1 AND folded = ?2", -1, &select, nullptr);
    char buffer[256];
    for (auto _ : state) {
        sqlite3_bind_int64(select, 1, id);
        sqlite3_bind_blob(select, 2, "INSTALLPATH", 11, SQLITE_STATIC);
        if (sqlite3_step(select) != SQLITE_ROW) {
            state.SkipWithError("the row is missing");
            break;
        }
        std::memcpy(buffer, sqlite3_column_blob(select, 1), static_cast<size_t>(sqlite3_column_bytes(select, 1)));
        benchmark::DoNotOptimize(buffer);
        sqlite3_reset(select);
    }
    sqlite3_finalize(select);
    sqlite3_close(db);
}
BENCHMARK(BM_Floor_SqlitePointSelect);

void BM_OpenQueryClose(benchmark::State& state) {
    PrepareRead();
    char buffer[256];
    for (auto _ : state) {
        HKEY key = nullptr;
        if (Api().RegOpenKeyExA(HKEY_CURRENT_USER, kReadKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
            state.SkipWithError("open failed");
            break;
        }
        DWORD type = 0;
        DWORD size = sizeof buffer;
        Api().RegQueryValueExA(key, "InstallPath", nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &size);
        Api().RegCloseKey(key);
        benchmark::DoNotOptimize(buffer);
    }
}
BENCHMARK(BM_OpenQueryClose);

// The same read just after a change anywhere in the store, which empties the
// cache: what a read costs when it must ask the database.
void BM_OpenQueryCloseAfterChange(benchmark::State& state) {
    PrepareRead();
    HKEY other = CreateKey("Software\\QvtrBench\\Other");
    char buffer[256];
    DWORD counter = 0;
    for (auto _ : state) {
        state.PauseTiming();
        ++counter;
        Api().RegSetValueExA(other, "Counter", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&counter), 4);
        state.ResumeTiming();
        HKEY key = nullptr;
        Api().RegOpenKeyExA(HKEY_CURRENT_USER, kReadKey, 0, KEY_READ, &key);
        DWORD size = sizeof buffer;
        Api().RegQueryValueExA(key, "InstallPath", nullptr, nullptr, reinterpret_cast<LPBYTE>(buffer), &size);
        Api().RegCloseKey(key);
        benchmark::DoNotOptimize(buffer);
    }
    Api().RegCloseKey(other);
}
BENCHMARK(BM_OpenQueryCloseAfterChange)->Iterations(20000);

// As the registry key object reads: the size first, then the bytes.
void BM_RegistryKeyQueryValue(benchmark::State& state) {
    PrepareRead();
    for (auto _ : state) {
        CRegistryKey key(HKEY_CURRENT_USER, kReadKey, false, false, true);
        CRegistryValue value;
        benchmark::DoNotOptimize(key.QueryValue("InstallPath", value));
    }
}
BENCHMARK(BM_RegistryKeyQueryValue);

void BM_EnumerateThousandValues(benchmark::State& state) {
    HKEY key = CreateKey("Software\\QvtrBench\\Thousand");
    Api().QvtrRegTransaction(QVTR_REG_BEGIN);
    for (int i = 0; i < 1000; ++i) {
        SetText(key, "Value" + std::to_string(i), "data of value " + std::to_string(i));
    }
    Api().QvtrRegTransaction(QVTR_REG_COMMIT);
    char name[64];
    BYTE data[64];
    for (auto _ : state) {
        DWORD values = 0;
        Api().RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                               nullptr, nullptr);
        for (DWORD i = 0; i < values; ++i) {
            DWORD length = sizeof name;
            DWORD size = sizeof data;
            DWORD type = 0;
            Api().RegEnumValueA(key, i, name, &length, nullptr, &type, data, &size);
        }
        benchmark::DoNotOptimize(data);
    }
    Api().RegCloseKey(key);
}
BENCHMARK(BM_EnumerateThousandValues)->Unit(benchmark::kMillisecond);

// 10 x 10 x 10 keys, each with a value, deleted by the registry key object:
// deepest first, each deletion its own committed call.
void BM_DeleteTreeOfThousandKeys(benchmark::State& state) {
    const std::string top = "Software\\QvtrBench\\Tree";
    for (auto _ : state) {
        state.PauseTiming();
        Api().QvtrRegTransaction(QVTR_REG_BEGIN);
        for (int a = 0; a < 10; ++a) {
            for (int b = 0; b < 10; ++b) {
                for (int c = 0; c < 10; ++c) {
                    HKEY key =
                        CreateKey(top + "\\" + std::to_string(a) + "\\" + std::to_string(b) + "\\" + std::to_string(c));
                    SetText(key, "v", "x");
                    Api().RegCloseKey(key);
                }
            }
        }
        Api().QvtrRegTransaction(QVTR_REG_COMMIT);
        state.ResumeTiming();
        CRegistryKey tree(HKEY_CURRENT_USER, top, true, false, true);
        if (tree.DeleteTree() != ERROR_SUCCESS) {
            state.SkipWithError("DeleteTree failed");
            break;
        }
    }
}
BENCHMARK(BM_DeleteTreeOfThousandKeys)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_CommittedWrite(benchmark::State& state) {
    HKEY key = CreateKey("Software\\QvtrBench\\Write");
    DWORD counter = 0;
    for (auto _ : state) {
        ++counter;
        Api().RegSetValueExA(key, "Counter", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&counter), 4);
    }
    Api().RegCloseKey(key);
}
BENCHMARK(BM_CommittedWrite)->Unit(benchmark::kMicrosecond);

// What the same write costs as a bare SQLite statement in its own transaction.
void BM_Floor_SqliteCommittedWrite(benchmark::State& state) {
    sqlite3* db = nullptr;
    const std::string path = std::string(g_directory) + "/floor.db";
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; CREATE TABLE t(k INTEGER PRIMARY KEY, v)",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* write = nullptr;
    sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO t(k, v) VALUES (1, ?1)", -1, &write, nullptr);
    int counter = 0;
    for (auto _ : state) {
        sqlite3_bind_int(write, 1, ++counter);
        sqlite3_step(write);
        sqlite3_reset(write);
    }
    sqlite3_finalize(write);
    sqlite3_close(db);
}
BENCHMARK(BM_Floor_SqliteCommittedWrite)->Unit(benchmark::kMicrosecond);

void BM_ImportTenThousandValues(benchmark::State& state) {
    std::string text = "Windows Registry Editor Version 5.00\r\n\r\n";
    for (int k = 0; k < 100; ++k) {
        text += "[HKEY_CURRENT_USER\\Software\\QvtrBench\\Import\\Key" + std::to_string(k) + "]\r\n";
        for (int v = 0; v < 100; ++v) {
            text += "\"Value" + std::to_string(v) + "\"=\"" + std::string(20, 'a' + v % 26) + "\"\r\n";
        }
        text += "\r\n";
    }
    for (auto _ : state) {
        regfile::Document document;
        regfile::Problem problem;
        if (!regfile::Parse(text, document, problem) || regfile::Apply(document, problem) != ERROR_SUCCESS) {
            state.SkipWithError(problem.reason.c_str());
            break;
        }
        state.PauseTiming();
        regfile::DeleteTree(HKEY_CURRENT_USER, "Software\\QvtrBench\\Import");
        state.ResumeTiming();
    }
}
BENCHMARK(BM_ImportTenThousandValues)->Unit(benchmark::kMillisecond)->Iterations(3);

// ---- whole-key walks of N entries, against N reads answered from memory ----------

const int kSizes[] = {1000, 10000, 100000};

int Largest() {
    const char* text = std::getenv("QVTR_BENCH_LARGEST");
    return text != nullptr ? std::atoi(text) : 100000;
}

std::string WalkPath(const char* kind, int count) {
    return std::string("Software\\QvtrBench\\") + kind + std::to_string(count);
}

// A key of `count` sub-keys with a DWORD each, or of `count` DWORD values: one transaction.
void FillKey(const std::string& path, int count, bool values) {
    Api().QvtrRegTransaction(QVTR_REG_BEGIN);
    HKEY key = CreateKey(path);
    for (DWORD i = 0; i < static_cast<DWORD>(count); ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "E%06u", static_cast<unsigned>(i));
        HKEY target = values ? key : CreateKey(path + "\\" + name);
        Api().RegSetValueExA(target, values ? name : "v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&i), 4);
        if (!values) {
            Api().RegCloseKey(target);
        }
    }
    Api().RegCloseKey(key);
    Api().QvtrRegTransaction(QVTR_REG_COMMIT);
}

void EnsureFilled(const std::string& path, int count, bool values) {
    HKEY key = nullptr;
    if (Api().RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
        Api().RegCloseKey(key);
        return;
    }
    FillKey(path, count, values);
}

// The floor: `count` cached RegQueryValueExA calls on an open key.
void FloorCachedQueries(benchmark::State& state, int count) {
    PrepareRead();
    HKEY key = nullptr;
    Api().RegOpenKeyExA(HKEY_CURRENT_USER, kReadKey, 0, KEY_READ, &key);
    char buffer[256];
    for (auto _ : state) {
        for (int i = 0; i < count; ++i) {
            DWORD size = sizeof buffer;
            Api().RegQueryValueExA(key, "InstallPath", nullptr, nullptr, reinterpret_cast<LPBYTE>(buffer), &size);
        }
        benchmark::DoNotOptimize(buffer);
    }
    Api().RegCloseKey(key);
}

// Every index once, upwards or downwards, with RegEnumKeyExA or RegEnumValueA.
void Walk(benchmark::State& state, int count, bool values, bool down) {
    const std::string path = WalkPath(values ? "Values" : "Keys", count);
    EnsureFilled(path, count, values);
    HKEY key = CreateKey(path);
    char name[64];
    for (auto _ : state) {
        int seen = 0;
        for (int step = 0; step < count; ++step) {
            const DWORD index = static_cast<DWORD>(down ? count - 1 - step : step);
            DWORD length = sizeof name;
            const LONG error = values
                                   ? Api().RegEnumValueA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr)
                                   : Api().RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
            seen += error == ERROR_SUCCESS ? 1 : 0;
        }
        if (seen != count) {
            state.SkipWithError("an entry was missing");
            break;
        }
    }
    Api().RegCloseKey(key);
}

// CRegistryKey::DeleteTree of a fresh key of `count` sub-keys or values, in one transaction as the tool does.
void DeleteTreeOf(benchmark::State& state, int count, bool values) {
    const std::string path = WalkPath(values ? "DeleteValues" : "DeleteKeys", count);
    for (auto _ : state) {
        state.PauseTiming();
        regfile::DeleteTree(HKEY_CURRENT_USER, path);
        FillKey(path, count, values);
        state.ResumeTiming();
        Api().QvtrRegTransaction(QVTR_REG_BEGIN);
        CRegistryKey tree(HKEY_CURRENT_USER, path, true, false, true);
        const LONG error = tree.DeleteTree();
        Api().QvtrRegTransaction(QVTR_REG_COMMIT);
        if (error != ERROR_SUCCESS) {
            state.SkipWithError("DeleteTree failed");
            break;
        }
    }
}

std::vector<std::pair<std::string, std::string>> RegisterWalks() {
    std::vector<std::pair<std::string, std::string>> pairs;
    for (int count : kSizes) {
        if (count > Largest()) {
            continue;
        }
        const std::string n = std::to_string(count);
        const std::string floor = "BM_Floor_CachedQueries_" + n;
        auto timed = [&](const std::string& name, auto&& function) {
            auto* b = benchmark::RegisterBenchmark(name.c_str(), function)->Unit(benchmark::kMillisecond);
            if (count >= 100000) {
                b->Iterations(1);
            }
            pairs.emplace_back(name, floor);
        };
        benchmark::RegisterBenchmark(floor.c_str(), [count](benchmark::State& s) {
            FloorCachedQueries(s, count);
        })->Unit(benchmark::kMillisecond);
        timed("BM_SubKeysUp_" + n, [count](benchmark::State& s) { Walk(s, count, false, false); });
        timed("BM_SubKeysDown_" + n, [count](benchmark::State& s) { Walk(s, count, false, true); });
        timed("BM_ValuesUp_" + n, [count](benchmark::State& s) { Walk(s, count, true, false); });
        timed("BM_ValuesDown_" + n, [count](benchmark::State& s) { Walk(s, count, true, true); });
        timed("BM_DeleteTreeKeys_" + n, [count](benchmark::State& s) { DeleteTreeOf(s, count, false); });
        timed("BM_DeleteTreeValues_" + n, [count](benchmark::State& s) { DeleteTreeOf(s, count, true); });
    }
    return pairs;
}

// ---- a read right after another process's change --------------------------------

// Another process (this program again, started afresh: SQLite connections do not
// survive a fork) that sets a value of another key each time it reads a byte.
const char* const kChangerRole = "QVTR_BENCH_CHANGER";

int RunChanger() {
    HKEY other = CreateKey("Software\\QvtrBench\\Other");
    char byte = 0;
    DWORD counter = 0;
    while (read(0, &byte, 1) == 1) {
        ++counter;
        Api().RegSetValueExA(other, "Counter", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&counter), 4);
        if (write(1, &byte, 1) != 1) {
            break;
        }
    }
    Api().RegCloseKey(other);
    return 0;
}

class OtherProcess {
public:
    OtherProcess() {
        // Close-on-exec: the child keeps only its standard input and output.
        if (pipe2(m_ask, O_CLOEXEC) != 0 || pipe2(m_done, O_CLOEXEC) != 0) {
            return;
        }
        m_pid = fork();
        if (m_pid == 0) {
            dup2(m_ask[0], 0);
            dup2(m_done[1], 1);
            setenv(kChangerRole, "1", 1);
            execl("/proc/self/exe", "registry_bench", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(m_ask[0]);
        close(m_done[1]);
    }
    ~OtherProcess() {
        close(m_ask[1]);
        if (m_pid > 0) {
            waitpid(m_pid, nullptr, 0);
        }
        close(m_done[0]);
    }
    bool Change() {
        char byte = 1;
        return m_pid > 0 && write(m_ask[1], &byte, 1) == 1 && read(m_done[0], &byte, 1) == 1;
    }

private:
    int m_ask[2] = {-1, -1};
    int m_done[2] = {-1, -1};
    pid_t m_pid = -1;
};

// RegQueryValueExA on an open key, just after another process changed another key.
void BM_QueryAfterOtherProcessChange(benchmark::State& state) {
    PrepareRead();
    HKEY key = CreateKey(kReadKey);
    OtherProcess other;
    char buffer[256];
    for (auto _ : state) {
        state.PauseTiming();
        if (!other.Change()) {
            state.SkipWithError("the other process did not answer");
            break;
        }
        state.ResumeTiming();
        DWORD size = sizeof buffer;
        Api().RegQueryValueExA(key, "InstallPath", nullptr, nullptr, reinterpret_cast<LPBYTE>(buffer), &size);
        benchmark::DoNotOptimize(buffer);
    }
    Api().RegCloseKey(key);
}
BENCHMARK(BM_QueryAfterOtherProcessChange)->Iterations(2000);

// The floor: the same call answered from memory, timed the same way (pausing
// the clock costs more than such a read).
void BM_Floor_CachedQueryPaused(benchmark::State& state) {
    PrepareRead();
    HKEY key = CreateKey(kReadKey);
    char buffer[256];
    for (auto _ : state) {
        state.PauseTiming();
        state.ResumeTiming();
        DWORD size = sizeof buffer;
        Api().RegQueryValueExA(key, "InstallPath", nullptr, nullptr, reinterpret_cast<LPBYTE>(buffer), &size);
        benchmark::DoNotOptimize(buffer);
    }
    Api().RegCloseKey(key);
}
BENCHMARK(BM_Floor_CachedQueryPaused)->Iterations(2000);

}  // namespace

int main(int argc, char** argv) {
    if (std::getenv(kChangerRole) != nullptr) {
        return RunChanger();
    }
    std::vector<std::pair<std::string, std::string>> pairs = {
        {"BM_OpenQueryClose", "BM_Floor_MapLookup"},
        {"BM_OpenQueryClose", "BM_Floor_SqlitePointSelect"},
        {"BM_OpenQueryCloseAfterChange", "BM_Floor_SqlitePointSelect"},
        {"BM_QueryAfterOtherProcessChange", "BM_Floor_CachedQueryPaused"},
        {"BM_RegistryKeyQueryValue", "BM_Floor_SqlitePointSelect"},
        {"BM_CommittedWrite", "BM_Floor_SqliteCommittedWrite"}};
    for (const auto& pair : RegisterWalks()) {
        pairs.push_back(pair);
    }
    const int result = qvtr_bench::RunWithFloors(argc, argv, pairs);
    if (g_directory[0] != '\0') {
        for (const char* file :
             {"/registry.db", "/registry.db-wal", "/registry.db-shm", "/floor.db", "/floor.db-wal", "/floor.db-shm"}) {
            unlink((std::string(g_directory) + file).c_str());
        }
        rmdir(g_directory);
    }
    return result;
}
