// The POSIX backend's named mutexes and events: Win32 results and errors, the
// shared-memory objects behind them, and how they behave across processes and
// against another user of the machine.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "posix/forked.h"
#include "qvtr/sync.h"
#include "support/support.h"
#include "support/syscall_faults.h"
#include "win32/api.h"
#include "win32/posix/named_objects.h"
#include "win32/posix/syscalls.h"

using testing_support::Child;
using testing_support::ChildArgs;
using testing_support::ChildRole;
using testing_support::FileExists;
using testing_support::ScopedEnv;
using testing_support::SelfPath;

namespace {

std::string UniqueName(const char* what) {
    static int counter = 0;
    // Ended by a dash, so that no name is the start of another (a test finds its file in /proc/self/maps).
    return std::string("qvtr-named-test-") + what + "-" + std::to_string(getpid()) + "-" + std::to_string(++counter) +
           "-";
}

std::string PathOf(const std::string& name) {
    return posix::SharedObjectPath(name.c_str());
}

// Opens the mutex `name` and reports the last error it gave, closing it again.
DWORD OpenError(const std::string& name) {
    HANDLE h = Api().CreateMutexA(nullptr, FALSE, name.c_str());
    const DWORD error = Api().GetLastError();
    if (h != nullptr) {
        Api().CloseHandle(h);
    }
    return error;
}

// Waits in a thread of its own, so the caller's ownership does not count.
DWORD WaitElsewhere(HANDLE h, DWORD ms) {
    DWORD result = 0;
    std::thread([&] { result = Api().WaitForSingleObject(h, ms); }).join();
    return result;
}

// Each name is created while all the others are held: every one must be a new
// object (case matters, Global\ is its own space, odd characters are escaped),
// and a second open of any of them finds it.
TEST(NamedMutex, EachNameIsItsOwnObjectCreatedOnceAndOpenedAfter) {
    const std::string base = UniqueName("names");
    const std::string names[] = {base,          "X" + base,        "Global\\" + base, base + "\\a/b",
                                 base + "_a_b", base + "%5Ca%2Fb", base + " a b",     base + "\xE9"};
    std::vector<HANDLE> handles;
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        handles.push_back(Api().CreateMutexA(nullptr, FALSE, name.c_str()));
        ASSERT_NE(handles.back(), nullptr);
        EXPECT_EQ(Api().GetLastError(), 0u);
        const std::string space = name.compare(0, 7, "Global\\") == 0 ? "Global\\x" : "x";
        EXPECT_EQ(PathOf(name).rfind('/'), PathOf(space).rfind('/')) << "one file directly in its space's directory";
        EXPECT_EQ(OpenError(name), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    }
    EXPECT_EQ(OpenError("Local\\" + base), static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << "the user's space";
    EXPECT_NE(PathOf("Global\\" + base).find("/qvtr-global-"), std::string::npos);
    for (HANDLE h : handles) {
        Api().CloseHandle(h);
    }
    EXPECT_EQ(Api().CreateMutexA(nullptr, FALSE, std::string(300, 'n').c_str()), nullptr);
    EXPECT_EQ(Api().GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
}

// Ownership belongs to a thread: it nests, only its owner releases it, other
// threads time out, and a thread that ends owning it leaves it abandoned. An
// unnamed mutex is one of its own, and a mutex is no event.
TEST(NamedMutex, OwnershipBelongsToOneThread) {
    const std::string name = UniqueName("owner");
    HANDLE h = Api().CreateMutexA(nullptr, TRUE, name.c_str());  // created: owned at once
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(Api().CreateEventA(nullptr, FALSE, FALSE, name.c_str()), nullptr);
    EXPECT_EQ(Api().GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(Api().SetEvent(h));
    EXPECT_EQ(Api().WaitForSingleObject(h, 0), static_cast<DWORD>(WAIT_OBJECT_0)) << "recursive for the owner";
    BOOL releasedElsewhere = TRUE;
    DWORD errorElsewhere = 0;
    std::thread([&] {
        releasedElsewhere = Api().ReleaseMutex(h);
        errorElsewhere = Api().GetLastError();
    }).join();
    EXPECT_FALSE(releasedElsewhere);
    EXPECT_EQ(errorElsewhere, static_cast<DWORD>(ERROR_NOT_OWNER));
    for (const char* unnamed : {static_cast<const char*>(nullptr), ""}) {
        HANDLE other = Api().CreateMutexA(nullptr, FALSE, unnamed);
        EXPECT_EQ(Api().GetLastError(), 0u);
        EXPECT_EQ(WaitElsewhere(other, 0), static_cast<DWORD>(WAIT_OBJECT_0));
        Api().CloseHandle(other);
    }

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitElsewhere(h, 150), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(140));
    EXPECT_TRUE(Api().ReleaseMutex(h));
    EXPECT_EQ(WaitElsewhere(h, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "still owned once";
    EXPECT_TRUE(Api().ReleaseMutex(h));
    EXPECT_FALSE(Api().ReleaseMutex(h));
    EXPECT_EQ(Api().GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));

    EXPECT_EQ(WaitElsewhere(h, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(Api().WaitForSingleObject(h, 1000), static_cast<DWORD>(WAIT_ABANDONED)) << "its owner ended";
    EXPECT_TRUE(Api().ReleaseMutex(h)) << "the abandoned mutex is owned now";
    EXPECT_EQ(WaitElsewhere(h, 1000), static_cast<DWORD>(WAIT_OBJECT_0)) << "and whole again";
    Api().CloseHandle(h);
}

// A manual event stays signalled and lives while any handle to it does, and
// is no mutex; an automatic one is reset by the wake it gives.
TEST(NamedEvent, ManualAndAutoResetAndTheLastHandle) {
    const std::string name = UniqueName("manual");
    HANDLE manual = Api().CreateEventA(nullptr, TRUE, TRUE, name.c_str());
    HANDLE second = Api().CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    EXPECT_EQ(Api().GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    Api().CloseHandle(manual);
    EXPECT_FALSE(Api().ReleaseMutex(second));
    EXPECT_EQ(Api().WaitForSingleObject(second, 0), static_cast<DWORD>(WAIT_OBJECT_0)) << "one handle keeps it";
    EXPECT_EQ(Api().WaitForSingleObject(second, 0), static_cast<DWORD>(WAIT_OBJECT_0)) << "stays signalled";
    Api().CloseHandle(second);
    HANDLE fresh = Api().CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    EXPECT_EQ(Api().GetLastError(), 0u);
    EXPECT_EQ(Api().WaitForSingleObject(fresh, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "a new object, not signalled";
    Api().CloseHandle(fresh);
    EXPECT_EQ(OpenError(name), 0u) << "with its last handle the name is free for any kind";

    HANDLE automatic = Api().CreateEventA(nullptr, FALSE, FALSE, UniqueName("auto").c_str());
    ASSERT_NE(automatic, nullptr);
    EXPECT_EQ(Api().WaitForSingleObject(automatic, 50), static_cast<DWORD>(WAIT_TIMEOUT));
    DWORD woken = WAIT_FAILED;
    std::thread waiter([&] { woken = Api().WaitForSingleObject(automatic, INFINITE); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(Api().SetEvent(automatic));
    waiter.join();
    EXPECT_EQ(woken, static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(Api().WaitForSingleObject(automatic, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the wake reset it";
    Api().CloseHandle(automatic);
}

// A process that exits takes the shared-memory file of a name it alone used
// with it, and the name is free again.
TEST(NamedObjects, ANameIsFreeAgainWhenItsProcessHasExited) {
    if (ChildRole() != nullptr) {
        std::exit(Api().CreateMutexA(nullptr, FALSE, std::getenv("QVTR_TEST_MUTEX")) != nullptr ? 0 : 1);
    }
    const std::string name = UniqueName("exit");
    ScopedEnv role("QVTR_CHILD_ROLE", "exit");
    ScopedEnv mutexName("QVTR_TEST_MUTEX", name.c_str());
    EXPECT_EQ(Child(SelfPath(), ChildArgs("NamedObjects.ANameIsFreeAgainWhenItsProcessHasExited")).Wait(), 0);
    EXPECT_FALSE(FileExists(PathOf(name)));
    EXPECT_EQ(OpenError(name), 0u);
}

// The last holder of a name removes it as it lets go, maybe just as another
// process opens the file: the opener makes the name again instead of failing.
TEST(NamedObjects, ANameRemovedAsItIsOpenedIsMadeAgain) {
    static std::string s_path;
    static bool s_removed;
    const std::string name = UniqueName("gone");
    s_path = PathOf(name);
    s_removed = false;
    HANDLE h = nullptr;
    {
        testing_support::SyscallEntryOverride<&posix::Syscalls::fstat> removing([](int fd, struct stat* info) {
            s_removed = s_removed || unlink(s_path.c_str()) == 0;
            return posix::RealSyscalls().fstat(fd, info);
        });
        h = Api().CreateMutexA(nullptr, FALSE, name.c_str());
    }
    EXPECT_TRUE(s_removed);
    EXPECT_NE(h, nullptr);
    EXPECT_TRUE(FileExists(s_path));
    Api().CloseHandle(h);
}

// A process maps a name once, however many handles it has, and keeps the
// mapping of an unused name for the next use; beyond that cache of unused
// mappings, the oldest name's file goes.
TEST(NamedObjects, OneMappingPerNameAndABoundedCacheOfUnusedOnes) {
    const std::string first = UniqueName("cache");
    auto mappings = [path = PathOf(first)] {
        std::ifstream maps("/proc/self/maps");
        int count = 0;
        for (std::string line; std::getline(maps, line);) {
            count += line.find(path) != std::string::npos;
        }
        return count;
    };
    for (int round = 0; round < 2; ++round) {
        std::vector<HANDLE> handles(5);
        for (HANDLE& h : handles) {
            h = Api().CreateMutexA(nullptr, FALSE, first.c_str());
        }
        EXPECT_EQ(mappings(), 1);
        for (HANDLE h : handles) {
            Api().CloseHandle(h);
        }
        EXPECT_TRUE(FileExists(PathOf(first))) << "kept for the next use";
    }
    for (int i = 0; i < 40; ++i) {
        Api().CloseHandle(Api().CreateMutexA(nullptr, FALSE, UniqueName("cache").c_str()));
    }
    EXPECT_FALSE(FileExists(PathOf(first)));
    EXPECT_EQ(mappings(), 0);
}

// Only a descriptor whose DACL is present and null opens the file to all; the
// descriptor calls take only revision 1 and record a DACL taken away again.
TEST(NamedObjects, FilesArePrivateUnlessTheOpenDescriptorIsGiven) {
    const mode_t oldMask = umask(022);
    SECURITY_DESCRIPTOR realDacl{}, open{}, removed{};
    ACL acl{};
    EXPECT_FALSE(Api().InitializeSecurityDescriptor(&realDacl, 2));
    EXPECT_EQ(Api().GetLastError(), 1305u);  // ERROR_UNKNOWN_REVISION
    EXPECT_FALSE(Api().SetSecurityDescriptorDacl(&realDacl, TRUE, &acl, FALSE)) << "not initialised";
    for (SECURITY_DESCRIPTOR* descriptor : {&realDacl, &open, &removed}) {
        ASSERT_TRUE(Api().InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION));
    }
    Api().SetSecurityDescriptorDacl(&realDacl, TRUE, &acl, FALSE);
    Api().SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE);
    Api().SetSecurityDescriptorDacl(&removed, TRUE, nullptr, TRUE);
    Api().SetSecurityDescriptorDacl(&removed, FALSE, nullptr, FALSE);
    SECURITY_ATTRIBUTES withRealDacl{sizeof(SECURITY_ATTRIBUTES), &realDacl, FALSE};
    SECURITY_ATTRIBUTES openToAll{sizeof(SECURITY_ATTRIBUTES), &open, FALSE};
    SECURITY_ATTRIBUTES withRemoved{sizeof(SECURITY_ATTRIBUTES), &removed, FALSE};
    struct Case {
        const char* what;
        LPSECURITY_ATTRIBUTES attributes;
        const char* prefix;
        mode_t mode;
    } cases[] = {
        {"default", nullptr, "", 0600},
        {"a real DACL", &withRealDacl, "", 0600},
        {"open descriptor", &openToAll, "", 0666},
        {"DACL removed", &withRemoved, "", 0600},
        {"global default", nullptr, "Global\\", 0600},
        {"global open", &openToAll, "Global\\", 0666},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string name = c.prefix + UniqueName("mode");
        HANDLE h = Api().CreateMutexA(c.attributes, FALSE, name.c_str());
        ASSERT_NE(h, nullptr);
        struct stat info {};
        ASSERT_EQ(stat(PathOf(name).c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, c.mode);
        Api().CloseHandle(h);
    }
    umask(oldMask);
}

// ---- against another user of the machine ------------------------------------------

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

// Each step runs in a child of its own uid, killed after 10 s, so that a spin or
// a hang fails.
class SharedNames : public testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root to act as two users";
        }
        TearDown();
        m_name = UniqueName("shared");
    }
    void TearDown() override {
        for (const auto& item : std::filesystem::directory_iterator("/dev/shm")) {
            const std::string leaf = item.path().filename();
            if (leaf.rfind(m_victimDir, 0) == 0 || leaf.rfind("qvtr-global-qvtr-named-test-shared-", 0) == 0) {
                std::filesystem::remove_all(item.path());
            }
        }
    }
    const std::string m_victimDir = "qvtr-" + std::to_string(forked::kVictim);
    std::string m_name;
};

TEST_F(SharedNames, AnotherUsersFilesNeverBecomeTheVictimsObject) {
    const std::string dir = "/dev/shm/" + m_victimDir;
    const std::function<void()> plants[] = {
        [&] { mkdir(dir.c_str(), 0700), Plant(dir + "/" + m_name, 0600); },
        [&] { mkdir(dir.c_str(), 0777), chmod(dir.c_str(), 0777), Plant(dir + "/" + m_name, 0666); },
        [&] { mkdir((dir + "x").c_str(), 0777), symlink((dir + "x").c_str(), dir.c_str()); },
    };
    for (const auto& plant : plants) {
        SetUp();
        EXPECT_EQ(forked::Run([&] { return plant(), 0; }, forked::kOther), 0);
        // New, then found again; in a file of the victim's, not where the other put one.
        EXPECT_EQ(forked::Run(
                      [&] {
                          const int first = Lock(m_name), second = Lock(m_name);
                          const std::string path = PathOf(m_name);
                          struct stat info {};
                          return first * 100 + second * 10 +
                                 (stat(path.c_str(), &info) || info.st_uid != forked::kVictim) +
                                 2 * (path.rfind(dir + "/", 0) == 0);
                      },
                      forked::kVictim),
                  10);
    }
}

// Another user took the first name and freed it later; a process of the user
// that could not look (no descriptors left) made nothing; the next process
// must find the holder's object, never a second one.
TEST_F(SharedNames, EveryProcessOfAUserFindsTheSameObjects) {
    const std::string base = "/dev/shm/" + m_victimDir;
    EXPECT_EQ(forked::Run([&] { return mkdir(base.c_str(), 0700); }, forked::kOther), 0);
    forked::Host holder([&](const std::string&) { return std::to_string(Lock(m_name)); }, forked::kVictim);
    ASSERT_EQ(holder.Ask("hold"), "0");
    rmdir(base.c_str());
    const auto starved = [&] {
        const rlimit few = {3, 3};  // standard streams only
        return setrlimit(RLIMIT_NOFILE, &few) == 0 && Api().CreateMutexA(nullptr, FALSE, "other") == nullptr ? 0 : 1;
    };
    EXPECT_EQ(forked::Run(starved, forked::kVictim), 0);
    struct stat info {};
    EXPECT_NE(lstat(base.c_str(), &info), 0) << "made by a process that could not look";
    EXPECT_EQ(forked::Run(
                  [&] {
                      HANDLE h = Api().CreateMutexA(nullptr, FALSE, m_name.c_str());
                      const DWORD existed = Api().GetLastError();
                      return h != nullptr && existed == ERROR_ALREADY_EXISTS &&
                                     Api().WaitForSingleObject(h, 0) == WAIT_TIMEOUT
                                 ? 0
                                 : 1;
                  },
                  forked::kVictim),
              0);
}

// Machine-wide names are shared on purpose: a damaged object is repaired or
// refused, and a holder of any uid that dies or leaves never blocks the name.
TEST_F(SharedNames, MachineWideNamesSurviveOtherUsersAndTheirDeaths) {
    const std::string name = "Global\\" + m_name, path = PathOf(name);
    Plant(path, 0666);
    struct flock shared {};
    shared.l_type = F_RDLCK, shared.l_len = 1;
    const int fd = open(path.c_str(), O_RDWR);
    ASSERT_EQ(fcntl(fd, F_OFD_SETLK, &shared), 0);
    EXPECT_EQ(forked::Run([&] { return Lock(name); }, forked::kVictim), 10 + ERROR_INVALID_HANDLE)
        << "held garbage is refused";
    close(fd);
    unlink(path.c_str());

    // The file is another user's, so the last user of the name cannot remove it.
    EXPECT_EQ(forked::Run([&] { return Plant(path, 0666), 0; }, forked::kOther), 0);
    EXPECT_EQ(forked::Run([&] { return Lock(name); }, forked::kVictim), 0) << "garbage nobody holds is taken over";
    EXPECT_EQ(forked::Run([&] { return Lock(name) + (kill(getpid(), SIGKILL), 0); }, forked::kVictim), 128 + SIGKILL);
    for (uid_t uid : {forked::kOther, forked::kVictim, uid_t(0)}) {
        EXPECT_EQ(forked::Run([&] { return Lock(name); }, uid), 0) << uid;
    }
}

}  // namespace
