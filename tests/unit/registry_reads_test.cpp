// Typed reads of CRegistryKey against the real registry of the platform.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "qvtr/registry.h"
#include "win32/api.h"

namespace {

enum Kind { kString, kMulti, kDword, kQword, kBinary };

// Stored bytes as the registry keeps them, with or without terminators.
struct Stored {
    const char* name;
    DWORD type;
    std::string bytes;
};

const std::vector<Stored> kStored = {
    {"sz-nul", REG_SZ, std::string("abc\0", 4)},
    {"sz-bare", REG_SZ, "abc"},
    {"sz-empty", REG_SZ, ""},
    {"expand", REG_EXPAND_SZ, std::string("%TEMP%\\x\0", 9)},
    {"multi-full", REG_MULTI_SZ, std::string("a\0bc\0\0", 6)},
    {"multi-one-nul", REG_MULTI_SZ, std::string("a\0bc\0", 5)},
    {"multi-bare", REG_MULTI_SZ, std::string("a\0bc", 4)},
    {"multi-empty", REG_MULTI_SZ, ""},
    {"dword", REG_DWORD, "\x78\x56\x34\x12"},
    {"dword-be", REG_DWORD_BIG_ENDIAN, "\x12\x34\x56\x78"},
    {"dword-short", REG_DWORD, "\x01\x02"},
    {"qword", REG_QWORD, std::string("\x08\x07\x06\x05\x04\x03\x02\x01", 8)},
    {"binary", REG_BINARY, std::string("\x00\x01\xff", 3)},
};

// Reads `name` as `kind` into an output that starts as a sentinel, and renders it.
LONG Read(CRegistryKey& key, Kind kind, const char* name, std::string& rendered) {
    std::string text = "untouched";
    std::vector<std::string> texts = {"untouched"};
    DWORD dword = 0xDEAD;
    uint64_t qword = 0xDEAD;
    std::vector<BYTE> bytes = {0xEE};
    LONG code = ERROR_SUCCESS;
    char hex[4];
    switch (kind) {
        case kString:
            code = key.ReadString(name, text);
            rendered = text;
            break;
        case kMulti:
            code = key.ReadMultiString(name, texts);
            for (const std::string& item : texts)
                rendered += item + "|";
            break;
        case kDword:
            code = key.ReadDword(name, dword);
            rendered = std::to_string(dword);
            break;
        case kQword:
            code = key.ReadQword(name, qword);
            rendered = std::to_string(qword);
            break;
        case kBinary:
            code = key.ReadBinary(name, bytes);
            for (BYTE b : bytes)
                rendered += (std::snprintf(hex, sizeof hex, "%02x", b), hex);
            break;
    }
    return code;
}

class RegistryReads : public ::testing::Test {
protected:
    void SetUp() override {
        m_path = "Software\\QvtrTest\\reads-" + std::to_string(Api().GetCurrentProcessId());
        m_key.Open(HKEY_CURRENT_USER, m_path, true, false, true, true);
        for (const Stored& value : kStored) {
            ASSERT_EQ(Api().RegSetValueExA(m_key.m_hKey, value.name, 0, value.type,
                                           reinterpret_cast<const BYTE*>(value.bytes.data()),
                                           static_cast<DWORD>(value.bytes.size())),
                      ERROR_SUCCESS)
                << value.name;
        }
    }
    void TearDown() override { m_key.DeleteTree(); }

    std::string m_path;
    CRegistryKey m_key;
};

TEST_F(RegistryReads, EachTypeWithAndWithoutTerminators) {
    struct Case {
        Kind kind;
        const char* name;
        LONG code;
        const char* rendered;  // nullptr: the output keeps its sentinel
    };
    const Case cases[] = {
        {kString, "sz-nul", ERROR_SUCCESS, "abc"},
        {kString, "sz-bare", ERROR_SUCCESS, "abc"},
        {kString, "sz-empty", ERROR_SUCCESS, ""},
        {kString, "expand", ERROR_SUCCESS, "%TEMP%\\x"},
        {kString, "dword", ERROR_UNSUPPORTED_TYPE, nullptr},
        {kString, "missing", ERROR_FILE_NOT_FOUND, nullptr},
        {kMulti, "multi-full", ERROR_SUCCESS, "a|bc|"},
        {kMulti, "multi-one-nul", ERROR_SUCCESS, "a|bc|"},
        {kMulti, "multi-bare", ERROR_SUCCESS, "a|bc|"},
        {kMulti, "multi-empty", ERROR_SUCCESS, ""},
        {kMulti, "sz-nul", ERROR_UNSUPPORTED_TYPE, nullptr},
        {kDword, "dword", ERROR_SUCCESS, "305419896"},
        {kDword, "dword-be", ERROR_SUCCESS, "305419896"},
        {kDword, "dword-short", ERROR_INVALID_DATA, nullptr},
        {kDword, "sz-bare", ERROR_UNSUPPORTED_TYPE, nullptr},
        {kDword, "missing", ERROR_FILE_NOT_FOUND, nullptr},
        {kQword, "qword", ERROR_SUCCESS, "72623859790382856"},
        {kQword, "dword", ERROR_UNSUPPORTED_TYPE, nullptr},
        {kBinary, "binary", ERROR_SUCCESS, "0001ff"},
        {kBinary, "multi-full", ERROR_UNSUPPORTED_TYPE, nullptr},
    };
    for (const Case& c : cases) {
        std::string rendered;
        std::string sentinel;
        EXPECT_EQ(Read(m_key, c.kind, c.name, rendered), c.code) << c.name;
        EXPECT_EQ(m_key.m_lLastError, c.code) << c.name;
        Read(m_key, c.kind, "never-stored", sentinel);
        EXPECT_EQ(rendered, c.rendered ? c.rendered : sentinel) << c.name;
    }
}

TEST_F(RegistryReads, MissingKeyGivesItsCodeAndLeavesTheOutput) {
    CRegistryKey absent;
    ASSERT_FALSE(absent.Open(HKEY_CURRENT_USER, m_path + "\\absent", false, false, true, false));
    std::string text = "kept";
    EXPECT_EQ(absent.ReadString("x", text), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(text, "kept");
}

}  // namespace
