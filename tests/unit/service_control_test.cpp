// Service control through a scripted service control manager on a fake clock
// and a scratch registry: when a service is started, how long it is waited
// for, which account matches, the local server of a COM class, bad input.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "qvtr/service.h"
#include "service/fake_scm.h"
#include "support/fault_injector.h"
#include "support/scratch_registry.h"

namespace {

using namespace service_fakes;
using testing_support::ScratchRegistry;

const char kServiceKey[] = "System\\CurrentControlSet\\Services\\Spooler";

// The manager's script and a registry that has the service's key.
class ServiceScope : public FakeScmScope {
public:
    ServiceScope() { m_registry.PutKey(HKEY_LOCAL_MACHINE, kServiceKey); }
    ScratchRegistry& Registry() { return m_registry; }

private:
    ScratchRegistry m_registry;
};

// ---- EnsureServiceRunning ------------------------------------------------------------

struct EnsureCase {
    const char* name;
    std::vector<Step> script;
    std::vector<Step> afterStart;
    DWORD access;
    DWORD startError;
    bool result;
    DWORD error;
    int starts;
    size_t traces;
};

class EnsureTable : public testing::TestWithParam<EnsureCase> {};

TEST_P(EnsureTable, StartsOnlyWhenAllowedAndNeeded) {
    const EnsureCase& c = GetParam();
    ServiceScope fake;
    fake->script = c.script;
    fake->afterStart = c.afterStart;
    fake->startError = c.startError;

    DWORD error = 0xDEADBEEF;
    EXPECT_EQ(EnsureServiceRunning(detail::kManager, "Spooler", c.access, error), c.result);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(fake->starts, c.starts);
    EXPECT_EQ(fake->traces.size(), c.traces);
    EXPECT_EQ(fake->serviceAccess, c.access);
    // The service handle and the manager handle taken over.
    EXPECT_EQ(fake->closes, 2);
}

const DWORD kQuery = SERVICE_QUERY_STATUS;
const DWORD kAll = SERVICE_ALL_ACCESS;
const DWORD kOff = ERROR_SERVICE_NOT_ACTIVE;
using E = EnsureCase;

INSTANTIATE_TEST_SUITE_P(
    Service, EnsureTable,
    testing::Values(
        E{"RunningIsLeftAlone", {Running()}, {}, kAll, 0, true, 0, 0, 0},
        E{"StoppedWithQueryAccessOnly", {Stopped()}, {}, kQuery, 0, false, kOff, 0, 0},
        E{"StartingWithQueryAccessIsWaitedFor", {Pending(1, 5000), Running()}, {}, kQuery, 0, true, 0, 0, 1},
        // Less than all access never starts, even with the start right in it.
        E{"StoppedWithStartRight", {Stopped()}, {}, kQuery | SERVICE_START, 0, false, kOff, 0, 0},
        E{"RefusedStart", {Stopped()}, {}, kAll, ERROR_SERVICE_DISABLED, false, kOff, 1, 0},
        E{"RunningRightAfterStart", {Stopped()}, {Running()}, kAll, 0, true, 0, 1, 0},
        E{"PendingAfterStartIsWaitedFor",
          {Stopped()},
          {Pending(1, 5000), Pending(2, 5000), Running()},
          kAll,
          0,
          true,
          0,
          1,
          1},
        E{"PendingAfterStartStalls",
          {Stopped()},
          {Pending(1, 5000), Pending(1, 5000)},
          kAll,
          0,
          false,
          ERROR_SERVICE_REQUEST_TIMEOUT,
          1,
          2},
        E{"QueryAfterStartFails", {Stopped()}, {Fails(ERROR_INVALID_HANDLE)}, kAll, 0, false, kOff, 1, 0},
        E{"FirstQueryRefused", {Fails(ERROR_ACCESS_DENIED)}, {}, kAll, 0, false, ERROR_ACCESS_DENIED, 0, 0},
        E{"StoppingService", {{Status(SERVICE_STOP_PENDING), 0, false}}, {}, kQuery, 0, false, kOff, 0, 0}),
    [](const testing::TestParamInfo<EnsureCase>& info) { return std::string(info.param.name); });

TEST(EnsureServiceRunning, ClosesTheManagerWhenTheServiceCannotBeOpened) {
    ServiceScope fake;
    fake->openServiceError = ERROR_SERVICE_DOES_NOT_EXIST;
    DWORD error = 0;
    EXPECT_FALSE(EnsureServiceRunning(detail::kManager, "Missing", kAll, error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_EQ(fake->closes, 1);
}

TEST(EnsureServiceRunning, EmptyOrNullNameStartsNothing) {
    ServiceScope fake;
    fake->script = {Stopped()};
    DWORD error = 0;
    EXPECT_FALSE(EnsureServiceRunning(detail::kManager, "", kAll, error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_FALSE(EnsureServiceRunning(detail::kManager, nullptr, kAll, error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(fake->serviceOpens, 0);
    EXPECT_EQ(fake->starts, 0);
    EXPECT_EQ(fake->closes, 2);  // the manager, each time
}

TEST(IsServiceRunning, AsksWithReadAccessAndNeverStarts) {
    ServiceScope fake;
    fake->script = {Stopped()};
    EXPECT_FALSE(IsServiceRunning("Spooler"));
    EXPECT_EQ(fake->managerAccess, static_cast<DWORD>(GENERIC_READ));
    EXPECT_EQ(fake->serviceAccess, static_cast<DWORD>(SERVICE_QUERY_STATUS));
    EXPECT_EQ(fake->starts, 0);
    EXPECT_EQ(fake->closes, 2);

    fake->managerOpenFails = true;
    fake->script = {Running()};
    EXPECT_FALSE(IsServiceRunning("Spooler"));
}

TEST(StartServiceAndWait, StartsWithAllAccess) {
    ServiceScope fake;
    fake->script = {Stopped()};
    fake->afterStart = {Running()};
    DWORD error = 1;
    EXPECT_TRUE(StartServiceAndWait("Spooler", error));
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(fake->managerAccess, static_cast<DWORD>(GENERIC_EXECUTE));
    EXPECT_EQ(fake->serviceAccess, static_cast<DWORD>(SERVICE_ALL_ACCESS));
    EXPECT_EQ(fake->starts, 1);
    EXPECT_EQ(fake->openedName, "Spooler");
}

TEST(StartServiceAndWait, ManagerRefusedGivesItsCode) {
    ServiceScope fake;
    fake->managerOpenFails = true;
    DWORD error = 0;
    EXPECT_FALSE(StartServiceAndWait("Spooler", error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(fake->closes, 0);
}

// ---- account matching ------------------------------------------------------------

struct AccountCase {
    const char* name;
    std::string user;
    std::string startName;
    Step state;
    bool result;
};

class AccountTable : public testing::TestWithParam<AccountCase> {};

TEST_P(AccountTable, MatchesTheCallersAccount) {
    const AccountCase& c = GetParam();
    ServiceScope fake;
    fake->userName = c.user;
    fake->startName = c.startName;
    fake->script = {c.state};

    // The fake token's account is EMULATED\alice.
    EXPECT_EQ(IsServiceRunningAsCurrentUser("Spooler"), c.result);
    EXPECT_STREQ(GetProcessAccountDomain(), "EMULATED");
    EXPECT_EQ(fake->managerAccess, static_cast<DWORD>(GENERIC_READ));
    EXPECT_EQ(fake->serviceAccess, static_cast<DWORD>(GENERIC_READ));
    EXPECT_EQ(fake->closes, 2);
    EXPECT_EQ(fake->tokenOpens, fake->tokenCloses);
}

INSTANTIATE_TEST_SUITE_P(
    Service, AccountTable,
    testing::Values(AccountCase{"SameAccount", "alice", "EMULATED\\alice", Running(), true},
                    AccountCase{"LetterCaseIgnored", "alice", "emulated\\ALICE", Running(), true},
                    AccountCase{"StartingCounts", "alice", "EMULATED\\alice", Pending(1, 0), true},
                    AccountCase{"StoppedNeverMatches", "alice", "EMULATED\\alice", Stopped(), false},
                    AccountCase{"SystemAgainstLocalSystem", "SYSTEM", "LocalSystem", Running(), true},
                    AccountCase{"SystemAgainstLocalSystemAnyCase", "system", "LOCALSYSTEM", Running(), true},
                    AccountCase{"OrdinaryUserAgainstLocalSystem", "alice", "LocalSystem", Running(), false},
                    AccountCase{"OtherDomainSameUser", "alice", "OTHER\\alice", Running(), false},
                    AccountCase{"DotFormDoesNotMatch", "alice", ".\\alice", Running(), false},
                    AccountCase{"BareUserDoesNotMatch", "alice", "alice", Running(), false},
                    // 50 characters do not fit with the terminator.
                    AccountCase{"UserNameTooLong", std::string(50, 'a'), "EMULATED\\" + std::string(50, 'a'), Running(),
                                false},
                    AccountCase{"UserNameFillsTheBuffer", std::string(49, 'a'), "EMULATED\\" + std::string(49, 'a'),
                                Running(), true}),
    [](const testing::TestParamInfo<AccountCase>& info) { return std::string(info.param.name); });

TEST(IsServiceRunningAsCurrentUser, ReadsTheBareRecordThenTheReportedSize) {
    ServiceScope fake;
    fake->script = {Running()};
    fake->startName = "EMULATED\\alice";
    EXPECT_TRUE(IsServiceRunningAsCurrentUser("Spooler"));
    const DWORD bare = sizeof(QUERY_SERVICE_CONFIGA);
    const std::vector<DWORD> sizes = {bare, static_cast<DWORD>(bare + fake->startName.size() + 1)};
    EXPECT_EQ(fake->configSizes, sizes);
}

TEST(IsServiceRunningAsCurrentUser, MissingKeyOrStartNameIsNo) {
    ServiceScope fake;
    fake->script = {Running()};
    fake.Registry().RemoveKey(HKEY_LOCAL_MACHINE, kServiceKey);
    EXPECT_FALSE(IsServiceRunningAsCurrentUser("Spooler"));
    EXPECT_EQ(fake->managerOpens, 0);

    fake.Registry().PutKey(HKEY_LOCAL_MACHINE, kServiceKey);
    fake->startNameNull = true;
    EXPECT_FALSE(IsServiceRunningAsCurrentUser("Spooler"));
    EXPECT_EQ(fake->closes, 2);
}

// ---- ServiceKeyExists -------------------------------------------------------------

TEST(ServiceKeyExists, OpensTheServicesKeyForReading) {
    ServiceScope fake;
    EXPECT_TRUE(ServiceKeyExists("Spooler"));
    EXPECT_EQ(fake.Registry().RegistryCallTexts({"RegOpenKeyExA"}),
              std::vector<std::string>{"RegOpenKeyExA HKLM\\System\\CurrentControlSet\\services\\Spooler"});
    EXPECT_EQ(fake.Registry().LiveHandles(), 0u);
    fake.Registry().RemoveKey(HKEY_LOCAL_MACHINE, kServiceKey);
    EXPECT_FALSE(ServiceKeyExists("Spooler"));
}

TEST(ServiceKeyExists, NamesThatDoNotFitOrNameNothingAreRefused) {
    ServiceScope fake;
    // 34 characters of prefix: 225 fill the 260-character buffer.
    fake.Registry().PutKey(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\" + std::string(225, 's'));
    EXPECT_TRUE(ServiceKeyExists(std::string(225, 's').c_str()));
    fake.Registry().ClearCalls();
    for (const std::string& name : {std::string(226, 's'), std::string(5000, 's'), std::string()}) {
        Api().SetLastError(0);
        EXPECT_FALSE(ServiceKeyExists(name.c_str())) << name.size();
        EXPECT_EQ(Api().GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
        EXPECT_TRUE(fake.Registry().RegistryCalls().empty());
    }
    EXPECT_FALSE(IsServiceRunningAsCurrentUser(std::string(300, 's').c_str()));
    EXPECT_EQ(fake->managerOpens, 0);
}

// ---- GetLocalServerPath ------------------------------------------------------------

const CLSID kClass = {0x12345678, 0x9ABC, 0xDEF0, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
const char* const kClassText = "{12345678-9ABC-DEF0-0123-456789ABCDEF}";
const std::string kServer = "C:\\Program Files\\Quillon\\server.exe /automation";

void DescribeServer(ServiceScope& fake, DWORD type = REG_SZ) {
    fake->progIds["Quillon.Server"] = kClass;
    fake.Registry().PutString(HKEY_CLASSES_ROOT, std::string("CLSID\\") + kClassText + "\\LocalServer32", "", kServer,
                              type);
}

class LocalServer : public testing::Test {
protected:
    void SetUp() override {
        DescribeServer(m_fake);
        std::memset(m_buffer, 'x', sizeof m_buffer);
    }
    void TearDown() override { EXPECT_EQ(m_fake.Registry().LiveHandles(), 0u); }

    ServiceScope m_fake;
    char m_buffer[512];
};

TEST_F(LocalServer, RegSzValueIsCopiedWithItsTerminator) {
    EXPECT_EQ(GetLocalServerPath("Quillon.Server", m_buffer, sizeof m_buffer), kServer.size() + 1);
    EXPECT_EQ(std::string(m_buffer), kServer);
    EXPECT_EQ(m_fake->taskFrees, 1);
}

TEST_F(LocalServer, ExpandSzValueGivesNothing) {
    DescribeServer(m_fake, REG_EXPAND_SZ);
    EXPECT_EQ(GetLocalServerPath("Quillon.Server", m_buffer, sizeof m_buffer), 0u);
    EXPECT_EQ(Api().GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
}

TEST_F(LocalServer, UnknownProgIdOpensNoKey) {
    EXPECT_EQ(GetLocalServerPath("No.Such.Class", m_buffer, sizeof m_buffer), 0u);
    EXPECT_EQ(Api().GetLastError(), static_cast<DWORD>(CO_E_CLASSSTRING));
    EXPECT_EQ(m_buffer[0], '\0');
    EXPECT_TRUE(m_fake.Registry().RegistryCalls().empty());
}

TEST_F(LocalServer, ClassWithoutLocalServerClosesWhatItOpened) {
    m_fake->progIds["Quillon.Other"] = CLSID{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    EXPECT_EQ(GetLocalServerPath("Quillon.Other", m_buffer, sizeof m_buffer), 0u);
    EXPECT_EQ(m_fake->taskFrees, 1);
}

TEST_F(LocalServer, SmallBuffersAreNeverOverrun) {
    const DWORD fit = static_cast<DWORD>(kServer.size() + 1);
    struct {
        DWORD size;
        DWORD result;
    } cases[] = {{0, 0}, {1, 0}, {fit - 1, 0}, {fit, fit}};
    for (const auto& c : cases) {
        std::memset(m_buffer, 'x', sizeof m_buffer);
        EXPECT_EQ(GetLocalServerPath("Quillon.Server", m_buffer, c.size), c.result) << c.size;
        // Nothing written at or beyond the given size.
        EXPECT_EQ(m_buffer[c.size], 'x') << c.size;
        if (c.size > 0) {
            EXPECT_EQ(m_buffer[0], c.result ? 'C' : '\0') << c.size;
        }
        if (c.result == 0) {
            EXPECT_EQ(Api().GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA)) << c.size;
        }
    }
}

TEST_F(LocalServer, MissingProgIdOrBufferIsRefused) {
    EXPECT_EQ(GetLocalServerPath("", m_buffer, sizeof m_buffer), 0u);
    EXPECT_EQ(GetLocalServerPath(nullptr, m_buffer, sizeof m_buffer), 0u);
    EXPECT_EQ(GetLocalServerPath("Quillon.Server", nullptr, 100), 0u);
    EXPECT_EQ(Api().GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(m_fake.Registry().RegistryCalls().empty());
}

// ---- every failing platform call ------------------------------------------------------

namespace failures {
using testing_support::ForEachFailure;

// A stopped service that starts, reports one pending step and runs; configured for the caller.
void Describe(ServiceScope& scope) {
    FakeScm& fake = *scope;
    fake = FakeScm{};
    fake.script = {Stopped()};
    fake.afterStart = {Pending(1, 5000), Pending(2, 5000), Running()};
    fake.startName = "EMULATED\\alice";
    DescribeServer(scope);
}

// Whatever fails: a consistent answer, every handle and key given back.
void CheckStartAndAccount(ServiceScope& scope, int n) {
    Describe(scope);
    FakeScm& fake = *scope;
    DWORD error = 0xDEADBEEF;
    const bool running = StartServiceAndWait("Spooler", error);
    EXPECT_EQ(running, error == 0) << "failing call " << n;
    EXPECT_EQ(fake.managerOpens + fake.serviceOpens, fake.closes) << "failing call " << n;

    fake.script = {Running()};
    fake.next = 0;
    const int closes = fake.closes;
    const int opens = fake.managerOpens + fake.serviceOpens;
    IsServiceRunningAsCurrentUser("Spooler");
    EXPECT_EQ(fake.managerOpens + fake.serviceOpens - opens, fake.closes - closes) << "failing call " << n;
    EXPECT_EQ(scope.Registry().LiveHandles(), 0u) << "failing call " << n;
}

void CheckLocalServer(ServiceScope& scope, int n) {
    Describe(scope);
    char buffer[256];
    const DWORD size = GetLocalServerPath("Quillon.Server", buffer, sizeof buffer);
    EXPECT_TRUE(size == 0 || size == kServer.size() + 1) << "failing call " << n;
    EXPECT_EQ(scope.Registry().LiveHandles(), 0u) << "failing call " << n;
    if (size == 0) {
        EXPECT_EQ(buffer[0], '\0') << "failing call " << n;
    }
}

TEST(ServiceFailures, EveryFailingCallOfAStartLeavesNothingOpen) {
    ServiceScope fake;
    const auto check = [&](int n) { CheckStartAndAccount(fake, n); };
    EXPECT_GT(ForEachFailure<&Win32Api::OpenSCManagerA>(ERROR_ACCESS_DENIED, SC_HANDLE{}, check), 0);
    EXPECT_GT(ForEachFailure<&Win32Api::OpenServiceA>(ERROR_ACCESS_DENIED, SC_HANDLE{}, check), 0);
    EXPECT_GT(ForEachFailure<&Win32Api::QueryServiceStatus>(ERROR_ACCESS_DENIED, BOOL{FALSE}, check), 0);
    EXPECT_GT(ForEachFailure<&Win32Api::StartServiceA>(ERROR_SERVICE_DISABLED, BOOL{FALSE}, check), 0);
    EXPECT_GT(ForEachFailure<&Win32Api::QueryServiceConfigA>(ERROR_ACCESS_DENIED, BOOL{FALSE}, check), 0);
    EXPECT_GT(ForEachFailure<&Win32Api::GetUserNameA>(ERROR_NOT_ENOUGH_MEMORY, BOOL{FALSE}, check), 0);
    EXPECT_GT(ForEachFailure<&Win32Api::RegOpenKeyExA>(ERROR_ACCESS_DENIED, LONG{ERROR_ACCESS_DENIED}, check), 0);
}

TEST(ServiceFailures, EveryFailingCallOfALookupClosesItsKeys) {
    ServiceScope fake;
    const auto check = [&](int n) { CheckLocalServer(fake, n); };
    EXPECT_GT(ForEachFailure<&Win32Api::MultiByteToWideChar>(ERROR_INVALID_PARAMETER, 0, check), 0);
    EXPECT_GT(ForEachFailure<&Win32Api::WideCharToMultiByte>(ERROR_INVALID_PARAMETER, 0, check), 0);
    EXPECT_GT(ForEachFailure<&Win32Api::CLSIDFromProgID>(0, HRESULT{REGDB_E_READREGDB}, check), 0);
    EXPECT_GT(ForEachFailure<&Win32Api::StringFromCLSID>(0, HRESULT{E_OUTOFMEMORY}, check), 0);
    EXPECT_GT(ForEachFailure<&Win32Api::RegOpenKeyA>(ERROR_ACCESS_DENIED, LONG{ERROR_ACCESS_DENIED}, check), 0);
    EXPECT_GT(ForEachFailure<&Win32Api::RegQueryValueExA>(ERROR_ACCESS_DENIED, LONG{ERROR_ACCESS_DENIED}, check), 0);
}

}  // namespace failures

// ---- the start wait ----------------------------------------------------------------------

SC_HANDLE ServiceHandle() {
    return detail::kService;
}

struct WaitCase {
    const char* name;
    Step initial;
    std::vector<Step> script;
    std::vector<DWORD> sleeps;
    DWORD result;
    DWORD startClock = 0;
};

std::vector<Step> Increasing(DWORD from, DWORD count, DWORD hint) {
    std::vector<Step> steps;
    for (DWORD i = 0; i < count; ++i) {
        steps.push_back(Pending(from + i, hint));
    }
    return steps;
}

class WaitTable : public testing::TestWithParam<WaitCase> {};

TEST_P(WaitTable, PausesAndResult) {
    const WaitCase& c = GetParam();
    FakeScmScope fake;
    fake->script = c.script;
    fake->clock = c.startClock;
    SERVICE_STATUS status = c.initial.status;

    EXPECT_EQ(WaitForServiceStart(ServiceHandle(), status), c.result);
    EXPECT_EQ(fake->sleeps, c.sleeps);
    // Every system text asked for is given back.
    EXPECT_EQ(fake->localFrees, static_cast<int>(fake->formatted.size()));
    if (c.result == 0) {
        EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    }
}

const DWORD k1053 = ERROR_SERVICE_REQUEST_TIMEOUT;

INSTANTIATE_TEST_SUITE_P(
    Service, WaitTable,
    testing::Values(
        // Pause length: a tenth of the hint, clamped to [1000, 10000].
        WaitCase{"Hint0RunsAfterOnePause", Pending(1, 0), {Running()}, {1000}, 0},
        WaitCase{"Hint5000", Pending(1, 5000), {Pending(2, 5000), Running()}, {1000, 1000}, 0},
        WaitCase{"Hint30000", Pending(1, 30000), {Pending(2, 30000), Running()}, {3000, 3000}, 0},
        WaitCase{"Hint200000", Pending(1, 200000), {Pending(2, 200000), Running()}, {10000, 10000}, 0},
        // Hint 0 still starting: the first check after a pause ends the wait.
        WaitCase{"Hint0StillStarting", Pending(1, 0), Increasing(2, 5, 0), {1000}, k1053},
        // A check point that does not move is a stall, after one pause.
        WaitCase{"CheckPoints3Then3", Pending(3, 30000), {Pending(3, 30000)}, {3000}, k1053},
        // No check points at all: only the time limit (hint 5000: pauses until 6000 ms have gone).
        WaitCase{"CheckPointsAlways0", Pending(0, 5000), {Pending(0, 5000)}, std::vector<DWORD>(6, 1000), k1053},
        // Falling back to 0 is not a stall.
        WaitCase{"CheckPoints4Then0",
                 Pending(4, 5000),
                 {Pending(0, 5000), Pending(0, 5000), Running()},
                 {1000, 1000, 1000},
                 0},
        // Progress does not restart the limit: measured from the beginning.
        WaitCase{"ProgressKeepsTheLimit", Pending(1, 3000), Increasing(2, 20, 3000), std::vector<DWORD>(4, 1000),
                 k1053},
        // The latest hint sets both the limit and the pause.
        WaitCase{"LatestHintCounts",
                 Pending(1, 1000),
                 Increasing(2, 20, 30000),
                 {1000, 3000, 3000, 3000, 3000, 3000, 3000, 3000, 3000, 3000, 3000},
                 k1053},
        // The clock wraps during the wait without harm.
        WaitCase{"ClockWraps", Pending(1, 5000), Increasing(2, 20, 5000), std::vector<DWORD>(6, 1000), k1053,
                 0xFFFFFC18u},
        // A failed query ends the wait with its own code; refused is 5.
        WaitCase{"QueryFails", Pending(1, 5000), {Fails(ERROR_INVALID_HANDLE)}, {1000}, ERROR_INVALID_HANDLE},
        WaitCase{"QueryRefused", Pending(1, 5000), {Fails(ERROR_ACCESS_DENIED)}, {1000}, ERROR_ACCESS_DENIED},
        // A failure that leaves no code still must not read as success.
        WaitCase{"QueryFailsWithoutCode", Pending(1, 5000), {Fails(ERROR_SUCCESS)}, {1000}, k1053},
        // The service gave up starting: its exit code, else "not started".
        WaitCase{
            "StoppedWithExitCode", Pending(1, 5000), {Stopped(ERROR_PROCESS_ABORTED)}, {1000}, ERROR_PROCESS_ABORTED},
        WaitCase{"StoppedWithoutExitCode", Pending(1, 5000), {Stopped()}, {1000}, ERROR_SERVICE_NOT_ACTIVE},
        // Not starting at all: nothing to wait for.
        WaitCase{"AlreadyRunning", Running(), {}, {}, 0}),
    [](const testing::TestParamInfo<WaitCase>& info) { return std::string(info.param.name); });

TEST(ServiceWait, FailedWaitTracesTwoLines) {
    FakeScmScope fake;
    fake->script = {Pending(3, 30000)};
    SERVICE_STATUS status = Pending(3, 30000).status;
    status.dwServiceSpecificExitCode = 7;
    fake->script[0].status.dwServiceSpecificExitCode = 7;

    ASSERT_EQ(WaitForServiceStart(ServiceHandle(), status), k1053);
    const std::vector<std::string> expected = {
        "QVTR - SERVICE IS NOT RUNNING state:2\n",
        "QVTR - Service not started. Current State: 2  Exit Code: 0 Service Specific Exit Code: 7  Check Point: 3  "
        "Wait Hint: 30000  Last error: Text of 1053\r\n\n",
    };
    EXPECT_EQ(fake->traces, expected);
    EXPECT_EQ(fake->formatted, std::vector<DWORD>{k1053});
    EXPECT_EQ(fake->localFrees, 1);
}

// How many lines each outcome traces at each level: success from 2, failure from 3.
TEST(ServiceWait, LinesNeedTheirLevel) {
    const struct {
        Step answer;
        int32_t level;
        size_t lines;
    } cases[] = {{Running(), 2, 1}, {Running(), 1, 0}, {Pending(1, 0), 3, 2}, {Pending(1, 0), 2, 0}};
    for (const auto& c : cases) {
        FakeScmScope fake;
        fake->script = {c.answer};
        SERVICE_STATUS status = Pending(1, 0).status;
        g_Module.m_nDebugLevel = c.level;
        WaitForServiceStart(ServiceHandle(), status);
        EXPECT_EQ(fake->traces.size(), c.lines) << c.level;
    }
}

// ---- the process account -------------------------------------------------------------

const char kLongDomain[] = "A-DOMAIN-NAME-LONG-ENOUGH-TO-BE-CAUGHT-HALF-WRITTEN-BY-A-READER";
std::atomic<int> g_slowLookups{0};
std::atomic<int> g_tokenOpens{0};
std::atomic<int> g_tokenCloses{0};

// Thread-safe stand-ins for the token calls while many threads look up at once.
BOOL WINAPI CountingOpenProcessToken(HANDLE, DWORD, PHANDLE token) {
    ++g_tokenOpens;
    *token = detail::kToken;
    return TRUE;
}

BOOL WINAPI CountingCloseHandle(HANDLE handle) {
    if (handle == detail::kToken) {
        ++g_tokenCloses;
    }
    return TRUE;
}

// Writes the domain one character at a time, yielding in between.
BOOL WINAPI SlowLookupAccountSidA(LPCSTR, PSID, LPSTR name, LPDWORD nameSize, LPSTR domain, LPDWORD domainSize,
                                  PSID_NAME_USE use) {
    ++g_slowLookups;
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
    FakeScmScope fake;

    // No token: "*", and the next call tries again.
    fake->tokenFails = true;
    EXPECT_STREQ(GetProcessAccountDomain(), "*");
    EXPECT_STREQ(GetProcessAccountDomain(), "*");

    // A domain lookup that fails after the token opened still closes it.
    fake->tokenFails = false;
    fake->domain = std::string(QVTR_ACCOUNT_DOMAIN_SIZE, 'D');  // does not fit
    EXPECT_STREQ(GetProcessAccountDomain(), "*");
    EXPECT_EQ(fake->tokenOpens, 1);
    EXPECT_EQ(fake->tokenCloses, 1);

    // Many threads make the first successful call at once.
    fake.Table()->LookupAccountSidA = SlowLookupAccountSidA;
    fake.Table()->OpenProcessToken = CountingOpenProcessToken;
    fake.Table()->CloseHandle = CountingCloseHandle;
    std::atomic<bool> go{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            while (!go.load()) {
                std::this_thread::yield();
            }
            for (int k = 0; k < 50; ++k) {
                if (std::strcmp(GetProcessAccountDomain(), kLongDomain) != 0) {
                    ++wrong;
                }
            }
        });
    }
    go = true;
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GE(g_slowLookups.load(), 1);
    EXPECT_EQ(g_tokenOpens.load(), g_tokenCloses.load());

    // Found once, kept: no more lookups, even when the account would now differ.
    const int lookups = g_slowLookups.load();
    fake->domain = "OTHER";
    fake.Table()->LookupAccountSidA = detail::LookupAccountSidA;
    const char* cached = GetProcessAccountDomain();
    EXPECT_STREQ(cached, kLongDomain);
    EXPECT_EQ(g_slowLookups.load(), lookups);
    EXPECT_EQ(GetProcessAccountDomain(), cached);
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
