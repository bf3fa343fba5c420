// The module object's start-up and its trace writer, on a module file that the
// seam places in a temporary directory.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "qvtr/module.h"
#include "support/fault_injector.h"
#include "support/handle_ledger.h"
#include "support/support.h"
#include "win32/api.h"

using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

namespace {

// What the fakes below answer; one test runs at a time.
std::string g_moduleFile;
std::string g_tempPath;
std::vector<std::string> g_debugLines;

DWORD WINAPI FakeModuleFileName(HMODULE, LPSTR buffer, DWORD size) {
    if (g_moduleFile.empty() || g_moduleFile.size() + 1 > size) {
        return 0;
    }
    std::snprintf(buffer, size, "%s", g_moduleFile.c_str());
    return static_cast<DWORD>(g_moduleFile.size());
}

DWORD WINAPI FakeTempPath(DWORD size, LPSTR buffer) {
    std::snprintf(buffer, size, "%s", g_tempPath.c_str());
    return static_cast<DWORD>(g_tempPath.size());
}

void WINAPI CaptureDebugString(LPCSTR text) {
    g_debugLines.emplace_back(text);
}

std::string Prefix() {
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "%08X: ", static_cast<unsigned>(Api().GetCurrentProcessId()));
    return prefix;
}

// A module file in a fresh directory, the temporary directory beside it, and
// debugger output captured.
class TraceTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_moduleFile = m_dir.File("qvtr.dll");
        g_tempPath = m_dir.Path();
        g_debugLines.clear();
        m_api->GetModuleFileNameA = FakeModuleFileName;
        m_api->GetTempPathA = FakeTempPath;
        m_api->OutputDebugStringA = CaptureDebugString;
    }

    std::string Ini() const { return m_dir.File("qvtr.ini"); }
    std::string DefaultLog() const { return m_dir.File("qvtr.log"); }

    void WriteIni(const std::string& text) { WriteFile(Ini(), text); }

    void Start() { m_module.Init(nullptr, nullptr, nullptr, QVTR_SHORT_NAME); }

    TempDir m_dir;
    ApiOverride m_api;
    CComModuleSupport m_module;
};

TEST_F(TraceTest, FirstStartWritesTheDefaultLogPathBackAndLogsNothing) {
    Start();
    ASSERT_TRUE(FileExists(Ini()));
    EXPECT_EQ(m_module.m_strIniPath, Ini());
    EXPECT_EQ(m_module.m_strLogPath, DefaultLog());
    char path[MAX_PATH] = {};
    Api().GetPrivateProfileStringA("LOG", "path", "", path, sizeof path, Ini().c_str());
    EXPECT_EQ(path, DefaultLog());
    EXPECT_EQ(m_module.m_nDebugLevel, 0);
    EXPECT_FALSE(m_module.m_bDebugString);
    EXPECT_FALSE(FileExists(DefaultLog()));
}

TEST_F(TraceTest, EmptyLogPathIsTreatedAsMissing) {
    WriteIni("[LOG]\npath=\n");
    Start();
    EXPECT_EQ(m_module.m_strLogPath, DefaultLog());
    char path[MAX_PATH] = {};
    Api().GetPrivateProfileStringA("LOG", "path", "", path, sizeof path, Ini().c_str());
    EXPECT_EQ(path, DefaultLog());
}

TEST_F(TraceTest, ConfiguredLogPathIsKept) {
    const std::string log = m_dir.File("custom.log");
    WriteIni("[LOG]\npath=" + log + "\n[QVTR]\ndebug=5\n");
    Start();
    EXPECT_EQ(m_module.m_strLogPath, log);
    EXPECT_EQ(ReadFile(log), Prefix() + "Init() log path " + log + "\n");
}

// Named functions: a lambda cannot carry WINAPI, which the i686 build needs.
BOOL WINAPI NoProfileWrite(LPCSTR, LPCSTR, LPCSTR, LPCSTR) {
    return FALSE;
}
DWORD WINAPI NoMessage(DWORD, LPCVOID, DWORD, DWORD, LPSTR, DWORD, va_list*) {
    return 0;
}

TEST_F(TraceTest, ModuleWithoutFileNameFallsBackToTheBareIniName) {
    g_moduleFile.clear();
    m_api->WritePrivateProfileStringA = NoProfileWrite;
    Start();
    EXPECT_EQ(m_module.m_strIniPath, "qvtr.ini");
}

struct ThresholdCase {
    const char* debug;  // the INI text of "debug"; null for no key
    int32_t expectedLevel;
    std::vector<int32_t> written;  // of the levels 1 to 6, these reach the log
};

class ThresholdTest : public TraceTest, public ::testing::WithParamInterface<ThresholdCase> {};

TEST_P(ThresholdTest, LinesUpToTheThresholdAreWritten) {
    const ThresholdCase& c = GetParam();
    WriteIni(std::string("[LOG]\npath=") + DefaultLog() + "\n[QVTR]\n" +
             (c.debug ? std::string("debug=") + c.debug : "") + "\n");
    Start();
    EXPECT_EQ(m_module.m_nDebugLevel, c.expectedLevel);
    const std::string startLine = Prefix() + "Init() log path " + DefaultLog() + "\n";
    std::string expected = c.expectedLevel >= 5 ? startLine : "";
    for (int32_t level = 1; level <= 6; ++level) {
        m_module.Trace(level, "level %d\n", level);
    }
    for (int32_t level : c.written) {
        expected += Prefix() + "level " + std::to_string(level) + "\n";
    }
    EXPECT_EQ(ReadFile(DefaultLog()), expected);
}

INSTANTIATE_TEST_SUITE_P(Settings, ThresholdTest,
                         ::testing::Values(ThresholdCase{nullptr, 0, {}}, ThresholdCase{"0", 0, {}},
                                           ThresholdCase{"-3", -3, {}}, ThresholdCase{"not a number", 0, {}},
                                           ThresholdCase{"2", 2, {1, 2}}, ThresholdCase{"5", 5, {1, 2, 3, 4, 5}},
                                           ThresholdCase{"6", 6, {1, 2, 3, 4, 5, 6}}));

struct DebugStringCase {
    const char* value;
    bool on;
};

class DebugStringTest : public TraceTest, public ::testing::WithParamInterface<DebugStringCase> {};

TEST_P(DebugStringTest, OnlyExactlyOneTurnsDebuggerOutputOn) {
    WriteIni(std::string("[QVTR]\ndebug=3\ndebugstring=") + GetParam().value + "\n");
    Start();
    EXPECT_EQ(m_module.m_bDebugString, GetParam().on);
    m_module.Trace(3, "hello\n");
    EXPECT_EQ(g_debugLines.size(), GetParam().on ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Settings, DebugStringTest,
                         ::testing::Values(DebugStringCase{"1", true}, DebugStringCase{"0", false},
                                           DebugStringCase{"2", false}, DebugStringCase{"yes", false},
                                           DebugStringCase{"-1", false}));

TEST_F(TraceTest, LinesOfEveryLengthLandWholeInTheFileAndTheDebugger) {
    WriteIni("[QVTR]\ndebug=1\ndebugstring=1\n");
    Start();
    std::string expected;
    for (size_t length : {1u, 254u, 255u, 256u, 257u, 300u, 511u, 512u, 5000u}) {
        // The formatted message (before the prefix) is `length` bytes long.
        const std::string message = std::string(length - 1, static_cast<char>('a' + length % 26)) + "\n";
        m_module.Trace(1, "%s", message.c_str());
        const std::string line = Prefix() + message;
        ASSERT_FALSE(g_debugLines.empty());
        EXPECT_EQ(g_debugLines.back(), line) << "length " << length;
        expected += line;
    }
    EXPECT_EQ(ReadFile(DefaultLog()), expected);
}

TEST_F(TraceTest, FormatArgumentsAreAppliedAfterThePrefix) {
    WriteIni("[QVTR]\ndebug=4\n");
    Start();
    m_module.Trace(4, "%s=%d %08X %%\n", "value", -7, 0xBEEFu);
    EXPECT_EQ(ReadFile(DefaultLog()), Prefix() + "value=-7 0000BEEF %\n");
}

TEST_F(TraceTest, LogInAMissingDirectoryLosesLinesButNotDebuggerCopies) {
    const std::string log = m_dir.File("missing") + "/sub/qvtr.log";
    WriteIni("[LOG]\npath=" + log + "\n[QVTR]\ndebug=5\ndebugstring=1\n");
    Start();
    m_module.Trace(2, "still here\n");
    EXPECT_FALSE(FileExists(log));
    ASSERT_EQ(g_debugLines.size(), 2u);
    EXPECT_EQ(g_debugLines[1], Prefix() + "still here\n");
}

TEST_F(TraceTest, TraceBeforeStartUpWritesNothing) {
    m_module.m_bDebugString = true;
    m_module.Trace(0, "before\n");  // threshold 0 passes level 0, but there is no log path yet
    m_module.Trace(1, "above\n");
    EXPECT_EQ(g_debugLines.size(), 1u);
    EXPECT_FALSE(FileExists(DefaultLog()));
}

// A failing open, seek or write loses the line and nothing else: the file is
// closed, the debugger copy is sent, the caller notices nothing.
TEST_F(TraceTest, EveryFailingFileStepLosesOnlyItsLine) {
    WriteIni("[QVTR]\ndebug=1\ndebugstring=1\n");
    Start();
    auto scenario = [&](int) {
        testing_support::HandleLedger ledger;
        g_debugLines.clear();
        m_module.Trace(1, "line\n");
        EXPECT_TRUE(ledger.Balanced()) << ledger.Describe();
        EXPECT_EQ(g_debugLines.size(), 1u);
    };
    using testing_support::ForEachFailure;
    EXPECT_EQ(ForEachFailure<&Win32Api::CreateFileA>(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE, scenario), 1);
    EXPECT_EQ(ForEachFailure<&Win32Api::SetFilePointer>(ERROR_INVALID_HANDLE, INVALID_SET_FILE_POINTER, scenario), 1);
    EXPECT_EQ(ForEachFailure<&Win32Api::WriteFile>(ERROR_DISK_FULL, FALSE, scenario), 1);
    // Each run that did not fail wrote its line; the failing ones did not.
    const size_t written = testing_support::ReadLines(DefaultLog()).size();
    EXPECT_EQ(written, 3u);
}

// ---- system error texts ----------------------------------------------------------

std::string g_longMessage;

DWORD WINAPI FakeLongMessage(DWORD, LPCVOID, DWORD, DWORD, LPSTR buffer, DWORD, va_list*) {
    char* text = static_cast<char*>(Api().LocalAlloc(LMEM_FIXED, g_longMessage.size() + 1));
    std::snprintf(text, g_longMessage.size() + 1, "%s", g_longMessage.c_str());
    *reinterpret_cast<char**>(buffer) = text;
    return static_cast<DWORD>(g_longMessage.size());
}

TEST(SystemErrorText, KeepsTheSystemsLineEnd) {
    const std::string text = GetSystemErrorText(ERROR_FILE_NOT_FOUND);
    ASSERT_GT(text.size(), 2u);
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
}

TEST(SystemErrorText, CutsLongTextsAfter255Characters) {
    g_longMessage = std::string(300, 'x') + "\r\n";
    ApiOverride api;
    api->FormatMessageA = FakeLongMessage;
    EXPECT_EQ(std::string(GetSystemErrorText(1234)), std::string(255, 'x'));
}

TEST(SystemErrorText, UnknownCodeSaysSo) {
    ApiOverride api;
    api->FormatMessageA = NoMessage;
    EXPECT_STREQ(GetSystemErrorText(0x12345678), "Unknown error 0x12345678");
}

}  // namespace
