// Localized strings: lookup, growth of the read and of the formatting, the
// class-wide language file and number, and error texts.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "qvtr/localization.h"
#include "support/support.h"
#include "win32/api.h"

using testing_support::TempDir;
using testing_support::WriteFile;

namespace {

std::string g_moduleFile;

DWORD WINAPI FakeModuleFileName(HMODULE, LPSTR buffer, DWORD size) {
    if (g_moduleFile.empty()) {
        return 0;
    }
    std::snprintf(buffer, size, "%s", g_moduleFile.c_str());
    return static_cast<DWORD>(g_moduleFile.size());
}

// A language file qvtr<code>.lg beside a module file in a fresh directory.
class LanguageFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_moduleFile = m_dir.File("qvtr.dll");
        m_api->GetModuleFileNameA = FakeModuleFileName;
    }

    void UseLanguage(const std::string& text, const char* code = "00") {
        WriteFile(m_dir.File(std::string("qvtr") + code + ".lg"), text);
        ASSERT_TRUE(CLocalizedString::SetLanguageFile(code, "qvtr", nullptr, false));
    }

    TempDir m_dir;
    ApiOverride m_api;
};

TEST_F(LanguageFileTest, TextsComeFromTheFileBesideTheModule) {
    UseLanguage("[App]\nGreeting=Hello, %s!\nPlain=50%% done\nEmpty=\n");
    EXPECT_EQ(CLocalizedString::GetLanguageFile(), m_dir.File("qvtr00.lg"));
    EXPECT_EQ(CLocalizedString("App", "Greeting", "world"), "Hello, world!");
    EXPECT_EQ(CLocalizedString("App", "Plain"), "50% done");
    EXPECT_EQ(CLocalizedString("App", "Empty"), "");
}

TEST_F(LanguageFileTest, MissingTextsGiveTheKeyItself) {
    UseLanguage("[App]\nGreeting=Hello\n");
    EXPECT_EQ(CLocalizedString("App", "NoSuchKey"), "NoSuchKey");
    EXPECT_EQ(CLocalizedString("NoSection", "Greeting"), "Greeting");
    // The key is what gets formatted when it stands in for the text.
    EXPECT_EQ(CLocalizedString("App", "Count %d", 3), "Count 3");
    g_moduleFile = m_dir.File("elsewhere/qvtr.dll");
    ASSERT_TRUE(CLocalizedString::SetLanguageFile("00", "qvtr", nullptr, false));
    EXPECT_EQ(CLocalizedString("App", "Greeting"), "Greeting");
}

TEST_F(LanguageFileTest, LoadReplacesTheText) {
    UseLanguage("[App]\nA=first %d\nB=second\n");
    CLocalizedString text("App", "A", 1);
    EXPECT_EQ(text.Load("App", "B"), "second");
    EXPECT_EQ(text, "second");
    const CLocalizedString copy(text);
    EXPECT_EQ(copy, "second");
}

TEST_F(LanguageFileTest, FormattingGrowsPastAnyLength) {
    for (size_t length : {255u, 256u, 257u, 511u, 512u, 513u, 3000u}) {
        const std::string value(length, 'v');
        UseLanguage("[App]\nLong=" + value + "\nArg=%s\n");
        EXPECT_EQ(CLocalizedString("App", "Long"), value) << length;
        EXPECT_EQ(CLocalizedString("App", "Arg", value.c_str()), value) << length;
    }
}

TEST_F(LanguageFileTest, LookupTextIsUnformatted) {
    UseLanguage("[App]\nRaw=%d%%\n");
    char* text = CLocalizedString::LookupText("App", "Raw");
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "%d%%");
    std::free(text);
}

TEST_F(LanguageFileTest, NoModuleFileNameKeepsThePreviousFile) {
    UseLanguage("[App]\nA=kept\n");
    g_moduleFile.clear();
    EXPECT_FALSE(CLocalizedString::SetLanguageFile("01", "qvtr", nullptr, false));
    EXPECT_EQ(CLocalizedString::GetLanguageFile(), m_dir.File("qvtr00.lg"));
    EXPECT_EQ(CLocalizedString("App", "A"), "kept");
}

// ---- the growing read -------------------------------------------------------------

std::vector<DWORD> g_sizes;
size_t g_valueLength = 0;

// Answers a value of g_valueLength characters, cut to size - 1 as Windows does.
DWORD WINAPI FakeProfile(LPCSTR, LPCSTR, LPCSTR, LPSTR buffer, DWORD size, LPCSTR) {
    g_sizes.push_back(size);
    const size_t copied = g_valueLength < size ? g_valueLength : size - 1;
    std::string(copied, 'x').copy(buffer, copied);
    buffer[copied] = '\0';
    return static_cast<DWORD>(copied);
}

struct GrowthCase {
    size_t length;
    std::vector<DWORD> sizes;
};

class ReadGrowthTest : public ::testing::TestWithParam<GrowthCase> {};

TEST_P(ReadGrowthTest, BlockGrowsBy256UntilTheTextIsWhole) {
    ApiOverride api;
    api->GetPrivateProfileStringA = FakeProfile;
    g_sizes.clear();
    g_valueLength = GetParam().length;
    char* text = CLocalizedString::LookupText("S", "K");
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text), std::string(GetParam().length, 'x'));
    EXPECT_EQ(g_sizes, GetParam().sizes);
    std::free(text);
}

INSTANTIATE_TEST_SUITE_P(Lengths, ReadGrowthTest,
                         ::testing::Values(GrowthCase{0, {256}}, GrowthCase{254, {256}}, GrowthCase{255, {256, 512}},
                                           GrowthCase{256, {256, 512}}, GrowthCase{511, {256, 512, 768}},
                                           GrowthCase{600, {256, 512, 768}}));

TEST(ReadProfileText, ListRequestsKeepTwoTerminatorsSpare) {
    ApiOverride api;
    api->GetPrivateProfileStringA = FakeProfile;
    g_sizes.clear();
    g_valueLength = 254;  // size - 2 for a list: may have been cut
    char* block = nullptr;
    EXPECT_EQ(CLocalizedString::ReadProfileText(nullptr, nullptr, "", &block, "f"), 254u);
    EXPECT_EQ(g_sizes, (std::vector<DWORD>{256, 512}));
    std::free(block);
}

// ---- class-wide state that lives once per process: each case in a fresh process ----

void ExpectLanguageNumber(const char* code, int32_t expected) {
    g_moduleFile = "/opt/app/qvtr.dll";
    ApiOverride api;
    api->GetModuleFileNameA = FakeModuleFileName;
    CLocalizedString::SetLanguageFile(code, "qvtr", nullptr, false);
    std::exit(CLocalizedString::GetLanguageNumber() == expected ? 0 : 1);
}

TEST(LanguageNumberDeathTest, ComesFromTheTwoCharactersBeforeTheDot) {
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(ExpectLanguageNumber("02", 2), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(ExpectLanguageNumber("17", 17), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(ExpectLanguageNumber("", 0), ::testing::ExitedWithCode(0), "");    // qvtr.lg: "tr"
    EXPECT_EXIT(ExpectLanguageNumber("x5", 0), ::testing::ExitedWithCode(0), "");  // atoi stops at x
    EXPECT_EXIT(ExpectLanguageNumber(" 7", 7), ::testing::ExitedWithCode(0), "");  // leading blank
}

TEST(LanguageNumberDeathTest, IsWorkedOutOnceAndKept) {
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(
        {
            g_moduleFile = "/opt/app/qvtr.dll";
            ApiOverride api;
            api->GetModuleFileNameA = FakeModuleFileName;
            CLocalizedString::SetLanguageFile("02", "qvtr", nullptr, false);
            const int32_t first = CLocalizedString::GetLanguageNumber();
            CLocalizedString::SetLanguageFile("03", "qvtr", nullptr, false);
            std::exit(first == 2 && CLocalizedString::GetLanguageNumber() == 2 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            const bool before = CLocalizedString::GetLanguageNumber() == 0;
            g_moduleFile = "/opt/app/qvtr.dll";
            ApiOverride api;
            api->GetModuleFileNameA = FakeModuleFileName;
            CLocalizedString::SetLanguageFile("04", "qvtr", nullptr, false);
            std::exit(before && CLocalizedString::GetLanguageNumber() == 0 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(LanguageFileDeathTest, FixedFileStaysForTheProcess) {
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(
        {
            g_moduleFile = "/opt/app/qvtr.dll";
            ApiOverride api;
            api->GetModuleFileNameA = FakeModuleFileName;
            const bool fixed = CLocalizedString::SetLanguageFile("05", "qvtr", nullptr, true);
            const bool later = CLocalizedString::SetLanguageFile("06", "qvtr", nullptr, false);
            std::exit(fixed && later && CLocalizedString::GetLanguageFile() == "/opt/app/qvtr05.lg" ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// ---- error texts ----------------------------------------------------------------------

TEST_F(LanguageFileTest, ApplicationErrorsAreLocalized) {
    UseLanguage("[QVTR]\nUnexpectedError=Something broke.\nUnknownError=No idea (%%).\n");
    CComModuleSupport module;
    std::string text = "old";
    module.GetErrorText(text, QVTR_E_UNEXPECTED);
    EXPECT_EQ(text, "Something broke.");
    module.GetErrorText(text, 0x9FFFFFFF);
    EXPECT_EQ(text, "No idea (%).");
    module.GetErrorText(text, QVTR_E_LOCK_NOT_ACQUIRED);  // no text in this file: its key
    EXPECT_EQ(text, "LockNotAcquired");
}

TEST(ErrorText, SystemCodesGetTheWholeSystemMessage) {
    CComModuleSupport module;
    std::string text;
    module.GetErrorText(text, ERROR_ACCESS_DENIED);
    ASSERT_GT(text.size(), 2u);
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    EXPECT_EQ(text, std::string(GetSystemErrorText(ERROR_ACCESS_DENIED)));
}

// A named function: a lambda cannot carry WINAPI, which the i686 build needs.
DWORD WINAPI NoMessage(DWORD, LPCVOID, DWORD, DWORD, LPSTR, DWORD, va_list*) {
    return 0;
}

TEST(ErrorText, CodesWithoutAMessageSaySo) {
    ApiOverride api;
    api->FormatMessageA = NoMessage;
    CComModuleSupport module;
    std::string text;
    module.GetErrorText(text, 0x12345678);
    EXPECT_EQ(text, "Unknown error 0x12345678");
}

TEST(ErrorText, KeysOfTheTable) {
    EXPECT_STREQ(ApplicationErrorKey(0), "UnexpectedError");
    EXPECT_STREQ(ApplicationErrorKey(8), "LockNotAcquired");
    EXPECT_STREQ(ApplicationErrorKey(9), "UnknownError");
    EXPECT_STREQ(ApplicationErrorKey(0x0FFFFFFF), "UnknownError");
}

}  // namespace
