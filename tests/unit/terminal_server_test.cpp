// The terminal-server tests on machines described by the fake registry and
// version record: the answers, and every platform call each one makes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "qvtr/platform.h"
#include "support/fake_registry.h"
#include "win32/api.h"

using testing_support::FakeRegistry;
using testing_support::RegistryCall;

namespace {

const std::string kOptions = "HKLM\\System\\CurrentControlSet\\Control\\ProductOptions";
const std::string kCitrix = "HKLM\\System\\CurrentControlSet\\Control\\Citrix";
const std::string kCommon = std::string("HKLM\\") + QVTR_COMMON_SETTINGS_KEY;

std::string Coded(std::string text, LONG code) {
    return code ? text + " -> " + std::to_string(code) : text;
}
std::string Open(const std::string& key, LONG code = 0) {
    return Coded("RegOpenKeyExA " + key, code);
}
std::string OpenA(const std::string& key, LONG code = 0) {
    return Coded("RegOpenKeyA " + key, code);
}
std::string Read(const std::string& key, const std::string& value, LONG code = 0) {
    return Coded("RegQueryValueExA " + key + ":" + value, code);
}

// ---- run-time binding of the Windows 2000 suite test ------------------------------

struct Binding {
    bool ntdll = true;
    bool kernel32 = true;
    bool setConditionMask = true;
    bool verifyVersionInfo = true;
    BOOL verifyAnswer = FALSE;
};

Binding g_binding;
// Binding calls, each with the number of registry calls made before it, so
// that one ordered record can be rebuilt.
std::vector<std::pair<size_t, std::string>> g_bindingCalls;

HMODULE const kNtdll = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x77f00000));
HMODULE const kKernel32 = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x77e00000));
const ULONGLONG kConditionMask = 0x5EED;

void Note(const std::string& text) {
    g_bindingCalls.emplace_back(FakeRegistry::Active()->Calls().size(), text);
}

ULONGLONG WINAPI FakeVerSetConditionMask(ULONGLONG mask, DWORD typeMask, BYTE condition) {
    Note("VerSetConditionMask " + std::to_string(mask) + " " + std::to_string(typeMask) + " " +
         std::to_string(condition));
    return kConditionMask;
}

BOOL WINAPI FakeVerifyVersionInfoA(LPOSVERSIONINFOEXA info, DWORD typeMask, DWORDLONG conditionMask) {
    // Only the suite is asked about: everything else in the record is zero.
    OSVERSIONINFOEXA expected;
    std::memset(&expected, 0, sizeof expected);
    expected.dwOSVersionInfoSize = 156;
    expected.wSuiteMask = VER_SUITE_TERMINAL;
    EXPECT_EQ(std::memcmp(info, &expected, sizeof expected), 0);
    Note("VerifyVersionInfoA " + std::to_string(typeMask) + (conditionMask == kConditionMask ? " mask" : " ?"));
    return g_binding.verifyAnswer;
}

template <typename Function>
FARPROC Proc(Function function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

HMODULE WINAPI FakeGetModuleHandleA(LPCSTR name) {
    const std::string n = name ? name : "(null)";
    Note("GetModuleHandleA " + n);
    if (n == "ntdll.dll")
        return g_binding.ntdll ? kNtdll : nullptr;
    if (n == "KERNEL32.DLL")
        return g_binding.kernel32 ? kKernel32 : nullptr;
    return nullptr;
}

FARPROC WINAPI FakeGetProcAddress(HMODULE module, LPCSTR name) {
    const std::string n = name;
    Note("GetProcAddress " + n);
    if (module == kNtdll && n == "VerSetConditionMask" && g_binding.setConditionMask) {
        return Proc(FakeVerSetConditionMask);
    }
    if (module == kKernel32 && n == "VerifyVersionInfoA" && g_binding.verifyVersionInfo) {
        return Proc(FakeVerifyVersionInfoA);
    }
    return nullptr;
}

// The registry and the binding faked together; the version record too.
class FakeMachine {
public:
    explicit FakeMachine(const Binding& binding = Binding()) {
        g_binding = binding;
        g_bindingCalls.clear();
        m_override->GetModuleHandleA = FakeGetModuleHandleA;
        m_override->GetProcAddress = FakeGetProcAddress;
    }
    FakeRegistry& Registry() { return m_registry; }

    void ClearCalls() {
        m_registry.ClearCalls();
        g_bindingCalls.clear();
    }

    // Every call in order: opens and reads (a size query and the read that
    // follows it count once), version and binding calls. Closes are checked
    // through the handle ledger instead.
    std::vector<std::string> Calls() const {
        const std::vector<RegistryCall> raw = m_registry.Calls();
        std::vector<std::string> all;
        size_t next = 0;
        for (size_t i = 0; i <= raw.size(); ++i) {
            while (next < g_bindingCalls.size() && g_bindingCalls[next].first == i) {
                all.push_back(g_bindingCalls[next++].second);
            }
            if (i == raw.size()) {
                break;
            }
            const RegistryCall& call = raw[i];
            if (call.function == "RegCloseKey") {
                continue;
            }
            const std::string text = call.function == "GetVersion" ? "GetVersion" : Coded(call.Text(), call.result);
            if (call.function != "RegQueryValueExA" || all.empty() || all.back() != text) {
                all.push_back(text);
            }
        }
        return all;
    }

private:
    FakeRegistry m_registry;  // first: its guard restores the whole table last
    ApiOverride m_override;
};

// ---- the table of machines ----------------------------------------------------------

struct MachineCase {
    const char* name;
    void (*describe)(FakeRegistry&);
    Binding binding;
    bool terminalServer;
    bool metaFrame;
    bool winFrame;
    bool multiUser;
    std::vector<std::string> calls;  // asking IsTerminalServer, IsMetaFrame, IsWinFrame in turn
};

void PutBytes(FakeRegistry& r, const std::string& key, const char* name, DWORD type, const std::string& bytes) {
    r.PutValue(HKEY_LOCAL_MACHINE, key.substr(5), name, type, bytes.data(), bytes.size());
}

Binding VerifyAnswers(BOOL answer) {
    Binding binding;
    binding.verifyAnswer = answer;
    return binding;
}

Binding WithoutVerifyVersionInfo() {
    Binding binding;
    binding.verifyVersionInfo = false;
    binding.verifyAnswer = TRUE;
    return binding;
}

Binding WithoutNtdll() {
    Binding binding;
    binding.ntdll = false;
    binding.verifyAnswer = TRUE;
    return binding;
}

// What the Windows 2000 suite test asks, up to where it stops.
std::vector<std::string> Win2000Suite(bool toTheEnd) {
    std::vector<std::string> calls = {"GetVersion", "GetModuleHandleA ntdll.dll", "GetModuleHandleA KERNEL32.DLL",
                                      "GetProcAddress VerSetConditionMask", "GetProcAddress VerifyVersionInfoA"};
    if (toTheEnd) {
        calls.push_back("VerSetConditionMask 0 64 6");
        calls.push_back("VerifyVersionInfoA 64 mask");
    }
    return calls;
}

std::vector<std::string> Join(std::vector<std::string> head, const std::vector<std::string>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

const std::vector<MachineCase>& Machines() {
    static const std::vector<MachineCase> machines = {
        {"Nt351WinFrame",
         [](FakeRegistry& r) {
             r.SetNt351();
             r.SetCitrixProductName("Citrix WinFrame");
         },
         {},
         false,
         false,
         true,
         true,
         {"GetVersion", OpenA(kOptions, 2), Open(kCitrix), Read(kCitrix, "ProductName"), Open(kCommon, 2),
          Open(kCitrix), Read(kCitrix, "ProductName")}},
        {"Nt351WinFrameWithMetaFrameForced",
         [](FakeRegistry& r) {
             r.SetNt351();
             r.SetCitrixProductName("Citrix WinFrame");
             r.SetForcingValue("MetaFrame", 1);
         },
         {},
         false,
         true,
         true,
         true,
         {"GetVersion", OpenA(kOptions, 2), Open(kCitrix), Read(kCitrix, "ProductName"), Open(kCommon),
          Read(kCommon, "MetaFrame"), Open(kCitrix), Read(kCitrix, "ProductName")}},
        {"Nt40MetaFrame",
         [](FakeRegistry& r) {
             r.SetNt40();
             r.SetCitrixProductName("Citrix MetaFrame");
         },
         {},
         false,
         true,
         false,
         true,
         // Major version 4: the WinFrame test reads no product name.
         {"GetVersion", OpenA(kOptions, 2), Open(kCitrix), Read(kCitrix, "ProductName"), Open(kCommon, 2)}},
        {"Nt40MetaFrameWithWinFrameForced",
         [](FakeRegistry& r) {
             r.SetNt40();
             r.SetCitrixProductName("Citrix MetaFrame");
             r.SetForcingValue("WinFrame", 1);
         },
         {},
         false,
         true,
         true,
         true,
         {"GetVersion", OpenA(kOptions, 2), Open(kCitrix), Read(kCitrix, "ProductName"), Open(kCommon),
          Read(kCommon, "WinFrame")}},
        {"ProductNameWithTrailingBlank",
         [](FakeRegistry& r) {
             r.SetNt40();
             r.SetCitrixProductName("Citrix MetaFrame ");
         },
         {},
         false,
         false,
         false,
         false,
         {"GetVersion", OpenA(kOptions, 2), Open(kCitrix), Read(kCitrix, "ProductName"), Open(kCommon, 2),
          Open(kCommon, 2)}},
        {"ProductNameInOtherCaseFallsThroughToForcing",
         [](FakeRegistry& r) {
             r.SetNt40();
             r.SetCitrixProductName("citrix metaframe");
             r.SetForcingValue("MetaFrame", 1);
         },
         {},
         false,
         true,
         false,
         true,
         {"GetVersion", OpenA(kOptions, 2), Open(kCitrix), Read(kCitrix, "ProductName"), Open(kCommon),
          Read(kCommon, "MetaFrame"), Open(kCommon), Read(kCommon, "WinFrame", 2)}},
        {"ProductNameBinaryWithoutNul",
         [](FakeRegistry& r) {
             r.SetNt40();
             PutBytes(r, kCitrix, "ProductName", REG_BINARY, "Citrix MetaFrame");
         },
         {},
         false,
         true,
         false,
         true,
         {"GetVersion", OpenA(kOptions, 2), Open(kCitrix), Read(kCitrix, "ProductName"), Open(kCommon, 2)}},
        {"ProductNameLongerWithoutNul",
         [](FakeRegistry& r) {
             r.SetNt40();
             PutBytes(r, kCitrix, "ProductName", REG_SZ, "Citrix MetaFrameXP");
         },
         {},
         false,
         false,
         false,
         false,
         {"GetVersion", OpenA(kOptions, 2), Open(kCitrix), Read(kCitrix, "ProductName"), Open(kCommon, 2),
          Open(kCommon, 2)}},
        {"MetaFrameForcedToZero",
         [](FakeRegistry& r) {
             r.SetNt40();
             r.SetForcingValue("MetaFrame", 0);
         },
         {},
         false,
         false,
         false,
         false,
         {"GetVersion", OpenA(kOptions, 2), Open(kCitrix, 2), Open(kCommon), Read(kCommon, "MetaFrame"), Open(kCommon),
          Read(kCommon, "WinFrame", 2)}},
        {"MetaFrameForcedOnWithoutCitrixKey",
         [](FakeRegistry& r) {
             r.SetNt40();
             r.SetForcingValue("MetaFrame", 1);
         },
         {},
         false,
         true,
         false,
         true,
         {"GetVersion", OpenA(kOptions, 2), Open(kCitrix, 2), Open(kCommon), Read(kCommon, "MetaFrame"), Open(kCommon),
          Read(kCommon, "WinFrame", 2)}},
        {"ForcingValuesShorterThanFourBytesCountAsZero",
         [](FakeRegistry& r) {
             r.SetNt40();
             PutBytes(r, kCommon, "MetaFrame", REG_BINARY, std::string("\x01\x01\x01", 3));
             PutBytes(r, kCommon, "WinFrame", REG_BINARY, "");
         },
         {},
         false,
         false,
         false,
         false,
         {"GetVersion", OpenA(kOptions, 2), Open(kCitrix, 2), Open(kCommon), Read(kCommon, "MetaFrame"), Open(kCommon),
          Read(kCommon, "WinFrame")}},
        {"Nt40TerminalServer",
         [](FakeRegistry& r) {
             r.SetNt40();
             r.SetProductSuite({"Terminal Server"});
         },
         {},
         true,
         false,
         false,
         true,
         {"GetVersion", OpenA(kOptions), Read(kOptions, "ProductSuite"), Open(kCitrix, 2), Open(kCommon, 2),
          Open(kCommon, 2)}},
        {"Nt40TerminalServerAfterAnotherSuite",
         [](FakeRegistry& r) {
             r.SetNt40();
             r.SetProductSuite({"Small Business", "Terminal Server"});
         },
         {},
         true,
         false,
         false,
         true,
         {"GetVersion", OpenA(kOptions), Read(kOptions, "ProductSuite"), Open(kCitrix, 2), Open(kCommon, 2),
          Open(kCommon, 2)}},
        {"TerminalServerAsPlainString",
         [](FakeRegistry& r) {
             r.SetNt40();
             r.PutString(HKEY_LOCAL_MACHINE, kOptions.substr(5), "ProductSuite", "Terminal Server");
         },
         {},
         false,
         false,
         false,
         false,
         {"GetVersion", OpenA(kOptions), Read(kOptions, "ProductSuite"), Open(kCitrix, 2), Open(kCommon, 2),
          Open(kCommon, 2)}},
        {"ProductSuiteWithoutFinalTerminators",
         [](FakeRegistry& r) {
             r.SetNt40();
             PutBytes(r, kOptions, "ProductSuite", REG_MULTI_SZ, std::string("Enterprise\0Terminal Server", 26));
         },
         {},
         true,
         false,
         false,
         true,
         {"GetVersion", OpenA(kOptions), Read(kOptions, "ProductSuite"), Open(kCitrix, 2), Open(kCommon, 2),
          Open(kCommon, 2)}},
        {"ProductSuiteCutInsideTheName",
         [](FakeRegistry& r) {
             r.SetNt40();
             PutBytes(r, kOptions, "ProductSuite", REG_MULTI_SZ, "Terminal Serv");
         },
         {},
         false,
         false,
         false,
         false,
         {"GetVersion", OpenA(kOptions), Read(kOptions, "ProductSuite"), Open(kCitrix, 2), Open(kCommon, 2),
          Open(kCommon, 2)}},
        {"EmptyProductSuite",
         [](FakeRegistry& r) {
             r.SetNt40();
             PutBytes(r, kOptions, "ProductSuite", REG_MULTI_SZ, "");
         },
         {},
         false,
         false,
         false,
         false,
         {"GetVersion", OpenA(kOptions), Read(kOptions, "ProductSuite"), Open(kCitrix, 2), Open(kCommon, 2),
          Open(kCommon, 2)}},
        {"Windows2000TerminalServicesByVerifyVersionInfoAlone", [](FakeRegistry& r) { r.SetWindows2000(); },
         VerifyAnswers(TRUE), true, false, false, true,
         Join(Win2000Suite(true), {Open(kCitrix, 2), Open(kCommon, 2), Open(kCommon, 2)})},
        {"Windows2000SuiteListIsNotRead",
         [](FakeRegistry& r) {
             r.SetWindows2000();
             r.SetProductSuite({"Terminal Server"});
         },
         VerifyAnswers(FALSE), false, false, false, false,
         Join(Win2000Suite(true), {Open(kCitrix, 2), Open(kCommon, 2), Open(kCommon, 2)})},
        {"Windows2000WithoutVerifyVersionInfo", [](FakeRegistry& r) { r.SetWindows2000(); }, WithoutVerifyVersionInfo(),
         false, false, false, false, Join(Win2000Suite(false), {Open(kCitrix, 2), Open(kCommon, 2), Open(kCommon, 2)})},
        {"Windows2000WithoutNtdll",
         [](FakeRegistry& r) { r.SetWindows2000(); },
         WithoutNtdll(),
         false,
         false,
         false,
         false,
         {"GetVersion", "GetModuleHandleA ntdll.dll", "GetModuleHandleA KERNEL32.DLL", Open(kCitrix, 2),
          Open(kCommon, 2), Open(kCommon, 2)}},
        {"Windows98HasNoRegistryAccessButTheForcingValues",
         [](FakeRegistry& r) {
             r.SetWindows98();
             r.SetProductSuite({"Terminal Server"});
             r.SetCitrixProductName("Citrix MetaFrame");
         },
         {},
         false,
         false,
         false,
         false,
         {"GetVersion", Open(kCommon, 2), Open(kCommon, 2)}},
        {"Windows98WithMetaFrameForced",
         [](FakeRegistry& r) {
             r.SetWindows98();
             r.SetForcingValue("MetaFrame", 1);
         },
         {},
         false,
         true,
         false,
         true,
         {"GetVersion", Open(kCommon), Read(kCommon, "MetaFrame"), Open(kCommon), Read(kCommon, "WinFrame", 2)}},
    };
    return machines;
}

class MachineTable : public testing::TestWithParam<MachineCase> {};

TEST_P(MachineTable, AnswersOnceWithTheExpectedCalls) {
    const MachineCase& c = GetParam();
    FakeMachine machine(c.binding);
    c.describe(machine.Registry());
    COsVersionInfo os;  // takes its snapshot from the fake version record
    machine.ClearCalls();

    EXPECT_EQ(os.IsTerminalServer(), c.terminalServer);
    EXPECT_EQ(os.IsMetaFrame(), c.metaFrame);
    EXPECT_EQ(os.IsWinFrame(), c.winFrame);
    EXPECT_EQ(os.IsMultiUser(), c.multiUser);
    EXPECT_EQ(machine.Calls(), c.calls);
    EXPECT_EQ(machine.Registry().LiveHandles(), 0u);
    EXPECT_EQ(machine.Registry().BadCloses(), 0u);

    // Known from now on: no platform call, the same answers.
    machine.ClearCalls();
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(os.IsMultiUser(), c.multiUser);
        EXPECT_EQ(os.IsWinFrame(), c.winFrame);
        EXPECT_EQ(os.IsMetaFrame(), c.metaFrame);
        EXPECT_EQ(os.IsTerminalServer(), c.terminalServer);
    }
    EXPECT_TRUE(machine.Calls().empty());
}

INSTANTIATE_TEST_SUITE_P(Machines, MachineTable, testing::ValuesIn(Machines()),
                         [](const testing::TestParamInfo<MachineCase>& info) { return info.param.name; });

// ---- the multi-user test ------------------------------------------------------------

TEST(MultiUser, OnATerminalServerAsksNeitherCitrixTest) {
    FakeMachine machine;
    machine.Registry().SetNt40();
    machine.Registry().SetProductSuite({"Terminal Server"});
    machine.Registry().SetCitrixProductName("Citrix MetaFrame");
    COsVersionInfo os;
    machine.ClearCalls();

    EXPECT_TRUE(os.IsMultiUser());
    EXPECT_TRUE(os.m_bTerminalServerKnown);
    EXPECT_FALSE(os.m_bMetaFrameKnown);
    EXPECT_FALSE(os.m_bWinFrameKnown);
    EXPECT_EQ(machine.Calls(),
              (std::vector<std::string>{"GetVersion", OpenA(kOptions), Read(kOptions, "ProductSuite")}));
}

TEST(MultiUser, OnMetaFrameAsksTerminalServerThenMetaFrameOnly) {
    FakeMachine machine;
    machine.Registry().SetNt40();
    machine.Registry().SetCitrixProductName("Citrix MetaFrame");
    COsVersionInfo os;
    machine.ClearCalls();

    EXPECT_TRUE(os.IsMultiUser());
    EXPECT_TRUE(os.m_bTerminalServerKnown);
    EXPECT_TRUE(os.m_bMetaFrameKnown);
    EXPECT_FALSE(os.m_bWinFrameKnown);
    EXPECT_EQ(machine.Calls(), (std::vector<std::string>{"GetVersion", OpenA(kOptions, 2), Open(kCitrix),
                                                         Read(kCitrix, "ProductName")}));
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

    machine.Registry().RemoveKey(HKEY_LOCAL_MACHINE, kOptions.substr(5));
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
    ApiOverride o;
    o->LocalAlloc = RecordingLocalAlloc;
    EXPECT_EQ(HasTerminalServerSuite(), 1u);
    EXPECT_EQ(g_requested, 15u + 2u);
}

}  // namespace
