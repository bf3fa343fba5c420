// The start wait against a scripted manager on a fake clock (how long a
// starting service is waited for, what is traced), and the scratch registry
// for service keys and COM classes. Real services are started by
// service_posix_test and service_wine_test.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "qvtr/module.h"
#include "qvtr/service.h"
#include "support/fault_injector.h"
#include "support/handle_ledger.h"
#include "support/scratch_registry.h"
#include "support/trace_capture.h"

namespace {

using testing_support::ForEachFailure;
using testing_support::ScratchRegistry;
using testing_support::TraceCapture;

// One answer of QueryServiceStatus; state 0 is a failed query, its error in the exit code.
SERVICE_STATUS State(DWORD state, DWORD checkPoint = 0, DWORD waitHint = 0, DWORD exitCode = 0) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwCheckPoint = checkPoint;
    status.dwWaitHint = waitHint;
    status.dwWin32ExitCode = exitCode;
    return status;
}
SERVICE_STATUS Pending(DWORD checkPoint, DWORD waitHint) {
    return State(SERVICE_START_PENDING, checkPoint, waitHint);
}
SERVICE_STATUS Running() {
    return State(SERVICE_RUNNING);
}
SERVICE_STATUS Stopped(DWORD exitCode = 0) {
    return State(SERVICE_STOPPED, 0, 0, exitCode);
}
SERVICE_STATUS Fails(DWORD error) {
    return State(0, 0, 0, error);
}

// Leading zeros in every field: the class key is found only if its text keeps them.
const CLSID kClass = {0x0234ABCD, 0x0ABC, 0x0EF0, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
const CLSID kBareClass = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
const std::string kServer = "C:\\Program Files\\Quillon\\server.exe /automation";

// The service status and clock the module sees while a Scm lives. One at a time.
struct Scm {
    std::vector<SERVICE_STATUS> script;  // the last step repeats
    size_t next = 0;
    DWORD clock = 0;
    std::vector<DWORD> sleeps;
};

Scm* g_scm = nullptr;
const SC_HANDLE kService = reinterpret_cast<SC_HANDLE>(static_cast<uintptr_t>(0x2000));

BOOL Fail(DWORD code) {
    Api().SetLastError(code);
    return FALSE;
}
BOOL WINAPI FakeQueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
    if (service != kService || g_scm->script.empty()) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    const SERVICE_STATUS& step = g_scm->script[std::min(g_scm->next++, g_scm->script.size() - 1)];
    if (step.dwCurrentState == 0) {
        return Fail(step.dwWin32ExitCode);
    }
    *status = step;
    return TRUE;
}
DWORD WINAPI FakeGetTickCount() {
    return g_scm->clock;
}
void WINAPI FakeSleep(DWORD ms) {
    g_scm->sleeps.push_back(ms);
    g_scm->clock += ms;
}
DWORD WINAPI FakeFormatMessageA(DWORD flags, LPCVOID source, DWORD code, DWORD language, LPSTR buffer, DWORD,
                                va_list*) {
    if (flags != 0x1300 || source != nullptr || language != 0x400) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const std::string text = "Text of " + std::to_string(code) + "\r\n";
    char* block = static_cast<char*>(BackendApi().LocalAlloc(LMEM_FIXED, text.size() + 1));
    std::memcpy(block, text.c_str(), text.size() + 1);
    *reinterpret_cast<char**>(buffer) = block;
    return static_cast<DWORD>(text.size());
}
// Two ProgIDs; their classes' keys live in the scratch registry.
HRESULT WINAPI FakeCLSIDFromProgID(LPCOLESTR progId, LPCLSID clsid) {
    std::string name;
    for (; *progId != 0; ++progId) {
        name += static_cast<char>(*progId);
    }
    if (name != "Quillon.Server" && name != "Quillon.Bare") {
        return CO_E_CLASSSTRING;
    }
    *clsid = name == "Quillon.Server" ? kClass : kBareClass;
    return S_OK;
}
// The fake status and clock with a registry that has the Quillon.Server class.
class Fixture : public testing::Test {
protected:
    Fixture() {
        g_scm = &scm;
        Win32Api& t = *m_api.operator->();
        t.QueryServiceStatus = FakeQueryServiceStatus;
        t.GetTickCount = FakeGetTickCount;
        t.Sleep = FakeSleep;
        t.FormatMessageA = FakeFormatMessageA;
        t.CLSIDFromProgID = FakeCLSIDFromProgID;
        registry.PutString(HKEY_CLASSES_ROOT, "CLSID\\{0234ABCD-0ABC-0EF0-0123-456789ABCDEF}\\LocalServer32", "",
                           kServer);
    }
    ~Fixture() override { g_scm = nullptr; }

    Scm scm;
    ScratchRegistry registry;

private:
    ApiOverride m_api;
};

// ---- the start wait --------------------------------------------------------------

struct WaitCase {
    const char* name;
    SERVICE_STATUS initial;
    std::vector<SERVICE_STATUS> script;
    std::vector<DWORD> sleeps;
    DWORD result;
    DWORD startClock = 0;
};

std::vector<SERVICE_STATUS> Increasing(DWORD from, DWORD count, DWORD hint) {
    std::vector<SERVICE_STATUS> steps;
    for (DWORD i = 0; i < count; ++i) {
        steps.push_back(Pending(from + i, hint));
    }
    return steps;
}

class WaitTable : public Fixture, public testing::WithParamInterface<WaitCase> {};

TEST_P(WaitTable, PausesAndResult) {
    const WaitCase& c = GetParam();
    scm.script = c.script;
    scm.clock = c.startClock;
    SERVICE_STATUS status = c.initial;

    EXPECT_EQ(WaitForServiceStart(kService, status), c.result);
    EXPECT_EQ(scm.sleeps, c.sleeps);
    EXPECT_EQ(status.dwCurrentState == SERVICE_RUNNING, c.result == 0);
}

const DWORD k1053 = ERROR_SERVICE_REQUEST_TIMEOUT;

INSTANTIATE_TEST_SUITE_P(
    Service, WaitTable,
    testing::Values(
        // Pause length: a tenth of the hint, clamped to [1000, 10000].
        WaitCase{"Hint200000", Pending(1, 200000), {Pending(2, 200000), Running()}, {10000, 10000}, 0},
        // A check point that does not move is a stall, after one pause.
        WaitCase{"CheckPoints3Then3", Pending(3, 30000), {Pending(3, 30000)}, {3000}, k1053},
        // Falling back to 0, or staying there, is not a stall.
        WaitCase{"CheckPoints4Then0",
                 Pending(4, 5000),
                 {Pending(0, 5000), Pending(0, 5000), Running()},
                 {1000, 1000, 1000},
                 0},
        // Progress does not restart the limit: measured from the beginning (hint 3000: pauses until 4000 ms
        // have gone).
        WaitCase{"ProgressKeepsTheLimit", Pending(1, 3000), Increasing(2, 20, 3000), std::vector<DWORD>(4, 1000),
                 k1053},
        // The latest hint sets both the limit and the pause.
        WaitCase{"LatestHintCounts",
                 Pending(1, 1000),
                 Increasing(2, 20, 30000),
                 {1000, 3000, 3000, 3000, 3000, 3000, 3000, 3000, 3000, 3000, 3000},
                 k1053},
        WaitCase{"ClockWraps", Pending(1, 5000), Increasing(2, 20, 5000), std::vector<DWORD>(6, 1000), k1053,
                 0xFFFFFC18u},
        // A failed query ends the wait with its own code; one without a code is still no success.
        WaitCase{"QueryRefused", Pending(1, 5000), {Fails(ERROR_ACCESS_DENIED)}, {1000}, ERROR_ACCESS_DENIED},
        WaitCase{"QueryFailsWithoutCode", Pending(1, 5000), {Fails(ERROR_SUCCESS)}, {1000}, k1053},
        // The service gave up starting: its exit code, else "not started".
        WaitCase{
            "StoppedWithExitCode", Pending(1, 5000), {Stopped(ERROR_PROCESS_ABORTED)}, {1000}, ERROR_PROCESS_ABORTED},
        WaitCase{"StoppedWithoutExitCode", Pending(1, 5000), {Stopped()}, {1000}, ERROR_SERVICE_NOT_ACTIVE},
        WaitCase{"AlreadyRunning", Running(), {}, {}, 0}),
    [](const testing::TestParamInfo<WaitCase>& info) { return std::string(info.param.name); });

TEST_F(Fixture, FailedWaitTracesTwoLines) {
    scm.script = {Pending(3, 30000)};
    scm.script[0].dwServiceSpecificExitCode = 7;
    SERVICE_STATUS status = scm.script[0];
    {
        const TraceCapture trace(3);
        ASSERT_EQ(WaitForServiceStart(kService, status), k1053);
        const std::vector<std::string> expected = {
            "QVTR - SERVICE IS NOT RUNNING state:2\n",
            "QVTR - Service not started. Current State: 2  Exit Code: 0 Service Specific Exit Code: 7  Check Point: 3  "
            "Wait Hint: 30000  Last error: Text of 1053\r\n\n",
        };
        EXPECT_EQ(trace.Lines(), expected);
    }

    // Success traces from level 2, failure from level 3.
    const struct {
        SERVICE_STATUS answer;
        int32_t level;
        size_t lines;
    } cases[] = {{Running(), 2, 1}, {Running(), 1, 0}, {Pending(1, 0), 3, 2}, {Pending(1, 0), 2, 0}};
    for (const auto& c : cases) {
        const TraceCapture trace(c.level);
        scm.script = {c.answer};
        status = Pending(1, 0);
        WaitForServiceStart(kService, status);
        EXPECT_EQ(trace.Lines().size(), c.lines) << c.level;
    }
}

// ---- service keys and COM classes -------------------------------------------------

TEST_F(Fixture, ServiceKeyOfAName) {
    // 34 characters of prefix: 225 fill the 260-character buffer; a longer name must not be cut down to that one.
    registry.PutKey(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\" + std::string(225, 's'));
    EXPECT_TRUE(ServiceKeyExists(std::string(225, 's').c_str()));
    for (const std::string& name : {std::string(226, 's'), std::string()}) {
        EXPECT_FALSE(ServiceKeyExists(name.c_str())) << name;
        EXPECT_EQ(Api().GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME)) << name;
    }
    EXPECT_EQ(registry.LiveHandles(), 0u);
}

TEST_F(Fixture, LocalServerPath) {
    const DWORD fit = static_cast<DWORD>(kServer.size() + 1);
    const struct {
        const char* progId;
        DWORD size;
        DWORD result;
        DWORD error;
    } cases[] = {
        {"Quillon.Server", fit, fit, 0},
        {"Quillon.Server", fit - 1, 0, ERROR_MORE_DATA},
        {"Quillon.Server", 0, 0, ERROR_MORE_DATA},
        {"Quillon.Bare", 512, 0, ERROR_FILE_NOT_FOUND},
        {"No.Such.Class", 512, 0, static_cast<DWORD>(CO_E_CLASSSTRING)},
        {"", 512, 0, ERROR_INVALID_PARAMETER},
        {nullptr, 512, 0, ERROR_INVALID_PARAMETER},
    };
    char buffer[520];
    for (const auto& c : cases) {
        const std::string what = std::string(c.progId ? c.progId : "(null)") + " " + std::to_string(c.size);
        std::memset(buffer, 'x', sizeof buffer);
        EXPECT_EQ(GetLocalServerPath(c.progId, buffer, c.size), c.result) << what;
        EXPECT_EQ(buffer[c.size], 'x') << what;  // nothing written at or beyond the given size
        if (c.size > 0) {
            EXPECT_EQ(buffer[0], c.result ? 'C' : '\0') << what;
        }
        if (c.result == 0) {
            EXPECT_EQ(Api().GetLastError(), c.error) << what;
        }
    }
    EXPECT_EQ(GetLocalServerPath("Quillon.Server", nullptr, 100), 0u);
    EXPECT_EQ(Api().GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    // Not REG_SZ: nothing.
    registry.PutString(HKEY_CLASSES_ROOT, "CLSID\\{0234ABCD-0ABC-0EF0-0123-456789ABCDEF}\\LocalServer32", "", kServer,
                       REG_EXPAND_SZ);
    EXPECT_EQ(GetLocalServerPath("Quillon.Server", buffer, sizeof buffer), 0u);
    EXPECT_EQ(Api().GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(registry.LiveHandles(), 0u);
}

TEST_F(Fixture, EveryFailingCallOfALookupClosesItsKeys) {
    const auto check = [&](int n) {
        char buffer[256];
        const DWORD size = GetLocalServerPath("Quillon.Server", buffer, sizeof buffer);
        EXPECT_TRUE(size == 0 || size == kServer.size() + 1) << "failing call " << n;
        EXPECT_EQ(registry.LiveHandles(), 0u) << "failing call " << n;
        if (size == 0) {
            EXPECT_EQ(buffer[0], '\0') << "failing call " << n;
        }
    };
    EXPECT_GT(ForEachFailure<&Win32Api::MultiByteToWideChar>(ERROR_INVALID_PARAMETER, 0, check), 0);
    EXPECT_GT(ForEachFailure<&Win32Api::WideCharToMultiByte>(ERROR_INVALID_PARAMETER, 0, check), 0);
    EXPECT_GT(ForEachFailure<&Win32Api::StringFromCLSID>(0, HRESULT{E_OUTOFMEMORY}, check), 0);
    EXPECT_GT(ForEachFailure<&Win32Api::RegOpenKeyA>(ERROR_ACCESS_DENIED, LONG{ERROR_ACCESS_DENIED}, check), 0);
}

// ---- the process account -------------------------------------------------------------

const char kLongDomain[] = "A-DOMAIN-NAME-LONG-ENOUGH-TO-BE-CAUGHT-HALF-WRITTEN-BY-A-READER";
std::atomic<int> g_lookups{0};

// Writes the domain one character at a time, yielding in between.
BOOL WINAPI SlowLookupAccountSidA(LPCSTR, PSID, LPSTR name, LPDWORD nameSize, LPSTR domain, LPDWORD domainSize,
                                  PSID_NAME_USE use) {
    ++g_lookups;
    std::memcpy(name, "alice", 6);
    *nameSize = 5;
    for (size_t i = 0; i < sizeof kLongDomain; ++i) {
        domain[i] = kLongDomain[i];
        std::this_thread::yield();
    }
    *domainSize = static_cast<DWORD>(sizeof kLongDomain - 1);
    *use = SidTypeUser;
    return TRUE;
}

// The domain is found once per process: in a fresh one, as the other tests fill it.
void DomainIsUnsetUntilFoundThenFixed() {
    {
        // No token, or a token whose account is not found: "*", the token closed, and the next call tries again.
        const testing_support::FaultInjector<&Win32Api::OpenProcessToken> noToken(1, ERROR_ACCESS_DENIED, BOOL{FALSE});
        EXPECT_STREQ(GetProcessAccountDomain(), "*");
        const testing_support::HandleLedger ledger;
        const testing_support::FaultInjector<&Win32Api::LookupAccountSidA> unknown(1, ERROR_NONE_MAPPED, BOOL{FALSE});
        EXPECT_STREQ(GetProcessAccountDomain(), "*");
        EXPECT_EQ(unknown.Calls(), 1);
        EXPECT_TRUE(ledger.Balanced()) << ledger.Describe();
    }

    // Many threads make the first successful call at once: none sees half a name.
    ApiOverride slow;
    slow->LookupAccountSidA = SlowLookupAccountSidA;
    std::atomic<bool> go{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            while (!go.load()) {
                std::this_thread::yield();
            }
            for (int k = 0; k < 50; ++k) {
                wrong += std::strcmp(GetProcessAccountDomain(), kLongDomain) != 0;
            }
        });
    }
    go = true;
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);

    // Found once, kept: no more lookups.
    const int lookups = g_lookups.load();
    const char* cached = GetProcessAccountDomain();
    EXPECT_STREQ(cached, kLongDomain);
    EXPECT_EQ(GetProcessAccountDomain(), cached);
    EXPECT_EQ(g_lookups.load(), lookups);
}

TEST(ProcessAccountDomainDeathTest, UnsetUntilFoundThenFixed) {
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(
        {
            DomainIsUnsetUntilFoundThenFixed();
            std::exit(::testing::Test::HasFailure() ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
