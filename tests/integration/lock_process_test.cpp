// Scoped locks across processes: a holder that is killed, many processes
// counting under one lock, and `qvtr lock` running a command under a mutex.
// The test program runs itself again as the other processes (see ChildRole).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

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
constexpr int kIncrements = 2000;

std::string Role() {
    return ChildRole() ? ChildRole() : "";
}
std::string Env(const char* name) {
    return std::getenv(name) ? std::getenv(name) : "";
}

std::string UniqueName(const char* what) {
    return std::string("qvtr-process-test-") + what + "-" + std::to_string(Api().GetCurrentProcessId());
}

bool AwaitFile(const std::string& path, int seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!FileExists(path)) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// What the child processes do, chosen by their role; each ends the process itself.
void RunRole(const std::string& role) {
    const std::string name = Env("QVTR_LOCK_NAME");
    const std::string dir = Env("QVTR_LOCK_DIR");
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
        for (int i = 0; i < kIncrements; ++i) {
            CCriticalSectionAuto lock(name.c_str());
            const int count = std::atoi(ReadFile(dir + "count").c_str());
            WriteFile(dir + "count", std::to_string(count + 1));
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
        if (!Role().empty()) {
            RunRole(Role());
        }
        // Only the test's own process makes these; its children find them in the environment.
        m_dir = std::make_unique<TempDir>();
        m_name = UniqueName(::testing::UnitTest::GetInstance()->current_test_info()->name());
        m_nameEnv = std::make_unique<ScopedEnv>("QVTR_LOCK_NAME", m_name.c_str());
        m_dirEnv = std::make_unique<ScopedEnv>("QVTR_LOCK_DIR", m_dir->Path().c_str());
    }

    std::string File(const char* name) const { return m_dir->File(name); }

    // A child running `test` of this program in `role`.
    std::unique_ptr<Child> Start(const char* role, const std::string& test) {
        ScopedEnv roleEnv("QVTR_CHILD_ROLE", role);
        return std::make_unique<Child>(SelfPath(), ChildArgs("LockProcess." + test));
    }

    std::unique_ptr<TempDir> m_dir;
    std::string m_name;
    std::unique_ptr<ScopedEnv> m_nameEnv;
    std::unique_ptr<ScopedEnv> m_dirEnv;
};

TEST_F(LockProcess, AWaiterProceedsWhenTheHolderIsKilled) {
    auto holder = Start("holder", "AWaiterProceedsWhenTheHolderIsKilled");
    ASSERT_TRUE(AwaitFile(File("held"), 60));
    auto waiter = Start("waiter", "AWaiterProceedsWhenTheHolderIsKilled");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(FileExists(File("acquired"))) << "the waiter got in while the holder lived";

    holder->Kill();
    holder->Wait();
    ASSERT_TRUE(AwaitFile(File("acquired"), 60));
    EXPECT_EQ(waiter->Wait(), 0);
    EXPECT_EQ(ReadFile(File("acquired")), "1");
    // A killed holder lets go of the mutex before its files, so the waiter may
    // have ended before it could clear the name; this process clears it at exit.
    Api().CloseHandle(Api().CreateMutexA(nullptr, FALSE, m_name.c_str()));
}

TEST_F(LockProcess, ProcessesCountingUnderTheLockLoseNoIncrement) {
    WriteFile(File("count"), "0");
    std::vector<std::unique_ptr<Child>> counters;
    for (int i = 0; i < kProcesses; ++i) {
        counters.push_back(Start("counter", "ProcessesCountingUnderTheLockLoseNoIncrement"));
    }
    for (auto& counter : counters) {
        EXPECT_EQ(counter->Wait(), 0);
    }
    EXPECT_EQ(ReadFile(File("count")), std::to_string(kProcesses * kIncrements));
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

    int RunTool(std::vector<std::string> args, const char* role, const std::string& test) {
        ScopedEnv roleEnv("QVTR_CHILD_ROLE", role);
        if (role != nullptr) {
            args.push_back(SelfPath());
            args.push_back(ChildArgs("LockTool." + test)[0]);
        }
        Child tool(ToolPath(), args);
        return tool.Wait();
    }
};

TEST_F(LockTool, RunsTheCommandHoldingTheMutexAndGivesItsStatus) {
    EXPECT_EQ(RunTool({"lock", m_name, "--"}, "probe", "RunsTheCommandHoldingTheMutexAndGivesItsStatus"), 7);
    EXPECT_EQ(RunTool({"lock", "--verbose", m_name}, "probe", "RunsTheCommandHoldingTheMutexAndGivesItsStatus"), 7)
        << "-- is optional";
}

TEST_F(LockTool, ANameOfAnotherKindIsRefusedWithoutRunningTheCommand) {
    HANDLE event = Api().CreateEventA(nullptr, TRUE, FALSE, m_name.c_str());
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(RunTool({"lock", m_name, "--"}, "probe", "ANameOfAnotherKindIsRefusedWithoutRunningTheCommand"), 2);
    EXPECT_FALSE(FileExists(File("probed")));
    Api().CloseHandle(event);
}

TEST_F(LockTool, BadUsageAndACommandThatCannotStart) {
    EXPECT_EQ(RunTool({"lock"}, nullptr, ""), 2);
    EXPECT_EQ(RunTool({"lock", m_name}, nullptr, ""), 2);
    EXPECT_EQ(RunTool({"lock", "--bogus", m_name, "--", "x"}, nullptr, ""), 2);
    EXPECT_EQ(RunTool({"lock", m_name, "--", File("no-such-program")}, nullptr, ""), 127);
}

}  // namespace
