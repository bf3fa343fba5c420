// Localized strings: lookup and its fallbacks, texts and lists of any length,
// the class-wide language file and number, error texts, and formatting within a
// fixed bound whatever width, precision or length a text asks for.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "localization/format_text.h"
#include "qvtr/localization.h"
#include "support/support.h"
#include "win32/api.h"

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

using namespace testing_support;

namespace {

std::string g_moduleFile;

DWORD WINAPI FakeModuleFileName(HMODULE, LPSTR buffer, DWORD size) {
    return g_moduleFile.empty() ? 0 : static_cast<DWORD>(std::snprintf(buffer, size, "%s", g_moduleFile.c_str()));
}

// A language file qvtr<code>.lg beside a module file in a fresh directory.
class LanguageFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_moduleFile = m_dir.File("qvtr.dll");
        m_api->GetModuleFileNameA = FakeModuleFileName;
    }
    void UseLanguage(const std::string& text) {
        WriteFile(m_dir.File("qvtr00.lg"), text);
        ASSERT_TRUE(CLocalizedString::SetLanguageFile("00", "qvtr", nullptr, false));
    }

    TempDir m_dir;
    ApiOverride m_api;
};

TEST_F(LanguageFileTest, TextsComeFromTheFileOrFallBackToTheKey) {
    UseLanguage(
        "[App]\nGreeting=Hello, %s!\nPlain=50%% done\nEmpty=\nB=second\nRaw=%d%%\n"
        "[QVTR]\nUnexpectedError=Something broke.\nUnknownError=No idea (%%).\n");
    EXPECT_EQ(CLocalizedString::GetLanguageFile(), m_dir.File("qvtr00.lg"));
    EXPECT_EQ(CLocalizedString("App", "Greeting", "world"), "Hello, world!");
    EXPECT_EQ(CLocalizedString("App", "Plain"), "50% done");
    EXPECT_EQ(CLocalizedString("App", "Empty"), "");
    EXPECT_EQ(CLocalizedString("App", "NoSuchKey"), "NoSuchKey");
    EXPECT_EQ(CLocalizedString("App", "Count %d", 3), "Count 3");  // the key stands in as the format
    CLocalizedString text("App", "Greeting", "x");
    EXPECT_EQ(text.Load("App", "B"), "second");
    char* raw = CLocalizedString::LookupText("App", "Raw");
    EXPECT_STREQ(raw, "%d%%");
    std::free(raw);
    // Application errors by index; past the table, UnknownError; a missing text: its key.
    CComModuleSupport module;
    for (const auto& [code, expected] : {std::pair<DWORD, const char*>{QVTR_E_UNEXPECTED, "Something broke."},
                                         {QVTR_E_LOCK_NOT_ACQUIRED, "LockNotAcquired"},
                                         {0x90000009, "No idea (%)."}}) {
        std::string error = "old";
        module.GetErrorText(error, code);
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
    for (const char* section : {"Keys", static_cast<const char*>(nullptr)}) {
        char* block = nullptr;
        const DWORD count = CLocalizedString::ReadProfileText(section, nullptr, "", &block,
                                                              CLocalizedString::GetLanguageFile().c_str());
        EXPECT_EQ(std::string(block, count), section ? names : std::string("Keys\0", 5));
        std::free(block);
    }
}

// ---- class-wide state that lives once per process: each case in a fresh process ----

bool SetFile(const char* code, bool fix = false) {
    g_moduleFile = "/opt/app/qvtr.dll";
    ApiOverride api;
    api->GetModuleFileNameA = FakeModuleFileName;
    return CLocalizedString::SetLanguageFile(code, "qvtr", nullptr, fix);
}

int32_t NumberAfter(const char* code) {
    SetFile(code);
    return CLocalizedString::GetLanguageNumber();
}

TEST(LanguageStateDeathTest, NumberIsWorkedOutOnceAndAFixedFileStays) {
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    // The two characters before the dot, as a number ("qvtr.lg" gives "tr": 0).
    bool (*const cases[])() = {
        [] { return NumberAfter("17") == 17; },
        [] { return NumberAfter("") == 0; },
        [] { return NumberAfter("02") == 2 && NumberAfter("03") == 2; },
        [] { return CLocalizedString::GetLanguageNumber() == 0 && NumberAfter("04") == 0; },
        [] {
            return SetFile("05", true) && SetFile("06") && CLocalizedString::GetLanguageFile() == "/opt/app/qvtr05.lg";
        },
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        EXPECT_EXIT(std::exit(cases[i]() ? 0 : 1), ::testing::ExitedWithCode(0), "") << "case " << i;
    }
}

// ---- error texts ----------------------------------------------------------------------

std::string g_message;
std::string g_text;

// Every key of every section holds g_text.
DWORD WINAPI FakeProfileString(LPCSTR, LPCSTR, LPCSTR, LPSTR buffer, DWORD size, LPCSTR) {
    const size_t n = std::min<size_t>(g_text.size(), size - 1);
    std::memcpy(buffer, g_text.data(), n);
    buffer[n] = '\0';
    return static_cast<DWORD>(n);
}

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
// copy is cut to 255 characters. Both say so when there is none.
TEST(ErrorText, SystemMessagesComeWholeAndApplicationTextsAsTheyStand) {
    CComModuleSupport module;
    std::string text;
    module.GetErrorText(text, ERROR_ACCESS_DENIED);
    EXPECT_EQ(text, std::string(GetSystemErrorText(ERROR_ACCESS_DENIED)));
    EXPECT_EQ(text.rfind("\r\n"), text.size() - 2);  // the whole message, line end and all

    ApiOverride api;
    g_message = std::string(300, 'x') + "\r\n";
    api->FormatMessageA = FakeMessage;
    module.GetErrorText(text, 1234);
    EXPECT_EQ(text, g_message);
    EXPECT_EQ(std::string(GetSystemErrorText(1234)), std::string(255, 'x'));
    api->FormatMessageA = NoMessage;
    module.GetErrorText(text, 0x12345678);
    EXPECT_EQ(text, "Unknown error 0x12345678");
    EXPECT_STREQ(GetSystemErrorText(0x12345678), "Unknown error 0x12345678");

    // An application error's text is given no arguments: one that asks for some
    // stays as it stands.
    api->GetPrivateProfileStringA = FakeProfileString;
    for (const char* format : {"%s%s%n", "%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s", "%9$s", "%d files", "%*s",
                               "50%% done", "plain", "trailing %"}) {
        g_text = format;
        module.GetErrorText(text, 0x9FFFFFFF);
        EXPECT_EQ(text, g_text == "50%% done" ? "50% done" : g_text);
    }
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

void FormatAll() {
    ApiOverride api;
    api->GetPrivateProfileStringA = FakeProfileString;
    for (const BoundCase& c : kBoundCases) {
        g_text = c.text;
        const auto start = std::chrono::steady_clock::now();
        // A '*' takes the first argument as the width: ask for the most an int holds.
        const CLocalizedString text("S", "K", 2147483647, 7);
        const auto spent = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(text.size(), c.expectedSize) << c.text;
        EXPECT_LT(spent, std::chrono::seconds(2)) << c.text;
    }
    g_text = std::string(3 * kBound, 'a');
    EXPECT_EQ(CLocalizedString("S", "K").size(), kBound) << "a long text without conversions";
    g_text = "%.*d|%*d";
    EXPECT_EQ(CLocalizedString("S", "K", -1, 0, -3, 7), "0|7  ")
        << "a negative '*' is no precision, a left-aligned width";
}

TEST(TextBound, HugeWidthsAndPrecisionsAreCutAtTheBound) {
    const char* role = ChildRole();
    if (role != nullptr && std::strcmp(role, "limited") == 0) {
#if !defined(_WIN32) && !defined(__SANITIZE_ADDRESS__)
        const rlim_t limit = 512ull << 20;
        const rlimit memory{limit, limit};
        ASSERT_EQ(setrlimit(RLIMIT_AS, &memory), 0);
#endif
        FormatAll();
        return;
    }
    // Once here, once in a child whose address space cannot hold what the texts ask for.
    FormatAll();
    ScopedEnv role_env("QVTR_CHILD_ROLE", "limited");
    Child child(SelfPath(), ChildArgs("TextBound.HugeWidthsAndPrecisionsAreCutAtTheBound"));
    ASSERT_TRUE(child.Started());
    EXPECT_EQ(child.Wait(), 0);
}

}  // namespace
