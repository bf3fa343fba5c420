// Language selection: per user, then per machine, then the caller's fallback,
// with the trace lines in order.
#include <gtest/gtest.h>

#include <sstream>
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
const std::string kUserOpen = "QVTR - HKCU " + kLanguageKey + " OPENED\n";
const std::string kMachineOpen = "QVTR - HKLM " + kLanguageKey + " OPENED\n";
const std::string kNotFound = "QVTR - CurrentLanguage NOT FOUND\n";
const std::string kFound = "QVTR - CurrentLanguage FOUND, will use ";
const std::string kFallback = "QVTR - CurrentLanguage NOT FOUND, will use 00\n";

// "user=07" or "machine=03": the value; "user" or "machine" alone: the key
// without it; "user-binary=12": the value's bytes as REG_BINARY, without a NUL.
void Describe(ScratchRegistry& r, const std::string& words) {
    std::istringstream in(words);
    for (std::string word; in >> word;) {
        const HKEY root = word.compare(0, 4, "user") == 0 ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
        const size_t equals = word.find('=');
        const std::string code = equals == std::string::npos ? "" : word.substr(equals + 1);
        if (equals == std::string::npos) {
            r.PutKey(root, kLanguageKey);
        } else if (word.find("binary") != std::string::npos) {
            r.PutValue(root, kLanguageKey, "CurrentLanguage", REG_BINARY, code.data(), code.size());
        } else {
            r.PutString(root, kLanguageKey, "CurrentLanguage", code);
        }
    }
}

struct LanguageCase {
    const char* name;
    const char* registry;  // for Describe
    std::string code;
    LanguageSource source;
    std::vector<std::string> trace;
};

using S = LanguageSource;
const std::vector<LanguageCase> kCases = {
    {"UserEmpty", "user machine=03", "03", S::LocalMachine, {kUserOpen, kNotFound, kMachineOpen, kFound + "03\n"}},
    {"UserValueWins", "user=07 machine=03", "07", S::CurrentUser, {kUserOpen, kFound + "07\n"}},
    {"NothingChosenIsAskedForAgain", "", "", S::Fallback, {"QVTR - CurrentLanguage NOT FOUND, will use \n"}},
    {"MachineKeyWithoutValueTakesTheFallback", "machine", "00", S::Fallback, {kMachineOpen, kFallback}},
    {"BinaryValueWithoutNul", "user-binary=12", "12", S::CurrentUser, {kUserOpen, kFound + "12\n"}},
};

class LanguageTable : public testing::TestWithParam<LanguageCase> {};

TEST_P(LanguageTable, ChoosesTheCodeAndTracesEachStep) {
    const LanguageCase& c = GetParam();
    ScratchRegistry registry;
    Describe(registry, c.registry);
    registry.ClearCalls();
    TraceCapture trace;

    CLanguageSelection holder;
    int fallbackCalls = 0;
    const auto fallback = [&fallbackCalls, &c](CLanguageSelection& h) {
        ++fallbackCalls;
        h.m_strLanguage = c.code;
    };
    const std::string& code = holder.GetCurrentLanguage(fallback);

    EXPECT_EQ(code, c.code);
    EXPECT_EQ(&code, &holder.m_strLanguage);
    EXPECT_EQ(holder.m_eSource, c.source);
    EXPECT_EQ(fallbackCalls, c.source == LanguageSource::Fallback ? 1 : 0);
    EXPECT_EQ(trace.Lines(), c.trace);
    EXPECT_EQ(registry.LiveHandles(), 0u);

    // A chosen code is kept; without one the next call asks again.
    registry.ClearCalls();
    EXPECT_EQ(holder.GetCurrentLanguage(fallback), c.code);
    EXPECT_EQ(registry.RegistryCallTexts().empty(), !c.code.empty());
}

INSTANTIATE_TEST_SUITE_P(Languages, LanguageTable, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<LanguageCase>& info) { return info.param.name; });

}  // namespace
