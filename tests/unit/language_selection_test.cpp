// Language selection: per user, then per machine, then the caller's fallback,
// with the trace lines in order and the registry calls it makes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qvtr/localization.h"
#include "qvtr/platform.h"
#include "support/scratch_registry.h"
#include "support/trace_capture.h"

using testing_support::ScratchRegistry;
using testing_support::TraceCapture;

namespace {

const std::string kLanguageKey = std::string(QVTR_COMMON_SETTINGS_KEY) + "\\Language";
const std::string kUserOpened = "QVTR - HKCU " + kLanguageKey + " OPENED\n";
const std::string kMachineOpened = "QVTR - HKLM " + kLanguageKey + " OPENED\n";
const std::string kUserNotFound = "QVTR - CurrentLanguage NOT FOUND\n";
std::string Found(const std::string& code) {
    return "QVTR - CurrentLanguage FOUND, will use " + code + "\n";
}
std::string Fallback(const std::string& code) {
    return "QVTR - CurrentLanguage NOT FOUND, will use " + code + "\n";
}

void PutLanguage(ScratchRegistry& r, HKEY root, const std::string& code) {
    r.PutString(root, kLanguageKey, "CurrentLanguage", code);
}

struct LanguageCase {
    const char* name;
    void (*describe)(ScratchRegistry&);
    const char* held;  // the holder's code before the call
    std::string code;
    LanguageSource source;
    int fallbackCalls;
    std::vector<std::string> trace;
    std::vector<std::string> opens;  // the keys opened, in order
};

const std::string kUserKey = "HKCU\\" + kLanguageKey;
const std::string kMachineKey = "HKLM\\" + kLanguageKey;

const std::vector<LanguageCase>& Cases() {
    static const std::vector<LanguageCase> cases = {
        {"UserKeyWithoutValueThenMachineValue",
         [](ScratchRegistry& r) {
             r.PutKey(HKEY_CURRENT_USER, kLanguageKey);
             PutLanguage(r, HKEY_LOCAL_MACHINE, "03");
         },
         "",
         "03",
         LanguageSource::LocalMachine,
         0,
         {kUserOpened, kUserNotFound, kMachineOpened, Found("03")},
         {kUserKey, kMachineKey}},
        {"UserValueWinsAndMachineKeyStaysClosed",
         [](ScratchRegistry& r) {
             PutLanguage(r, HKEY_CURRENT_USER, "07");
             PutLanguage(r, HKEY_LOCAL_MACHINE, "03");
         },
         "",
         "07",
         LanguageSource::CurrentUser,
         0,
         {kUserOpened, Found("07")},
         {kUserKey}},
        {"NeitherKeyTakesTheFallback",
         [](ScratchRegistry&) {},
         "",
         "00",
         LanguageSource::Fallback,
         1,
         {Fallback("00")},
         {kUserKey, kMachineKey}},
        {"MachineKeyWithoutValueTakesTheFallback",
         [](ScratchRegistry& r) { r.PutKey(HKEY_LOCAL_MACHINE, kLanguageKey); },
         "",
         "00",
         LanguageSource::Fallback,
         1,
         {kMachineOpened, Fallback("00")},
         {kUserKey, kMachineKey}},
        {"AHeldCodeReadsNothing",
         [](ScratchRegistry& r) { PutLanguage(r, HKEY_CURRENT_USER, "07"); },
         "05",
         "05",
         LanguageSource::None,
         0,
         {},
         {}},
        {"BinaryValueWithoutNulIsReadWithinItsBytes",
         [](ScratchRegistry& r) {
             r.PutValue(HKEY_CURRENT_USER, kLanguageKey, "CurrentLanguage", REG_BINARY, "12", 2);
         },
         "",
         "12",
         LanguageSource::CurrentUser,
         0,
         {kUserOpened, Found("12")},
         {kUserKey}},
    };
    return cases;
}

class LanguageTable : public testing::TestWithParam<LanguageCase> {};

TEST_P(LanguageTable, ChoosesTheCodeAndTracesEachStep) {
    const LanguageCase& c = GetParam();
    ScratchRegistry registry;
    c.describe(registry);
    registry.ClearCalls();
    TraceCapture trace;

    CLanguageSelection holder;
    holder.m_strLanguage = c.held;
    int fallbackCalls = 0;
    const std::string& code = holder.GetCurrentLanguage([&fallbackCalls](CLanguageSelection& h) {
        ++fallbackCalls;
        h.m_strLanguage = "00";
    });

    EXPECT_EQ(code, c.code);
    EXPECT_EQ(&code, &holder.m_strLanguage);
    EXPECT_EQ(holder.m_eSource, c.source);
    EXPECT_EQ(fallbackCalls, c.fallbackCalls);
    EXPECT_EQ(trace.Lines(), c.trace);
    std::vector<std::string> opens;
    for (const auto& call : registry.RegistryCalls()) {
        if (call.function == "RegOpenKeyExA") {
            opens.push_back(call.key);
        }
        EXPECT_NE(call.function, "RegCreateKeyExA") << "selection never creates a key";
    }
    EXPECT_EQ(opens, c.opens);
    EXPECT_EQ(registry.LiveHandles(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Languages, LanguageTable, testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<LanguageCase>& info) { return info.param.name; });

TEST(LanguageSelection, OnceChosenTheCodeStaysWhateverTheRegistrySaysLater) {
    ScratchRegistry registry;
    PutLanguage(registry, HKEY_LOCAL_MACHINE, "03");
    CLanguageSelection holder;
    EXPECT_EQ(holder.GetCurrentLanguage(nullptr), "03");

    PutLanguage(registry, HKEY_CURRENT_USER, "07");
    registry.ClearCalls();
    EXPECT_EQ(holder.GetCurrentLanguage(nullptr), "03");
    EXPECT_TRUE(registry.RegistryCalls().empty());
}

TEST(LanguageSelection, AnEmptyFallbackIsAskedAgainNextTime) {
    ScratchRegistry registry;
    CLanguageSelection holder;
    int calls = 0;
    const auto fallback = [&calls](CLanguageSelection&) { ++calls; };
    EXPECT_EQ(holder.GetCurrentLanguage(fallback), "");
    PutLanguage(registry, HKEY_CURRENT_USER, "07");
    EXPECT_EQ(holder.GetCurrentLanguage(fallback), "07");
    EXPECT_EQ(calls, 1);
}

}  // namespace
