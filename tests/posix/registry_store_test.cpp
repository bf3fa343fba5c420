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
    static LONG SetString(HKEY key, const char* name, const std::string& text) {
        return Api().RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                    static_cast<DWORD>(text.size() + 1));
    }
    static std::string GetString(HKEY key, const char* name, LONG* error = nullptr) {
        char buffer[256] = {};
        DWORD size = sizeof buffer;
        const LONG result =
            Api().RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<LPBYTE>(buffer), &size);
        if (error != nullptr) {
            *error = result;
        }
        return result == ERROR_SUCCESS ? std::string(buffer) : std::string();
    }
    // Deletes a tree bottom-up through the API.
    static void Wipe(const std::string& path, HKEY root = HKEY_CURRENT_USER) {
        HKEY key = nullptr;
        if (Api().RegOpenKeyExA(root, path.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
            return;
        }
        char name[300];
        for (;;) {
            DWORD length = sizeof name;
            if (Api().RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
                break;
            }
            Wipe(path + "\\" + name, root);
        }
        Api().RegCloseKey(key);
        Api().RegDeleteKeyA(root, path.c_str());
    }

    std::string m_path;
    HKEY m_key = nullptr;
};

TEST_F(Registry, NamesAreCaseInsensitiveAndKeepTheirCase) {
    HKEY child = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(Create(m_key, "MiXed", &child, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    ASSERT_EQ(SetString(child, "ValueName", "one"), ERROR_SUCCESS);
    ASSERT_EQ(SetString(child, "VALUENAME", "two"), ERROR_SUCCESS);  // same value
    Api().RegCloseKey(child);

    ASSERT_EQ(Create(m_key, "mixed", &child, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(GetString(child, "valuename"), "two");
    char name[32];
    DWORD length = sizeof name;
    ASSERT_EQ(Api().RegEnumValueA(child, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_STREQ(name, "ValueName");
    EXPECT_EQ(length, 9u);
    Api().RegCloseKey(child);

    length = sizeof name;
    ASSERT_EQ(Api().RegEnumKeyExA(m_key, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_STREQ(name, "MiXed");
}

TEST_F(Registry, QueryValueSizesFollowWindows) {
    const BYTE bytes[] = {'a', 'b', 'c'};  // a string stored without its terminator
    ASSERT_EQ(Api().RegSetValueExA(m_key, "s", 0, REG_SZ, bytes, 3), ERROR_SUCCESS);

    DWORD type = 0;
    DWORD size = 0;
    EXPECT_EQ(Api().RegQueryValueExA(m_key, "s", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 3u);

    BYTE buffer[8];
    std::memset(buffer, 'Z', sizeof buffer);
    size = 2;
    EXPECT_EQ(Api().RegQueryValueExA(m_key, "s", nullptr, &type, buffer, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(buffer[0], 'Z');

    size = 3;
    EXPECT_EQ(Api().RegQueryValueExA(m_key, "s", nullptr, &type, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(std::memcmp(buffer, "abc", 3), 0);

    EXPECT_EQ(Api().RegQueryValueExA(m_key, "s", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(Api().RegQueryValueExA(m_key, "missing", nullptr, &type, buffer, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Api().RegQueryValueExA(m_key, "s", nullptr, &type, buffer, nullptr), ERROR_INVALID_PARAMETER);

    // The default value is the empty name, and a null name.
    ASSERT_EQ(SetString(m_key, nullptr, "default"), ERROR_SUCCESS);
    EXPECT_EQ(GetString(m_key, ""), "default");
    EXPECT_EQ(Api().RegSetValueExA(m_key, "n", 0, REG_BINARY, nullptr, 4), 998);  // ERROR_NOACCESS
}

TEST_F(Registry, EnumerationAndInfo) {
    HKEY child = nullptr;
    for (const char* name : {"beta", "Alpha", "gamma_long_name"}) {
        ASSERT_EQ(Create(m_key, name, &child, nullptr, "Quillon"), ERROR_SUCCESS);
        Api().RegCloseKey(child);
    }
    ASSERT_EQ(SetString(m_key, "second", "22"), ERROR_SUCCESS);
    ASSERT_EQ(SetString(m_key, "first-but-longer", "1"), ERROR_SUCCESS);
    ASSERT_EQ(SetString(m_key, "second", "2222222"), ERROR_SUCCESS);  // keeps its place

    char keyClass[16] = {};
    DWORD classLength = sizeof keyClass;
    DWORD subKeys = 0, maxSubKey = 0, maxClass = 0, values = 0, maxName = 0, maxData = 0;
    ASSERT_EQ(Api().RegQueryInfoKeyA(m_key, keyClass, &classLength, nullptr, &subKeys, &maxSubKey, &maxClass, &values,
                                     &maxName, &maxData, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subKeys, 3u);
    EXPECT_EQ(maxSubKey, std::strlen("gamma_long_name"));
    EXPECT_EQ(maxClass, std::strlen("Quillon"));
    EXPECT_EQ(values, 2u);
    EXPECT_EQ(maxName, std::strlen("first-but-longer"));
    EXPECT_EQ(maxData, 8u);
    EXPECT_EQ(classLength, 0u);  // this key was created without a class

    // Sub-keys in the order of their upper-case names, values in the order of creation.
    const char* expectedKeys[] = {"Alpha", "beta", "gamma_long_name"};
    for (DWORD i = 0; i < 3; ++i) {
        char name[64];
        DWORD length = sizeof name;
        ASSERT_EQ(Api().RegEnumKeyExA(m_key, i, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
        EXPECT_STREQ(name, expectedKeys[i]);
    }
    char name[64];
    DWORD length = sizeof name;
    EXPECT_EQ(Api().RegEnumKeyExA(m_key, 3, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    length = 5;  // "Alpha" needs 6 with its terminator
    EXPECT_EQ(Api().RegEnumKeyExA(m_key, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);

    DWORD type = 0;
    BYTE data[16];
    DWORD size = sizeof data;
    length = sizeof name;
    ASSERT_EQ(Api().RegEnumValueA(m_key, 0, name, &length, nullptr, &type, data, &size), ERROR_SUCCESS);
    EXPECT_STREQ(name, "second");
    EXPECT_EQ(size, 8u);
    size = 2;
    length = sizeof name;
    EXPECT_EQ(Api().RegEnumValueA(m_key, 0, name, &length, nullptr, &type, data, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 8u);
    length = sizeof name;
    EXPECT_EQ(Api().RegEnumValueA(m_key, 2, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

    // A class buffer that is too short.
    HKEY classed = nullptr;
    ASSERT_EQ(Api().RegOpenKeyExA(m_key, "beta", 0, KEY_READ, &classed), ERROR_SUCCESS);
    classLength = 3;
    EXPECT_EQ(Api().RegQueryInfoKeyA(classed, keyClass, &classLength, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    classLength = sizeof keyClass;
    EXPECT_EQ(Api().RegQueryInfoKeyA(classed, keyClass, &classLength, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_STREQ(keyClass, "Quillon");
    EXPECT_EQ(classLength, 7u);
    Api().RegCloseKey(classed);
}

TEST_F(Registry, DeletionFollowsNt) {
    HKEY parent = nullptr;
    HKEY child = nullptr;
    ASSERT_EQ(Create(m_key, "p\\c", &child), ERROR_SUCCESS);
    ASSERT_EQ(SetString(child, "v", "x"), ERROR_SUCCESS);
    EXPECT_EQ(Api().RegDeleteKeyA(m_key, "p"), ERROR_ACCESS_DENIED);  // it has a sub-key
    ASSERT_EQ(Api().RegOpenKeyExA(m_key, "p", 0, KEY_READ, &parent), ERROR_SUCCESS);
    EXPECT_EQ(Api().RegDeleteKeyA(m_key, "P\\C"), ERROR_SUCCESS);
    EXPECT_EQ(Api().RegDeleteKeyA(m_key, "p\\c"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Api().RegDeleteKeyA(m_key, nullptr), ERROR_INVALID_PARAMETER);

    // The handle to the deleted key answers ERROR_KEY_DELETED everywhere but close.
    char name[16];
    DWORD length = sizeof name;
    DWORD size = sizeof name;
    HKEY grandChild = nullptr;
    EXPECT_EQ(Api().RegQueryValueExA(child, "v", nullptr, nullptr, reinterpret_cast<LPBYTE>(name), &size),
              ERROR_KEY_DELETED);
    EXPECT_EQ(SetString(child, "v", "y"), ERROR_KEY_DELETED);
    EXPECT_EQ(Api().RegDeleteValueA(child, "v"), ERROR_KEY_DELETED);
    EXPECT_EQ(Api().RegEnumKeyExA(child, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
    EXPECT_EQ(Create(child, "n", &grandChild), ERROR_KEY_DELETED);
    EXPECT_EQ(Api().RegQueryInfoKeyA(child, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, nullptr),
              ERROR_KEY_DELETED);
    EXPECT_EQ(Api().RegDeleteKeyA(child, ""), ERROR_KEY_DELETED);
    EXPECT_EQ(Api().RegCloseKey(child), ERROR_SUCCESS);

    // A closed or made-up handle is invalid; predefined keys close without effect.
    EXPECT_EQ(Api().RegCloseKey(child), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Api().RegQueryValueExA(child, "v", nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Api().RegOpenKeyExA(reinterpret_cast<HKEY>(0x7777), "x", 0, KEY_READ, &grandChild), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Api().RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    EXPECT_EQ(Api().RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);

    // Values go with their key; the parent, now empty, can go too.
    EXPECT_EQ(Api().RegDeleteKeyA(parent, ""), ERROR_SUCCESS);
    Api().RegCloseKey(parent);
    EXPECT_EQ(Api().RegOpenKeyExA(m_key, "p", 0, KEY_READ, &parent), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(parent, nullptr);
}

TEST_F(Registry, AccessRightsOfTheHandleAreRespected) {
    ASSERT_EQ(SetString(m_key, "v", "x"), ERROR_SUCCESS);
    HKEY reader = nullptr;
    ASSERT_EQ(Api().RegOpenKeyExA(HKEY_CURRENT_USER, m_path.c_str(), 0, KEY_READ, &reader), ERROR_SUCCESS);
    EXPECT_EQ(GetString(reader, "v"), "x");
    EXPECT_EQ(SetString(reader, "v", "y"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Api().RegDeleteValueA(reader, "v"), ERROR_ACCESS_DENIED);
    Api().RegCloseKey(reader);

    HKEY writer = nullptr;
    ASSERT_EQ(Api().RegOpenKeyExA(HKEY_CURRENT_USER, m_path.c_str(), 0, KEY_SET_VALUE, &writer), ERROR_SUCCESS);
    EXPECT_EQ(SetString(writer, "v", "y"), ERROR_SUCCESS);
    EXPECT_EQ(Api().RegQueryValueExA(writer, "v", nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED);
    char name[8];
    DWORD length = sizeof name;
    EXPECT_EQ(Api().RegEnumKeyExA(writer, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED);
    Api().RegCloseKey(writer);
}

TEST_F(Registry, LimitsGiveWindowsCodes) {
    struct Case {
        std::string path;
        LONG expected;
    };
    std::string deep;
    for (int i = 0; i < 520; ++i) {
        deep += i ? "\\d" : "d";
    }
    const Case cases[] = {
        {std::string(255, 'k'), ERROR_SUCCESS}, {std::string(256, 'k'), ERROR_INVALID_PARAMETER},
        {"\\leading", ERROR_BAD_PATHNAME},      {"double\\\\separator\\", ERROR_SUCCESS},
        {deep, ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        HKEY key = nullptr;
        EXPECT_EQ(Create(m_key, c.path, &key), c.expected) << c.path.substr(0, 40);
        if (key != nullptr) {
            Api().RegCloseKey(key);
        }
    }
    HKEY key = nullptr;
    EXPECT_EQ(Api().RegOpenKeyExA(m_key, "double\\separator", 0, KEY_READ, &key), ERROR_SUCCESS);
    Api().RegCloseKey(key);

    const std::string longName(16384, 'v');
    EXPECT_EQ(SetString(m_key, longName.c_str(), "x"), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(SetString(m_key, longName.substr(1).c_str(), "x"), ERROR_SUCCESS);

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
    EXPECT_EQ(size, big.size());
    EXPECT_TRUE(back == big);
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

    // RegOpenKeyA with no path hands back the same handle.
    HKEY same = nullptr;
    EXPECT_EQ(Api().RegOpenKeyA(m_key, "", &same), ERROR_SUCCESS);
    EXPECT_EQ(same, m_key);

    ScopedEnv name("QVTR_COMPUTERNAME", "QVTRHOST");
    struct Case {
        const char* machine;
        LONG expected;
    };
    const Case cases[] = {{nullptr, ERROR_SUCCESS},         {"", ERROR_SUCCESS},
                          {"QVTRHOST", ERROR_SUCCESS},      {"\\\\qvtrhost", ERROR_SUCCESS},
                          {"\\\\OTHER", ERROR_BAD_NETPATH}, {"QVTRHOST2", ERROR_BAD_NETPATH}};
    for (const Case& c : cases) {
        HKEY remote = nullptr;
        EXPECT_EQ(Api().RegConnectRegistryA(c.machine, HKEY_LOCAL_MACHINE, &remote), c.expected)
            << (c.machine ? c.machine : "(null)");
        if (c.expected == ERROR_SUCCESS) {
            HKEY software = nullptr;
            EXPECT_EQ(Api().RegOpenKeyExA(remote, "SOFTWARE", 0, KEY_READ, &software), ERROR_SUCCESS);
            Api().RegCloseKey(software);
            Api().RegCloseKey(remote);
        }
    }
}

TEST_F(Registry, ImportTransactionIsAllOrNothing) {
    ASSERT_NE(Api().QvtrRegTransaction, nullptr);
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
    const char* path = std::getenv("QVTR_REGISTRY");
    ASSERT_NE(path, nullptr);
    for (const std::string& file :
         {std::string(path), std::string(path) + "-wal", std::string(path) + "-shm", std::string(path) + "-seq"}) {
        struct stat info {};
        ASSERT_EQ(stat(file.c_str(), &info), 0) << file;
        EXPECT_EQ(info.st_mode & 0777, 0600u) << file;
    }
}

TEST_F(Registry, WindowsNinetyFiveDeletesWholeTrees) {
    HKEY version = nullptr;
    const char* ntKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
    const char* windowsKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
    Wipe(ntKey, HKEY_LOCAL_MACHINE);
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, windowsKey, &version), ERROR_SUCCESS);
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

std::string Role() {
    return ChildRole() ? ChildRole() : "";
}

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
    const std::string role = Role();
    if (role.empty()) {
        GTEST_SKIP() << "runs only as a child process";
    }
    if (role == "ping") {
        HKEY key = OpenShared("Visibility");
        SetNumber(key, "from-child", 7);
        // Waits for the parent's answer, written after it saw our value.
        DWORD answer = 0;
        for (int i = 0; i < 5000 && !GetNumber(key, "from-parent", answer); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_EQ(answer, 8u);
        Api().RegCloseKey(key);
    } else if (role.rfind("writer-", 0) == 0) {
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

TEST_F(Registry, AnotherProcessSeesAChangeAtOnce) {
    Wipe(std::string(kBase) + "\\Visibility");
    HKEY key = OpenShared("Visibility");  // opened before the child writes
    ScopedEnv role("QVTR_CHILD_ROLE", "ping");
    Child child(SelfPath(), ChildArgs("RegistryChild.Work"));
    DWORD value = 0;
    for (int i = 0; i < 5000 && !GetNumber(key, "from-child", value); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(value, 7u);
    SetNumber(key, "from-parent", 8);
    EXPECT_EQ(child.Wait(), 0);
    Api().RegCloseKey(key);
    Wipe(std::string(kBase) + "\\Visibility");
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
