// What one process keeps in memory between registry calls (positions of an
// enumeration, counts, values) never hides another process's change; and key
// names the registry cannot hold are refused.
#include <gtest/gtest.h>

#include <string>

#include "support/support.h"
#include "win32/api.h"

using namespace testing_support;

namespace {

const std::string kBase = "Software\\QvtrSharingTest";

HKEY Open(const std::string& path) {
    HKEY key = nullptr;
    Api().RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    return key;
}

void SetValue(HKEY key, const char* name) {
    const DWORD data = 1;
    Api().RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), 4);
}

LONG DeleteKey(const std::string& path) {
    return Api().RegDeleteKeyA(HKEY_CURRENT_USER, path.c_str());
}

std::string EntryAt(HKEY key, bool values, DWORD index) {
    char name[64];
    DWORD length = sizeof name;
    const LONG error = values ? Api().RegEnumValueA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr)
                              : Api().RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    return error == ERROR_SUCCESS ? std::string(name, length) : "error " + std::to_string(error);
}

// The other process's side: what it changes under the key.
TEST(RegistrySharingChild, Change) {
    const char* role = ChildRole();
    if (role == nullptr) {
        GTEST_SKIP() << "runs only as a child process";
    }
    HKEY key = Open(kBase);
    if (std::string(role) == "keys") {
        Api().RegCloseKey(Open(kBase + "\\A"));  // sorts before every other
        DeleteKey(kBase + "\\D");
        Api().RegCloseKey(Open(kBase + "\\E"));
    } else {
        Api().RegDeleteValueA(key, "x");  // the first value
        SetValue(key, "w");               // a new last one
    }
    Api().RegCloseKey(key);
}

struct Scenario {
    const char* role;
    bool values;
    const char* before[3];      // entries 0, 1, 2 read before the change
    const char* afterwards[4];  // entries 0 to 3 once it is made
};

TEST(RegistrySharing, AnotherProcessesChangeMovesEveryIndex) {
    const Scenario scenarios[] = {
        {"keys", false, {"B", "C", "D"}, {"A", "B", "C", "E"}},
        {"values", true, {"x", "y", "z"}, {"y", "z", "w", "error 259"}},
    };
    for (const Scenario& s : scenarios) {
        for (const char* name : {"A", "B", "C", "D", "E"}) {
            DeleteKey(kBase + "\\" + name);
        }
        DeleteKey(kBase);
        HKEY key = Open(kBase);
        for (const char* name : s.before) {
            if (s.values) {
                SetValue(key, name);
            } else {
                Api().RegCloseKey(Open(kBase + "\\" + name));
            }
        }
        // Counts, positions and values now in memory, up and down.
        Api().RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr);
        for (DWORD i : {0u, 1u, 2u, 1u}) {
            EXPECT_EQ(EntryAt(key, s.values, i), s.before[i]) << s.role;
        }
        {
            ScopedEnv role("QVTR_CHILD_ROLE", s.role);
            Child child(SelfPath(), ChildArgs("RegistrySharingChild.Change"));
            ASSERT_EQ(child.Wait(), 0);
        }
        for (DWORD i : {1u, 0u, 1u, 2u, 3u}) {
            EXPECT_EQ(EntryAt(key, s.values, i), s.afterwards[i]) << s.role << " index " << i;
        }
        Api().RegCloseKey(key);
    }
}

// A snapshot (what reg query and export read through) keeps the store as its first
// read saw it, refuses writes, and once it ends the other process's change is seen.
TEST(RegistrySharing, ASnapshotKeepsItsViewUntilItEnds) {
    DeleteKey(kBase);
    HKEY key = Open(kBase);
    for (const char* name : {"x", "y", "z"}) {
        SetValue(key, name);
    }
    ASSERT_EQ(Api().QvtrRegTransaction(QVTR_REG_SNAPSHOT), ERROR_SUCCESS);
    EXPECT_EQ(EntryAt(key, true, 0), "x");
    {
        ScopedEnv role("QVTR_CHILD_ROLE", "values");
        Child child(SelfPath(), ChildArgs("RegistrySharingChild.Change"));
        ASSERT_EQ(child.Wait(), 0);
    }
    EXPECT_EQ(EntryAt(key, true, 0), "x");
    EXPECT_EQ(EntryAt(key, true, 3), "error 259");
    const DWORD data = 2;
    EXPECT_NE(Api().RegSetValueExA(key, "v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), 4), ERROR_SUCCESS);
    ASSERT_EQ(Api().QvtrRegTransaction(QVTR_REG_COMMIT), ERROR_SUCCESS);
    EXPECT_EQ(EntryAt(key, true, 0), "y");
    EXPECT_EQ(EntryAt(key, true, 2), "w");
    Api().RegCloseKey(key);
}

TEST(RegistryNames, ControlCharactersInAKeyNameAreRefused) {
    const std::string refused[] = {"line\nfeed", "carriage\rreturn", "tab\there", "\x01start", "delete\x7F"};
    const std::string accepted[] = {"plain name", "caf\xC3\xA9"};
    HKEY key = nullptr;
    for (const std::string& name : refused) {
        EXPECT_EQ(Api().RegCreateKeyExA(HKEY_CURRENT_USER, (kBase + "\\" + name).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                        nullptr, &key, nullptr),
                  ERROR_INVALID_PARAMETER);
        EXPECT_EQ(key, nullptr);
    }
    for (const std::string& name : accepted) {
        key = Open(kBase + "\\" + name);
        ASSERT_NE(key, nullptr) << name;
        // A value name may hold any character.
        EXPECT_EQ(Api().RegSetValueExA(key, "line\r\nfeed", 0, REG_SZ, reinterpret_cast<const BYTE*>(""), 1),
                  ERROR_SUCCESS);
        Api().RegCloseKey(key);
        EXPECT_EQ(DeleteKey(kBase + "\\" + name), ERROR_SUCCESS);
    }
}

}  // namespace
