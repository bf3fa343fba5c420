// The regedit file format: parsing every value type, refusing malformed files
// whole, and export/import round trips through the registry behind Api() (the
// POSIX registry on Linux, Wine's under Wine).
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "registry/reg_file.h"
#include "win32/api.h"

namespace {

const std::string kHeader = "Windows Registry Editor Version 5.00\r\n\r\n";

std::string Bytes(std::initializer_list<int> bytes) {
    std::string out;
    for (int b : bytes) {
        out += static_cast<char>(b);
    }
    return out;
}

regfile::Document MustParse(const std::string& text) {
    regfile::Document document;
    regfile::Problem problem;
    EXPECT_TRUE(regfile::Parse(text, document, problem)) << "line " << problem.line << ": " << problem.reason;
    return document;
}

TEST(RegFileParse, EveryValueForm) {
    struct Case {
        const char* line;
        const char* name;
        DWORD type;
        std::string data;
    };
    const Case cases[] = {
        {"\"s\"=\"text\"", "s", REG_SZ, std::string("text", 5)},
        {"\"q\"=\"say \\\"hi\\\" C:\\\\dir\"", "q", REG_SZ, std::string("say \"hi\" C:\\dir", 16)},
        {"\"we\\\"ird\\\\name\"=\"\"", "we\"ird\\name", REG_SZ, std::string(1, '\0')},
        {"@=\"default\"", "", REG_SZ, std::string("default", 8)},
        {"\"d\"=dword:0000002a", "d", REG_DWORD, Bytes({0x2a, 0, 0, 0})},
        {"\"d\" = dword:FFFFFFFF ; all ones", "d", REG_DWORD, Bytes({0xff, 0xff, 0xff, 0xff})},
        {"\"b\"=hex:00,ff,10", "b", REG_BINARY, Bytes({0, 0xff, 0x10})},
        {"\"b\"=hex:", "b", REG_BINARY, ""},
        {"\"e\"=hex(2):25,00,41,00,25,00,00,00", "e", REG_EXPAND_SZ, std::string("%A%", 4)},
        {"\"m\"=hex(7):61,00,00,00,62,00,00,00,00,00", "m", REG_MULTI_SZ, std::string("a\0b\0\0", 5)},
        {"\"q\"=hex(b):01,00,00,00,00,00,00,80", "q", REG_QWORD, Bytes({1, 0, 0, 0, 0, 0, 0, 0x80})},
        {"\"n\"=hex(0):", "n", REG_NONE, ""},
        {"\"x\"=hex(1234abcd):7", "x", 0x1234abcd, Bytes({7})},
    };
    for (const Case& c : cases) {
        const regfile::Document document = MustParse(kHeader + "[HKEY_CURRENT_USER\\K]\r\n" + c.line + "\r\n");
        ASSERT_EQ(document.keys.size(), 1u) << c.line;
        ASSERT_EQ(document.keys[0].values.size(), 1u) << c.line;
        const regfile::Value& value = document.keys[0].values[0];
        EXPECT_EQ(value.name, c.name) << c.line;
        EXPECT_EQ(value.type, c.type) << c.line;
        EXPECT_EQ(value.data, c.data) << c.line;
        EXPECT_FALSE(value.remove);
        EXPECT_EQ(value.line, 4);
    }
}

TEST(RegFileParse, DeletionsContinuationsCommentsAndOldFormat) {
    const regfile::Document document = MustParse(kHeader +
                                                 "; a comment\r\n"
                                                 "[-HKEY_CURRENT_USER\\Gone]\r\n"
                                                 "\r\n"
                                                 "  [HKCU\\Kept]   ; short root names too\r\n"
                                                 "\"old\"=-\r\n"
                                                 "\"long\"=hex:01,02,\\\r\n"
                                                 "  03,04,\\\r\n"
                                                 "\t05\r\n"
                                                 "\"after\"=dword:1\n");  // a bare line feed ends a line too
    ASSERT_EQ(document.keys.size(), 2u);
    EXPECT_TRUE(document.keys[0].remove);
    EXPECT_EQ(document.keys[0].path, "HKEY_CURRENT_USER\\Gone");
    EXPECT_FALSE(document.keys[1].remove);
    ASSERT_EQ(document.keys[1].values.size(), 3u);
    EXPECT_TRUE(document.keys[1].values[0].remove);
    EXPECT_EQ(document.keys[1].values[1].data, Bytes({1, 2, 3, 4, 5}));
    EXPECT_EQ(document.keys[1].values[2].line, 11);

    // REGEDIT4 keeps string types given as hex in ANSI.
    const regfile::Document old = MustParse("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"e\"=hex(2):41,42,00\r\n");
    EXPECT_FALSE(old.version5);
    EXPECT_EQ(old.keys[0].values[0].data, std::string("AB", 3));

    // UTF-16LE with its byte-order mark, as regedit writes 5.00 files.
    const std::string text = kHeader + "[HKEY_CURRENT_USER\\K]\r\n\"caf\xE9\"=\"\xE9t\xE9\"\r\n";
    std::string wide = "\xFF\xFE";
    for (char c : text) {
        wide += c;
        wide += '\0';
    }
    const regfile::Document unicode = MustParse(wide);
    ASSERT_EQ(unicode.keys.size(), 1u);
    EXPECT_EQ(unicode.keys[0].values[0].name, "caf\xE9");
    EXPECT_EQ(unicode.keys[0].values[0].data, std::string("\xE9t\xE9", 4));
}

TEST(RegFileParse, MalformedFilesAreRefusedWithTheirLine) {
    struct Case {
        std::string text;
        int line;
        const char* reason;  // a part of the reason
    };
    const std::string key = "[HKEY_CURRENT_USER\\K]\r\n";
    const Case cases[] = {
        {"REGEDIT5\r\n", 1, "first line"},
        {"", 1, "first line"},
        {kHeader + "\"a\"=\"x\"\r\n", 3, "before the first"},
        {kHeader + "[HKEY_NOWHERE\\X]\r\n", 3, "unknown root"},
        {kHeader + "[HKEY_CURRENT_USER\\X\r\n", 3, "[KEY]"},
        {kHeader + "[HKEY_CURRENT_USER\\X] junk\r\n", 3, "after ']'"},
        {kHeader + key + "\"a\"=dword:123456789\r\n", 4, "dword"},
        {kHeader + key + "\"a\"=dword:\r\n", 4, "dword"},
        {kHeader + key + "\"a\"=hex:0g\r\n", 4, "comma"},
        {kHeader + key + "\"a\"=hex:01,,02\r\n", 4, "hexadecimal byte"},
        {kHeader + key + "\"a\"=hex(zz):00\r\n", 4, "type number"},
        {kHeader + key + "\"a\"=\"unterminated\r\n", 4, "closing quote"},
        {kHeader + key + "\"a\"=\"bad \\q escape\"\r\n", 4, "escape"},
        {kHeader + key + "\"a\"=\"x\" trailing\r\n", 4, "after the closing quote"},
        {kHeader + key + "\"a\" \"x\"\r\n", 4, "'='"},
        {kHeader + key + "\"a\"=wat\r\n", 4, "expected"},
        {kHeader + key + "\"a\"=hex(2):41\r\n", 4, "odd"},
        {kHeader + key + "\"a\"=hex(7):00,01\r\n", 4, "ANSI"},
        {kHeader + key + "\"ok\"=dword:1\r\n\"a\"=hex:01,\\", 5, "ends"},
        {kHeader + key + "garbage\r\n", 4, "expected"},
        {kHeader + "[-HKEY_CURRENT_USER\\K]\r\n\"a\"=\"x\"\r\n", 4, "deleted"},
        {"\xFF\xFEW\0", 0, "UTF-16"},
    };
    for (const Case& c : cases) {
        regfile::Document document;
        regfile::Problem problem;
        EXPECT_FALSE(regfile::Parse(c.text, document, problem)) << c.text;
        EXPECT_EQ(problem.line, c.line) << c.text;
        EXPECT_NE(problem.reason.find(c.reason), std::string::npos) << problem.reason;
    }
}

TEST(RegFileFormat, HexLinesWrapAsRegeditDoes) {
    std::string bytes;
    for (int i = 0; i < 48; ++i) {
        bytes += static_cast<char>(i);
    }
    EXPECT_EQ(regfile::FormatValue("long", REG_BINARY, bytes),
              "\"long\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\r\n"
              "  16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,2d,2e,\\\r\n"
              "  2f");
    EXPECT_EQ(regfile::FormatValue("", REG_SZ, std::string("a\"b\\", 5)), "@=\"a\\\"b\\\\\"");
    EXPECT_EQ(regfile::FormatValue("d", REG_DWORD, Bytes({0x2a, 0, 0, 0})), "\"d\"=dword:0000002a");
    EXPECT_EQ(regfile::FormatValue("d", REG_DWORD, Bytes({1, 2})), "\"d\"=hex(4):01,02");
    EXPECT_EQ(regfile::FormatValue("s", REG_SZ, "no terminator"),
              "\"s\"=hex(1):6e,00,6f,00,20,00,74,00,65,00,72,00,6d,00,69,00,6e,00,61,00,74,00,\\\r\n"
              "  6f,00,72,00");
}

// ---- through the registry ---------------------------------------------------------

class RegFileRegistry : public ::testing::Test {
protected:
    void SetUp() override {
        m_path = std::string("Software\\QvtrRegFileTest\\") +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name();
        regfile::DeleteTree(HKEY_CURRENT_USER, m_path);
    }
    void TearDown() override {
        regfile::DeleteTree(HKEY_CURRENT_USER, m_path);
        Api().RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\QvtrRegFileTest");
    }

    struct Stored {
        DWORD type;
        std::string data;
        bool operator==(const Stored& other) const { return type == other.type && data == other.data; }
    };

    // Every value of the tree, by "sub\\path|name".
    static void ReadTree(HKEY root, const std::string& path, std::map<std::string, Stored>& out) {
        HKEY key = nullptr;
        ASSERT_EQ(Api().RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS) << path;
        for (DWORD i = 0;; ++i) {
            char name[512];
            DWORD length = sizeof name;
            std::string data(2 << 20, '\0');
            DWORD size = static_cast<DWORD>(data.size());
            DWORD type = 0;
            if (Api().RegEnumValueA(key, i, name, &length, nullptr, &type, reinterpret_cast<LPBYTE>(&data[0]), &size) !=
                ERROR_SUCCESS) {
                break;
            }
            data.resize(size);
            out[path + "|" + name] = {type, data};
        }
        for (DWORD i = 0;; ++i) {
            char name[512];
            DWORD length = sizeof name;
            if (Api().RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
                break;
            }
            ReadTree(root, path + "\\" + name, out);
        }
        Api().RegCloseKey(key);
    }

    static void Set(HKEY key, const char* name, DWORD type, const std::string& data) {
        ASSERT_EQ(Api().RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                                       static_cast<DWORD>(data.size())),
                  ERROR_SUCCESS)
            << name;
    }

    LONG Import(const std::string& text, regfile::Problem& problem) {
        regfile::Document document;
        if (!regfile::Parse(text, document, problem)) {
            return ERROR_INVALID_DATA;
        }
        return regfile::Apply(document, problem);
    }

    std::string m_path;
};

TEST_F(RegFileRegistry, ExportAndImportRoundTripEveryType) {
    HKEY key = nullptr;
    ASSERT_EQ(
        Api().RegCreateKeyExA(HKEY_CURRENT_USER, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    std::string big(1 << 20, '\0');
    for (size_t i = 0; i < big.size(); i += 3) {
        big[i] = static_cast<char>(i * 7);
    }
    // A string written without its terminator: the byte after it is not a NUL,
    // so that no system counts one in.
    const char unterminated[] = "abcX";
    ASSERT_EQ(Api().RegSetValueExA(key, "unterminated", 0, REG_SZ, reinterpret_cast<const BYTE*>(unterminated), 3),
              ERROR_SUCCESS);
    Set(key, "", REG_SZ, std::string("the default", 12));
    Set(key, "plain", REG_SZ, std::string("C:\\Program Files\\\"Q\"", 21));
    Set(key, "empty", REG_SZ, std::string(1, '\0'));
    Set(key, "embedded", REG_SZ, std::string("a\0b\0", 4));
    Set(key, "lines", REG_SZ, std::string("one\r\ntwo", 9));
    Set(key, "expand", REG_EXPAND_SZ, std::string("%SystemRoot%\\system32", 22));
    Set(key, "multi", REG_MULTI_SZ, std::string("Terminal Server\0Enterprise\0\0", 28));
    Set(key, "binary", REG_BINARY, Bytes({0, 1, 0, 0, 0xff, 0}));
    Set(key, "nothing", REG_BINARY, "");
    Set(key, "dword", REG_DWORD, Bytes({0x78, 0x56, 0x34, 0x12}));
    Set(key, "short dword", REG_DWORD, Bytes({1, 2, 3}));
    Set(key, "qword", REG_QWORD, Bytes({1, 2, 3, 4, 5, 6, 7, 8}));
    Set(key, "none", REG_NONE, Bytes({9}));
    Set(key, "odd type", 0x4242, Bytes({4, 2}));
    Set(key, "name \"with\" \\ marks", REG_DWORD, Bytes({1, 0, 0, 0}));
    Set(key, "big", REG_BINARY, big);
    HKEY sub = nullptr;
    ASSERT_EQ(Api().RegCreateKeyExA(key, "Sub\\Deeper", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr),
              ERROR_SUCCESS);
    Set(sub, "inside", REG_SZ, std::string("x", 2));
    Api().RegCloseKey(sub);
    Api().RegCloseKey(key);

    std::map<std::string, Stored> before;
    ReadTree(HKEY_CURRENT_USER, m_path, before);
    ASSERT_EQ(before.size(), 18u);
    std::string first;
    ASSERT_EQ(regfile::Export(HKEY_CURRENT_USER, "HKEY_CURRENT_USER", m_path, first), ERROR_SUCCESS);

    ASSERT_EQ(regfile::DeleteTree(HKEY_CURRENT_USER, m_path), ERROR_SUCCESS);
    regfile::Problem problem;
    ASSERT_EQ(Import(first, problem), ERROR_SUCCESS) << problem.line << ": " << problem.reason;

    std::map<std::string, Stored> after;
    ReadTree(HKEY_CURRENT_USER, m_path, after);
    EXPECT_TRUE(before == after);
    for (const auto& entry : before) {
        EXPECT_TRUE(after.count(entry.first) && after[entry.first] == entry.second) << entry.first;
    }
    std::string second;
    ASSERT_EQ(regfile::Export(HKEY_CURRENT_USER, "HKEY_CURRENT_USER", m_path, second), ERROR_SUCCESS);
    EXPECT_TRUE(first == second);
}

TEST_F(RegFileRegistry, DeletionsApply) {
    regfile::Problem problem;
    const std::string key = "[HKEY_CURRENT_USER\\" + m_path;
    ASSERT_EQ(Import(kHeader + key + "\\A\\B]\r\n\"v\"=\"1\"\r\n" + key + "]\r\n\"w\"=dword:2\r\n\"gone\"=dword:3\r\n",
                     problem),
              ERROR_SUCCESS);
    ASSERT_EQ(Import(kHeader + "[-HKEY_CURRENT_USER\\" + m_path + "\\A]\r\n" + key +
                         "]\r\n\"gone\"=-\r\n\"never there\"=-\r\n[-HKEY_CURRENT_USER\\" + m_path + "\\Nope]\r\n",
                     problem),
              ERROR_SUCCESS)
        << problem.reason;
    std::map<std::string, Stored> tree;
    ReadTree(HKEY_CURRENT_USER, m_path, tree);
    ASSERT_EQ(tree.size(), 1u);
    EXPECT_EQ(tree.begin()->first, m_path + "|w");
}

int g_setCalls = 0;
LONG WINAPI FailingThirdSet(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size) {
    if (++g_setCalls == 3) {
        return ERROR_ACCESS_DENIED;
    }
    return BackendApi().RegSetValueExA(key, name, reserved, type, data, size);
}

TEST_F(RegFileRegistry, AFailedImportNamesItsLineAndLeavesNothingWhereItCan) {
    const std::string key = "[HKEY_CURRENT_USER\\" + m_path;
    const std::string text =
        kHeader + key + "\\First]\r\n\"a\"=dword:1\r\n\"b\"=dword:2\r\n\r\n" + key + "\\Second]\r\n\"c\"=dword:3\r\n";
    regfile::Problem problem;
    {
        ApiOverride fault;
        g_setCalls = 0;
        fault->RegSetValueExA = FailingThirdSet;
        EXPECT_EQ(Import(text, problem), ERROR_ACCESS_DENIED);
    }
    EXPECT_EQ(problem.line, 8);
    EXPECT_EQ(problem.code, ERROR_ACCESS_DENIED);
    EXPECT_NE(problem.reason.find("\"c\""), std::string::npos) << problem.reason;
    HKEY first = nullptr;
    const LONG opened = Api().RegOpenKeyExA(HKEY_CURRENT_USER, (m_path + "\\First").c_str(), 0, KEY_READ, &first);
    if (Api().QvtrRegTransaction != nullptr) {
        EXPECT_EQ(opened, ERROR_FILE_NOT_FOUND);  // one transaction: all or nothing
    } else if (opened == ERROR_SUCCESS) {
        Api().RegCloseKey(first);
    }
}

}  // namespace
