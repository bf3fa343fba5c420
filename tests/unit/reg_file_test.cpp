// The .reg codec through its public functions and the registry behind Api():
// files refused whole, lines skipped with their numbers, text through the ANSI
// code page, and exports that come back as the same tree. Line-by-line agreement
// with reg.exe is the differential test's (tests/reg).
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "qvtr/registry.h"
#include "regfile/reg_file.h"
#include "support/fault_injector.h"
#include "win32/api.h"

namespace {

const std::string kHeader = "REGEDIT4\r\n[HKEY_CURRENT_USER\\K]\r\n";

std::string Utf16(const std::u16string& text) {
    std::string bytes = "\xFF\xFE";
    for (char16_t c : text) {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>(c >> 8);
    }
    return bytes;
}

// True where the ANSI code page is UTF-8 (Linux); Windows' holds fewer characters.
bool Utf8Ansi() {
    WCHAR unit[4];
    return Api().MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, "\xE4\xB8\xAD", 3, unit, 4) == 1;
}

TEST(RegFileParse, FilesThatAreNotRegistryFilesAreRefusedWithTheLine) {
    const struct {
        std::string bytes;
        int line;
    } cases[] = {
        {std::string("\x7f\x45\x4c\x46\x02\x01", 6), 1},
        {"[HKEY_CURRENT_USER\\K]\r\n\"v\"=\"x\"\r\n", 1},
        {std::string("W\0i\0n\0", 6), 1},                                           // UTF-16 without its mark
        {Utf16(u"Windows Registry Editor Version 5.00\r\n") + "x", 0},              // odd length
        {Utf16(u"REGEDIT4\r\n[HKEY_CURRENT_USER\\K]\r\n\"v\"=\"\xD800\"\r\n"), 3},  // lone surrogate
        {kHeader + "\"a\"=\"x\"\r\n\"b\"=\"\xC3\x28\"\r\n", 4},                     // invalid UTF-8
    };
    for (const auto& c : cases) {
        if (c.line == 4 && !Utf8Ansi()) {
            continue;  // other ANSI code pages read any byte
        }
        regfile::Document document;
        regfile::Problem problem;
        EXPECT_FALSE(regfile::Parse(c.bytes, document, problem)) << c.bytes;
        EXPECT_EQ(problem.line, c.line) << c.bytes << ": " << problem.reason;
        EXPECT_FALSE(problem.reason.empty());
        EXPECT_TRUE(document.keys.empty());
    }
}

TEST(RegFileParse, ABadLineCostsItselfAlone) {
    const std::string text = kHeader +
                             "\"a\"=\"x\"#c\r\n"     // 3: skipped
                             "\"b\"=hex:01,\\\r\n"   // 4: continued
                             "  ,02\r\n"             // 5: drops b
                             "\"c\"=dword:1\r\n"     // 6
                             "\"d\"=hex(2):41\r\n"   // 7: gains its terminator
                             "\"e\"=hex:0a,\\\r\n";  // 8: the file ends after the backslash
    regfile::Document document;
    regfile::Problem problem;
    ASSERT_TRUE(regfile::Parse(text, document, problem)) << problem.reason;
    std::vector<int> lines;
    for (const regfile::Problem& skipped : document.skipped) {
        lines.push_back(skipped.line);
    }
    EXPECT_EQ(lines, (std::vector<int>{3, 5, 8}));  // the cut-short value is kept, but named
    ASSERT_EQ(document.keys.size(), 1u);
    EXPECT_EQ(document.keys[0].values.size(), 3u);  // what each holds: the differential test's
}

TEST(RegFileParse, HostileSizesStayBoundedAndFast) {
    std::string deep = "REGEDIT4\r\n[HKEY_CURRENT_USER";
    for (int i = 0; i < 10000; ++i) {
        deep += "\\k";
    }
    const std::string cases[] = {
        kHeader + "\"v\"=\"" + std::string(10 << 20, 'x') + "\"\r\n",
        kHeader + std::string(2000000, '\n') + "\"v\"=\"x\"\r\n",
        deep + "]\r\n\"v\"=\"x\"\r\n",
    };
#if defined(__SANITIZE_ADDRESS__)
    const auto bound = std::chrono::seconds(20);  // the sanitizers' checks slow every byte's step
#else
    const auto bound = std::chrono::seconds(5);
#endif
    for (const std::string& text : cases) {
        const auto start = std::chrono::steady_clock::now();
        regfile::Document document;
        regfile::Problem problem;
        ASSERT_TRUE(regfile::Parse(text, document, problem)) << problem.reason;
        EXPECT_LT(std::chrono::steady_clock::now() - start, bound);
    }
}

// ---- through the registry ---------------------------------------------------------

class RegFileRegistry : public ::testing::Test {
protected:
    const std::string m_path = "Software\\QvtrRegFileTest";
    void SetUp() override { regfile::DeleteTree(HKEY_CURRENT_USER, m_path); }
    void TearDown() override { regfile::DeleteTree(HKEY_CURRENT_USER, m_path); }

    LONG Import(const std::string& bytes, bool strict, std::vector<regfile::Problem>& skipped) {
        regfile::Document document;
        regfile::Problem problem;
        if (!regfile::Parse(bytes, document, problem)) {
            return ERROR_INVALID_DATA;
        }
        skipped = document.skipped;
        return regfile::Apply(document, strict, skipped);
    }

    std::string Export() {
        std::string bytes;
        EXPECT_EQ(regfile::Export(HKEY_CURRENT_USER, "HKEY_CURRENT_USER", m_path, bytes), ERROR_SUCCESS);
        return bytes;
    }
};

TEST_F(RegFileRegistry, ExportsComeBackByteForByte) {
    const std::u16string wide =
        u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\"
        u"QvtrRegFileTest\\été]\r\n\"ascii\"=\"plain\"\r\n\"latin\"=\"café\"\r\n" +
        std::u16string(Utf8Ansi() ? u"\"cjk\"=\"中文\"\r\n\"emoji\"=\"😀\"\r\n" : u"") +
        u"\"empty\"=\"\"\r\n\"multi\"=hex(7):61,00,00,00,00,00,62,00,00,00,00,00\r\n"
        u"\"expand\"=hex(2):25,00,e9,00,25,00,00,00\r\n\"bin\"=hex:00,ff\r\n"
        u"\"lines\"=hex(1):61,00,0d,00,0a,00,62,00,00,00\r\n\r\n";  // a string holding a line break
    std::vector<regfile::Problem> skipped;
    ASSERT_EQ(Import(Utf16(wide), false, skipped), ERROR_SUCCESS);
    EXPECT_TRUE(skipped.empty()) << skipped[0].reason;
    const std::string first = Export();
    regfile::DeleteTree(HKEY_CURRENT_USER, m_path);
    ASSERT_EQ(Import(first, true, skipped), ERROR_SUCCESS);
    EXPECT_EQ(Export(), first);
}

TEST_F(RegFileRegistry, ANameTheFormatCannotCarryRefusesTheExport) {
    CRegistryKey key(HKEY_CURRENT_USER, m_path, true, false, true);
    CRegistryValue value("", REG_SZ, reinterpret_cast<const BYTE*>("x"), 2);
    ASSERT_EQ(key.SetValue("evil\r\n[HKEY_CURRENT_USER\\Planted]", value), ERROR_SUCCESS);
    std::string bytes;
    std::string problem;
    EXPECT_EQ(regfile::Export(HKEY_CURRENT_USER, "HKEY_CURRENT_USER", m_path, bytes, problem), ERROR_INVALID_DATA);
    EXPECT_NE(problem.find("QvtrRegFileTest"), std::string::npos) << problem;
}

TEST_F(RegFileRegistry, ARefusedValueIsNamedAndStrictUndoesEverything) {
    const std::string text =
        "REGEDIT4\r\n[HKEY_CURRENT_USER\\" + m_path + "]\r\n\"a\"=dword:1\r\n\"b\"=dword:2\r\n\"c\"=dword:3\r\n";
    for (const bool strict : {false, true}) {
        std::vector<regfile::Problem> skipped;
        {
            testing_support::FaultInjector<&Win32Api::RegSetValueExA> fail(2, ERROR_ACCESS_DENIED,
                                                                           LONG(ERROR_ACCESS_DENIED));
            EXPECT_EQ(Import(text, strict, skipped), strict ? ERROR_ACCESS_DENIED : ERROR_SUCCESS);
        }
        ASSERT_EQ(skipped.size(), 1u);
        EXPECT_EQ(skipped[0].line, 4);
        HKEY key = nullptr;
        const LONG opened = Api().RegOpenKeyExA(HKEY_CURRENT_USER, m_path.c_str(), 0, KEY_READ, &key);
        if (opened == ERROR_SUCCESS) {
            DWORD values = 0;
            Api().RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                                   nullptr, nullptr);
            // Without a transaction a strict import stops at the refused value.
            EXPECT_EQ(values, strict ? 1u : 2u) << "strict " << strict;
            Api().RegCloseKey(key);
        }
        if (Api().QvtrRegTransaction != nullptr) {
            EXPECT_EQ(opened == ERROR_SUCCESS, !strict);  // one transaction: all or nothing
        }
        regfile::DeleteTree(HKEY_CURRENT_USER, m_path);
    }
}

}  // namespace
