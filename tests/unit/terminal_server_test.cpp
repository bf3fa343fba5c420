// The terminal-server tests on machines described in a scratch registry with a
// chosen version record, and the version snapshot they start from.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "qvtr/platform.h"
#include "support/scratch_registry.h"
#include "win32/api.h"

using testing_support::ScratchRegistry;

namespace {

const std::string kOptions = "System\\CurrentControlSet\\Control\\ProductOptions";
const std::string kCitrix = "System\\CurrentControlSet\\Control\\Citrix";
const std::string kCommon = QVTR_COMMON_SETTINGS_KEY;

// ---- run-time binding of the Windows 2000 suite test ------------------------------

struct Binding {
    bool ntdll = true;
    bool kernel32 = true;
    bool setConditionMask = true;
    bool verifyVersionInfo = true;
    BOOL verifyAnswer = FALSE;
};

Binding g_binding;

HMODULE const kNtdll = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x77f00000));
HMODULE const kKernel32 = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x77e00000));
const ULONGLONG kConditionMask = 0x5EED;

ULONGLONG WINAPI FakeVerSetConditionMask(ULONGLONG mask, DWORD typeMask, BYTE condition) {
    EXPECT_EQ(mask, 0u);
    EXPECT_EQ(typeMask, 64u);  // the suite
    EXPECT_EQ(condition, 6);   // all of it
    return kConditionMask;
}

BOOL WINAPI FakeVerifyVersionInfoA(LPOSVERSIONINFOEXA info, DWORD typeMask, DWORDLONG conditionMask) {
    // Only the suite is asked about: everything else in the record is zero.
    OSVERSIONINFOEXA expected;
    std::memset(&expected, 0, sizeof expected);
    expected.dwOSVersionInfoSize = 156;
    expected.wSuiteMask = VER_SUITE_TERMINAL;
    EXPECT_EQ(std::memcmp(info, &expected, sizeof expected), 0);
    EXPECT_EQ(typeMask, 64u);
    EXPECT_EQ(conditionMask, kConditionMask);
    return g_binding.verifyAnswer;
}

template <typename Function>
FARPROC Proc(Function function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

HMODULE WINAPI FakeGetModuleHandleA(LPCSTR name) {
    const std::string n = name ? name : "(null)";
    if (n == "ntdll.dll")
        return g_binding.ntdll ? kNtdll : nullptr;
    if (n == "KERNEL32.DLL")
        return g_binding.kernel32 ? kKernel32 : nullptr;
    return nullptr;
}

FARPROC WINAPI FakeGetProcAddress(HMODULE module, LPCSTR name) {
    const std::string n = name;
    if (module == kNtdll && n == "VerSetConditionMask" && g_binding.setConditionMask) {
        return Proc(FakeVerSetConditionMask);
    }
    if (module == kKernel32 && n == "VerifyVersionInfoA" && g_binding.verifyVersionInfo) {
        return Proc(FakeVerifyVersionInfoA);
    }
    return nullptr;
}

// The registry and the binding of the Windows 2000 suite test, together.
class FakeMachine {
public:
    explicit FakeMachine(const Binding& binding = Binding()) {
        g_binding = binding;
        m_override->GetModuleHandleA = FakeGetModuleHandleA;
        m_override->GetProcAddress = FakeGetProcAddress;
    }
    ScratchRegistry& Registry() { return m_registry; }

private:
    ScratchRegistry m_registry;  // first: its guard restores the whole table last
    ApiOverride m_override;
};

void PutBytes(ScratchRegistry& r, const std::string& key, const char* name, DWORD type, const std::string& bytes) {
    r.PutValue(HKEY_LOCAL_MACHINE, key, name, type, bytes.data(), bytes.size());
}

Binding Verify(BOOL answer, bool bound = true, bool ntdll = true) {
    Binding binding;
    binding.verifyAnswer = answer;
    binding.verifyVersionInfo = bound;
    binding.ntdll = ntdll;
    return binding;
}

struct MachineCase {
    const char* name;
    void (*describe)(ScratchRegistry&);
    Binding binding;
    const char* answers;  // the tests that say yes: "ts" terminal server, "mf", "wf", "mu" multi-user
};

bool Says(const MachineCase& c, const char* test) {
    return std::string(c.answers).find(test) != std::string::npos;
}

const std::vector<MachineCase>& Machines() {
    using R = ScratchRegistry&;
    static const std::vector<MachineCase> machines = {
        {"Nt351WinFrame", [](R r) { r.SetNt351(), r.SetCitrixProductName("Citrix WinFrame"); }, {}, "wf mu"},
        {"Nt351WinFrameWithMetaFrameForced",
         [](R r) { r.SetNt351(), r.SetCitrixProductName("Citrix WinFrame"), r.SetForcingValue("MetaFrame", 1); },
         {},
         "mf wf mu"},
        {"Nt40MetaFrame", [](R r) { r.SetNt40(), r.SetCitrixProductName("Citrix MetaFrame"); }, {}, "mf mu"},
        {"Nt40MetaFrameWithWinFrameForced",
         [](R r) { r.SetNt40(), r.SetCitrixProductName("Citrix MetaFrame"), r.SetForcingValue("WinFrame", 1); },
         {},
         "mf wf mu"},
        {"ProductNameWithTrailingBlank", [](R r) { r.SetNt40(), r.SetCitrixProductName("Citrix MetaFrame "); }, {}, ""},
        {"ProductNameInOtherCaseFallsThroughToForcing",
         [](R r) { r.SetNt40(), r.SetCitrixProductName("citrix metaframe"), r.SetForcingValue("MetaFrame", 1); },
         {},
         "mf mu"},
        {"ProductNameBinaryWithoutNul",
         [](R r) { r.SetNt40(), PutBytes(r, kCitrix, "ProductName", REG_BINARY, "Citrix MetaFrame"); },
         {},
         "mf mu"},
        {"ProductNameLongerWithoutNul",
         [](R r) { r.SetNt40(), PutBytes(r, kCitrix, "ProductName", REG_SZ, "Citrix MetaFrameXP"); },
         {},
         ""},
        {"MetaFrameForcedToZero", [](R r) { r.SetNt40(), r.SetForcingValue("MetaFrame", 0); }, {}, ""},
        {"MetaFrameForcedOnWithoutCitrixKey", [](R r) { r.SetNt40(), r.SetForcingValue("MetaFrame", 1); }, {}, "mf mu"},
        {"ForcingValuesShorterThanFourBytesCountAsZero",
         [](R r) {
             r.SetNt40();
             PutBytes(r, kCommon, "MetaFrame", REG_BINARY, std::string("\x01\x01\x01", 3));
             PutBytes(r, kCommon, "WinFrame", REG_BINARY, "");
         },
         {},
         ""},
        {"Nt40TerminalServer", [](R r) { r.SetNt40(), r.SetProductSuite({"Terminal Server"}); }, {}, "ts mu"},
        {"Nt40TerminalServerAfterAnotherSuite",
         [](R r) {
             r.SetNt40(), r.SetProductSuite({"Small Business", "Terminal Server"});
         },
         {},
         "ts mu"},
        {"TerminalServerAsPlainString",
         [](R r) { r.SetNt40(), r.PutString(HKEY_LOCAL_MACHINE, kOptions, "ProductSuite", "Terminal Server"); },
         {},
         ""},
        {"ProductSuiteWithoutFinalTerminators",
         [](R r) {
             r.SetNt40();
             PutBytes(r, kOptions, "ProductSuite", REG_MULTI_SZ, std::string("Enterprise\0Terminal Server", 26));
         },
         {},
         "ts mu"},
        {"ProductSuiteCutInsideTheName",
         [](R r) { r.SetNt40(), PutBytes(r, kOptions, "ProductSuite", REG_MULTI_SZ, "Terminal Serv"); },
         {},
         ""},
        {"EmptyProductSuite",
         [](R r) { r.SetNt40(), PutBytes(r, kOptions, "ProductSuite", REG_MULTI_SZ, ""); },
         {},
         ""},
        {"Windows2000TerminalServicesByVerifyVersionInfoAlone", [](R r) { r.SetWindows2000(); }, Verify(TRUE), "ts mu"},
        {"Windows2000SuiteListIsNotRead", [](R r) { r.SetWindows2000(), r.SetProductSuite({"Terminal Server"}); },
         Verify(FALSE), ""},
        {"Windows2000WithoutVerifyVersionInfo", [](R r) { r.SetWindows2000(); }, Verify(TRUE, false), ""},
        {"Windows2000WithoutNtdll", [](R r) { r.SetWindows2000(); }, Verify(TRUE, true, false), ""},
        {"Windows98HasNoRegistryAccessButTheForcingValues",
         [](R r) {
             r.SetWindows98(), r.SetProductSuite({"Terminal Server"}), r.SetCitrixProductName("Citrix MetaFrame");
         },
         {},
         ""},
        {"Windows98WithMetaFrameForced", [](R r) { r.SetWindows98(), r.SetForcingValue("MetaFrame", 1); }, {}, "mf mu"},
    };
    return machines;
}

class MachineTable : public testing::TestWithParam<MachineCase> {};

TEST_P(MachineTable, AnswersOnceAndClosesEveryKey) {
    const MachineCase& c = GetParam();
    FakeMachine machine(c.binding);
    c.describe(machine.Registry());
    COsVersionInfo os;  // takes its snapshot from the chosen version record

    // Asked twice: the second round from what the first found, without a platform call.
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(os.IsTerminalServer(), Says(c, "ts"));
        EXPECT_EQ(os.IsMetaFrame(), Says(c, "mf"));
        EXPECT_EQ(os.IsWinFrame(), Says(c, "wf"));
        EXPECT_EQ(os.IsMultiUser(), Says(c, "mu"));
        EXPECT_EQ(machine.Registry().LiveHandles(), 0u);
        EXPECT_EQ(machine.Registry().BadCloses(), 0u);
        EXPECT_TRUE(round == 0 || machine.Registry().Calls().empty());
        machine.Registry().ClearCalls();
    }
}

INSTANTIATE_TEST_SUITE_P(Machines, MachineTable, testing::ValuesIn(Machines()),
                         [](const testing::TestParamInfo<MachineCase>& info) { return info.param.name; });

TEST(MultiUser, StopsAtTheFirstTestThatSaysYes) {
    struct Case {
        bool suite;
        bool metaFrameKnown;
    } cases[] = {{true, false}, {false, true}};
    for (const Case& c : cases) {
        FakeMachine machine;
        machine.Registry().SetNt40();
        if (c.suite) {
            machine.Registry().SetProductSuite({"Terminal Server"});
        }
        machine.Registry().SetCitrixProductName("Citrix MetaFrame");
        COsVersionInfo os;
        EXPECT_TRUE(os.IsMultiUser());
        EXPECT_TRUE(os.m_bTerminalServerKnown);
        EXPECT_EQ(os.m_bMetaFrameKnown, c.metaFrameKnown);
        EXPECT_FALSE(os.m_bWinFrameKnown);
    }
}

TEST(MultiUser, ConcurrentFirstUseAgrees) {
    FakeMachine machine;
    machine.Registry().SetNt40();
    machine.Registry().SetCitrixProductName("Citrix MetaFrame");
    COsVersionInfo os;

    std::vector<std::thread> threads;
    std::vector<int> answers(8, -1);
    for (size_t i = 0; i < answers.size(); ++i) {
        threads.emplace_back([&os, &answers, i] { answers[i] = os.IsMultiUser() && os.IsMetaFrame(); });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (int answer : answers) {
        EXPECT_EQ(answer, 1);
    }
    EXPECT_EQ(machine.Registry().LiveHandles(), 0u);
}

// ---- the free functions ---------------------------------------------------------------

TEST(ProductSuite, AnswersForAnyNameAndNothingForAMissingKey) {
    FakeMachine machine;
    machine.Registry().SetProductSuite({"Enterprise", "Terminal Server"});
    EXPECT_EQ(IsInProductSuite("Enterprise"), 1u);
    EXPECT_EQ(IsInProductSuite("Terminal Server"), 1u);
    EXPECT_EQ(IsInProductSuite("terminal server"), 0u);  // case-sensitive
    EXPECT_EQ(IsInProductSuite(""), 0u);                 // the list's end is no entry

    machine.Registry().RemoveKey(HKEY_LOCAL_MACHINE, kOptions);
    EXPECT_EQ(IsInProductSuite("Terminal Server"), 0u);
    EXPECT_EQ(machine.Registry().LiveHandles(), 0u);
}

HLOCAL WINAPI FailingLocalAlloc(UINT, SIZE_T) {
    return nullptr;
}

SIZE_T g_requested = 0;
HLOCAL WINAPI RecordingLocalAlloc(UINT flags, SIZE_T size) {
    g_requested = size;
    EXPECT_EQ(flags, static_cast<UINT>(LPTR));
    return BackendApi().LocalAlloc(flags, size);
}

TEST(ProductSuite, AFailedAllocationAnswersNoAndClosesTheKey) {
    FakeMachine machine;
    machine.Registry().SetProductSuite({"Terminal Server"});
    ApiOverride o;
    o->LocalAlloc = FailingLocalAlloc;
    EXPECT_EQ(IsInProductSuite("Terminal Server"), 0u);
    EXPECT_EQ(machine.Registry().LiveHandles(), 0u);
}

TEST(ProductSuite, TheBufferHasTwoSpareZeroBytes) {
    FakeMachine machine;
    machine.Registry().SetNt40();
    PutBytes(machine.Registry(), kOptions, "ProductSuite", REG_MULTI_SZ, "Terminal Server");
    // The size the registry reports: Wine's ANSI query counts a terminator it adds.
    HKEY key = nullptr;
    DWORD size = 0;
    ASSERT_EQ(Api().RegOpenKeyA(HKEY_LOCAL_MACHINE, kOptions.c_str(), &key), ERROR_SUCCESS);
    Api().RegQueryValueExA(key, "ProductSuite", nullptr, nullptr, nullptr, &size);
    Api().RegCloseKey(key);
    ApiOverride o;
    o->LocalAlloc = RecordingLocalAlloc;
    EXPECT_EQ(HasTerminalServerSuite(), 1u);
    EXPECT_GE(size, 15u);
    EXPECT_EQ(g_requested, size + 2u);
}

// ---- the version snapshot ---------------------------------------------------------------

TEST(OsVersion, SnapshotHoldsTheMachinesVersion) {
    struct Case {
        const char* name;
        void (ScratchRegistry::*setup)();
        DWORD platformId, major, minor, build;
        const char* servicePack;
    } cases[] = {
        {"NT 3.51", &ScratchRegistry::SetNt351, VER_PLATFORM_WIN32_NT, 3, 51, 1057, "Service Pack 5"},
        {"NT 4.0", &ScratchRegistry::SetNt40, VER_PLATFORM_WIN32_NT, 4, 0, 1381, "Service Pack 6"},
        {"Windows 2000", &ScratchRegistry::SetWindows2000, VER_PLATFORM_WIN32_NT, 5, 0, 2195, ""},
        {"Windows 98", &ScratchRegistry::SetWindows98, VER_PLATFORM_WIN32_WINDOWS, 4, 10, 2222, " A"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchRegistry reg;
        (reg.*c.setup)();
        COsVersionInfo os;
        EXPECT_EQ(os.m_osvi.dwPlatformId, c.platformId);
        EXPECT_EQ(os.m_osvi.dwMajorVersion, c.major);
        EXPECT_EQ(os.m_osvi.dwMinorVersion, c.minor);
        EXPECT_EQ(os.m_osvi.dwBuildNumber, c.build);
        EXPECT_STREQ(os.m_osvi.szCSDVersion, c.servicePack);

        // One question, with the plain record's size.
        auto calls = reg.Calls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].function, "GetVersionExA");
        EXPECT_EQ(calls[0].index, 148u);
    }
}

TEST(OsVersion, SnapshotIsNeverRefreshed) {
    ScratchRegistry reg;
    reg.SetNt40();
    COsVersionInfo os;
    reg.SetWindows98();
    EXPECT_EQ(os.m_osvi.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
    EXPECT_EQ(os.m_osvi.dwMajorVersion, 4u);
}

TEST(OsVersion, FailedQueryLeavesAZeroRecord) {
    ScratchRegistry reg;
    reg.FailVersionQuery(true);
    COsVersionInfo os;
    EXPECT_EQ(os.m_osvi.dwOSVersionInfoSize, 148u);
    EXPECT_EQ(os.m_osvi.dwPlatformId, 0u);
    EXPECT_EQ(os.m_osvi.dwMajorVersion, 0u);
    EXPECT_EQ(os.m_osvi.dwMinorVersion, 0u);
    EXPECT_EQ(os.m_osvi.dwBuildNumber, 0u);
    EXPECT_STREQ(os.m_osvi.szCSDVersion, "");
    EXPECT_FALSE(os.m_bWinFrameKnown || os.m_bMetaFrameKnown || os.m_bTerminalServerKnown);
}

TEST(OsVersion, LocalInstanceStartsWithNothingKnown) {
    COsVersionInfo& shared = g_OsVersionInfo;
    const bool saved[3] = {shared.m_bWinFrameKnown, shared.m_bMetaFrameKnown, shared.m_bTerminalServerKnown};
    shared.m_bWinFrameKnown = true;
    shared.m_bMetaFrameKnown = true;
    shared.m_bTerminalServerKnown = true;

    COsVersionInfo local;
    EXPECT_FALSE(local.m_bWinFrameKnown);
    EXPECT_FALSE(local.m_bMetaFrameKnown);
    EXPECT_FALSE(local.m_bTerminalServerKnown);

    shared.m_bWinFrameKnown = saved[0];
    shared.m_bMetaFrameKnown = saved[1];
    shared.m_bTerminalServerKnown = saved[2];
}

TEST(OsVersion, SharedInstanceTookTheBackendsAnswerAtLoad) {
    if (BackendApi().GetVersionExA == nullptr) {
        GTEST_SKIP() << "this backend has no version information";
    }
    OSVERSIONINFOA now = {};
    now.dwOSVersionInfoSize = sizeof now;
    ASSERT_TRUE(BackendApi().GetVersionExA(&now));
    const OSVERSIONINFOA& snapshot = g_OsVersionInfo.m_osvi;
    EXPECT_EQ(snapshot.dwOSVersionInfoSize, 148u);
    EXPECT_EQ(snapshot.dwPlatformId, now.dwPlatformId);
    EXPECT_EQ(snapshot.dwMajorVersion, now.dwMajorVersion);
    EXPECT_EQ(snapshot.dwMinorVersion, now.dwMinorVersion);
    EXPECT_EQ(snapshot.dwBuildNumber, now.dwBuildNumber);
    EXPECT_STREQ(snapshot.szCSDVersion, now.szCSDVersion);
}

}  // namespace
