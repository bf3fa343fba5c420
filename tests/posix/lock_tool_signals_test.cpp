// `qvtr lock` holds the mutex exactly as long as its command runs, whatever
// signal ends the tool.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "win32/api.h"

namespace {

const std::string kTool = QVTR_BINARY_DIR "/bin/qvtr";

std::string Read(const std::string& path) {
    std::ifstream in(path);
    std::string text;
    std::getline(in, text);
    return text;
}

// Ended: gone, or a zombie that nobody has reaped yet.
bool Ended(pid_t pid) {
    const std::string stat = Read("/proc/" + std::to_string(pid) + "/stat");
    return stat.empty() || stat.find(") Z") != std::string::npos;
}

TEST(LockToolSignals, TheNextWaiterGetsInOnlyAfterTheCommandHasEnded) {
    if (access(kTool.c_str(), X_OK) != 0) {
        GTEST_SKIP() << "the tool is not built: " << kTool;
    }
    for (int signal : {SIGTERM, SIGKILL}) {
        SCOPED_TRACE(strsignal(signal));
        const std::string dir = testing::TempDir(), tag = std::to_string(getpid()) + "-" + std::to_string(signal);
        const std::string name = "lock-tool-signals-" + tag, pidFile = dir + "cmd-" + tag, endFile = dir + "end-" + tag;
        // The command takes a while to finish after SIGTERM, and says when it has.
        const std::string script = "echo $$ > " + pidFile + "; trap 'sleep 0.3; echo 1 > " + endFile +
                                   "; exit 3' TERM; while :; do sleep 0.05; done";
        const pid_t tool = fork();
        if (tool == 0) {
            execl(kTool.c_str(), "qvtr", "lock", name.c_str(), "--", "sh", "-c", script.c_str(), nullptr);
            _exit(127);
        }
        pid_t command = 0;
        for (int i = 0; i < 1000 && command == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            command = std::atoi(Read(pidFile).c_str());
        }
        ASSERT_GT(command, 0);
        kill(tool, signal);

        HANDLE h = Api().CreateMutexA(nullptr, FALSE, name.c_str());
        const DWORD waited = Api().WaitForSingleObject(h, 10000);
        const bool finished = Read(endFile) == "1";
        EXPECT_TRUE(waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) << waited;
        if (signal == SIGTERM) {
            EXPECT_TRUE(finished) << "the command got the signal and ended before the lock was free";
        } else {
            // The tool cannot hand the lock on when killed: its command is killed with it.
            for (int i = 0; i < 100 && !Ended(command); ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            EXPECT_TRUE(Ended(command)) << "the command outlived the killed tool";
        }
        int status = 0;
        waitpid(tool, &status, 0);
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), signal == SIGTERM ? 3 : 128 + 9);
        kill(command, SIGKILL);
        Api().ReleaseMutex(h);
        Api().CloseHandle(h);
        unlink(pidFile.c_str());
        unlink(endFile.c_str());
    }
}

}  // namespace
