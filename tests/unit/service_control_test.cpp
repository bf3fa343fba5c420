// Service control through a fake service control manager: when a service is
// started, which account matches, the local server of a COM class, bad input.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "qvtr/service.h"
#include "service/fake_scm.h"
#include "support/fault_injector.h"

namespace {

using namespace service_fakes;

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
    FakeScmScope fake;
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

INSTANTIATE_TEST_SUITE_P(
    Service, EnsureTable,
    testing::Values(
        EnsureCase{"RunningIsLeftAlone", {Running()}, {}, kAll, 0, true, 0, 0, 0},
        EnsureCase{"StoppedWithQueryAccessOnly", {Stopped()}, {}, kQuery, 0, false, ERROR_SERVICE_NOT_ACTIVE, 0, 0},
        EnsureCase{"StartingWithQueryAccessIsWaitedFor", {Pending(1, 5000), Running()}, {}, kQuery, 0, true, 0, 0, 1},
        // Less than all access never starts, even with the start right in it.
        EnsureCase{
            "StoppedWithStartRight", {Stopped()}, {}, kQuery | SERVICE_START, 0, false, ERROR_SERVICE_NOT_ACTIVE, 0, 0},
        EnsureCase{
            "RefusedStart", {Stopped()}, {}, kAll, ERROR_SERVICE_DISABLED, false, ERROR_SERVICE_NOT_ACTIVE, 1, 0},
        EnsureCase{"RunningRightAfterStart", {Stopped()}, {Running()}, kAll, 0, true, 0, 1, 0},
        EnsureCase{"PendingAfterStartIsWaitedFor",
                   {Stopped()},
                   {Pending(1, 5000), Pending(2, 5000), Running()},
                   kAll,
                   0,
                   true,
                   0,
                   1,
                   1},
        EnsureCase{"PendingAfterStartStalls",
                   {Stopped()},
                   {Pending(1, 5000), Pending(1, 5000)},
                   kAll,
                   0,
                   false,
                   ERROR_SERVICE_REQUEST_TIMEOUT,
                   1,
                   2},
        EnsureCase{"QueryAfterStartFails",
                   {Stopped()},
                   {Fails(ERROR_INVALID_HANDLE)},
                   kAll,
                   0,
                   false,
                   ERROR_SERVICE_NOT_ACTIVE,
                   1,
                   0},
        EnsureCase{"FirstQueryRefused", {Fails(ERROR_ACCESS_DENIED)}, {}, kAll, 0, false, ERROR_ACCESS_DENIED, 0, 0},
        EnsureCase{"StoppingService",
                   {{Status(SERVICE_STOP_PENDING), 0, false}},
                   {},
                   kQuery,
                   0,
                   false,
                   ERROR_SERVICE_NOT_ACTIVE,
                   0,
                   0}),
    [](const testing::TestParamInfo<EnsureCase>& info) { return std::string(info.param.name); });

TEST(EnsureServiceRunning, ClosesTheManagerWhenTheServiceCannotBeOpened) {
    FakeScmScope fake;
    fake->openServiceError = ERROR_SERVICE_DOES_NOT_EXIST;
    DWORD error = 0;
    EXPECT_FALSE(EnsureServiceRunning(detail::kManager, "Missing", kAll, error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_EQ(fake->closes, 1);
}

TEST(EnsureServiceRunning, EmptyOrNullNameStartsNothing) {
    FakeScmScope fake;
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
    FakeScmScope fake;
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
    FakeScmScope fake;
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
    FakeScmScope fake;
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
    FakeScmScope fake;
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
    FakeScmScope fake;
    fake->script = {Running()};
    fake->startName = "EMULATED\\alice";
    EXPECT_TRUE(IsServiceRunningAsCurrentUser("Spooler"));
    const DWORD bare = sizeof(QUERY_SERVICE_CONFIGA);
    const std::vector<DWORD> sizes = {bare, static_cast<DWORD>(bare + fake->startName.size() + 1)};
    EXPECT_EQ(fake->configSizes, sizes);
}

TEST(IsServiceRunningAsCurrentUser, MissingKeyOrStartNameIsNo) {
    FakeScmScope fake;
    fake->script = {Running()};
    fake->keyExists = false;
    EXPECT_FALSE(IsServiceRunningAsCurrentUser("Spooler"));
    EXPECT_EQ(fake->managerOpens, 0);

    fake->keyExists = true;
    fake->startNameNull = true;
    EXPECT_FALSE(IsServiceRunningAsCurrentUser("Spooler"));
    EXPECT_EQ(fake->closes, 2);
}

// ---- ServiceKeyExists -------------------------------------------------------------

TEST(ServiceKeyExists, OpensTheServicesKeyForReading) {
    FakeScmScope fake;
    EXPECT_TRUE(ServiceKeyExists("Spooler"));
    EXPECT_EQ(fake->keyPath, "System\\CurrentControlSet\\services\\Spooler");
    EXPECT_EQ(fake->opened.size(), fake->closed.size());
    fake->keyExists = false;
    EXPECT_FALSE(ServiceKeyExists("Spooler"));
}

TEST(ServiceKeyExists, NamesThatDoNotFitOrNameNothingAreRefused) {
    FakeScmScope fake;
    // 34 characters of prefix: 225 fill the 260-character buffer.
    EXPECT_TRUE(ServiceKeyExists(std::string(225, 's').c_str()));
    fake->keyPath.clear();
    for (const std::string& name : {std::string(226, 's'), std::string(5000, 's'), std::string()}) {
        Api().SetLastError(0);
        EXPECT_FALSE(ServiceKeyExists(name.c_str())) << name.size();
        EXPECT_EQ(Api().GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
        EXPECT_TRUE(fake->keyPath.empty());
    }
    EXPECT_FALSE(IsServiceRunningAsCurrentUser(std::string(300, 's').c_str()));
    EXPECT_EQ(fake->managerOpens, 0);
}

// ---- GetLocalServerPath ------------------------------------------------------------

const CLSID kClass = {0x12345678, 0x9ABC, 0xDEF0, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
const char* const kClassText = "{12345678-9ABC-DEF0-0123-456789ABCDEF}";
const std::string kServer = "C:\\Program Files\\Quillon\\server.exe /automation";

class LocalServer : public testing::Test {
protected:
    void SetUp() override {
        m_fake->progIds["Quillon.Server"] = kClass;
        m_fake->servers[kClassText] = {kServer, REG_SZ};
        std::memset(m_buffer, 'x', sizeof m_buffer);
    }

    std::vector<std::string> ClassKeys() const {
        const std::string classKey = std::string("HKCR\\CLSID\\") + kClassText;
        return {classKey + "\\LocalServer32", classKey, "HKCR\\CLSID"};
    }

    FakeScmScope m_fake;
    char m_buffer[512];
};

TEST_F(LocalServer, RegSzValueIsCopiedWithItsTerminator) {
    EXPECT_EQ(GetLocalServerPath("Quillon.Server", m_buffer, sizeof m_buffer), kServer.size() + 1);
    EXPECT_EQ(std::string(m_buffer), kServer);
    EXPECT_EQ(m_fake->closed, ClassKeys());  // innermost first
    EXPECT_EQ(m_fake->taskFrees, 1);
}

TEST_F(LocalServer, ExpandSzValueGivesNothing) {
    m_fake->servers[kClassText].second = REG_EXPAND_SZ;
    EXPECT_EQ(GetLocalServerPath("Quillon.Server", m_buffer, sizeof m_buffer), 0u);
    EXPECT_EQ(Api().GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(m_fake->closed, ClassKeys());
}

TEST_F(LocalServer, UnknownProgIdOpensNoKey) {
    EXPECT_EQ(GetLocalServerPath("No.Such.Class", m_buffer, sizeof m_buffer), 0u);
    EXPECT_EQ(Api().GetLastError(), static_cast<DWORD>(CO_E_CLASSSTRING));
    EXPECT_EQ(m_buffer[0], '\0');
    EXPECT_TRUE(m_fake->opened.empty());
}

TEST_F(LocalServer, ClassWithoutLocalServerClosesWhatItOpened) {
    m_fake->servers.clear();
    m_fake->progIds["Quillon.Other"] = CLSID{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    EXPECT_EQ(GetLocalServerPath("Quillon.Other", m_buffer, sizeof m_buffer), 0u);
    EXPECT_EQ(m_fake->closed, std::vector<std::string>{"HKCR\\CLSID"});
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
    EXPECT_TRUE(m_fake->opened.empty());
}

// ---- every failing platform call ------------------------------------------------------

namespace failures {

using testing_support::ForEachFailure;

// A stopped service that starts, reports one pending step and runs; configured for the caller.
void Describe(FakeScm& fake) {
    fake = FakeScm{};
    fake.script = {Stopped()};
    fake.afterStart = {Pending(1, 5000), Pending(2, 5000), Running()};
    fake.startName = "EMULATED\\alice";
    fake.progIds["Quillon.Server"] = kClass;
    fake.servers[kClassText] = {kServer, REG_SZ};
}

// Whatever fails: a consistent answer, every handle and key given back.
void CheckStartAndAccount(FakeScm& fake, int n) {
    Describe(fake);
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
    EXPECT_EQ(fake.opened.size(), fake.closed.size()) << "failing call " << n;
}

void CheckLocalServer(FakeScm& fake, int n) {
    Describe(fake);
    char buffer[256];
    const DWORD size = GetLocalServerPath("Quillon.Server", buffer, sizeof buffer);
    EXPECT_TRUE(size == 0 || size == kServer.size() + 1) << "failing call " << n;
    EXPECT_EQ(fake.opened.size(), fake.closed.size()) << "failing call " << n;
    if (size == 0) {
        EXPECT_EQ(buffer[0], '\0') << "failing call " << n;
    }
}

TEST(ServiceFailures, EveryFailingCallOfAStartLeavesNothingOpen) {
    FakeScmScope fake;
    const auto check = [&](int n) { CheckStartAndAccount(*fake, n); };
    EXPECT_GT(ForEachFailure<&Win32Api::OpenSCManagerA>(ERROR_ACCESS_DENIED, SC_HANDLE{}, check), 0);
    EXPECT_GT(ForEachFailure<&Win32Api::OpenServiceA>(ERROR_ACCESS_DENIED, SC_HANDLE{}, check), 0);
    EXPECT_GT(ForEachFailure<&Win32Api::QueryServiceStatus>(ERROR_ACCESS_DENIED, BOOL{FALSE}, check), 0);
    EXPECT_GT(ForEachFailure<&Win32Api::StartServiceA>(ERROR_SERVICE_DISABLED, BOOL{FALSE}, check), 0);
    EXPECT_GT(ForEachFailure<&Win32Api::QueryServiceConfigA>(ERROR_ACCESS_DENIED, BOOL{FALSE}, check), 0);
    EXPECT_GT(ForEachFailure<&Win32Api::GetUserNameA>(ERROR_NOT_ENOUGH_MEMORY, BOOL{FALSE}, check), 0);
    EXPECT_GT(ForEachFailure<&Win32Api::RegOpenKeyExA>(ERROR_ACCESS_DENIED, LONG{ERROR_ACCESS_DENIED}, check), 0);
}

TEST(ServiceFailures, EveryFailingCallOfALookupClosesItsKeys) {
    FakeScmScope fake;
    const auto check = [&](int n) { CheckLocalServer(*fake, n); };
    EXPECT_GT(ForEachFailure<&Win32Api::MultiByteToWideChar>(ERROR_INVALID_PARAMETER, 0, check), 0);
    EXPECT_GT(ForEachFailure<&Win32Api::WideCharToMultiByte>(ERROR_INVALID_PARAMETER, 0, check), 0);
    EXPECT_GT(ForEachFailure<&Win32Api::CLSIDFromProgID>(0, HRESULT{REGDB_E_READREGDB}, check), 0);
    EXPECT_GT(ForEachFailure<&Win32Api::StringFromCLSID>(0, HRESULT{E_OUTOFMEMORY}, check), 0);
    EXPECT_GT(ForEachFailure<&Win32Api::RegOpenKeyA>(ERROR_ACCESS_DENIED, LONG{ERROR_ACCESS_DENIED}, check), 0);
    EXPECT_GT(ForEachFailure<&Win32Api::RegQueryValueExA>(ERROR_ACCESS_DENIED, LONG{ERROR_ACCESS_DENIED}, check), 0);
}

}  // namespace failures

}  // namespace
