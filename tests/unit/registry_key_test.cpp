// The registry key object and its typed reads, on the backend's real registry
// (the POSIX store, or Wine's) under a scratch key.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "qvtr/registry.h"
#include "support/fault_injector.h"
#include "support/scratch_registry.h"
#include "win32/api.h"

using testing_support::FaultInjector;
using testing_support::ScratchRegistry;

namespace {

std::string Bytes(const CRegistryValue& value, size_t count) {
    return std::string(reinterpret_cast<const char*>(value.m_pData), count);
}

// Everything runs on the real registry under a scratch key (ScratchRegistry),
// which also records the calls and counts the handles.
class RegistryKey : public ::testing::Test {
protected:
    void TearDown() override {
        EXPECT_EQ(m_reg.LiveHandles(), 0u);
        EXPECT_EQ(m_reg.BadCloses(), 0u);
    }

    static std::string Path(const std::string& sub) { return sub.empty() ? "Software\\T" : "Software\\T\\" + sub; }
    void Put(const std::string& sub, const std::string& name, DWORD type, const std::string& bytes) {
        m_reg.PutValue(HKEY_CURRENT_USER, Path(sub), name, type, bytes.data(), bytes.size());
    }
    void PutKey(const std::string& sub) { m_reg.PutKey(HKEY_CURRENT_USER, Path(sub)); }

    ScratchRegistry m_reg;
};

TEST_F(RegistryKey, FailedOpeningIsRetriedByEveryValueRequest) {
    CRegistryKey key;
    EXPECT_FALSE(key.Open(HKEY_CURRENT_USER, Path("Later"), false, false, true, false));
    EXPECT_EQ(key.m_lLastError, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key.m_hKey, nullptr);
    EXPECT_THROW(CRegistryKey(HKEY_CURRENT_USER, Path("Later"), false, true, true), long);

    CRegistryValue value;
    EXPECT_EQ(key.QueryValue("v", value), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(value.m_pData, nullptr);
    EXPECT_EQ(value.m_strName, "");
    std::string text = "kept";
    EXPECT_EQ(key.ReadString("v", text), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(text, "kept");

    Put("Later", "v", REG_SZ, std::string("now", 4));
    EXPECT_EQ(key.QueryValue("v", value), ERROR_SUCCESS);
    EXPECT_NE(key.m_hKey, nullptr);
    EXPECT_EQ(value.m_dwType, static_cast<DWORD>(REG_SZ));
    ASSERT_EQ(value.m_cbData, 4u);
    EXPECT_STREQ(reinterpret_cast<const char*>(value.m_pData), "now");
}

TEST_F(RegistryKey, ListsWalkEveryEntryAndThrowPastTheEnd) {
    PutKey("Alpha");
    PutKey("Be\\Inner");
    Put("Be", "x", REG_SZ, std::string("1", 2));
    Put("", "text", REG_SZ, std::string("hello", 6));
    Put("", "", REG_BINARY, std::string("\0\1\2", 3));
    CRegistryKey key(HKEY_CURRENT_USER, Path(""), false, true, true);
    ASSERT_EQ(key.m_itSubKeysEnd.m_nIndex, 2u);
    ASSERT_EQ(key.m_itValuesEnd.m_nIndex, 2u);

    std::map<std::string, std::string> seen;
    for (CRegistryKeyIterator it = key.m_itSubKeysBegin; it != key.m_itSubKeysEnd; ++it) {
        CRegistryKey sub = *it;
        EXPECT_EQ(sub.m_hRootKey, key.m_hKey);
        // Its own lists are loaded.
        seen[sub.m_strSubKey] =
            std::to_string(sub.m_itSubKeysEnd.m_nIndex) + std::to_string(sub.m_itValuesEnd.m_nIndex);
    }
    for (CRegistryValueIterator it = key.m_itValuesBegin; it != key.m_itValuesEnd; it++) {
        CRegistryValue value = *it;
        seen[value.m_strName] = std::to_string(value.m_dwType) + ":" + Bytes(value, value.m_cbData);
    }
    EXPECT_EQ(
        seen,
        (std::map<std::string, std::string>{
            {"Alpha", "00"}, {"Be", "11"}, {"text", std::string("1:hello", 8)}, {"", std::string("3:\0\1\2", 5)}}));

    CRegistryKeyIterator end = key.m_itSubKeysEnd;
    EXPECT_THROW(*end, long);
    EXPECT_EQ(end.m_lLastError, ERROR_NO_MORE_ITEMS);
    CRegistryValueIterator valuesEnd = key.m_itValuesEnd;
    EXPECT_THROW(*valuesEnd, long);
}

TEST_F(RegistryKey, ValueBlockGrowsNeverShrinksAndSurvivesAMissingValue) {
    const std::string big(40, 'B');
    const std::string small(10, 's');
    Put("", "big", REG_BINARY, big);
    Put("", "small", REG_BINARY, small);
    CRegistryKey key(HKEY_CURRENT_USER, Path(""), false, false, true);

    CRegistryValue value;
    ASSERT_EQ(key.QueryValue("big", value), ERROR_SUCCESS);
    ASSERT_EQ(key.QueryValue("small", value), ERROR_SUCCESS);
    EXPECT_EQ(value.m_cbData, 40u);
    EXPECT_EQ(Bytes(value, 40), small + big.substr(10));
    EXPECT_EQ(value.m_strName, "small");

    EXPECT_EQ(key.QueryValue("missing", value), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(value.m_cbData, 40u);
    EXPECT_EQ(Bytes(value, 40), small + big.substr(10));
    EXPECT_EQ(value.m_strName, "missing");
}

TEST_F(RegistryKey, WriteLeavesOutTheLastByteAndAReaderCannotWrite) {
    CRegistryKey key(HKEY_CURRENT_USER, Path("New\\Rw"), true, false, true);
    const struct {
        const char* name;
        const char* data;  // null: a value without data
        DWORD size;
        std::string stored;
    } cases[] = {
        {"raw", "\1\2\3", 3, std::string("\1\2", 2)},
        {"nothing", nullptr, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CRegistryValue value(c.name, REG_BINARY, reinterpret_cast<const BYTE*>(c.data), c.size);
        EXPECT_EQ(key.SetValue(c.name, value), ERROR_SUCCESS);
        DWORD type = 0;
        DWORD cb = sizeof(BYTE[16]);
        BYTE bytes[16];
        ASSERT_EQ(Api().RegQueryValueExA(key.m_hKey, c.name, nullptr, &type, bytes, &cb), ERROR_SUCCESS);
        EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
        EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), cb), c.stored);
    }

    CRegistryKey reader(HKEY_CURRENT_USER, Path("New\\Rw"), false, false, true);
    CRegistryValue read;
    ASSERT_EQ(reader.QueryValue("raw", read), ERROR_SUCCESS);
    EXPECT_EQ(reader.SetValue("raw", read), ERROR_ACCESS_DENIED);
    EXPECT_EQ(reader.m_lLastError, ERROR_ACCESS_DENIED);
    EXPECT_EQ(read.Delete(key.m_hKey), ERROR_SUCCESS);
    EXPECT_EQ(reader.QueryValue("raw", read), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(read.Delete(key.m_hKey), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryKey, CopyOfANonOwningKeyClosesTheHandleOnce) {
    PutKey("Sub");
    CRegistryKey borrowed;
    ASSERT_TRUE(borrowed.Open(HKEY_CURRENT_USER, Path("Sub"), false, false, false, false));
    {
        CRegistryKey copy(borrowed);
        EXPECT_TRUE(copy.m_bOwnsHandle);
        EXPECT_FALSE(borrowed.m_bOwnsHandle);
        EXPECT_EQ(copy.m_hKey, borrowed.m_hKey);
    }
    // The copy closed it; the original closes nothing (a second close would count in BadCloses).
    EXPECT_EQ(m_reg.LiveHandles(), 0u);
}

TEST_F(RegistryKey, RemoteMachines) {
    m_reg.AllowRemoteMachine("SERVER");
    m_reg.PutKey(HKEY_LOCAL_MACHINE, "Software\\X");
    {
        CRegistryKey key("\\\\SERVER", HKEY_LOCAL_MACHINE, "Software\\X", false, false, true);
        EXPECT_NE(key.m_hRootKey, HKEY_LOCAL_MACHINE);
        EXPECT_EQ(m_reg.RegistryCallTexts(),
                  (std::vector<std::string>{"RegConnectRegistryA HKLM:\\\\SERVER", "RegOpenKeyExA HKLM\\Software\\X"}));
    }
    EXPECT_EQ(m_reg.LiveHandles(), 0u);  // the connection too

    // Only HKLM of another machine: the rule answers without asking the registry.
    m_reg.ClearCalls();
    CRegistryKey key;
    key.m_strMachine = "SERVER";
    EXPECT_FALSE(key.Open(HKEY_CURRENT_USER, "Software", false, true, true, false));
    EXPECT_EQ(key.m_lLastError, ERROR_INVALID_HANDLE);
    EXPECT_TRUE(m_reg.RegistryCallTexts().empty());

    key.m_strMachine = "NOWHERE";
    EXPECT_FALSE(key.Open(HKEY_LOCAL_MACHINE, "Software", false, false, true, false));
    EXPECT_EQ(key.m_lLastError, ERROR_BAD_NETPATH);
    EXPECT_EQ(key.m_hRootKey, HKEY_LOCAL_MACHINE);
    EXPECT_TRUE(m_reg.RegistryCallTexts({"RegOpenKeyExA"}).empty());
}

// The first call of `Member` fails with `code`; what reading the first sub-key throws.
template <auto Member>
LONG FirstSubKeyFails(CRegistryKey& key, LONG code) {
    FaultInjector<Member> fail(1, code, code);
    try {
        CRegistryKey sub = *key.m_itSubKeysBegin;
    } catch (long thrown) {
        return thrown;
    }
    return ERROR_SUCCESS;
}

TEST_F(RegistryKey, ListFailuresGiveTheCodeAndLeakNothing) {
    PutKey("Sub");
    CRegistryKey key;
    {
        FaultInjector<&Win32Api::RegQueryInfoKeyA> fail(1, ERROR_ACCESS_DENIED, LONG(ERROR_ACCESS_DENIED));
        EXPECT_FALSE(key.Open(HKEY_CURRENT_USER, Path(""), false, true, true, false));
    }
    EXPECT_EQ(key.m_lLastError, ERROR_ACCESS_DENIED);
    EXPECT_EQ(key.m_itSubKeysEnd.m_nIndex, 0u);
    EXPECT_EQ(m_reg.LiveHandles(), 1u);  // until Close
    key.Close();
    EXPECT_EQ(m_reg.LiveHandles(), 0u);

    ASSERT_TRUE(key.Open(HKEY_CURRENT_USER, Path(""), false, true, true, false));
    EXPECT_EQ(FirstSubKeyFails<&Win32Api::RegOpenKeyExA>(key, ERROR_ACCESS_DENIED), ERROR_ACCESS_DENIED);
    EXPECT_EQ(FirstSubKeyFails<&Win32Api::RegQueryInfoKeyA>(key, ERROR_KEY_DELETED), ERROR_KEY_DELETED);
    EXPECT_EQ(m_reg.LiveHandles(), 1u);

    // A value that grew between its size and its read is reported, not overrun.
    Put("", "w", REG_BINARY, "ab");
    CRegistryValue value;
    FaultInjector<&Win32Api::RegQueryValueExA> grew(2, ERROR_MORE_DATA, LONG(ERROR_MORE_DATA));
    EXPECT_EQ(key.QueryValue("w", value), ERROR_MORE_DATA);
}

TEST_F(RegistryKey, ValueCopiesOwnTheirBlocks) {
    const BYTE bytes[] = {1, 2, 3};
    CRegistryValue original("v", REG_BINARY, bytes, 3);
    CRegistryValue copy(original);
    CRegistryValue assigned;
    assigned = original;
    copy.m_pData[0] = 9;
    assigned.m_pData[1] = 9;
    EXPECT_EQ(Bytes(original, 3), std::string("\1\2\3", 3));
    EXPECT_EQ(Bytes(assigned, assigned.m_cbData), std::string("\1\11\3", 3));
    assigned = CRegistryValue();
    EXPECT_EQ(assigned.m_pData, nullptr);
}

enum Kind { kString, kMulti, kDword, kQword, kBinary };

// Reads `name` as `kind` into an output that starts as a sentinel, and renders it.
LONG Read(CRegistryKey& key, Kind kind, const char* name, std::string& rendered) {
    std::string text = "untouched";
    std::vector<std::string> texts = {"untouched"};
    DWORD dword = 0xDEAD;
    uint64_t qword = 0xDEAD;
    std::vector<BYTE> bytes = {0xEE};
    const LONG code = kind == kString  ? key.ReadString(name, text)
                      : kind == kMulti ? key.ReadMultiString(name, texts)
                      : kind == kDword ? key.ReadDword(name, dword)
                      : kind == kQword ? key.ReadQword(name, qword)
                                       : key.ReadBinary(name, bytes);
    char hex[4];
    if (kind == kMulti) {
        for (const std::string& item : texts)
            rendered += item + "|";
    } else if (kind == kBinary) {
        for (BYTE b : bytes)
            rendered += (std::snprintf(hex, sizeof hex, "%02x", b), hex);
    } else {
        rendered = kind == kString ? text : std::to_string(kind == kDword ? dword : qword);
    }
    return code;
}

TEST_F(RegistryKey, TypedReadsWithAndWithoutTerminators) {
    using S = std::string;
    const struct {
        Kind kind;
        DWORD type;
        std::string stored;    // as the registry keeps it, with or without terminators
        LONG code;             // ERROR_FILE_NOT_FOUND: nothing is stored
        const char* rendered;  // nullptr: the output keeps its sentinel
    } cases[] = {
        {kString, REG_SZ, S("abc\0", 4), ERROR_SUCCESS, "abc"},
        {kString, REG_SZ, "abc", ERROR_SUCCESS, "abc"},
        {kString, REG_SZ, "", ERROR_SUCCESS, ""},
        {kString, REG_EXPAND_SZ, S("%TEMP%\\x\0", 9), ERROR_SUCCESS, "%TEMP%\\x"},
        {kString, REG_DWORD, "\x78\x56\x34\x12", ERROR_UNSUPPORTED_TYPE, nullptr},
        {kString, REG_SZ, "", ERROR_FILE_NOT_FOUND, nullptr},
        {kMulti, REG_MULTI_SZ, S("a\0bc\0\0", 6), ERROR_SUCCESS, "a|bc|"},
        {kMulti, REG_MULTI_SZ, S("a\0bc", 4), ERROR_SUCCESS, "a|bc|"},
        {kMulti, REG_MULTI_SZ, "", ERROR_SUCCESS, ""},
        {kMulti, REG_SZ, S("abc\0", 4), ERROR_UNSUPPORTED_TYPE, nullptr},
        {kDword, REG_DWORD, "\x78\x56\x34\x12", ERROR_SUCCESS, "305419896"},
        {kDword, REG_DWORD_BIG_ENDIAN, "\x12\x34\x56\x78", ERROR_SUCCESS, "305419896"},
        {kDword, REG_DWORD, "\x01\x02", ERROR_INVALID_DATA, nullptr},
        {kDword, REG_SZ, "abc", ERROR_UNSUPPORTED_TYPE, nullptr},
        {kQword, REG_QWORD, S("\x08\x07\x06\x05\x04\x03\x02\x01", 8), ERROR_SUCCESS, "72623859790382856"},
        {kQword, REG_DWORD, "\x78\x56\x34\x12", ERROR_UNSUPPORTED_TYPE, nullptr},
        {kBinary, REG_BINARY, S("\x00\x01\xff", 3), ERROR_SUCCESS, "0001ff"},
        {kBinary, REG_MULTI_SZ, S("a\0bc\0\0", 6), ERROR_UNSUPPORTED_TYPE, nullptr},
    };
    CRegistryKey key(HKEY_CURRENT_USER, Path(""), true, false, true);
    int index = 0;
    for (const auto& c : cases) {
        const std::string name = "v" + std::to_string(index++);
        if (c.code != ERROR_FILE_NOT_FOUND) {
            Put("", name, c.type, c.stored);
        }
        std::string rendered;
        std::string sentinel;
        EXPECT_EQ(Read(key, c.kind, name.c_str(), rendered), c.code) << name;
        EXPECT_EQ(key.m_lLastError, c.code) << name;
        Read(key, c.kind, "never-stored", sentinel);
        EXPECT_EQ(rendered, c.rendered ? c.rendered : sentinel) << name;
    }
}

// NT deletes deepest first and each key's values last first; the Windows 95
// family's RegDeleteKeyA takes the whole tree in one call.
TEST_F(RegistryKey, DeleteTreeOrder) {
    const struct {
        bool windows98;
        std::vector<std::string> deletions;
    } cases[] = {
        {false,
         {"RegDeleteValueA HKCU\\Software\\T\\B:b", "RegDeleteKeyA HKCU\\Software\\T\\B",
          "RegDeleteValueA HKCU\\Software\\T\\A\\Deep:d", "RegDeleteKeyA HKCU\\Software\\T\\A\\Deep",
          "RegDeleteValueA HKCU\\Software\\T\\A:a", "RegDeleteKeyA HKCU\\Software\\T\\A",
          "RegDeleteValueA HKCU\\Software\\T:top2", "RegDeleteValueA HKCU\\Software\\T:top",
          "RegDeleteKeyA HKCU\\Software\\T"}},
        {true, {"RegDeleteKeyA HKCU\\Software\\T"}},
    };
    for (const auto& c : cases) {
        if (c.windows98) {
            m_reg.SetWindows98();
        }
        m_reg.PutString(HKEY_CURRENT_USER, "Software\\T", "top", "t");
        m_reg.PutString(HKEY_CURRENT_USER, "Software\\T", "top2", "t");
        m_reg.PutString(HKEY_CURRENT_USER, "Software\\T\\A", "a", "a");
        m_reg.PutString(HKEY_CURRENT_USER, "Software\\T\\A\\Deep", "d", "d");
        m_reg.PutString(HKEY_CURRENT_USER, "Software\\T\\B", "b", "b");
        {
            CRegistryKey key(HKEY_CURRENT_USER, "Software\\T", true, false, true);
            m_reg.ClearCalls();
            EXPECT_EQ(key.DeleteTree(), ERROR_SUCCESS);
            // On the Windows 95 family nothing else is asked either.
            EXPECT_EQ(
                c.windows98 ? m_reg.RegistryCallTexts() : m_reg.RegistryCallTexts({"RegDeleteValueA", "RegDeleteKeyA"}),
                c.deletions);
            EXPECT_FALSE(m_reg.HasKey(HKEY_CURRENT_USER, "Software\\T"));
            // The handle stays open on the deleted key until the object goes.
            EXPECT_EQ(m_reg.LiveHandles(), 1u);
        }
        EXPECT_TRUE(m_reg.HasKey(HKEY_CURRENT_USER, "Software"));
    }
}

TEST_F(RegistryKey, DeleteTreeStopsAtTheFirstFailure) {
    m_reg.PutString(HKEY_CURRENT_USER, "Software\\T", "v1", "1");
    m_reg.PutString(HKEY_CURRENT_USER, "Software\\T", "v2", "2");
    m_reg.PutKey(HKEY_CURRENT_USER, "Software\\T\\A");
    m_reg.PutKey(HKEY_CURRENT_USER, "Software\\T\\B");
    CRegistryKey key(HKEY_CURRENT_USER, "Software\\T", true, false, true);
    {
        FaultInjector<&Win32Api::RegCreateKeyExA> fail(2, ERROR_ACCESS_DENIED, LONG(ERROR_ACCESS_DENIED));
        EXPECT_THROW(key.DeleteTree(), long);
    }
    // B (the last) went before A failed to open.
    EXPECT_TRUE(m_reg.HasKey(HKEY_CURRENT_USER, Path("A")));
    EXPECT_FALSE(m_reg.HasKey(HKEY_CURRENT_USER, Path("B")));

    ASSERT_EQ(Api().RegDeleteKeyA(key.m_hKey, "A"), ERROR_SUCCESS);
    m_reg.ClearCalls();
    {
        FaultInjector<&Win32Api::RegDeleteValueA> fail(1, ERROR_ACCESS_DENIED, LONG(ERROR_ACCESS_DENIED));
        EXPECT_EQ(key.DeleteTree(), ERROR_ACCESS_DENIED);
    }
    EXPECT_EQ(key.m_lLastError, ERROR_ACCESS_DENIED);
    EXPECT_TRUE(m_reg.RegistryCallTexts({"RegDeleteKeyA"}).empty());
    std::string kept;
    EXPECT_EQ(key.ReadString("v1", kept), ERROR_SUCCESS);  // the values go last first

    // A key opened for reading cannot lose its values: the registry's code comes back.
    CRegistryKey reader(HKEY_CURRENT_USER, "Software\\T", false, false, true);
    EXPECT_EQ(reader.DeleteTree(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(m_reg.HasKey(HKEY_CURRENT_USER, "Software\\T"));
}

}  // namespace
