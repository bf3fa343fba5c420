// Named objects against another user of the machine, and `qvtr lock` against
// signals. Each step runs in a child (of its own uid) killed after 10 s, so that
// a spin or a hang fails.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "win32/api.h"
#include "win32/posix/named_objects.h"

namespace {

constexpr uid_t kVictim = 65534, kOther = 65533;

// The exit status, or 128 + the signal that ended the process.
int Reap(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int AsUser(uid_t uid, const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(10);
        exit(setgid(uid) == 0 && setuid(uid) == 0 ? body() : 90);  // exit: the objects' clean-up runs
    }
    return Reap(pid);
}

// Creates and owns `name`: 0 when new, 1 when it existed, 9 when abandoned, else 10 + the error.
int Lock(const std::string& name) {
    HANDLE h = Api().CreateMutexA(nullptr, FALSE, name.c_str());
    const DWORD error = Api().GetLastError();
    return h == nullptr                                              ? 10 + static_cast<int>(error)
           : Api().WaitForSingleObject(h, INFINITE) == WAIT_OBJECT_0 ? error == ERROR_ALREADY_EXISTS
                                                                     : 9;
}

void Plant(const std::string& path, mode_t mode) {
    std::ofstream(path) << std::string(4096, '\xA5');
    chmod(path.c_str(), mode);
}

std::string Read(const std::string& path) {
    std::string text;
    std::getline(std::ifstream(path), text);
    return text;
}

class SharedNames : public testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root to act as two users";
        }
        TearDown();
        m_name = "shared-names-" + std::to_string(getpid()) + "-" + std::to_string(++m_counter);
    }
    void TearDown() override {
        for (const auto& item : std::filesystem::directory_iterator("/dev/shm")) {
            const std::string leaf = item.path().filename();
            if (leaf.rfind("qvtr-6553", 0) == 0 || leaf.rfind("qvtr-global-shared-names", 0) == 0) {
                std::filesystem::remove_all(item.path());
            }
        }
    }
    std::string m_name;
    int m_counter = 0;
};

TEST_F(SharedNames, AnotherUsersFilesNeverBecomeTheVictimsObject) {
    const std::string dir = "/dev/shm/qvtr-" + std::to_string(kVictim);
    const std::function<void()> plants[] = {
        [&] { mkdir(dir.c_str(), 0700), Plant(dir + "/" + m_name, 0600); },
        [&] { mkdir(dir.c_str(), 0777), chmod(dir.c_str(), 0777), Plant(dir + "/" + m_name, 0666); },
        [&] { mkdir("/dev/shm/qvtr-6553x", 0777), symlink("/dev/shm/qvtr-6553x", dir.c_str()); },
    };
    for (const auto& plant : plants) {
        SetUp();
        EXPECT_EQ(AsUser(kOther, [&] { return plant(), 0; }), 0);
        // New, then found again; in a file of the victim's, not where the other put one.
        EXPECT_EQ(AsUser(kVictim,
                         [&] {
                             const int first = Lock(m_name), second = Lock(m_name);
                             const std::string path = posix::SharedObjectPath(m_name.c_str());
                             struct stat info {};
                             return first * 100 + second * 10 + (stat(path.c_str(), &info) || info.st_uid != kVictim) +
                                    2 * (path.rfind(dir + "/", 0) == 0);
                         }),
                  10);
    }
}

// Machine-wide names are shared on purpose: a damaged object is repaired or
// refused, and a holder of any uid that dies or leaves never blocks the name.
TEST_F(SharedNames, MachineWideNamesSurviveOtherUsersAndTheirDeaths) {
    const std::string name = "Global\\" + m_name, path = "/dev/shm/qvtr-global-" + m_name;
    Plant(path, 0666);
    struct flock shared {};
    shared.l_type = F_RDLCK, shared.l_len = 1;
    const int fd = open(path.c_str(), O_RDWR);
    ASSERT_EQ(fcntl(fd, F_OFD_SETLK, &shared), 0);
    EXPECT_EQ(AsUser(kVictim, [&] { return Lock(name); }), 10 + ERROR_INVALID_HANDLE) << "held garbage is refused";
    close(fd);
    unlink(path.c_str());

    // The file is another user's, so the last user of the name cannot remove it.
    EXPECT_EQ(AsUser(kOther, [&] { return Plant(path, 0666), 0; }), 0);
    EXPECT_EQ(AsUser(kVictim, [&] { return Lock(name); }), 0) << "garbage nobody holds is taken over";
    EXPECT_EQ(AsUser(kVictim, [&] { return Lock(name) + (kill(getpid(), SIGKILL), 0); }), 128 + SIGKILL);
    for (uid_t uid : {kOther, kVictim, uid_t(0)}) {
        EXPECT_EQ(AsUser(uid, [&] { return Lock(name); }), 0) << uid;
    }
}

TEST(LockToolSignals, TheNextWaiterGetsInOnlyAfterTheCommandHasEnded) {
    const std::string tool = QVTR_BINARY_DIR "/bin/qvtr", dir = testing::TempDir() + std::to_string(getpid());
    if (access(tool.c_str(), X_OK) != 0) {
        GTEST_SKIP() << "the tool is not built: " << tool;
    }
    for (int signal : {SIGTERM, SIGKILL}) {
        const std::string name = "lock-tool-signals-" + std::to_string(getpid()) + strsignal(signal);
        // After SIGTERM the command takes a while to finish, and says when it has.
        const std::string script = "echo $$ > " + dir + "cmd; trap 'sleep 0.3; echo 1 > " + dir +
                                   "end; exit 3' TERM; while :; do sleep 0.05; done";
        const pid_t pid = fork();
        if (pid == 0) {
            execl(tool.c_str(), "qvtr", "lock", name.c_str(), "--", "sh", "-c", script.c_str(), nullptr);
            _exit(127);
        }
        pid_t command = 0;
        for (int i = 0; i < 1000 && command == 0; ++i, usleep(10000)) {
            command = std::atoi(Read(dir + "cmd").c_str());
        }
        ASSERT_GT(command, 0);
        kill(pid, signal);
        HANDLE h = Api().CreateMutexA(nullptr, FALSE, name.c_str());
        const DWORD waited = Api().WaitForSingleObject(h, 10000);
        const bool finished = Read(dir + "end") == "1";
        EXPECT_TRUE(waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) << strsignal(signal);
        // A killed tool cannot hand the lock on, so its command dies with it, at once.
        const std::string proc = "/proc/" + std::to_string(command) + "/stat";
        for (int i = 0; i < 100 && Read(proc).find(") Z") == std::string::npos && !Read(proc).empty(); ++i) {
            usleep(10000);
        }
        EXPECT_TRUE(signal == SIGKILL ? Read(proc).find(") Z") != std::string::npos || Read(proc).empty() : finished);
        EXPECT_EQ(Reap(pid), signal == SIGTERM ? 3 : 128 + SIGKILL) << strsignal(signal);
        kill(command, SIGKILL);
        Api().CloseHandle(h);
        unlink((dir + "cmd").c_str());
        unlink((dir + "end").c_str());
    }
}

}  // namespace
