// The POSIX service control manager end to end: services described in the
// registry are launched as detached processes, seen running by other
// processes, stopped; the module's start rules on it; accounts and code pages.
//
// The services live in the test program's registry store, which its child
// processes share; so does the run state.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "posix/forked.h"
#include "qvtr/service.h"
#include "support/fault_injector.h"
#include "support/support.h"
#include "win32/api.h"
#include "win32/posix/posix.h"
#include "win32/posix/service_run.h"

namespace {

using namespace testing_support;

// ---- the machine's registry: the test program's own store, shared with its children

struct Value {
    DWORD type;
    std::string data;
};

Value Sz(const std::string& text, DWORD type = REG_SZ) {
    return {type, text + '\0'};
}
Value Dword(DWORD number) {
    return {REG_DWORD, std::string(reinterpret_cast<const char*>(&number), sizeof number)};
}

void PutKey(const std::string& path, const std::map<std::string, Value>& values) {
    HKEY key = nullptr;
    ASSERT_EQ(
        Api().RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    for (const auto& value : values) {
        Api().RegSetValueExA(key, value.first.c_str(), 0, value.second.type,
                             reinterpret_cast<const BYTE*>(value.second.data.data()),
                             static_cast<DWORD>(value.second.data.size()));
    }
    Api().RegCloseKey(key);
}

std::string UserName() {
    if (geteuid() == 0) {
        return "SYSTEM";
    }
    const passwd* entry = getpwuid(geteuid());
    return entry ? entry->pw_name : std::to_string(geteuid());
}

// The services every process of this test sees.
void DescribeMachine() {
    const std::string services = "System\\CurrentControlSet\\Services\\";
    PutKey(services + "Sleeper", {{"ImagePath", Sz("/bin/sh -c \"exec sleep 60\"")}, {"Start", Dword(3)}});
    PutKey(services + "Disabled", {{"ImagePath", Sz("/bin/sh -c \"exec sleep 60\"")}, {"Start", Dword(4)}});
    PutKey(services + "Quitter", {{"ImagePath", Sz("/bin/sh -c \"exit 3\"")}});
    PutKey(services + "Failer",
           {{"ImagePath", Sz("/bin/sh -c \"echo 1 0 0 42 >$QVTR_SERVICE_STATUS\"")}, {"ReportsStatus", Dword(1)}});
    // Reports start-pending with an advancing check point, then running; no ObjectName: LocalSystem.
    PutKey(services + "Reporter", {{"ImagePath", Sz("/bin/sh -c \"echo 2 1 4000 >$QVTR_SERVICE_STATUS; sleep 0.3; "
                                                    "echo 2 2 4000 >$QVTR_SERVICE_STATUS; sleep 0.3; "
                                                    "echo 4 >$QVTR_SERVICE_STATUS; exec sleep 60\"")},
                                   {"ReportsStatus", Dword(1)}});
    PutKey(services + "Staller",
           {{"ImagePath", Sz("/bin/sh -c \"echo 2 1 3000 >$QVTR_SERVICE_STATUS; exec sleep 60\"")},
            {"ReportsStatus", Dword(1)}});
    PutKey(services + "Expanded", {{"ImagePath", Sz("%QVTR_TEST_SHELL% -c \"exec sleep 60\"", REG_EXPAND_SZ)}});
}

class ServicePosix : public testing::Test {
protected:
    ServicePosix() : m_computer("QVTR_COMPUTERNAME", "TESTBOX"), m_shell("QVTR_TEST_SHELL", "/bin/sh") {
        if (ChildRole() == nullptr) {
            DescribeMachine();
        }
    }

    // Every manager, service and token handle a test opened is closed again.
    void TearDown() override { EXPECT_EQ(posix::OpenHandleCount(), m_handles); }

    ~ServicePosix() override {
        if (ChildRole() == nullptr) {
            for (const char* name : {"Sleeper", "Reporter", "Expanded", "Staller"}) {
                Stop(name);
            }
        }
    }

    // The test's own look at the manager goes past any injected failure.
    static SC_HANDLE Open(const char* name, DWORD access) {
        SC_HANDLE manager = BackendApi().OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE service = manager ? BackendApi().OpenServiceA(manager, name, access) : nullptr;
        const DWORD error = BackendApi().GetLastError();
        if (manager) {
            BackendApi().CloseServiceHandle(manager);
        }
        BackendApi().SetLastError(error);
        return service;
    }

    static SERVICE_STATUS Query(const char* name) {
        SERVICE_STATUS status{};
        SC_HANDLE service = Open(name, SERVICE_QUERY_STATUS);
        EXPECT_NE(service, nullptr) << name;
        if (service) {
            EXPECT_TRUE(BackendApi().QueryServiceStatus(service, &status));
            BackendApi().CloseServiceHandle(service);
        }
        return status;
    }

    // Sends a stop when it runs and waits until it has stopped.
    static void Stop(const char* name) {
        SC_HANDLE service = Open(name, SERVICE_STOP | SERVICE_QUERY_STATUS);
        if (service == nullptr) {
            return;
        }
        SERVICE_STATUS status{};
        BackendApi().ControlService(service, SERVICE_CONTROL_STOP, &status);
        WaitForState(name, SERVICE_STOPPED);
        BackendApi().CloseServiceHandle(service);
    }

    static bool WaitForState(const char* name, DWORD state) {
        for (int i = 0; i < 200; ++i) {
            if (Query(name).dwCurrentState == state) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        return false;
    }

    // Runs one test of this program in a child process with `role`; its exit code.
    static int RunChild(const char* test, const char* role) {
        const ScopedEnv roleEnv("QVTR_CHILD_ROLE", role);
        Child child(SelfPath(), ChildArgs(test));
        return child.Wait();
    }

    ScopedEnv m_computer;
    ScopedEnv m_shell;
    size_t m_handles = posix::OpenHandleCount();
};

TEST_F(ServicePosix, StartedServiceIsSeenRunningByAnotherProcessUntilStopped) {
    SC_HANDLE service = Open("Sleeper", SERVICE_ALL_ACCESS);
    SC_HANDLE readOnly = Open("Sleeper", GENERIC_READ);
    ASSERT_TRUE(service && readOnly);
    EXPECT_FALSE(IsServiceRunning("Sleeper"));
    DWORD error = 1;
    ASSERT_TRUE(StartServiceAndWait("Sleeper", error));
    EXPECT_EQ(error, 0u);
    EXPECT_TRUE(IsServiceRunning("sleeper"));  // names ignore case
    EXPECT_EQ(RunChild("ServicePosix.ChildSeesTheService", "running"), 0);
    EXPECT_FALSE(Api().StartServiceA(service, 0, nullptr));
    EXPECT_EQ(Api().GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
    SERVICE_STATUS status{};
    EXPECT_FALSE(Api().ControlService(readOnly, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(Api().GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(Api().ControlService(service, 2, &status));  // pause, which no service here accepts
    EXPECT_EQ(Api().GetLastError(), static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));

    ASSERT_TRUE(Api().ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_TRUE(status.dwCurrentState == SERVICE_STOP_PENDING || status.dwCurrentState == SERVICE_STOPPED);
    ASSERT_TRUE(WaitForState("Sleeper", SERVICE_STOPPED));
    EXPECT_EQ(Query("Sleeper").dwWin32ExitCode, 0u);  // asked to stop: a clean end
    EXPECT_EQ(RunChild("ServicePosix.ChildSeesTheService", "stopped"), 0);
    Api().CloseServiceHandle(readOnly);
    Api().CloseServiceHandle(service);

    // One that ends by itself did not end cleanly.
    StartServiceAndWait("Quitter", error);  // may or may not still run when asked
    ASSERT_TRUE(WaitForState("Quitter", SERVICE_STOPPED));
    EXPECT_EQ(Query("Quitter").dwWin32ExitCode, static_cast<DWORD>(ERROR_PROCESS_ABORTED));
    // One that said why it stopped keeps its word.
    StartServiceAndWait("Failer", error);
    ASSERT_TRUE(WaitForState("Failer", SERVICE_STOPPED));
    EXPECT_EQ(Query("Failer").dwWin32ExitCode, 42u);
}

TEST_F(ServicePosix, ChildSeesTheService) {
    if (ChildRole() == nullptr) {
        GTEST_SKIP() << "runs as the second process of another test";
    }
    EXPECT_EQ(IsServiceRunning("Sleeper"), std::string(ChildRole()) == "running");
}

// The module starts only with all access and only what is stopped, waits for what is starting, and closes the
// manager handle it is given.
TEST_F(ServicePosix, ModuleStartsOnlyWhenAllowedAndNeeded) {
    const std::string longName(300, 'x');
    const struct {
        const char* name;
        DWORD access;
        DWORD error;  // 0: running
        DWORD state;  // afterwards
    } cases[] = {
        {"Sleeper", SERVICE_QUERY_STATUS | SERVICE_START, ERROR_SERVICE_NOT_ACTIVE, SERVICE_STOPPED},
        {"Disabled", SERVICE_ALL_ACCESS, ERROR_SERVICE_NOT_ACTIVE, SERVICE_STOPPED},
        {"Staller", SERVICE_ALL_ACCESS, ERROR_SERVICE_REQUEST_TIMEOUT, SERVICE_START_PENDING},
        {"Sleeper", SERVICE_ALL_ACCESS, 0, SERVICE_RUNNING},
        {"Sleeper", SERVICE_ALL_ACCESS, 0, SERVICE_RUNNING},  // no second start, which the manager would refuse
        {"NoSuchService", SERVICE_ALL_ACCESS, ERROR_SERVICE_DOES_NOT_EXIST, 0},
        {longName.c_str(), SERVICE_ALL_ACCESS, ERROR_INVALID_NAME, 0},
        {"a\\b", SERVICE_ALL_ACCESS, ERROR_INVALID_NAME, 0},  // not a key below another
        {"", SERVICE_ALL_ACCESS, ERROR_INVALID_NAME, 0},
        {nullptr, SERVICE_ALL_ACCESS, ERROR_INVALID_PARAMETER, 0},
    };
    for (const auto& c : cases) {
        const std::string what = c.name ? c.name : "(null)";
        DWORD error = 1;
        SC_HANDLE manager = Api().OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        EXPECT_EQ(EnsureServiceRunning(manager, c.name, c.access, error), c.error == 0) << what;
        EXPECT_EQ(error, c.error) << what;
        if (c.state != 0) {
            EXPECT_EQ(Query(c.name).dwCurrentState, c.state) << what;
        }
    }
    EXPECT_EQ(Api().OpenSCManagerA("\\\\ELSEWHERE", nullptr, SC_MANAGER_CONNECT), nullptr);
    EXPECT_EQ(Api().GetLastError(), static_cast<DWORD>(ERROR_BAD_NETPATH)) << "another machine's manager";
}

TEST_F(ServicePosix, EveryFailingCallOfAStartLeavesNothingOpen) {
    const auto start = [](int n) {
        DWORD error = 0xDEADBEEF;
        const bool running = StartServiceAndWait("Sleeper", error);
        EXPECT_EQ(running, error == 0) << "failing call " << n;
        EXPECT_NE(error, 0xDEADBEEF) << "failing call " << n;
        Stop("Sleeper");
    };
    EXPECT_GT(ForEachFailure<&Win32Api::OpenSCManagerA>(ERROR_ACCESS_DENIED, SC_HANDLE{}, start), 0);
    EXPECT_GT(ForEachFailure<&Win32Api::QueryServiceStatus>(ERROR_ACCESS_DENIED, BOOL{FALSE}, start), 0);
}

// Even a caller that only looks waits while the service reports progress.
TEST_F(ServicePosix, ReportedProgressIsWaitedFor) {
    SC_HANDLE service = Open("Reporter", SERVICE_START);
    ASSERT_TRUE(Api().StartServiceA(service, 0, nullptr));
    Api().CloseServiceHandle(service);
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(IsServiceRunning("Reporter"));
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(1000));
    EXPECT_EQ(IsServiceRunningAsCurrentUser("Reporter"), geteuid() == 0);  // no ObjectName: LocalSystem
    // A report caught half-written (`echo >` empties the file first) reads as the last one seen.
    service = Open("Staller", SERVICE_START | SERVICE_QUERY_STATUS);
    ASSERT_TRUE(Api().StartServiceA(service, 0, nullptr));
    SERVICE_STATUS status{};
    for (int i = 0; i < 500 && Api().QueryServiceStatus(service, &status) && status.dwCheckPoint != 1; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::ofstream(posix::ReportedStatusPath(posix::PlaceOfService("Staller", geteuid(), false)), std::ios::trunc)
        .close();
    EXPECT_TRUE(Api().QueryServiceStatus(service, &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
    EXPECT_EQ(status.dwCheckPoint, 1u);
    Api().CloseServiceHandle(service);
}

TEST_F(ServicePosix, StartAccountFromTheServiceKey) {
    DWORD error = 0;
    ASSERT_TRUE(StartServiceAndWait("Expanded", error));  // %QVTR_TEST_SHELL% expanded for the launch
    // Running, and configured for the caller's account in some form; letter case aside, only the full one matches.
    EXPECT_STREQ(GetProcessAccountDomain(), geteuid() == 0 ? "NT AUTHORITY" : "TESTBOX");
    const std::string user = UserName();
    const std::string account = std::string(GetProcessAccountDomain()) + "\\" + user;
    std::string lower = account;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    const std::pair<std::string, bool> accounts[] = {
        {account, true},           {lower, true}, {".\\" + user, false},
        {"OTHER\\" + user, false}, {user, false}, {"LocalSystem", user == "SYSTEM"},
    };
    for (const auto& a : accounts) {
        PutKey("System\\CurrentControlSet\\Services\\Expanded", {{"ObjectName", Sz(a.first)}});
        EXPECT_EQ(IsServiceRunningAsCurrentUser("Expanded"), a.second) << a.first;
    }
    PutKey("System\\CurrentControlSet\\Services\\Disabled", {{"ObjectName", Sz(account)}});
    EXPECT_FALSE(IsServiceRunningAsCurrentUser("Disabled"));  // stopped never matches
}

// An ordinary user is COMPUTER\\login; checked in a child that gives up root.
TEST(AccountPosix, OrdinaryUserIsComputerBackslashLogin) {
    const passwd* daemon = getpwuid(1);
    if (ChildRole() != nullptr) {
        ASSERT_NE(daemon, nullptr);
        const std::string login = daemon->pw_name;
        ASSERT_EQ(setuid(1), 0);
        char user[64];
        DWORD size = sizeof user;
        ASSERT_TRUE(Api().GetUserNameA(user, &size));
        EXPECT_EQ(std::string(user), login);
        EXPECT_STREQ(GetProcessAccountDomain(), "TESTBOX");
        return;
    }
    if (geteuid() != 0 || daemon == nullptr) {
        GTEST_SKIP() << "needs root to become another user";
    }
    const ScopedEnv computer("QVTR_COMPUTERNAME", "TESTBOX");
    const ScopedEnv role("QVTR_CHILD_ROLE", "ordinary");
    Child child(SelfPath(), ChildArgs("AccountPosix.*"));
    EXPECT_EQ(child.Wait(), 0);
}

// ---- one service manager for the machine ---------------------------------------------
// Root controls every service, a user only those of its own account; every user
// queries every service. Each actor is a forked child of its own uid.

// Runs `body` as `uid` on the machine of `hive`; 0 when it gives `expected`.
int OnMachine(const std::string& hive, uid_t uid, DWORD expected, const std::function<DWORD()>& body) {
    return forked::Run(
        [&] {
            unsetenv("QVTR_REGISTRY");
            setenv("QVTR_MACHINE_HIVE", hive.c_str(), 1);
            const DWORD got = body();
            if (got != expected) {
                std::fprintf(stderr, "uid %u: %lu, not %lu\n", unsigned(uid), (unsigned long)got,
                             (unsigned long)expected);
            }
            return got == expected ? 0 : 1;
        },
        uid);
}

// Whether a process has its user's groups and no others.
bool HasItsAccountsGroups(DWORD pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::set<gid_t> got, wanted;
    const passwd* account = nullptr;
    for (std::string line; std::getline(status, line);) {
        unsigned uid = 0;
        account = std::sscanf(line.c_str(), "Uid: %u", &uid) == 1 ? getpwuid(uid) : account;
        std::istringstream groups(line.rfind("Groups:", 0) == 0 ? line.substr(7) : "");
        for (gid_t group; groups >> group;) {
            got.insert(group);
        }
    }
    std::vector<gid_t> list(64);
    int count = static_cast<int>(list.size());
    if (account == nullptr || getgrouplist(account->pw_name, account->pw_gid, list.data(), &count) < 0) {
        return false;
    }
    wanted.insert(list.begin(), list.begin() + count);
    return got == wanted;
}

// The state a service query gives (3: whether queryex gives a process; 4: 0 when
// that process has its account's groups alone), or the error of the first call that failed.
DWORD Control(const char* name, DWORD access, DWORD control) {
    SC_HANDLE manager = Api().OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = Api().OpenServiceA(manager, name, access);
    SERVICE_STATUS status{};
    SERVICE_STATUS_PROCESS full{};
    DWORD needed = 0;
    const bool done =
        service != nullptr &&
        (control == 0   ? Api().QueryServiceStatus(service, &status)
         : control == 1 ? Api().StartServiceA(service, 0, nullptr)
         : control == 2 ? Api().ControlService(service, SERVICE_CONTROL_STOP, &status)
                        : Api().QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&full),
                                                     sizeof full, &needed));
    const DWORD error = Api().GetLastError();
    // A stop is over when the process has gone, as `qvtr service stop` waits for it.
    for (int i = 0; done && control == 2 && status.dwCurrentState != SERVICE_STOPPED && i < 200; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
        if (!Api().QueryServiceStatus(service, &status)) {
            break;  // a handle that may not ask does not wait
        }
    }
    Api().CloseServiceHandle(service);
    Api().CloseServiceHandle(manager);
    return !done          ? error
           : control == 0 ? status.dwCurrentState
           : control == 3 ? full.dwProcessId != 0
           : control == 4 ? !HasItsAccountsGroups(full.dwProcessId)
                          : 0;
}

pid_t AnotherProcessOf(uid_t uid) {
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(60);
        _exit(setuid(uid) == 0 ? (pause(), 0) : 1);
    }
    return pid;
}

TEST(OneManager, EachUserMayControlOnlyItsOwnAccountsServices) {
    const passwd* account = getpwuid(forked::kOther);
    if (geteuid() != 0 || account == nullptr) {
        GTEST_SKIP() << "needs root and an account of uid " << forked::kOther;
    }
    TempDir dir;
    chmod(dir.Path().c_str(), 0755);
    const std::string hive = dir.File("machine.db");
    const uid_t root = 0, user = forked::kOther, other = forked::kVictim;
    const auto define = [&] {
        const std::string services = "System\\CurrentControlSet\\Services\\";
        PutKey(services + "Machine", {{"ImagePath", Sz("/bin/sh -c \"exec sleep 60\"")}});
        PutKey(services + "Users", {{"ImagePath", Sz("/bin/sh -c \"exec sleep 60\"")},
                                    {"ObjectName", Sz(std::string(".\\") + account->pw_name)}});
        return DWORD{0};
    };
    const pid_t bystander = AnotherProcessOf(user);
    const struct {
        const char* what;
        uid_t actor;
        DWORD expected;
        std::function<DWORD()> operation;
    } rows[] = {
        {"root defines the services", root, 0, define},
        {"root starts one", root, 0, [] { return Control("Machine", SERVICE_START, 1); }},
        {"another user sees it run", user, SERVICE_RUNNING, [] { return Control("Machine", SERVICE_QUERY_STATUS, 0); }},
        {"and its process", user, 1, [] { return Control("Machine", SERVICE_QUERY_STATUS, 3); }},
        {"but cannot stop it", user, ERROR_ACCESS_DENIED,
         [] { return Control("Machine", SERVICE_STOP | SERVICE_QUERY_STATUS, 2); }},
        {"a user starts its own account's", user, 0, [] { return Control("Users", SERVICE_START, 1); }},
        {"root sees it run", root, SERVICE_RUNNING, [] { return Control("Users", SERVICE_QUERY_STATUS, 0); }},
        {"a third user cannot stop it", other, ERROR_ACCESS_DENIED,
         [] { return Control("Users", SERVICE_STOP | SERVICE_QUERY_STATUS, 2); }},
        {"nor start another's", other, ERROR_ACCESS_DENIED, [] { return Control("Machine", SERVICE_START, 1); }},
        {"its own user stops it", user, 0, [] { return Control("Users", SERVICE_STOP | SERVICE_QUERY_STATUS, 2); }},
        {"root starts it as its account", root, 0, [] { return Control("Users", SERVICE_START, 1); }},
        {"which runs as that user", user, SERVICE_RUNNING, [] { return Control("Users", SERVICE_QUERY_STATUS, 0); }},
        {"with its groups, not root's", root, 0, [] { return Control("Users", SERVICE_QUERY_STATUS, 4); }},
        {"who may stop it", user, 0, [] { return Control("Users", SERVICE_STOP | SERVICE_QUERY_STATUS, 2); }},
        {"root stops its own", root, 0, [] { return Control("Machine", SERVICE_STOP | SERVICE_QUERY_STATUS, 2); }},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(OnMachine(hive, row.actor, row.expected, row.operation), 0) << row.what;
    }
    // A record of the account's naming a process the manager did not start: a
    // stop sends it nothing.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::ifstream stat("/proc/" + std::to_string(bystander) + "/stat");
    std::string fields((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream rest(fields.substr(fields.rfind(')') + 2));
    std::string field, start, boot;
    for (int i = 3; i <= 22 && rest >> field; ++i) {
        start = field;
    }
    std::ifstream("/proc/sys/kernel/random/boot_id") >> boot;
    WriteFile(hive + ".services/" + std::to_string(user) + "/users.state",
              std::to_string(bystander) + " " + std::to_string(bystander) + " " + start + " " + boot + " 0\n");
    EXPECT_EQ(OnMachine(hive, root, SERVICE_RUNNING, [] { return Control("Users", SERVICE_QUERY_STATUS, 0); }), 0);
    OnMachine(hive, user, 0, [] { return Control("Users", SERVICE_STOP, 2); });
    OnMachine(hive, root, 0, [] { return Control("Users", SERVICE_STOP, 2); });
    int status = 0;
    EXPECT_EQ(waitpid(bystander, &status, WNOHANG), 0) << "the bystander was killed";
    kill(bystander, SIGKILL);
    waitpid(bystander, &status, 0);
}

TEST(ComPosix, CodePageConversionsAreUtf8) {
    const char* text =
        "Gr\xC3\xBC\xC3\x9F"
        "e \xE2\x82\xAC \xF0\x9D\x84\x9E";  // "Grüße € 𝄞"
    const int wideSize = Api().MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    ASSERT_EQ(wideSize, 11);  // 9 characters, one of them a surrogate pair, and the terminator
    std::vector<WCHAR> wide(static_cast<size_t>(wideSize));
    ASSERT_EQ(Api().MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), wideSize), wideSize);
    EXPECT_EQ(wide[8], 0xD834);
    char back[32];
    ASSERT_EQ(Api().WideCharToMultiByte(CP_ACP, 0, wide.data(), -1, back, sizeof back, nullptr, nullptr),
              static_cast<int>(std::strlen(text) + 1));
    EXPECT_STREQ(back, text);

    // Bad bytes are replaced unless the caller asks for an error.
    WCHAR replaced[4] = {};
    ASSERT_EQ(Api().MultiByteToWideChar(CP_ACP, 0,
                                        "a\xFF"
                                        "b",
                                        3, replaced, 4),
              3);
    EXPECT_EQ(replaced[1], 0xFFFD);
}

}  // namespace
