// Scoped locks across processes: a holder that is killed, many processes
// counting under locks, and `qvtr lock` running a command under a mutex.
// The test program runs itself again as the other processes (see ChildRole).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "qvtr/sync.h"
#include "support/support.h"
#include "win32/api.h"

using testing_support::Child;
using testing_support::ChildArgs;
using testing_support::ChildRole;
using testing_support::FileExists;
using testing_support::PlatformPath;
using testing_support::ReadFile;
using testing_support::ScopedEnv;
using testing_support::SelfPath;
using testing_support::TempDir;
using testing_support::WriteFile;

namespace {

constexpr int kProcesses = 4;
constexpr int kNames = 20;  // more than a process keeps mapped: names go and are made again all the time
constexpr int kRounds = 15;

bool AwaitFile(const std::string& path) {
    for (int i = 0; i < 6000 && !FileExists(path); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return FileExists(path);
}

// "Suite.Test" of the running test, which a child runs again in its role.
std::string ThisTest() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string(info->test_suite_name()) + "." + info->name();
}

// What the child processes do, chosen by their role; each ends the process itself.
void RunRole(const std::string& role) {
    const std::string name = std::getenv("QVTR_LOCK_NAME");
    const std::string dir = std::getenv("QVTR_LOCK_DIR");
    if (role == "holder") {
        CCriticalSectionAuto lock(name.c_str());
        WriteFile(dir + "held", "1");
        for (;;) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
    }
    if (role == "waiter") {
        CCriticalSectionAuto lock(name.c_str());
        WriteFile(dir + "acquired", lock.m_hMutex ? "1" : "0");
        std::exit(0);
    }
    if (role == "counter") {
        for (int i = 0; i < kRounds * kNames; ++i) {
            const std::string index = std::to_string(i % kNames);
            CCriticalSectionAuto lock((name + "-" + index).c_str());
            if (lock.m_hMutex == nullptr) {
                std::exit(3);  // an empty lock would let the count go wrong by chance only
            }
            WriteFile(dir + index, std::to_string(std::atoi(ReadFile(dir + index).c_str()) + 1));
        }
        std::exit(0);
    }
    if (role == "probe") {
        // Run by `qvtr lock`: the mutex must be busy, since the tool holds it.
        HANDLE mutex = Api().CreateMutexA(nullptr, FALSE, name.c_str());
        const DWORD result = Api().WaitForSingleObject(mutex, 0);
        WriteFile(dir + "probed", "1");
        std::exit(result == WAIT_TIMEOUT ? 7 : 8);
    }
    std::exit(99);
}

class LockProcess : public ::testing::Test {
protected:
    void SetUp() override {
        if (ChildRole() != nullptr) {
            RunRole(ChildRole());
        }
        // Only the test's own process makes these; its children find them in the environment.
        m_dir = std::make_unique<TempDir>();
        m_name = "qvtr-process-test-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                 "-" + std::to_string(Api().GetCurrentProcessId());
        m_nameEnv = std::make_unique<ScopedEnv>("QVTR_LOCK_NAME", m_name.c_str());
        m_dirEnv = std::make_unique<ScopedEnv>("QVTR_LOCK_DIR", m_dir->Path().c_str());
    }

    std::string File(const char* name) const { return m_dir->File(name); }

    // A child running this test of this program in `role`.
    static std::unique_ptr<Child> Start(const char* role) {
        ScopedEnv roleEnv("QVTR_CHILD_ROLE", role);
        return std::make_unique<Child>(SelfPath(), ChildArgs(ThisTest()));
    }

    std::unique_ptr<TempDir> m_dir;
    std::string m_name;
    std::unique_ptr<ScopedEnv> m_nameEnv;
    std::unique_ptr<ScopedEnv> m_dirEnv;
};

TEST_F(LockProcess, AWaiterProceedsWhenTheHolderIsKilled) {
    auto holder = Start("holder");
    ASSERT_TRUE(AwaitFile(File("held")));
    auto waiter = Start("waiter");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(FileExists(File("acquired"))) << "the waiter got in while the holder lived";
    Api().CloseHandle(Api().CreateMutexA(nullptr, FALSE, m_name.c_str()));
    EXPECT_EQ(Api().GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << "held by another process";

    holder->Kill();
    holder->Wait();
    EXPECT_EQ(waiter->Wait(), 0);
    EXPECT_EQ(ReadFile(File("acquired")), "1");
    // A killed holder lets go of the mutex before its files, so the waiter may
    // have ended before it could clear the name; this process clears it at exit.
    Api().CloseHandle(Api().CreateMutexA(nullptr, FALSE, m_name.c_str()));
}

// Under contention, and while names are removed and created again: two
// processes must never hold different objects under one name.
TEST_F(LockProcess, ProcessesCountingUnderTheLocksLoseNoIncrement) {
    std::vector<std::unique_ptr<Child>> counters;
    for (int i = 0; i < kProcesses; ++i) {
        counters.push_back(Start("counter"));
    }
    for (auto& counter : counters) {
        EXPECT_EQ(counter->Wait(), 0);
    }
    for (int i = 0; i < kNames; ++i) {
        EXPECT_EQ(ReadFile(File(std::to_string(i).c_str())), std::to_string(kProcesses * kRounds)) << "name " << i;
    }
}

// ---- qvtr lock ----------------------------------------------------------------------

std::string ToolPath() {
#if defined(_WIN32)
    return PlatformPath(QVTR_BINARY_DIR "/bin/qvtr.exe");
#else
    return QVTR_BINARY_DIR "/bin/qvtr";
#endif
}

class LockTool : public LockProcess {
protected:
    void SetUp() override {
        LockProcess::SetUp();
        if (!FileExists(ToolPath())) {
            GTEST_SKIP() << "the tool is not built: " << ToolPath();
        }
    }

    // Runs the tool; with a role, its command is this test program in that role.
    static int RunTool(std::vector<std::string> args, const char* role = nullptr) {
        ScopedEnv roleEnv("QVTR_CHILD_ROLE", role);
        if (role != nullptr) {
            args.push_back(SelfPath());
            args.push_back(ChildArgs(ThisTest())[0]);
        }
        Child tool(ToolPath(), args);
        return tool.Wait();
    }
};

TEST_F(LockTool, RunsTheCommandHoldingTheMutexOrSaysWhyNot) {
    HANDLE event = Api().CreateEventA(nullptr, TRUE, FALSE, m_name.c_str());
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(RunTool({"lock", m_name, "--"}, "probe"), 2) << "the name of an event";
    EXPECT_FALSE(FileExists(File("probed")));
    Api().CloseHandle(event);

    EXPECT_EQ(RunTool({"lock", m_name, "--"}, "probe"), 7);
    EXPECT_EQ(RunTool({"lock", "--verbose", m_name}, "probe"), 7) << "-- is optional";
    EXPECT_EQ(RunTool({"lock"}), 2);
    EXPECT_EQ(RunTool({"lock", m_name}), 2);
    EXPECT_EQ(RunTool({"lock", "--bogus", m_name, "--", "x"}), 2);
    EXPECT_EQ(RunTool({"lock", "-w"}), 2) << "-w without its SECONDS";
    EXPECT_EQ(RunTool({"lock", m_name, "--", File("no-such-program")}), 127);
    // Held here: -n fails at once, -w after its time; the command is not run.
    HANDLE held = Api().CreateMutexA(nullptr, FALSE, m_name.c_str());
    ASSERT_EQ(Api().WaitForSingleObject(held, 0), WAIT_OBJECT_0);
    EXPECT_EQ(RunTool({"lock", "-n", m_name, "--"}, "probe"), 1);
    EXPECT_EQ(RunTool({"lock", "-w", "1", m_name, "--"}, "probe"), 1);
    EXPECT_EQ(RunTool({"lock", "-w", "x", m_name, "--"}, "probe"), 2);
    Api().ReleaseMutex(held);
    Api().CloseHandle(held);
    EXPECT_EQ(RunTool({"lock", "-w", "5", m_name, "--"}, "probe"), 7);
}

#if !defined(_WIN32)
// A holder that dies while the tool waits: the tool owns the mutex, and says so.
TEST_F(LockTool, AnAbandonedMutexIsReportedWhenTheWaitEndsWithIt) {
    const pid_t holder = fork();
    if (holder == 0) {
        HANDLE h = Api().CreateMutexA(nullptr, FALSE, m_name.c_str());
        Api().WaitForSingleObject(h, INFINITE);
        WriteFile(File("held"), "1");
        pause();
        _exit(0);
    }
    ASSERT_TRUE(AwaitFile(File("held")));
    Child waiter("/bin/sh", {"-c", ToolPath() + " lock -v -w 20 '" + m_name + "' -- true 2>" + File("err")});
    for (int i = 0; i < 500 && ReadFile(File("err")).find("waiting") == std::string::npos; ++i) {
        usleep(10000);
    }
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_EQ(waiter.Wait(), 0);
    for (const std::string& line : {"owns " + m_name + " (its previous holder ended without releasing it)",
                                    "true ended with status 0; releasing " + m_name}) {
        EXPECT_NE(ReadFile(File("err")).find(line), std::string::npos) << ReadFile(File("err"));
    }
}

// A signal for the tool is passed on, and the next waiter gets in only after the
// command has ended; a killed tool cannot hand the lock on, so its command dies
// with it, at once.
TEST_F(LockTool, TheNextWaiterGetsInOnlyAfterTheCommandHasEnded) {
    for (int signal : {SIGTERM, SIGKILL}) {
        SCOPED_TRACE(strsignal(signal));
        const std::string name = m_name + "-" + std::to_string(signal);
        const std::string cmd = File("cmd") + std::to_string(signal), end = File("end") + std::to_string(signal);
        // After SIGTERM the command takes a while to finish, and says when it has.
        const std::string script = "echo $$ > " + cmd + "~; mv " + cmd + "~ " + cmd + "; trap 'sleep 0.3; echo 1 > " +
                                   end + "; exit 3' TERM; while :; do sleep 0.05; done";
        Child tool(ToolPath(), {"lock", name, "--", "sh", "-c", script});
        ASSERT_TRUE(AwaitFile(cmd));
        const pid_t command = std::atoi(ReadFile(cmd).c_str());
        kill(static_cast<pid_t>(tool.Pid()), signal);
        HANDLE h = Api().CreateMutexA(nullptr, FALSE, name.c_str());
        const DWORD waited = Api().WaitForSingleObject(h, 10000);
        const bool finished = ReadFile(end) == "1\n";
        EXPECT_TRUE(waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED);
        const std::string proc = "/proc/" + std::to_string(command) + "/stat";
        for (int i = 0; i < 100 && ReadFile(proc).find(") Z") == std::string::npos && !ReadFile(proc).empty(); ++i) {
            usleep(10000);
        }
        EXPECT_TRUE(signal == SIGKILL ? ReadFile(proc).find(") Z") != std::string::npos || ReadFile(proc).empty()
                                      : finished);
        EXPECT_EQ(tool.Wait(), signal == SIGTERM ? 3 : 128 + SIGKILL);
        kill(command, SIGKILL);
        Api().CloseHandle(h);
    }
}
#endif

}  // namespace
