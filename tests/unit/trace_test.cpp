// The module object's start-up and its trace writer, on a module file that the
// seam places in a temporary directory.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "qvtr/module.h"
#include "support/fault_injector.h"
#include "support/handle_ledger.h"
#include "support/support.h"
#include "win32/api.h"

using testing_support::ReadFile;

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
// Named: a lambda cannot carry WINAPI, which the i686 build needs.
BOOL WINAPI NoProfileWrite(LPCSTR, LPCSTR, LPCSTR, LPCSTR) {
    return FALSE;
}

BOOL WINAPI HostileUserName(LPSTR buffer, LPDWORD size) {
    std::snprintf(buffer, *size, "%s", "Jo.Doe/../x y");
    return TRUE;
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
    std::string DefaultLog() const { return m_dir.File("qvtr.log"); }
    void Start(const std::string& ini) {
        testing_support::WriteFile(m_dir.File("qvtr.ini"), ini);
        m_module.Init(nullptr, nullptr, nullptr, QVTR_SHORT_NAME);
    }

    testing_support::TempDir m_dir;
    ApiOverride m_api;
    CComModuleSupport m_module;
};

// Without a module file name the INI is looked up by its bare name.
TEST_F(TraceTest, ModuleWithoutFileNameFallsBackToTheBareIniName) {
    g_moduleFile.clear();
    m_api->WritePrivateProfileStringA = NoProfileWrite;
    m_module.Init(nullptr, nullptr, nullptr, QVTR_SHORT_NAME);
    EXPECT_EQ(m_module.m_strIniPath, "qvtr.ini");
}

// Levels up to the threshold reach the log; the debugger copy needs exactly 1.
// An empty log path is a missing one: the temporary directory's qvtr.log.
TEST_F(TraceTest, ThresholdAndDebuggerCopy) {
    const struct {
        const char* debug;  // the INI text of "debug"; null for no key
        const char* debugString;
        int32_t level;
        bool debugger;
    } cases[] = {{nullptr, "1", 0, true}, {"-3", "0", -3, false}, {"not a number", "2", 0, false},
                 {"2", "1", 2, true},     {"5", "yes", 5, false}, {"6", "-1", 6, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.debug ? c.debug : "no key");
        std::remove(DefaultLog().c_str());
        std::string ini = "[LOG]\npath=\n[QVTR]\n";
        ini += c.debug ? std::string("debug=") + c.debug + "\n" : "";
        Start(ini + "debugstring=" + c.debugString + "\n");
        EXPECT_EQ(m_module.m_nDebugLevel, c.level);
        EXPECT_EQ(m_module.m_bDebugString, c.debugger);
        EXPECT_EQ(m_module.m_strLogPath, DefaultLog());
        EXPECT_NE(ReadFile(m_dir.File("qvtr.ini")).find("path=" + DefaultLog()), std::string::npos);
        std::string expected = c.level >= 5 ? Prefix() + "Init() log path " + DefaultLog() + "\n" : "";
        g_debugLines.clear();
        for (int32_t level = 1; level <= 6; ++level) {
            m_module.Trace(level, "level %d\n", level);
            expected += level <= c.level ? Prefix() + "level " + std::to_string(level) + "\n" : "";
        }
        EXPECT_EQ(ReadFile(DefaultLog()), expected);
        EXPECT_EQ(g_debugLines.size(), c.debugger ? static_cast<size_t>(std::max(c.level, 0)) : 0u);
    }
}

TEST_F(TraceTest, LinesOfEveryLengthLandWholeInTheFileAndTheDebugger) {
    Start("[QVTR]\ndebug=1\ndebugstring=1\n");
    m_module.Trace(1, "%s=%d %08X %%\n", "value", -7, 0xBEEFu);
    std::string expected = Prefix() + "value=-7 0000BEEF %\n";
    for (size_t length : {1u, 245u, 246u, 247u, 255u, 256u, 257u, 511u, 512u, 5000u}) {
        const std::string message = std::string(length - 1, static_cast<char>('a' + length % 26)) + "\n";
        m_module.Trace(1, "%s", message.c_str());
        ASSERT_FALSE(g_debugLines.empty());
        EXPECT_EQ(g_debugLines.back(), Prefix() + message) << "length " << length;
        expected += Prefix() + message;
    }
    EXPECT_EQ(ReadFile(DefaultLog()), expected);
}

// A failing open, seek or write loses the line and nothing else: the file is
// closed, the debugger copy is sent, the caller notices nothing.
TEST_F(TraceTest, EveryFailingFileStepLosesOnlyItsLine) {
    Start("[QVTR]\ndebug=1\ndebugstring=1\n");
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
    EXPECT_EQ(testing_support::ReadLines(DefaultLog()).size(), 3u);
}

// A log another user owns is refused; the line goes beside it under the user's
// name, made safe as a file name so that it cannot lead anywhere else.
TEST_F(TraceTest, RefusedLogFallsBackToTheUsersOwnBesideIt) {
    Start("[QVTR]\ndebug=1\n");
    m_api->GetUserNameA = HostileUserName;
    testing_support::FaultInjector<&Win32Api::CreateFileA> refused(1, ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    m_module.Trace(1, "line\n");
    EXPECT_EQ(refused.Failures(), 1);
    EXPECT_EQ(ReadFile(DefaultLog() + ".Jo.Doe_.._x_y"), Prefix() + "line\n");
}

// Past 4 GiB a 32-bit position is no failure. Sparse files: no disk space needed.
TEST(TraceAtFileSize, LineIsAppendedAtEverySize) {
    testing_support::TempDir dir;
    const std::string path = dir.File("qvtr.log");
    for (const uint64_t size : {0ull, 4294967295ull, 4294967296ull, 8589934591ull}) {
        SCOPED_TRACE(size);
        std::ofstream(path, std::ios::binary | std::ios::trunc).close();
        std::filesystem::resize_file(path, size);
        CComModuleSupport module;
        module.m_nDebugLevel = 1;
        module.m_strLogPath = path;
        module.Trace(1, "%s\n", "end");
        ASSERT_EQ(std::filesystem::file_size(path), size + 14);
        std::ifstream in(path, std::ios::binary);
        in.seekg(-6, std::ios::end);
        std::string tail(6, '\0');
        in.read(&tail[0], 6);
        EXPECT_EQ(tail, ": end\n");
    }
    std::filesystem::remove(path);
}

}  // namespace
