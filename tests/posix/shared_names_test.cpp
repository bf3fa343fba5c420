// Named objects and `qvtr lock` against another user of the same machine: each
// step runs in a child of its own uid under a time limit, so a spin or a hang fails.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "qvtr/sync.h"
#include "win32/api.h"
#include "win32/posix/named_objects.h"

namespace {

constexpr uid_t kVictim = 65534;
constexpr uid_t kOther = 65533;

// Runs `body` as `uid` in a child killed after 10 s; its exit status, or 128 + the signal.
int AsUser(uid_t uid, const std::function<int()>& body, bool exitNormally = false) {
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(10);
        if (setgid(uid) != 0 || setuid(uid) != 0) {
            _exit(90);
        }
        const int code = body();
        exitNormally ? exit(code) : _exit(code);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Creates and owns `name`: 0 when new, 1 when it existed, else 10 + the last error.
int Lock(const std::string& name) {
    HANDLE h = Api().CreateMutexA(nullptr, FALSE, name.c_str());
    const DWORD error = Api().GetLastError();
    if (h == nullptr) {
        return 10 + static_cast<int>(error);
    }
    const DWORD wait = Api().WaitForSingleObject(h, INFINITE);
    return wait == WAIT_OBJECT_0 ? (error == ERROR_ALREADY_EXISTS) : 9;
}

void Plant(const std::string& path, mode_t mode) {
    const int fd = open(path.c_str(), O_RDWR | O_CREAT, mode);
    const std::string garbage(4096, '\xA5');
    (void)!write(fd, garbage.data(), garbage.size());
    fchmod(fd, mode);
    close(fd);
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
    static inline int m_counter = 0;
};

// Whatever another user puts first at the victim's places, the victim's own
// name stays its own, and the other user's file is left alone.
TEST_F(SharedNames, AnotherUsersFilesNeverBecomeTheVictimsObject) {
    const std::string dir = "/dev/shm/qvtr-" + std::to_string(kVictim);
    const struct {
        const char* what;
        std::function<void()> plant;
    } cases[] = {
        {"private object first", [&] { mkdir(dir.c_str(), 0700), Plant(dir + "/" + m_name, 0600); }},
        {"open object first",
         [&] { mkdir(dir.c_str(), 0777), chmod(dir.c_str(), 0777), Plant(dir + "/" + m_name, 0666); }},
        {"link to its directory",
         [&] { mkdir("/dev/shm/qvtr-6553x", 0777), symlink("/dev/shm/qvtr-6553x", dir.c_str()); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        EXPECT_EQ(AsUser(kOther, [&] { return c.plant(), 0; }), 0);
        EXPECT_EQ(AsUser(kVictim,
                         [&] {
                             struct stat info {};
                             const int first = Lock(m_name), second = Lock(m_name);
                             const std::string path = posix::SharedObjectPath(m_name.c_str());
                             stat(path.c_str(), &info);
                             return first * 100 + second * 10 + (info.st_uid != kVictim) +
                                    2 * (path.rfind(dir + "/", 0) == 0);
                         }),
                  10);
    }
}

// Machine-wide names are shared on purpose: a damaged object is repaired or
// refused, and a holder of any uid that dies or leaves never blocks the name.
TEST_F(SharedNames, MachineWideNamesSurviveOtherUsersAndTheirDeaths) {
    const std::string name = "Global\\" + m_name, path = "/dev/shm/qvtr-global-" + m_name;
    EXPECT_EQ(AsUser(kOther, [&] { return Plant(path, 0666), 0; }), 0);
    EXPECT_EQ(AsUser(kVictim, [&] { return Lock(name); }), 0) << "garbage nobody holds is taken over";

    SetUp();
    const std::string held = "/dev/shm/qvtr-global-" + m_name;
    Plant(held, 0666);
    const int fd = open(held.c_str(), O_RDWR);
    struct flock shared {};
    shared.l_type = F_RDLCK, shared.l_len = 1;
    ASSERT_EQ(fcntl(fd, F_OFD_SETLK, &shared), 0);
    EXPECT_EQ(AsUser(kVictim, [&] { return Lock("Global\\" + m_name); }), 10 + ERROR_INVALID_HANDLE)
        << "garbage someone keeps holding is refused, not spun on";
    close(fd);

    SetUp();
    EXPECT_EQ(AsUser(kOther, [&] { return Plant("/dev/shm/qvtr-global-" + m_name, 0600), 0; }), 0);
    EXPECT_EQ(AsUser(kVictim, [&] { return Lock("Global\\" + m_name); }), 10 + ERROR_ACCESS_DENIED);

    // The file is another user's: the last user of the name cannot remove it
    // when it leaves, and later users of any uid still get the name.
    SetUp();
    const std::string global = "Global\\" + m_name;
    auto useOpenly = [&] {
        SECURITY_ATTRIBUTES sa = {sizeof sa, CreateOpenSecurityDescriptor(), FALSE};
        HANDLE h = Api().CreateMutexA(&sa, FALSE, global.c_str());
        return h != nullptr && Api().WaitForSingleObject(h, INFINITE) == WAIT_OBJECT_0 && Api().ReleaseMutex(h) ? 0 : 1;
    };
    EXPECT_EQ(AsUser(kOther, [&] { return Plant("/dev/shm/qvtr-global-" + m_name, 0666), 0; }), 0);
    EXPECT_EQ(AsUser(kVictim, useOpenly, true), 0);
    EXPECT_EQ(AsUser(kVictim, [&] { return Lock(global); }), 0);
    EXPECT_EQ(AsUser(kVictim, [&] { return Lock(global) + (kill(getpid(), SIGKILL), 0); }), 128 + SIGKILL);
    EXPECT_EQ(AsUser(kOther, [&] { return Lock(global); }), 0);
    EXPECT_EQ(AsUser(0, [&] { return Lock(global); }), 0);
}

}  // namespace
