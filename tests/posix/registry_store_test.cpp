// The POSIX registry through the seam: NT semantics and codes, limits, access
// rights, persistence across processes, and survival of a killed writer.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "registry/reg_file.h"
#include "support/support.h"
#include "win32/api.h"

using namespace testing_support;

namespace {

const char* const kBase = "Software\\QvtrStoreTest";

class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_path = std::string(kBase) + "\\" + info->name();
        Wipe(m_path);
        ASSERT_EQ(Create(HKEY_CURRENT_USER, m_path, &m_key), ERROR_SUCCESS);
    }
    void TearDown() override {
        Api().RegCloseKey(m_key);
        Wipe(m_path);
    }

    static LONG Create(HKEY root, const std::string& path, HKEY* key, DWORD* disposition = nullptr,
                       const char* keyClass = nullptr) {
        return Api().RegCreateKeyExA(root, path.c_str(), 0, const_cast<LPSTR>(keyClass), 0, KEY_ALL_ACCESS, nullptr,
                                     key, disposition);
    }
    static LONG Made(HKEY root, const std::string& path) {
        HKEY key = nullptr;
        const LONG code = Create(root, path, &key);
        Api().RegCloseKey(key);
        return code;
    }
    static LONG SetString(HKEY key, const char* name, const std::string& text) {
        return Api().RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                    static_cast<DWORD>(text.size() + 1));
    }
    static std::string GetString(HKEY key, const char* name) {
        char buffer[256] = {};
        DWORD size = sizeof buffer;
        return Api().RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<LPBYTE>(buffer), &size) ==
                       ERROR_SUCCESS
                   ? std::string(buffer)
                   : std::string();
    }
    static void Wipe(const std::string& path, HKEY root = HKEY_CURRENT_USER) { regfile::DeleteTree(root, path); }

    std::string m_path;
    HKEY m_key = nullptr;
};

// Every entry point's answer to the misuses a Windows program may make of it.
TEST_F(Registry, CallsAnswerWithNtCodes) {
    HKEY child = nullptr, reader = nullptr, writer = nullptr, other = nullptr;
    DWORD disposition = 0, size = 2, type = 0;
    BYTE buffer[8];
    char name[16];
    DWORD length = 5;  // "Alpha" needs 6 with its terminator
    std::memset(buffer, 'Z', sizeof buffer);
    ASSERT_EQ(Create(m_key, "Alpha\\c", &child, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    ASSERT_EQ(Api().RegSetValueExA(child, "s", 0, REG_SZ, reinterpret_cast<const BYTE*>("abc"), 3), ERROR_SUCCESS);
    ASSERT_EQ(Api().RegOpenKeyExA(m_key, "alpha\\C", 0, KEY_READ, &reader), ERROR_SUCCESS);
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
        {"reader deletes", Api().RegDeleteValueA(reader, "s"), ERROR_ACCESS_DENIED},
        {"writer reads", Api().RegQueryValueExA(writer, "s", nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED},
        {"writer writes", SetString(writer, "w", "y"), ERROR_SUCCESS},
        {"key with sub-keys", Api().RegDeleteKeyA(m_key, "Alpha"), ERROR_ACCESS_DENIED},
        {"null sub-key", Api().RegDeleteKeyA(m_key, nullptr), ERROR_INVALID_PARAMETER},
        {"a root", Api().RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED},
        {"made-up handle", Api().RegOpenKeyExA(reinterpret_cast<HKEY>(0x7777), "x", 0, KEY_READ, &other),
         ERROR_INVALID_HANDLE},
        {"name of 255", Made(m_key, std::string(255, 'k')), ERROR_SUCCESS},
        {"name of 256", Made(m_key, std::string(256, 'k')), ERROR_INVALID_PARAMETER},
        {"leading separator", Made(m_key, "\\leading"), ERROR_BAD_PATHNAME},
        {"doubled separator", Made(m_key, "double\\\\separator\\"), ERROR_SUCCESS},
        {"value name too long", SetString(m_key, longName.c_str(), "x"), ERROR_INVALID_PARAMETER},
        {"longest value name", SetString(m_key, longName.substr(1).c_str(), "x"), ERROR_SUCCESS},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.code, c.expected) << c.what;
    }
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(buffer[0], 'Z');
    HKEY same = nullptr;
    EXPECT_EQ(Api().RegOpenKeyA(m_key, "", &same), ERROR_SUCCESS);
    EXPECT_EQ(same, m_key);  // no path: the same handle
    ASSERT_EQ(Create(m_key, "ALPHA", &other, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    Api().RegCloseKey(other);
    Api().RegCloseKey(reader);
    Api().RegCloseKey(writer);

    // A deleted key's handle answers ERROR_KEY_DELETED until it is closed, once.
    EXPECT_EQ(Api().RegDeleteKeyA(m_key, "ALPHA\\C"), ERROR_SUCCESS);
    EXPECT_EQ(SetString(child, "v", "y"), ERROR_KEY_DELETED);
    EXPECT_EQ(Create(child, "n", &other), ERROR_KEY_DELETED);
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

    DWORD subKeys = 0, maxSubKey = 0, maxClass = 0, values = 0, maxName = 0, maxData = 0;
    ASSERT_EQ(Api().RegQueryInfoKeyA(m_key, nullptr, nullptr, nullptr, &subKeys, &maxSubKey, &maxClass, &values,
                                     &maxName, &maxData, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(std::vector<DWORD>({subKeys, maxSubKey, maxClass, values, maxName, maxData}),
              std::vector<DWORD>({3, 15, 7, 2, 16, 8}));

    // Sub-keys in the order of their upper-case names, values in the order of creation.
    std::vector<std::string> names;
    char name[64];
    DWORD length = sizeof name;
    for (DWORD i = 0; Api().RegEnumKeyExA(m_key, i, name, &length, nullptr, nullptr, nullptr, nullptr) == 0;
         ++i, length = sizeof name) {
        names.push_back(name);
    }
    for (DWORD i = 0; Api().RegEnumValueA(m_key, i, name, &length, nullptr, nullptr, nullptr, nullptr) == 0;
         ++i, length = sizeof name) {
        names.push_back(name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "beta", "gamma_long_name", "Second", "first-but-longer"}));
    EXPECT_EQ(GetString(m_key, "second"), "2222222");

    HKEY classed = nullptr;
    ASSERT_EQ(Api().RegOpenKeyExA(m_key, "BETA", 0, KEY_READ, &classed), ERROR_SUCCESS);
    length = 3;
    EXPECT_EQ(Api().RegQueryInfoKeyA(classed, name, &length, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    length = sizeof name;
    EXPECT_EQ(Api().RegQueryInfoKeyA(classed, name, &length, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(std::string(name) + ":" + std::to_string(length), "Quillon:7");
    Api().RegCloseKey(classed);
}

TEST_F(Registry, RootsAndRemoteConnection) {
    HKEY classes = nullptr;
    ASSERT_EQ(Create(HKEY_CLASSES_ROOT, ".qvtrtest", &classes), ERROR_SUCCESS);
    ASSERT_EQ(SetString(classes, nullptr, "QvtrTest.Document"), ERROR_SUCCESS);
    Api().RegCloseKey(classes);
    HKEY machine = nullptr;
    ASSERT_EQ(Api().RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\.QVTRTEST", 0, KEY_READ, &machine),
              ERROR_SUCCESS);
    EXPECT_EQ(GetString(machine, ""), "QvtrTest.Document");
    Api().RegCloseKey(machine);
    EXPECT_EQ(Api().RegDeleteKeyA(HKEY_CLASSES_ROOT, ".qvtrtest"), ERROR_SUCCESS);

    ScopedEnv name("QVTR_COMPUTERNAME", "QVTRHOST");
    struct Case {
        const char* machine;
        LONG expected;
    };
    const Case cases[] = {{nullptr, ERROR_SUCCESS},
                          {"", ERROR_SUCCESS},
                          {"\\\\qvtrhost", ERROR_SUCCESS},
                          {"\\\\OTHER", ERROR_BAD_NETPATH},
                          {"QVTRHOST2", ERROR_BAD_NETPATH}};
    for (const Case& c : cases) {
        HKEY remote = nullptr;
        EXPECT_EQ(Api().RegConnectRegistryA(c.machine, HKEY_LOCAL_MACHINE, &remote), c.expected)
            << (c.machine ? c.machine : "(null)");
        Api().RegCloseKey(remote);
    }
}

TEST_F(Registry, LargeValueAndImportTransaction) {
    // A value of 1 MiB with NULs comes back byte for byte.
    std::string big(1 << 20, '\0');
    for (size_t i = 0; i < big.size(); i += 7) {
        big[i] = static_cast<char>(i % 251);
    }
    ASSERT_EQ(Api().RegSetValueExA(m_key, "big", 0, REG_BINARY, reinterpret_cast<const BYTE*>(big.data()),
                                   static_cast<DWORD>(big.size())),
              ERROR_SUCCESS);
    std::string back(big.size(), 'x');
    DWORD size = static_cast<DWORD>(back.size());
    ASSERT_EQ(Api().RegQueryValueExA(m_key, "big", nullptr, nullptr, reinterpret_cast<LPBYTE>(&back[0]), &size),
              ERROR_SUCCESS);
    EXPECT_TRUE(back == big);

    ASSERT_EQ(Api().QvtrRegTransaction(QVTR_REG_BEGIN), ERROR_SUCCESS);
    HKEY child = nullptr;
    ASSERT_EQ(Create(m_key, "a\\b", &child), ERROR_SUCCESS);
    ASSERT_EQ(SetString(child, "v", "x"), ERROR_SUCCESS);
    EXPECT_EQ(GetString(child, "v"), "x");  // the import sees its own changes
    Api().RegCloseKey(child);
    ASSERT_EQ(Api().QvtrRegTransaction(QVTR_REG_ROLLBACK), ERROR_SUCCESS);
    EXPECT_EQ(Api().RegOpenKeyExA(m_key, "a", 0, KEY_READ, &child), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Api().QvtrRegTransaction(QVTR_REG_COMMIT), ERROR_INVALID_FUNCTION);
}

TEST_F(Registry, DatabaseIsTheOwnersAlone) {
    const std::string path = std::getenv("QVTR_REGISTRY");
    for (const char* suffix : {"", "-wal", "-shm", "-seq"}) {
        struct stat info {};
        ASSERT_EQ(stat((path + suffix).c_str(), &info), 0) << suffix;
        EXPECT_EQ(info.st_mode & 0777, 0600u) << suffix;
    }
}

TEST_F(Registry, WindowsNinetyFiveDeletesWholeTrees) {
    HKEY version = nullptr;
    Wipe("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", HKEY_LOCAL_MACHINE);
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

HKEY OpenShared(const char* name) {
    HKEY key = nullptr;
    Api().RegCreateKeyExA(HKEY_CURRENT_USER, (std::string(kBase) + "\\" + name).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                          nullptr, &key, nullptr);
    return key;
}

void SetNumber(HKEY key, const std::string& name, DWORD value) {
    ASSERT_EQ(Api().RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4),
              ERROR_SUCCESS);
}

bool GetNumber(HKEY key, const std::string& name, DWORD& value) {
    DWORD size = 4;
    return Api().RegQueryValueExA(key, name.c_str(), nullptr, nullptr, reinterpret_cast<LPBYTE>(&value), &size) ==
           ERROR_SUCCESS;
}

// The child side of the tests below; it does nothing when run on its own.
TEST(RegistryChild, Work) {
    const std::string role = ChildRole() ? ChildRole() : "";
    if (role.empty()) {
        GTEST_SKIP() << "runs only as a child process";
    }
    if (role.rfind("writer-", 0) == 0) {
        HKEY key = OpenShared("Concurrent");
        for (DWORD i = 0; i < 2000; ++i) {
            SetNumber(key, role + "-" + std::to_string(i), i);
        }
        Api().RegCloseKey(key);
    } else if (role == "change") {
        HKEY key = OpenShared("Cached");
        SetNumber(key, "value", 2);
        Api().RegCloseKey(key);
    } else if (role == "endless") {
        HKEY key = OpenShared("Killed");
        for (DWORD i = 0;; ++i) {
            SetNumber(key, "v" + std::to_string(i), i);
            SetNumber(key, "last", i);  // written only once v<i> is committed
        }
    }
}

// Reads repeated without a change in between are answered from memory; a change
// made by another process, or left half-announced by a writer that died, must
// never be hidden by that.
TEST_F(Registry, RepeatedReadsSeeOtherProcessesChanges) {
    Wipe(std::string(kBase) + "\\Cached");
    HKEY key = OpenShared("Cached");
    SetNumber(key, "value", 1);
    DWORD value = 0;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(GetNumber(key, "value", value));
        EXPECT_EQ(value, 1u);
        EXPECT_FALSE(GetNumber(key, "absent", value));
    }
    {
        ScopedEnv role("QVTR_CHILD_ROLE", "change");
        Child child(SelfPath(), ChildArgs("RegistryChild.Work"));
        ASSERT_EQ(child.Wait(), 0);
    }
    ASSERT_TRUE(GetNumber(key, "value", value));
    EXPECT_EQ(value, 2u);

    // A writer that died after its commit but before saying so: the counters
    // beside the database stay apart, and reads go to the database meanwhile.
    const std::string counters = std::string(std::getenv("QVTR_REGISTRY")) + "-seq";
    FILE* file = std::fopen(counters.c_str(), "r+b");
    ASSERT_NE(file, nullptr);
    uint64_t pair[2] = {};
    ASSERT_EQ(std::fread(pair, sizeof pair, 1, file), 1u);
    pair[0] += 1;  // begun, never ended
    std::rewind(file);
    ASSERT_EQ(std::fwrite(pair, sizeof pair, 1, file), 1u);
    std::fclose(file);
    ASSERT_TRUE(GetNumber(key, "value", value));  // read between its announcement and its commit
    EXPECT_EQ(value, 2u);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(std::getenv("QVTR_REGISTRY"), &db), SQLITE_OK);
    sqlite3_busy_timeout(db, 5000);
    ASSERT_EQ(sqlite3_exec(db,
                           "UPDATE vals SET data = x'03000000' WHERE folded = CAST('VALUE' AS BLOB) AND key ="
                           " (SELECT id FROM keys WHERE CAST(path AS TEXT) LIKE '%\\SOFTWARE\\QVTRSTORETEST\\CACHED')",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    EXPECT_EQ(sqlite3_changes(db), 1);
    sqlite3_close(db);
    ASSERT_TRUE(GetNumber(key, "value", value));
    EXPECT_EQ(value, 3u);
    SetNumber(key, "value", 4);  // the next writer levels the counters again
    ASSERT_TRUE(GetNumber(key, "value", value));
    EXPECT_EQ(value, 4u);
    Api().RegCloseKey(key);
    Wipe(std::string(kBase) + "\\Cached");
}

TEST_F(Registry, ConcurrentWritersLoseNothing) {
    Wipe(std::string(kBase) + "\\Concurrent");
    std::vector<std::unique_ptr<Child>> children;
    for (const char* name : {"writer-a", "writer-b"}) {
        ScopedEnv role("QVTR_CHILD_ROLE", name);
        children.emplace_back(new Child(SelfPath(), ChildArgs("RegistryChild.Work")));
    }
    for (auto& child : children) {
        EXPECT_EQ(child->Wait(), 0);
    }
    HKEY key = OpenShared("Concurrent");
    DWORD values = 0;
    ASSERT_EQ(Api().RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                                     nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(values, 4000u);
    for (const char* name : {"writer-a", "writer-b"}) {
        for (DWORD i = 0; i < 2000; i += 199) {
            DWORD value = ~0u;
            EXPECT_TRUE(GetNumber(key, std::string(name) + "-" + std::to_string(i), value));
            EXPECT_EQ(value, i);
        }
    }
    Api().RegCloseKey(key);
    Wipe(std::string(kBase) + "\\Concurrent");
}

TEST_F(Registry, AKilledWriterLosesNoCommittedChange) {
    Wipe(std::string(kBase) + "\\Killed");
    HKEY key = OpenShared("Killed");
    {
        ScopedEnv role("QVTR_CHILD_ROLE", "endless");
        Child child(SelfPath(), ChildArgs("RegistryChild.Work"));
        DWORD last = 0;
        for (int i = 0; i < 10000 && !(GetNumber(key, "last", last) && last >= 200); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_GE(last, 200u) << "the writer did not get going";
        kill(static_cast<pid_t>(child.Pid()), SIGKILL);
        child.Wait();
    }
    DWORD last = 0;
    ASSERT_TRUE(GetNumber(key, "last", last));
    for (DWORD i = 0; i <= last; ++i) {
        DWORD value = ~0u;
        ASSERT_TRUE(GetNumber(key, "v" + std::to_string(i), value)) << i;
        EXPECT_EQ(value, i);
    }
    Api().RegCloseKey(key);

    // The store a fresh connection finds is whole.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(std::getenv("QVTR_REGISTRY"), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* check = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok");
    sqlite3_finalize(check);
    sqlite3_close(db);
    Wipe(std::string(kBase) + "\\Killed");
}

}  // namespace
