// The POSIX registry through the seam: NT semantics and codes, limits, access
// rights, what other processes see and change, survival of a killed writer, and
// the cost of whole-key walks.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "posix/forked.h"
#include "qvtr/registry.h"
#include "regfile/reg_file.h"
#include "support/support.h"
#include "win32/api.h"
#include "win32/posix/registry_store.h"

using namespace testing_support;

namespace {

const std::string kBase = "Software\\QvtrStoreTest";

LONG Create(HKEY root, const std::string& path, HKEY* key, DWORD* disposition = nullptr,
            const char* keyClass = nullptr) {
    return Api().RegCreateKeyExA(root, path.c_str(), 0, const_cast<LPSTR>(keyClass), 0, KEY_ALL_ACCESS, nullptr, key,
                                 disposition);
}

LONG Made(HKEY root, const std::string& path) {
    HKEY key = nullptr;
    const LONG code = Create(root, path, &key);
    Api().RegCloseKey(key);
    return code;
}

// A key below kBase, created when missing.
HKEY Open(const std::string& name) {
    HKEY key = nullptr;
    Create(HKEY_CURRENT_USER, kBase + "\\" + name, &key);
    return key;
}

LONG SetString(HKEY key, const char* name, const std::string& text) {
    return Api().RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                static_cast<DWORD>(text.size() + 1));
}

LONG SetNumber(HKEY key, const std::string& name, DWORD value) {
    return Api().RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
}

bool GetNumber(HKEY key, const std::string& name, DWORD& value) {
    DWORD size = 4;
    return Api().RegQueryValueExA(key, name.c_str(), nullptr, nullptr, reinterpret_cast<LPBYTE>(&value), &size) ==
           ERROR_SUCCESS;
}

// The name at `index` of the key's sub-keys or values, or "error CODE".
std::string EntryAt(HKEY key, bool values, DWORD index) {
    char name[64];
    DWORD length = sizeof name;
    const LONG error = values ? Api().RegEnumValueA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr)
                              : Api().RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    return error == ERROR_SUCCESS ? std::string(name, length) : "error " + std::to_string(error);
}

// Each test has a fresh key of its own, kBase\<test name>.
class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        m_name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        regfile::DeleteTree(HKEY_CURRENT_USER, kBase + "\\" + m_name);
        m_key = Open(m_name);
        ASSERT_NE(m_key, nullptr);
    }
    void TearDown() override {
        Api().RegCloseKey(m_key);
        regfile::DeleteTree(HKEY_CURRENT_USER, kBase + "\\" + m_name);
    }

    std::string m_name;
    HKEY m_key = nullptr;
};

// Every entry point's answer to the misuses a Windows program may make of it.
TEST_F(Registry, CallsAnswerWithNtCodes) {
    HKEY child = nullptr, writer = nullptr, other = nullptr;
    DWORD disposition = 0, size = 2, type = 0;
    BYTE buffer[8];
    char name[16];
    DWORD length = 5, classLength = 7;  // "Alpha" needs 6 with its terminator, "Quillon" 8
    std::memset(buffer, 'Z', sizeof buffer);
    ASSERT_EQ(Create(m_key, "Alpha\\c", &child, &disposition, "Quillon"), ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    ASSERT_EQ(Api().RegSetValueExA(child, "s", 0, REG_SZ, reinterpret_cast<const BYTE*>("abc"), 3), ERROR_SUCCESS);
    ASSERT_EQ(Api().RegOpenKeyExA(m_key, "Alpha\\c", 0, KEY_SET_VALUE, &writer), ERROR_SUCCESS);
    const std::string longName(16384, 'v');
    const struct {
        const char* what;
        LONG code;
        LONG expected;
    } cases[] = {
        {"short value buffer", Api().RegQueryValueExA(child, "S", nullptr, &type, buffer, &size), ERROR_MORE_DATA},
        {"data without size", Api().RegQueryValueExA(child, "s", nullptr, &type, buffer, nullptr),
         ERROR_INVALID_PARAMETER},
        {"null data with a size", Api().RegSetValueExA(child, "n", 0, REG_BINARY, nullptr, 4), 998},  // NOACCESS
        {"short name buffer", Api().RegEnumKeyExA(m_key, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
         ERROR_MORE_DATA},
        {"short class buffer",
         Api().RegQueryInfoKeyA(child, name, &classLength, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                nullptr, nullptr, nullptr),
         ERROR_MORE_DATA},
        {"writer reads", Api().RegQueryValueExA(writer, "s", nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED},
        {"key with sub-keys", Api().RegDeleteKeyA(m_key, "Alpha"), ERROR_ACCESS_DENIED},
        {"null sub-key", Api().RegDeleteKeyA(m_key, nullptr), ERROR_INVALID_PARAMETER},
        {"a root", Api().RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED},
        {"made-up handle", Api().RegOpenKeyExA(reinterpret_cast<HKEY>(0x7777), "x", 0, KEY_READ, &other),
         ERROR_INVALID_HANDLE},
        {"name of 255", Made(m_key, std::string(255, 'k')), ERROR_SUCCESS},
        {"name of 256", Made(m_key, std::string(256, 'k')), ERROR_INVALID_PARAMETER},
        {"leading separator", Made(m_key, "\\leading"), ERROR_BAD_PATHNAME},
        {"doubled separator", Made(m_key, "double\\\\separator\\"), ERROR_SUCCESS},
        // Any character but the separator can be part of a key name, as on Windows.
        {"trailing tab", Made(m_key, "tab\t"), ERROR_SUCCESS},
        {"unit separator", Made(m_key, "unit\x1F"), ERROR_SUCCESS},
        {"blank", Made(m_key, "plain name"), ERROR_SUCCESS},
        {"UTF-8", Made(m_key, "caf\xC3\xA9"), ERROR_SUCCESS},
        {"value name with a line break", SetString(m_key, "line\r\nfeed", ""), ERROR_SUCCESS},
        {"value name too long", SetString(m_key, longName.c_str(), "x"), ERROR_INVALID_PARAMETER},
        {"longest value name", SetString(m_key, longName.substr(1).c_str(), "x"), ERROR_SUCCESS},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.code, c.expected) << c.what;
    }
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(classLength, 7u);  // the length it needs, its terminator left out
    EXPECT_EQ(buffer[0], 'Z');
    HKEY same = nullptr;
    EXPECT_EQ(Api().RegOpenKeyA(m_key, "", &same), ERROR_SUCCESS);
    EXPECT_EQ(same, m_key);  // no path: the same handle
    ASSERT_EQ(Create(m_key, "ALPHA", &other, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    Api().RegCloseKey(other);
    Api().RegCloseKey(writer);

    // A deleted key's handle answers ERROR_KEY_DELETED until it is closed, once.
    EXPECT_EQ(Api().RegDeleteKeyA(m_key, "ALPHA\\C"), ERROR_SUCCESS);
    EXPECT_EQ(SetString(child, "v", "y"), ERROR_KEY_DELETED);
    EXPECT_EQ(Create(child, "n", &other), ERROR_KEY_DELETED);
    EXPECT_EQ(Api().RegDeleteKeyA(child, ""), ERROR_KEY_DELETED);
    EXPECT_EQ(Api().RegCloseKey(child), ERROR_SUCCESS);
    EXPECT_EQ(Api().RegCloseKey(child), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Api().RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
}

TEST_F(Registry, NamesKeepTheirCaseAndListsTheirOrder) {
    HKEY child = nullptr;
    for (const char* name : {"beta", "Alpha", "gamma_long_name"}) {
        ASSERT_EQ(Create(m_key, name, &child, nullptr, "Quillon"), ERROR_SUCCESS);
        Api().RegCloseKey(child);
    }
    ASSERT_EQ(SetString(m_key, "Second", "22"), ERROR_SUCCESS);
    ASSERT_EQ(SetString(m_key, "first-but-longer", "1"), ERROR_SUCCESS);
    ASSERT_EQ(SetString(m_key, "SECOND", "2222222"), ERROR_SUCCESS);  // the same value, in its place

    // The class each key was made with counts in the longest class.
    DWORD subKeys = 0, maxSubKey = 0, maxClass = 0, values = 0, maxName = 0, maxData = 0;
    ASSERT_EQ(Api().RegQueryInfoKeyA(m_key, nullptr, nullptr, nullptr, &subKeys, &maxSubKey, &maxClass, &values,
                                     &maxName, &maxData, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(std::vector<DWORD>({subKeys, maxSubKey, maxClass, values, maxName, maxData}),
              std::vector<DWORD>({3, 15, 7, 2, 16, 8}));

    // Sub-keys in the order of their upper-case names, values in the order of creation.
    std::vector<std::string> names;
    for (DWORD i = 0; i < 6; ++i) {
        names.push_back(EntryAt(m_key, i >= 3, i >= 3 ? i - 3 : i));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "beta", "gamma_long_name", "Second", "first-but-longer",
                                               "error 259"}));
}

TEST_F(Registry, RootsAndRemoteConnection) {
    HKEY classes = nullptr;
    ASSERT_EQ(Create(HKEY_CLASSES_ROOT, ".qvtrtest", &classes), ERROR_SUCCESS);
    ASSERT_EQ(SetNumber(classes, "", 7), ERROR_SUCCESS);
    Api().RegCloseKey(classes);
    HKEY machine = nullptr;
    ASSERT_EQ(Api().RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\.QVTRTEST", 0, KEY_READ, &machine),
              ERROR_SUCCESS);
    DWORD value = 0;
    EXPECT_TRUE(GetNumber(machine, "", value));
    EXPECT_EQ(value, 7u);
    Api().RegCloseKey(machine);
    EXPECT_EQ(Api().RegDeleteKeyA(HKEY_CLASSES_ROOT, ".qvtrtest"), ERROR_SUCCESS);
    // A root's own values, through the predefined handle.
    ASSERT_EQ(SetNumber(HKEY_CURRENT_USER, "QvtrRootValue", 3), ERROR_SUCCESS);
    EXPECT_EQ(Api().RegDeleteValueA(HKEY_CURRENT_USER, "QvtrRootValue"), ERROR_SUCCESS);
    EXPECT_FALSE(GetNumber(HKEY_CURRENT_USER, "QvtrRootValue", value));

    ScopedEnv name("QVTR_COMPUTERNAME", "QVTRHOST");
    struct Case {
        const char* machine;
        LONG expected;
    };
    // Another machine's name goes over ssh: the remote registry's tests.
    const Case cases[] = {{nullptr, ERROR_SUCCESS}, {"", ERROR_SUCCESS}, {"\\\\qvtrhost", ERROR_SUCCESS}};
    for (const Case& c : cases) {
        HKEY remote = nullptr;
        EXPECT_EQ(Api().RegConnectRegistryA(c.machine, HKEY_LOCAL_MACHINE, &remote), c.expected)
            << (c.machine ? c.machine : "(null)");
        Api().RegCloseKey(remote);
    }
}

TEST_F(Registry, DatabaseIsTheOwnersAlone) {
    const std::string path = std::getenv("QVTR_REGISTRY");
    for (const char* suffix : {"", "-wal", "-shm"}) {
        struct stat info {};
        ASSERT_EQ(stat((path + suffix).c_str(), &info), 0) << suffix;
        EXPECT_EQ(info.st_mode & 0777, 0600u) << suffix;
    }
}

TEST_F(Registry, WindowsNinetyFiveDeletesWholeTrees) {
    HKEY version = nullptr;
    regfile::DeleteTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion");
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion", &version), ERROR_SUCCESS);
    ASSERT_EQ(SetString(version, "VersionNumber", "4.10.2222"), ERROR_SUCCESS);
    HKEY child = nullptr;
    ASSERT_EQ(Create(m_key, "tree\\a\\b", &child), ERROR_SUCCESS);
    Api().RegCloseKey(child);
    EXPECT_EQ(Api().RegDeleteKeyA(m_key, "tree"), ERROR_SUCCESS);
    EXPECT_EQ(Api().RegOpenKeyExA(m_key, "tree\\a", 0, KEY_READ, &child), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Api().RegDeleteValueA(version, "VersionNumber"), ERROR_SUCCESS);
    Api().RegCloseKey(version);
}

// ---- several processes ------------------------------------------------------------
// Children are forked; the store gives a forked child a connection of its own.

pid_t Spawn(const std::function<int()>& body) {
    const pid_t child = fork();
    if (child == 0) {
        alarm(60);
        _exit(body());
    }
    return child;
}

// What another process does in the sharing tests: the first value goes, a last one comes.
int ReplaceFirstValue(const std::string& name) {
    HKEY key = Open(name);
    return Api().RegDeleteValueA(key, "x") == ERROR_SUCCESS && SetNumber(key, "w", 1) == ERROR_SUCCESS ? 0 : 1;
}

// Reads repeated without a change in between are answered from memory; a change
// made by another process must never be hidden by that.
TEST_F(Registry, RepeatedReadsSeeOtherProcessesChanges) {
    ASSERT_EQ(SetNumber(m_key, "value", 1), ERROR_SUCCESS);
    DWORD value = 0;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(GetNumber(m_key, "value", value));
        EXPECT_EQ(value, 1u);
        EXPECT_FALSE(GetNumber(m_key, "absent", value));
    }
    ASSERT_EQ(forked::Run([&] { return static_cast<int>(SetNumber(Open(m_name), "value", 2)); }), 0);
    ASSERT_TRUE(GetNumber(m_key, "value", value));
    EXPECT_EQ(value, 2u);

    // A program that changes the database without saying what (an administrator's
    // own SQLite session): what memory holds is dropped all the same.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(std::getenv("QVTR_REGISTRY"), &db), SQLITE_OK);
    sqlite3_busy_timeout(db, 5000);
    ASSERT_EQ(sqlite3_exec(db,
                           "UPDATE vals SET data = x'03000000' WHERE folded = CAST('VALUE' AS BLOB) AND key ="
                           " (SELECT id FROM keys WHERE CAST(path AS TEXT) LIKE"
                           " '%\\SOFTWARE\\QVTRSTORETEST\\REPEATEDREADSSEEOTHERPROCESSESCHANGES')",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    EXPECT_EQ(sqlite3_changes(db), 1);
    sqlite3_close(db);
    ASSERT_TRUE(GetNumber(m_key, "value", value));
    EXPECT_EQ(value, 3u);
}

TEST_F(Registry, ConcurrentWritersLoseNothing) {
    std::vector<pid_t> writers;
    for (const std::string name : {"a-", "b-"}) {
        writers.push_back(Spawn([&] {
            HKEY key = Open(m_name);
            LONG error = ERROR_SUCCESS;
            for (DWORD i = 0; i < 2000 && error == ERROR_SUCCESS; ++i) {
                error = SetNumber(key, name + std::to_string(i), i);
            }
            return static_cast<int>(error);
        }));
    }
    for (pid_t writer : writers) {
        int status = -1;
        waitpid(writer, &status, 0);
        EXPECT_EQ(status, 0);
    }
    DWORD values = 0;
    ASSERT_EQ(Api().RegQueryInfoKeyA(m_key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                                     nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(values, 4000u);
}

TEST_F(Registry, AKilledWriterLosesNoCommittedChange) {
    const pid_t writer = Spawn([&] {
        HKEY key = Open(m_name);
        for (DWORD i = 0;; ++i) {
            SetNumber(key, "v" + std::to_string(i), i);
            SetNumber(key, "last", i);  // written only once v<i> is committed
        }
        return 0;
    });
    DWORD last = 0;
    for (int i = 0; i < 10000 && !(GetNumber(m_key, "last", last) && last >= 200); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    kill(writer, SIGKILL);
    waitpid(writer, nullptr, 0);
    ASSERT_GE(last, 200u) << "the writer did not get going";
    ASSERT_TRUE(GetNumber(m_key, "last", last));
    for (DWORD i = 0; i <= last; ++i) {
        DWORD value = ~0u;
        ASSERT_TRUE(GetNumber(m_key, "v" + std::to_string(i), value)) << i;
        EXPECT_EQ(value, i);
    }

    // The store a fresh connection finds is whole.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(std::getenv("QVTR_REGISTRY"), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* check = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok");
    sqlite3_finalize(check);
    sqlite3_close(db);
}

// What one process keeps in memory between calls (positions of an enumeration,
// counts) never hides another process's change to the key's sub-keys or values.
TEST_F(Registry, AnotherProcessesChangeMovesEveryIndex) {
    const struct {
        bool values;
        const char* before[3];      // entries 0, 1, 2 read before the change
        const char* afterwards[4];  // entries 0 to 3 once it is made
    } scenarios[] = {
        {false, {"B", "C", "D"}, {"A", "B", "C", "E"}},
        {true, {"x", "y", "z"}, {"y", "z", "w", "error 259"}},
    };
    for (const auto& s : scenarios) {
        SCOPED_TRACE(s.values ? "values" : "sub-keys");
        const std::string path = m_name + (s.values ? "\\V" : "\\K");
        HKEY key = Open(path);
        for (const char* name : s.before) {
            s.values ? SetNumber(key, name, 1) : Api().RegCloseKey(Open(path + "\\" + name));
        }
        // Counts, positions and values now in memory, up and down.
        Api().RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr);
        for (DWORD i : {0u, 1u, 2u, 1u}) {
            EXPECT_EQ(EntryAt(key, s.values, i), s.before[i]);
        }
        ASSERT_EQ(
            forked::Run([&] {
                if (s.values) {
                    return ReplaceFirstValue(path);
                }
                Api().RegCloseKey(Open(path + "\\A"));  // sorts before every other
                Api().RegCloseKey(Open(path + "\\E"));
                return static_cast<int>(Api().RegDeleteKeyA(HKEY_CURRENT_USER, (kBase + "\\" + path + "\\D").c_str()));
            }),
            0);
        for (DWORD i : {1u, 0u, 1u, 2u, 3u}) {
            EXPECT_EQ(EntryAt(key, s.values, i), s.afterwards[i]) << "index " << i;
        }
        Api().RegCloseKey(key);
    }
}

// A snapshot (what reg query and export read through) keeps the store as its first
// read saw it, refuses writes, and once it ends the other process's change is seen.
TEST_F(Registry, ASnapshotKeepsItsViewUntilItEnds) {
    for (const char* name : {"x", "y", "z"}) {
        SetNumber(m_key, name, 1);
    }
    ASSERT_EQ(Api().QvtrRegTransaction(QVTR_REG_SNAPSHOT), ERROR_SUCCESS);
    EXPECT_EQ(EntryAt(m_key, true, 0), "x");
    ASSERT_EQ(forked::Run([&] { return ReplaceFirstValue(m_name); }), 0);
    EXPECT_EQ(EntryAt(m_key, true, 0), "x");
    EXPECT_EQ(EntryAt(m_key, true, 3), "error 259");
    EXPECT_NE(SetNumber(m_key, "v", 2), ERROR_SUCCESS);
    ASSERT_EQ(Api().QvtrRegTransaction(QVTR_REG_COMMIT), ERROR_SUCCESS);
    EXPECT_EQ(EntryAt(m_key, true, 0), "y");
    EXPECT_EQ(EntryAt(m_key, true, 2), "w");
}

// ---- cost ---------------------------------------------------------------------------
// Whole-key walks cost in proportion to the key's size: ten times the entries may
// cost at most twenty times the work, counted in SQLite virtual-machine steps,
// which do not depend on the machine's load.

// Steps run so far by every statement the store has prepared.
uint64_t StepsSoFar() {
    LONG error = ERROR_SUCCESS;
    posix::reg::Store* store = posix::reg::Store::Get(posix::reg::Hive::kUser, error);
    uint64_t steps = 0;
    for (sqlite3_stmt* s = sqlite3_next_stmt(store->Db(), nullptr); s != nullptr;
         s = sqlite3_next_stmt(store->Db(), s)) {
        steps += static_cast<uint64_t>(sqlite3_stmt_status(s, SQLITE_STMTSTATUS_VM_STEP, 0));
    }
    return steps;
}

// A key with `count` sub-keys (each holding one value), or with `count` values.
void Fill(const std::string& path, int count, bool values) {
    Api().QvtrRegTransaction(QVTR_REG_BEGIN);
    HKEY key = Open(path);
    for (int i = 0; i < count; ++i) {
        const std::string name = "Entry" + std::to_string(i);
        HKEY target = values ? key : Open(path + "\\" + name);
        SetNumber(target, values ? name : "v", 1);
        if (!values) {
            Api().RegCloseKey(target);
        }
    }
    Api().RegCloseKey(key);
    Api().QvtrRegTransaction(QVTR_REG_COMMIT);
}

// Visits every index once, upwards (the deletions walk downwards); the count of entries seen.
int Enumerate(const std::string& path, bool values, int count) {
    HKEY key = Open(path);
    int seen = 0;
    for (DWORD index = 0; index < static_cast<DWORD>(count); ++index) {
        seen += EntryAt(key, values, index).rfind("error ", 0) == 0 ? 0 : 1;
    }
    Api().RegCloseKey(key);
    return seen;
}

int DeleteWithKeyObject(const std::string& path, int count) {
    CRegistryKey key(HKEY_CURRENT_USER, kBase + "\\" + path, true, false, true);
    return key.DeleteTree() == ERROR_SUCCESS ? count : 0;
}

int DeleteAsImport(const std::string& path, int count) {
    return regfile::DeleteTree(HKEY_CURRENT_USER, kBase + "\\" + path) == ERROR_SUCCESS ? count : 0;
}

TEST_F(Registry, TenTimesTheEntriesCostAtMostTwentyTimesTheSteps) {
    using namespace std::placeholders;
    const struct {
        const char* what;
        bool values;                                      // the key holds values rather than sub-keys
        std::function<int(const std::string&, int)> run;  // entries handled
    } walks[] = {
        {"sub-keys upwards", false, std::bind(Enumerate, _1, false, _2)},
        {"values upwards", true, std::bind(Enumerate, _1, true, _2)},
        {"DeleteTree of sub-keys", false, DeleteWithKeyObject},
        {"DeleteTree of values", true, DeleteWithKeyObject},
        {"an import's tree deletion", false, DeleteAsImport},
    };
    const int kSmall = 300;
    for (const auto& walk : walks) {
        uint64_t cost[2] = {};
        for (int size = 0; size < 2; ++size) {
            const int count = size == 0 ? kSmall : kSmall * 10;
            const std::string path = m_name + "\\" + std::to_string(count);
            Fill(path, count, walk.values);
            const uint64_t before = StepsSoFar();
            EXPECT_EQ(walk.run(path, count), count) << walk.what;
            cost[size] = StepsSoFar() - before;
            regfile::DeleteTree(HKEY_CURRENT_USER, kBase + "\\" + path);
        }
        EXPECT_LE(cost[1], cost[0] * 20) << walk.what << ": " << cost[0] << " steps for " << kSmall << ", " << cost[1]
                                         << " for ten times as many";
    }
    // The trees are gone, and so is the space they took: the file is not left mostly free pages.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(std::getenv("QVTR_REGISTRY"), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    int64_t pages[2] = {};
    for (int i = 0; i < 2; ++i) {
        sqlite3_stmt* count = nullptr;
        sqlite3_prepare_v2(db, i == 0 ? "PRAGMA page_count" : "PRAGMA freelist_count", -1, &count, nullptr);
        pages[i] = sqlite3_step(count) == SQLITE_ROW ? sqlite3_column_int64(count, 0) : -1;
        sqlite3_finalize(count);
    }
    sqlite3_close(db);
    EXPECT_LT(pages[1] * 2, pages[0]) << pages[1] << " of " << pages[0] << " pages free";
}

// ---- one machine, several users ---------------------------------------------------------
// HKEY_LOCAL_MACHINE is the machine's: every user reads it, only root writes it,
// and a change is seen by every user's process at once. HKEY_CURRENT_USER is each
// user's own. Every actor is a forked child of its own uid with a store of its own.

class OneMachine : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root to act as the administrator and two users";
        }
        chmod(m_dir.Path().c_str(), 0755);
        for (uid_t uid : {uid_t(0), forked::kOther, forked::kVictim}) {
            const std::string home = Home(uid);
            mkdir(home.c_str(), 0700), chown(home.c_str(), uid, 0);
        }
    }
    std::string Home(uid_t uid) const { return m_dir.File("data-" + std::to_string(uid)); }
    std::string Hive() const { return m_dir.File("machine/machine.db"); }

    // 0 when `body` gives `expected` as `uid`; what it gave is printed otherwise.
    int As(uid_t uid, LONG expected, const std::function<LONG()>& body) const {
        return forked::Run(
            [&] {
                unsetenv("QVTR_REGISTRY");
                setenv("XDG_DATA_HOME", Home(uid).c_str(), 1);
                const LONG got = body();
                if (got != expected) {
                    std::fprintf(stderr, "uid %u: %ld, not %ld\n", unsigned(uid), long(got), long(expected));
                }
                return got == expected ? 0 : 1;
            },
            uid);
    }

    TempDir m_dir;
    const ScopedEnv m_hive{"QVTR_MACHINE_HIVE", m_dir.File("machine/machine.db").c_str()};
};

LONG Who(std::string& who) {
    char text[32] = {};
    DWORD size = sizeof text;
    HKEY key = nullptr;
    LONG error = Api().RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\MachineWide", 0, KEY_READ, &key);
    error = error ? error : Api().RegQueryValueExA(key, "who", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size);
    Api().RegCloseKey(key);
    who = text;
    return error;
}

LONG Access(HKEY root, const char* path, REGSAM access) {
    HKEY key = nullptr;
    const LONG error = Api().RegOpenKeyExA(root, path, 0, access, &key);
    Api().RegCloseKey(key);
    return error;
}

TEST_F(OneMachine, EachHiveAnswersEachUserAsWindowsDoes) {
    const uid_t root = 0, user = forked::kOther, other = forked::kVictim;
    std::string who;
    HKEY mine = nullptr;
    const struct {
        const char* what;
        uid_t actor;
        LONG expected;
        std::function<LONG()> operation;
    } rows[] = {
        {"no machine hive yet: an empty HKLM", user, ERROR_FILE_NOT_FOUND, [&] { return Who(who); }},
        {"a user cannot make it", user, ERROR_ACCESS_DENIED, [&] { return Made(HKEY_LOCAL_MACHINE, "Software\\x"); }},
        {"root's first write makes it", root, ERROR_SUCCESS,
         [&] { return Create(HKEY_LOCAL_MACHINE, "Software\\MachineWide", &mine) || SetString(mine, "who", "root"); }},
        {"every user reads it", user, ERROR_SUCCESS, [&] { return Who(who) || who != "root"; }},
        {"a user's write", user, ERROR_ACCESS_DENIED, [&] { return SetString(HKEY_LOCAL_MACHINE, "who", "user"); }},
        {"a user's new key", user, ERROR_ACCESS_DENIED,
         [&] { return Made(HKEY_LOCAL_MACHINE, "Software\\MachineWide\\new"); }},
        {"a user's deletion", user, ERROR_ACCESS_DENIED,
         [&] { return Api().RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\MachineWide"); }},
        {"a user asking for all access", user, ERROR_ACCESS_DENIED,
         [&] { return Access(HKEY_LOCAL_MACHINE, "Software\\MachineWide", KEY_ALL_ACCESS); }},
        {"a user asking to read", user, ERROR_SUCCESS,
         [&] { return Access(HKEY_CLASSES_ROOT, "", KEY_READ) || Access(HKEY_LOCAL_MACHINE, "Software", KEY_READ); }},
        {"a user's own HKCU", user, ERROR_SUCCESS, [&] { return Made(HKEY_CURRENT_USER, "Software\\Mine"); }},
        {"is not another user's", other, ERROR_FILE_NOT_FOUND,
         [&] { return Access(HKEY_CURRENT_USER, "Software\\Mine", KEY_READ); }},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(As(row.actor, row.expected, row.operation), 0) << row.what;
    }
    struct stat info {};
    ASSERT_EQ(stat(Hive().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
    EXPECT_EQ(info.st_uid, 0u);

    // A process of the user that keeps running sees root's change the moment it is made.
    forked::Host reader(
        [&](const std::string&) {
            unsetenv("QVTR_REGISTRY");
            setenv("XDG_DATA_HOME", Home(user).c_str(), 1);
            return Who(who) == ERROR_SUCCESS ? who : "error";
        },
        user);
    EXPECT_EQ(reader.Ask("who"), "root");
    EXPECT_EQ(reader.Ask("who"), "root");  // from its memory now
    // Made the way an import makes its changes: in one transaction over both hives.
    EXPECT_EQ(As(root, ERROR_SUCCESS,
                 [&] {
                     return Api().QvtrRegTransaction(QVTR_REG_BEGIN) ||
                            Create(HKEY_LOCAL_MACHINE, "Software\\MachineWide", &mine) ||
                            SetString(mine, "who", "again") || Api().QvtrRegTransaction(QVTR_REG_COMMIT);
                 }),
              0);
    EXPECT_EQ(reader.Ask("who"), "again");
}

// A machine hive that another user could have made or changed is refused, and
// the user's own HKCU keeps working.
TEST_F(OneMachine, AHiveOthersCouldHaveChangedIsRefused) {
    HKEY key = nullptr;
    ASSERT_EQ(As(0, ERROR_SUCCESS, [&] { return Create(HKEY_LOCAL_MACHINE, "Software\\x", &key); }), 0);
    const std::string hive = Hive(), dir = m_dir.File("machine"), moved = hive + ".real";
    const struct {
        const char* what;
        std::function<void()> damage, repair;
    } cases[] = {
        {"owned by an ordinary user", [&] { chown(hive.c_str(), forked::kOther, 0); },
         [&] { chown(hive.c_str(), 0, 0); }},
        {"writable by others", [&] { chmod(hive.c_str(), 0666); }, [&] { chmod(hive.c_str(), 0644); }},
        {"a directory others can write to", [&] { chmod(dir.c_str(), 01777); }, [&] { chmod(dir.c_str(), 0755); }},
        {"a link", [&] { rename(hive.c_str(), moved.c_str()), symlink(moved.c_str(), hive.c_str()); },
         [&] { unlink(hive.c_str()), rename(moved.c_str(), hive.c_str()); }},
        {"a FIFO", [&] { rename(hive.c_str(), moved.c_str()), mkfifo(hive.c_str(), 0644); },
         [&] { unlink(hive.c_str()), rename(moved.c_str(), hive.c_str()); }},
    };
    for (const auto& c : cases) {
        c.damage();
        EXPECT_EQ(As(forked::kVictim, ERROR_REGISTRY_IO_FAILED,
                     [&] { return Access(HKEY_LOCAL_MACHINE, "Software\\x", KEY_READ); }),
                  0)
            << c.what;
        EXPECT_EQ(As(forked::kVictim, ERROR_SUCCESS, [&] { return Made(HKEY_CURRENT_USER, "Software\\fine"); }), 0)
            << c.what;
        c.repair();
    }
}

}  // namespace
