// Texts from language files are formatted within a fixed bound, whatever width,
// precision or length they ask for, and an error text is never given arguments
// it does not have.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "localization/format_text.h"
#include "qvtr/localization.h"
#include "support/support.h"
#include "win32/api.h"

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

namespace {

std::string g_text;

// Every key of every section holds g_text.
DWORD WINAPI FakeProfileString(LPCSTR, LPCSTR, LPCSTR, LPSTR buffer, DWORD size, LPCSTR) {
    const size_t n = std::min<size_t>(g_text.size(), size - 1);
    std::memcpy(buffer, g_text.data(), n);
    buffer[n] = '\0';
    return static_cast<DWORD>(n);
}

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
    const char* role = testing_support::ChildRole();
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
    testing_support::ScopedEnv role_env("QVTR_CHILD_ROLE", "limited");
    testing_support::Child child(testing_support::SelfPath(),
                                 testing_support::ChildArgs("TextBound.HugeWidthsAndPrecisionsAreCutAtTheBound"));
    ASSERT_TRUE(child.Started());
    EXPECT_EQ(child.Wait(), 0);
}

// The module gives an application error's text no arguments: one that asks
// for some stays as it stands.
TEST(TextBound, ErrorTextsAreNeverGivenArgumentsTheyLack) {
    ApiOverride api;
    api->GetPrivateProfileStringA = FakeProfileString;
    for (const char* text : {"%s%s%n", "%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s", "%9$s", "%d files", "%*s",
                             "50%% done", "plain", "trailing %"}) {
        g_text = text;
        std::string formatted;
        g_Module.GetErrorText(formatted, 0x9FFFFFFF);
        EXPECT_EQ(formatted, g_text == "50%% done" ? "50% done" : g_text);
    }
}

}  // namespace
