// The module object: its start-up and its trace writer, on a module file that
// the seam places in a temporary directory, from several processes at once, and
// in the shared library as a host process loads it; its localized and error
// texts, formatted within a fixed bound whatever a text asks for.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "localization/format_text.h"
#include "qvtr/localization.h"
#include "qvtr/module.h"
#include "support/fault_injector.h"
#include "support/handle_ledger.h"
#include "support/support.h"
#include "win32/api.h"

#if defined(_WIN32)
#include "qvtr/win32.h"
#else
#include <dlfcn.h>
#include <sys/resource.h>
#endif

using namespace testing_support;

namespace {

// What the fakes below answer; one test runs at a time.
std::string g_moduleFile;
std::string g_tempPath;
std::vector<std::string> g_debugLines;

// Named functions: a lambda cannot carry WINAPI, which the i686 build needs.
DWORD WINAPI FakeModuleFileName(HMODULE, LPSTR buffer, DWORD size) {
    return static_cast<DWORD>(std::snprintf(buffer, size, "%s", g_moduleFile.c_str()));
}
DWORD WINAPI FakeTempPath(DWORD size, LPSTR buffer) {
    return static_cast<DWORD>(std::snprintf(buffer, size, "%s", g_tempPath.c_str()));
}
void WINAPI CaptureDebugString(LPCSTR text) {
    g_debugLines.emplace_back(text);
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
        WriteFile(m_dir.File("qvtr.ini"), ini);
        m_module.Init(nullptr, nullptr, nullptr, QVTR_SHORT_NAME);
    }

    TempDir m_dir;
    ApiOverride m_api;
    CComModuleSupport m_module;
};

// Levels up to the threshold reach the log; the debugger copy needs exactly 1.
// An empty log path is a missing one: the temporary directory's qvtr.log. Lines
// of every length (around the 256-byte steps the line buffer grows in) land
// whole in both.
TEST_F(TraceTest, ThresholdDebuggerCopyAndLinesOfEveryLength) {
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
        std::string expected = c.level >= 5 ? Prefix() + "Init() log path " + DefaultLog() + "\n" : "", copied;
        g_debugLines.clear();
        for (int32_t level = 1; level <= 6; ++level) {
            // Whole lines of 13 bytes, 255 to 257, 511 to 513, and 5013.
            for (size_t length : {0u, 242u, 243u, 244u, 498u, 499u, 500u, 5000u}) {
                const std::string text(length, static_cast<char>('a' + length % 26));
                m_module.Trace(level, "%d %s\n", level, text.c_str());
                const std::string line = Prefix() + std::to_string(level) + " " + text + "\n";
                expected += level <= c.level ? line : "";
                copied += level <= c.level && c.debugger ? line : "";
            }
        }
        EXPECT_EQ(ReadFile(DefaultLog()), expected);
        std::string debugger;
        for (const std::string& line : g_debugLines) {
            debugger += line;
        }
        EXPECT_EQ(debugger, copied);
    }
}

// A failing open, seek or write loses the line and nothing else: the file is
// closed, the debugger copy is sent, the caller notices nothing.
TEST_F(TraceTest, EveryFailingFileStepLosesOnlyItsLine) {
    Start("[QVTR]\ndebug=1\ndebugstring=1\n");
    auto scenario = [&](int) {
        HandleLedger ledger;
        g_debugLines.clear();
        m_module.Trace(1, "line\n");
        EXPECT_TRUE(ledger.Balanced()) << ledger.Describe();
        EXPECT_EQ(g_debugLines.size(), 1u);
    };

    EXPECT_EQ(ForEachFailure<&Win32Api::CreateFileA>(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE, scenario), 1);
    EXPECT_EQ(ForEachFailure<&Win32Api::SetFilePointer>(ERROR_INVALID_HANDLE, INVALID_SET_FILE_POINTER, scenario), 1);
    EXPECT_EQ(ForEachFailure<&Win32Api::WriteFile>(ERROR_DISK_FULL, FALSE, scenario), 1);
    // Each run that did not fail wrote its line; the failing ones did not.
    EXPECT_EQ(ReadLines(DefaultLog()).size(), 3u);
}

// A log another user owns is refused; the line goes beside it under the user's
// name, made safe as a file name so that it cannot lead anywhere else.
TEST_F(TraceTest, RefusedLogFallsBackToTheUsersOwnBesideIt) {
    Start("[QVTR]\ndebug=1\n");
    m_api->GetUserNameA = HostileUserName;
    FaultInjector<&Win32Api::CreateFileA> refused(1, ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    m_module.Trace(1, "line\n");
    EXPECT_EQ(refused.Failures(), 1);
    EXPECT_EQ(ReadFile(DefaultLog() + ".Jo.Doe_.._x_y"), Prefix() + "line\n");
}

// Past 4 GiB a 32-bit position is no failure. Sparse files: no disk space needed.
TEST_F(TraceTest, LineIsAppendedAtEverySize) {
    m_module.m_nDebugLevel = 1;
    m_module.m_strLogPath = DefaultLog();
    for (const uint64_t size : {0ull, 4294967295ull, 4294967296ull, 8589934591ull}) {
        SCOPED_TRACE(size);
        std::ofstream(DefaultLog(), std::ios::binary | std::ios::trunc).close();
        std::filesystem::resize_file(DefaultLog(), size);
        m_module.Trace(1, "%s\n", "end");
        ASSERT_EQ(std::filesystem::file_size(DefaultLog()), size + 14);
        std::ifstream in(DefaultLog(), std::ios::binary);
        std::string tail(6, '\0');
        in.seekg(-6, std::ios::end).read(&tail[0], 6);
        EXPECT_EQ(tail, ": end\n");
        // A handle opened to append answers a seek to the end with the whole 64-bit size.
        HANDLE file = Api().CreateFileA(DefaultLog().c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        LONG high = 0;
        const DWORD low = Api().SetFilePointer(file, 0, &high, FILE_END);
        EXPECT_EQ((static_cast<uint64_t>(high) << 32) | low, size + 14);
        Api().CloseHandle(file);
    }
    std::filesystem::remove(DefaultLog());
}

// Several processes append to one log at once: every line lands whole, once,
// with its own process id. The padding crosses a page of the pipe and still
// fits one write.
TEST(TraceProcess, LinesOfManyProcessesStayWhole) {
    constexpr int kProcesses = 4, kLines = 5000;
    const std::string padding(40, '.');
    if (ChildRole() != nullptr) {  // the writer's side
        CComModuleSupport module;
        module.m_strLogPath = std::getenv("QVTR_TEST_LOG");
        module.m_nDebugLevel = 1;
        for (int i = 0; i < kLines; ++i) {
            module.Trace(1, "line %05d %s\n", i, padding.c_str());
        }
        return;
    }
    TempDir dir;
    const std::string log = dir.File("shared.log");
    ScopedEnv role("QVTR_CHILD_ROLE", "writer");
    ScopedEnv path("QVTR_TEST_LOG", log.c_str());
    std::vector<std::unique_ptr<Child>> children;
    for (int i = 0; i < kProcesses; ++i) {
        children.push_back(
            std::make_unique<Child>(SelfPath(), ChildArgs("TraceProcess.LinesOfManyProcessesStayWhole")));
        ASSERT_TRUE(children.back()->Started());
    }
    // Each writer's every line, whole and once: the sorted log is the sorted lines expected.
    std::vector<std::string> expected;
    for (auto& child : children) {
        EXPECT_EQ(child->Wait(), 0);
        for (int i = 0; i < kLines; ++i) {
            char line[96];
            std::snprintf(line, sizeof line, "%08X: line %05d %s", child->Pid(), i, padding.c_str());
            expected.push_back(line);
        }
    }
    std::vector<std::string> lines = ReadLines(log);
    std::sort(lines.begin(), lines.end());
    std::sort(expected.begin(), expected.end());
    ASSERT_EQ(lines.size(), expected.size());
    const auto wrong = std::mismatch(lines.begin(), lines.end(), expected.begin());
    EXPECT_TRUE(wrong.first == lines.end()) << *wrong.first << " where " << *wrong.second << " was expected";
}

// The shared library loaded for real, as a host process loads the module: its
// entry point reads qvtr.ini beside the library and writes the start-up line.
TEST(Startup, LoadingTheLibraryReadsItsIniAndTracesAtLevelFive) {
    const std::string source = QVTR_SHARED_LIBRARY;
    for (const char* debug : {static_cast<const char*>(nullptr), "5", "4"}) {  // null: no INI before the load
        SCOPED_TRACE(debug ? debug : "no INI");
        TempDir dir;
        const std::string library = dir.File(source.substr(source.find_last_of("/\\") + 1));
        const std::string log = dir.File("startup.log"), ini = dir.File("qvtr.ini");
        CopyFileBytes(PlatformPath(source), library);
        if (debug) {
            WriteFile(ini, "[LOG]\npath=" + log + "\n[QVTR]\ndebug=" + debug + "\n");
        }
#if defined(_WIN32)
        HMODULE module = LoadLibraryA(library.c_str());
        ASSERT_NE(module, nullptr) << GetLastError();
        FreeLibrary(module);
#else
        // Kept mapped, as hosts keep the module: the backend's process-wide state
        // lives until the process ends, and process detach then runs at exit.
        void* module = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
        ASSERT_NE(module, nullptr) << dlerror();
        dlclose(module);
#endif
        // A plain text any tool can read, with the log path written back.
        const std::string text = ReadFile(ini);
        EXPECT_NE(text.find("[LOG]"), std::string::npos) << text;
        EXPECT_NE(text.find(debug ? "path=" + log : std::string("qvtr.log")), std::string::npos) << text;
        EXPECT_EQ(ReadFile(log), debug && debug[0] == '5' ? Prefix() + "Init() log path " + log + "\n" : "");
    }
}

// ---- localized texts ---------------------------------------------------------------

// A language file qvtr<code>.lg beside the module file.
class LanguageFileTest : public TraceTest {
protected:
    void UseLanguage(const std::string& text) {
        WriteFile(m_dir.File("qvtr00.lg"), text);
        ASSERT_TRUE(CLocalizedString::SetLanguageFile("00", "qvtr", nullptr, false));
    }
};

TEST_F(LanguageFileTest, TextsComeFromTheFileOrFallBackToTheKey) {
    UseLanguage(
        "[App]\nGreeting=Hello, %s!\nPlain=50%% done\nEmpty=\nB=second\nRaw=%d%%\n"
        "[QVTR]\nUnexpectedError=Something %s broke.\nUnknownError=No idea (%%).\n");
    EXPECT_EQ(CLocalizedString::GetLanguageFile(), m_dir.File("qvtr00.lg"));
    EXPECT_EQ(CLocalizedString("App", "Greeting", "world"), "Hello, world!");
    EXPECT_EQ(CLocalizedString("App", "Plain"), "50% done");
    EXPECT_EQ(CLocalizedString("App", "Empty"), "");
    EXPECT_EQ(CLocalizedString("App", "NoSuchKey"), "NoSuchKey");
    EXPECT_EQ(CLocalizedString("App", "Count %d", 3), "Count 3");  // the key stands in as the format
    EXPECT_EQ(CLocalizedString("App", "Greeting", "x").Load("App", "B"), "second");
    char* raw = CLocalizedString::LookupText("App", "Raw");
    EXPECT_STREQ(raw, "%d%%");
    std::free(raw);
    // Application errors by index, given no arguments (a text that asks for some
    // stays as it stands); past the table, UnknownError; a missing text: its key.
    for (const auto& [code, expected] : {std::pair<DWORD, const char*>{QVTR_E_UNEXPECTED, "Something %s broke."},
                                         {QVTR_E_LOCK_NOT_ACQUIRED, "LockNotAcquired"},
                                         {0x90000009, "No idea (%)."}}) {
        std::string error = "old";
        m_module.GetErrorText(error, code);
        EXPECT_EQ(error, expected) << std::hex << code;
    }

    g_moduleFile.clear();  // no module file name: the previous file stays
    EXPECT_FALSE(CLocalizedString::SetLanguageFile("01", "qvtr", nullptr, false));
    EXPECT_EQ(CLocalizedString("App", "B"), "second");
    g_moduleFile = m_dir.File("elsewhere/qvtr.dll");  // a file that is not there: keys
    ASSERT_TRUE(CLocalizedString::SetLanguageFile("00", "qvtr", nullptr, false));
    EXPECT_EQ(CLocalizedString("App", "B"), "B");
}

// Reads grow until nothing was cut: a value, and a list whose cut loses two bytes.
TEST_F(LanguageFileTest, TextsAndListsOfAnyLengthComeWhole) {
    for (size_t length : {254u, 255u, 256u, 257u, 511u, 512u, 513u, 3000u}) {
        const std::string value(length, 'v');
        UseLanguage("[App]\nLong=" + value + "\nArg=%s\n");
        EXPECT_EQ(CLocalizedString("App", "Long"), value) << length;
        EXPECT_EQ(CLocalizedString("App", "Arg", value.c_str()), value) << length;
    }
    std::string ini = "[Keys]\n", names;
    for (int i = 100; i < 130; ++i) {
        ini += "name_" + std::to_string(i) + "=1\n";
        names += "name_" + std::to_string(i) + '\0';
    }
    UseLanguage(ini);
    char* block = nullptr;
    const DWORD count =
        CLocalizedString::ReadProfileText("Keys", nullptr, "", &block, CLocalizedString::GetLanguageFile().c_str());
    EXPECT_EQ(std::string(block, count), names);
    std::free(block);
}

// ---- class-wide state that lives once per process: each case in a fresh process ----

bool SetFile(const char* code, bool fix = false) {
    return CLocalizedString::SetLanguageFile(code, "qvtr", nullptr, fix);
}

int32_t NumberAfter(const char* code) {
    SetFile(code);
    return CLocalizedString::GetLanguageNumber();
}

using LanguageStateDeathTest = TraceTest;  // the module file beside a language file

TEST_F(LanguageStateDeathTest, NumberIsWorkedOutOnceAndAFixedFileStays) {
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    // The two characters before the dot, as a number.
    bool (*const cases[])() = {
        [] { return NumberAfter("17") == 17; },
        [] { return NumberAfter("02") == 2 && NumberAfter("03") == 2; },
        [] { return CLocalizedString::GetLanguageNumber() == 0 && NumberAfter("04") == 0; },
        [] {
            return SetFile("05", true) && SetFile("06") &&
                   CLocalizedString::GetLanguageFile() == g_moduleFile.substr(0, g_moduleFile.size() - 8) + "qvtr05.lg";
        },
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        EXPECT_EXIT(std::exit(cases[i]() ? 0 : 1), ::testing::ExitedWithCode(0), "") << "case " << i;
    }
}

// ---- error texts ----------------------------------------------------------------------

std::string g_message;
// Named functions: a lambda cannot carry WINAPI, which the i686 build needs.
DWORD WINAPI FakeMessage(DWORD, LPCVOID, DWORD, DWORD, LPSTR buffer, DWORD, va_list*) {
    char* text = static_cast<char*>(Api().LocalAlloc(LMEM_FIXED, g_message.size() + 1));
    std::snprintf(text, g_message.size() + 1, "%s", g_message.c_str());
    *reinterpret_cast<char**>(buffer) = text;
    return static_cast<DWORD>(g_message.size());
}
DWORD WINAPI NoMessage(DWORD, LPCVOID, DWORD, DWORD, LPSTR, DWORD, va_list*) {
    return 0;
}

// The module's error text is the system's whole message; the trace writer's
// copy is cut to 255 characters. Both say so when there is none. (Application
// error texts: the language file test above and the tool's `qvtr error`.)
TEST_F(TraceTest, ErrorTextIsTheSystemsWholeMessage) {
    std::string text;
    m_module.GetErrorText(text, ERROR_ACCESS_DENIED);
    EXPECT_EQ(text, std::string(GetSystemErrorText(ERROR_ACCESS_DENIED)));
    EXPECT_EQ(text.rfind("\r\n"), text.size() - 2);  // the whole message, line end and all

    g_message = std::string(300, 'x') + "\r\n";
    m_api->FormatMessageA = FakeMessage;
    m_module.GetErrorText(text, 1234);
    EXPECT_EQ(text, g_message);
    EXPECT_EQ(std::string(GetSystemErrorText(1234)), std::string(255, 'x'));
    m_api->FormatMessageA = NoMessage;
    m_module.GetErrorText(text, 0x12345678);
    EXPECT_EQ(text, "Unknown error 0x12345678");
    EXPECT_STREQ(GetSystemErrorText(0x12345678), "Unknown error 0x12345678");
}

// ---- bounded formatting ----------------------------------------------------------------

constexpr size_t kBound = qvtr::kMaxFormattedText;

struct BoundCase {
    const char* text;
    size_t expectedSize;  // the bound for a text that passes it
};

// Each case asks for gigabytes (or more than the bound) with one int argument.
const BoundCase kBoundCases[] = {
    {"%2147483647d", kBound},  {"%-2147483647d", kBound},
    {"%.2147483647d", kBound}, {"%*d", kBound},
    {"%.2147483647f", kBound}, {"%99999999999999999999c", kBound},
    {"a%65534d", kBound},      {"%65535d", kBound},
    {"%65534d", 65534},        {"%5d|", 11},
};

// Once as it is, once in a child whose address space cannot hold what the texts ask for.
TEST_F(LanguageFileTest, HugeWidthsAndPrecisionsAreCutAtTheBound) {
    const char* role = ChildRole();
    const bool limited = role != nullptr && std::strcmp(role, "limited") == 0;
#if !defined(_WIN32) && !defined(__SANITIZE_ADDRESS__)
    const rlimit memory{512ull << 20, 512ull << 20};
    ASSERT_TRUE(!limited || setrlimit(RLIMIT_AS, &memory) == 0);
#endif
    for (const BoundCase& c : kBoundCases) {
        UseLanguage(std::string("[S]\nK=") + c.text + "\n");
        const auto start = std::chrono::steady_clock::now();
        // A '*' takes the first argument as the width: ask for the most an int holds.
        const CLocalizedString text("S", "K", 2147483647, 7);
        const auto spent = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(text.size(), c.expectedSize) << c.text;
        EXPECT_LT(spent, std::chrono::seconds(2)) << c.text;
    }
    UseLanguage("[S]\nK=" + std::string(3 * kBound, 'a') + "\n");
    EXPECT_EQ(CLocalizedString("S", "K").size(), kBound) << "a long text without conversions";
    UseLanguage("[S]\nK=%.*d|%*d\n");
    EXPECT_EQ(CLocalizedString("S", "K", -1, 0, -3, 7), "0|7  ")
        << "a negative '*' is no precision, a left-aligned width";
    if (!limited) {
        ScopedEnv role_env("QVTR_CHILD_ROLE", "limited");
        Child child(SelfPath(), ChildArgs("LanguageFileTest.HugeWidthsAndPrecisionsAreCutAtTheBound"));
        ASSERT_TRUE(child.Started());
        EXPECT_EQ(child.Wait(), 0);
    }
}

}  // namespace
