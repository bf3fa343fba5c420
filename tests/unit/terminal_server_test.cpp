// The terminal-server tests on machines described in a scratch registry with a
// chosen version record, and the version snapshot they start from.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "qvtr/platform.h"
#include "support/fault_injector.h"
#include "support/scratch_registry.h"
#include "win32/api.h"

using testing_support::FaultInjector;
using testing_support::ScratchRegistry;

namespace {

const std::string kOptions = "System\\CurrentControlSet\\Control\\ProductOptions";
const std::string kCitrix = "System\\CurrentControlSet\\Control\\Citrix";
const std::string kTerminalServer("Terminal Server\0", 17);  // a list of one

// The Windows 2000 suite test binds VerifyVersionInfoA at run time; what it asks
// is the contract, so the question is recorded here rather than answered by Wine.
// `g_binding`: "yes" for the answer, "no-verify" for a missing function, "no-memory"
// for a failing allocation.
std::string g_binding;
bool Binds(const char* word) {
    return g_binding.find(word) != std::string::npos;
}

BOOL WINAPI FakeVerifyVersionInfoA(LPOSVERSIONINFOEXA info, DWORD typeMask, DWORDLONG conditionMask) {
    // Only the suite is asked about: everything else in the record is zero.
    OSVERSIONINFOEXA expected;
    std::memset(&expected, 0, sizeof expected);
    expected.dwOSVersionInfoSize = 156;
    expected.wSuiteMask = VER_SUITE_TERMINAL;
    EXPECT_EQ(std::memcmp(info, &expected, sizeof expected), 0);
    EXPECT_EQ(typeMask, 64u);
    EXPECT_EQ(conditionMask, 6ull << 18);  // all of the suite
    return Binds("yes");
}

// The suite list's block, poisoned past the size asked for: a scan that counts on
// zero bytes it did not ask for meets garbage. "no-memory": no block at all.
HLOCAL WINAPI PoisonedLocalAlloc(UINT flags, SIZE_T size) {
    EXPECT_EQ(flags, static_cast<UINT>(LPTR));
    HLOCAL block = Binds("no-memory") ? nullptr : BackendApi().LocalAlloc(flags, size + 16);
    if (block != nullptr) {
        std::memset(static_cast<char*>(block) + size, 'x', 16);
    }
    return block;
}

FARPROC WINAPI FakeGetProcAddress(HMODULE module, LPCSTR name) {
    if (module != BackendApi().GetModuleHandleA("KERNEL32.DLL") || std::strcmp(name, "VerifyVersionInfoA") != 0) {
        return BackendApi().GetProcAddress(module, name);
    }
    return Binds("no-verify") ? nullptr
                              : reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(FakeVerifyVersionInfoA));
}

void PutBytes(ScratchRegistry& r, const std::string& key, const char* name, DWORD type, const std::string& bytes) {
    r.PutValue(HKEY_LOCAL_MACHINE, key, name, type, bytes.data(), bytes.size());
}
void Forcing(ScratchRegistry& r, const char* name, const std::string& bytes) {
    PutBytes(r, QVTR_COMMON_SETTINGS_KEY, name, REG_BINARY, bytes);
}
void Suite(ScratchRegistry& r, DWORD type, const std::string& bytes) {
    PutBytes(r, kOptions, "ProductSuite", type, bytes);
}

struct MachineCase {
    const char* name;
    // The tests that say yes: "ts" terminal server, "mf", "wf", "mu" multi-user; and
    // for the platform calls, the words of g_binding.
    const char* answers;
    void (*describe)(ScratchRegistry&);
};

bool Says(const MachineCase& c, const char* test) {
    return std::string(c.answers).find(test) != std::string::npos;
}

using R = ScratchRegistry&;
const std::vector<MachineCase> kMachines = {
    {"Nt351WinFrame", "wf mu", [](R r) { r.SetNt351(), r.SetCitrixProductName("Citrix WinFrame"); }},
    {"Nt40MetaFrame", "mf mu", [](R r) { r.SetNt40(), r.SetCitrixProductName("Citrix MetaFrame"); }},
    {"Nt40WinFrameForced", "wf mu", [](R r) { r.SetNt40(), r.SetForcingValue("WinFrame", 1); }},
    {"ForcingValuesOfZeroOrShorterThanFourBytes", "",
     [](R r) { r.SetNt40(), Forcing(r, "MetaFrame", "\x01\x01\x01"), r.SetForcingValue("WinFrame", 0); }},
    {"ProductNameWithTrailingBlank", "", [](R r) { r.SetNt40(), r.SetCitrixProductName("Citrix MetaFrame "); }},
    {"ProductNameBinaryWithoutNul", "mf mu",
     [](R r) { r.SetNt40(), PutBytes(r, kCitrix, "ProductName", REG_BINARY, "Citrix MetaFrame"); }},
    {"Nt40TerminalServer", "ts mu", [](R r) { r.SetNt40(), Suite(r, REG_MULTI_SZ, kTerminalServer); }},
    {"TerminalServerAsPlainString", "", [](R r) { r.SetNt40(), Suite(r, REG_SZ, "Terminal Server"); }},
    {"ProductSuiteWithoutFinalTerminators", "ts mu",
     [](R r) { r.SetNt40(), Suite(r, REG_MULTI_SZ, std::string("Enterprise\0Terminal Server", 26)); }},
    {"ProductSuiteCutInsideTheName", "", [](R r) { r.SetNt40(), Suite(r, REG_MULTI_SZ, "Terminal Serv"); }},
    {"ProductSuiteNamesAreCaseSensitive", "",
     [](R r) { r.SetNt40(), Suite(r, REG_MULTI_SZ, std::string("terminal server\0", 17)); }},
    {"ProductSuiteWithoutMemory", "no-memory", [](R r) { r.SetNt40(), Suite(r, REG_MULTI_SZ, kTerminalServer); }},
    {"Windows2000TerminalServicesByVerifyVersionInfoAlone", "ts mu yes", [](R r) { r.SetWindows2000(); }},
    {"Windows2000SuiteListIsNotRead", "", [](R r) { r.SetWindows2000(), Suite(r, REG_MULTI_SZ, kTerminalServer); }},
    {"Windows2000WithoutVerifyVersionInfo", "yes no-verify", [](R r) { r.SetWindows2000(); }},
    {"Windows98HasNoRegistryAccessButTheForcingValues", "",
     [](R r) {
         r.SetWindows98(), Suite(r, REG_MULTI_SZ, kTerminalServer), r.SetCitrixProductName("Citrix MetaFrame");
     }},
    {"Windows98WithMetaFrameForced", "mf mu", [](R r) { r.SetWindows98(), r.SetForcingValue("MetaFrame", 1); }},
};

class MachineTable : public testing::TestWithParam<MachineCase> {};

TEST_P(MachineTable, AnswersOnceAndClosesEveryKey) {
    const MachineCase& c = GetParam();
    ScratchRegistry registry;  // first: its guard restores the whole table last
    g_binding = c.answers;
    ApiOverride binding;
    binding->GetProcAddress = FakeGetProcAddress;
    binding->LocalAlloc = PoisonedLocalAlloc;
    c.describe(registry);
    COsVersionInfo os;  // one query of the plain record, answered from the chosen one
    EXPECT_EQ(registry.RegistryCallTexts({"GetVersionExA"}), std::vector<std::string>{"GetVersionExA #148"});

    // Asked twice: the second round from what the first found, without a platform call.
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(os.IsTerminalServer(), Says(c, "ts"));
        EXPECT_EQ(os.IsMetaFrame(), Says(c, "mf"));
        EXPECT_EQ(os.IsWinFrame(), Says(c, "wf"));
        EXPECT_EQ(os.IsMultiUser(), Says(c, "mu"));
        EXPECT_EQ(registry.LiveHandles(), 0u);
        EXPECT_EQ(registry.BadCloses(), 0u);
        // Every answer starts with one of these.
        EXPECT_TRUE(round == 0 || registry.RegistryCallTexts({"GetVersion", "RegOpenKeyA", "RegOpenKeyExA"}).empty());
        registry.ClearCalls();
    }
}

INSTANTIATE_TEST_SUITE_P(Machines, MachineTable, testing::ValuesIn(kMachines),
                         [](const testing::TestParamInfo<MachineCase>& info) { return info.param.name; });

TEST(OsVersion, AFailedQueryLeavesTheRecordZero) {
    FaultInjector<&Win32Api::GetVersionExA> fail(1, ERROR_INVALID_PARAMETER, FALSE);
    COsVersionInfo failed;
    OSVERSIONINFOA zero = {};
    zero.dwOSVersionInfoSize = 148;
    EXPECT_EQ(std::memcmp(&failed.m_osvi, &zero, sizeof zero), 0);
}

}  // namespace
