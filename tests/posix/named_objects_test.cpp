// The POSIX backend's named mutexes and events: Win32 results and errors, the
// shared-memory objects behind them, and how they behave across processes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "qvtr/sync.h"
#include "support/support.h"
#include "win32/api.h"
#include "win32/posix/named_objects.h"

using testing_support::Child;
using testing_support::ChildArgs;
using testing_support::ChildRole;
using testing_support::ScopedEnv;
using testing_support::SelfPath;

namespace {

std::string UniqueName(const char* what) {
    static int counter = 0;
    return std::string("qvtr-named-test-") + what + "-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
}

std::string PathOf(const std::string& name) {
    return posix::SharedObjectPath(name.c_str());
}

bool Exists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
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

// Polls for `path` until it exists or `seconds` pass.
bool AwaitFile(const std::string& path, int seconds) {
    for (int i = 0; i < seconds * 100; ++i) {
        if (Exists(path)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
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
// threads time out, and a thread that ends owning it leaves it abandoned.
TEST(NamedMutex, OwnershipBelongsToOneThread) {
    HANDLE h = Api().CreateMutexA(nullptr, TRUE, UniqueName("owner").c_str());  // created: owned at once
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(Api().WaitForSingleObject(h, 0), static_cast<DWORD>(WAIT_OBJECT_0)) << "recursive for the owner";
    BOOL releasedElsewhere = TRUE;
    DWORD errorElsewhere = 0;
    std::thread([&] {
        releasedElsewhere = Api().ReleaseMutex(h);
        errorElsewhere = Api().GetLastError();
    }).join();
    EXPECT_FALSE(releasedElsewhere);
    EXPECT_EQ(errorElsewhere, static_cast<DWORD>(ERROR_NOT_OWNER));

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

TEST(NamedObjects, ANameTakenByTheOtherKindGivesNullAndInvalidHandle) {
    const std::string eventName = UniqueName("event");
    const std::string mutexName = UniqueName("mutex");
    HANDLE event = Api().CreateEventA(nullptr, TRUE, FALSE, eventName.c_str());
    HANDLE mutex = Api().CreateMutexA(nullptr, FALSE, mutexName.c_str());
    ASSERT_NE(event, nullptr);
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(Api().CreateMutexA(nullptr, FALSE, eventName.c_str()), nullptr);
    EXPECT_EQ(Api().GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(Api().CreateEventA(nullptr, FALSE, FALSE, mutexName.c_str()), nullptr);
    EXPECT_EQ(Api().GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(Api().ReleaseMutex(event));
    EXPECT_FALSE(Api().SetEvent(mutex));
    Api().CloseHandle(event);
    Api().CloseHandle(mutex);
    EXPECT_EQ(OpenError(eventName), 0u) << "with its last handle the name is free for any kind";
}

// A manual event stays signalled and lives while any handle to it does; an
// automatic one is reset by the wake it gives.
TEST(NamedEvent, ManualAndAutoResetAndTheLastHandle) {
    const std::string name = UniqueName("manual");
    HANDLE manual = Api().CreateEventA(nullptr, TRUE, TRUE, name.c_str());
    HANDLE second = Api().CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    EXPECT_EQ(Api().GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    Api().CloseHandle(manual);
    EXPECT_EQ(Api().WaitForSingleObject(second, 0), static_cast<DWORD>(WAIT_OBJECT_0)) << "one handle keeps it";
    EXPECT_EQ(Api().WaitForSingleObject(second, 0), static_cast<DWORD>(WAIT_OBJECT_0)) << "stays signalled";
    Api().CloseHandle(second);
    HANDLE fresh = Api().CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    EXPECT_EQ(Api().GetLastError(), 0u);
    EXPECT_EQ(Api().WaitForSingleObject(fresh, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "a new object, not signalled";
    Api().CloseHandle(fresh);

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

TEST(NamedObjects, UnnamedObjectsAreIndependent) {
    HANDLE a = Api().CreateMutexA(nullptr, TRUE, nullptr);
    EXPECT_EQ(Api().GetLastError(), 0u);
    HANDLE b = Api().CreateMutexA(nullptr, FALSE, "");
    EXPECT_EQ(Api().GetLastError(), 0u);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(WaitElsewhere(a, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(WaitElsewhere(b, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(Api().ReleaseMutex(a));
    Api().CloseHandle(a);
    Api().CloseHandle(b);
}

// A process that ends, however it ends, no longer holds the name; one killed
// owning the mutex leaves it abandoned, and one that exits normally takes the
// shared-memory file with it.
TEST(NamedObjects, ANameIsFreeAgainWhenItsProcessesAreGone) {
    if (const char* role = ChildRole(); role && std::string(role) != "") {
        HANDLE h = Api().CreateMutexA(nullptr, FALSE, std::getenv("QVTR_TEST_MUTEX"));
        if (std::string(role) == "exit") {
            std::ofstream(std::getenv("QVTR_TEST_MARK")) << Api().GetLastError();
            std::exit(h ? 0 : 1);
        }
        Api().WaitForSingleObject(h, INFINITE);
        std::ofstream(std::getenv("QVTR_TEST_MARK")) << "owned";
        for (;;) {
            pause();
        }
    }
    for (const char* ending : {"exit", "kill"}) {
        SCOPED_TRACE(ending);
        const std::string name = UniqueName(ending);
        const std::string mark = "/tmp/" + name + ".mark";
        ScopedEnv role("QVTR_CHILD_ROLE", ending);
        ScopedEnv mutexName("QVTR_TEST_MUTEX", name.c_str());
        ScopedEnv markPath("QVTR_TEST_MARK", mark.c_str());
        Child child(SelfPath(), ChildArgs("NamedObjects.ANameIsFreeAgainWhenItsProcessesAreGone"));
        ASSERT_TRUE(AwaitFile(mark, 30));
        if (std::string(ending) == "kill") {
            HANDLE h = Api().CreateMutexA(nullptr, FALSE, name.c_str());
            EXPECT_EQ(Api().GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << "the child still holds it";
            EXPECT_EQ(Api().WaitForSingleObject(h, 0), static_cast<DWORD>(WAIT_TIMEOUT));
            child.Kill();
            child.Wait();
            EXPECT_EQ(Api().WaitForSingleObject(h, 5000), static_cast<DWORD>(WAIT_ABANDONED));
            EXPECT_TRUE(Api().ReleaseMutex(h));
            Api().CloseHandle(h);
        } else {
            child.Wait();
            EXPECT_FALSE(Exists(PathOf(name)));
        }
        EXPECT_EQ(OpenError(name), 0u);
        unlink(mark.c_str());
    }
}

TEST(NamedObjects, OneMappingPerNameHoweverManyHandles) {
    const std::string name = UniqueName("mapping");
    const std::string path = PathOf(name);
    auto mappings = [&] {
        std::ifstream maps("/proc/self/maps");
        int count = 0;
        for (std::string line; std::getline(maps, line);) {
            count += line.find(path) != std::string::npos;
        }
        return count;
    };
    std::vector<HANDLE> handles;
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 5; ++i) {
            handles.push_back(Api().CreateMutexA(nullptr, FALSE, name.c_str()));
        }
        EXPECT_EQ(mappings(), 1);
        for (HANDLE h : handles) {
            Api().CloseHandle(h);
        }
        handles.clear();
    }
}

TEST(NamedObjects, FilesArePrivateUnlessTheOpenDescriptorIsGiven) {
    const mode_t oldMask = umask(022);
    PSECURITY_DESCRIPTOR open = CreateOpenSecurityDescriptor();
    ASSERT_NE(open, nullptr);
    SECURITY_ATTRIBUTES openToAll{sizeof(SECURITY_ATTRIBUTES), open, FALSE};
    SECURITY_DESCRIPTOR withDacl{};
    ACL acl{};
    Api().InitializeSecurityDescriptor(&withDacl, SECURITY_DESCRIPTOR_REVISION);
    Api().SetSecurityDescriptorDacl(&withDacl, TRUE, &acl, FALSE);
    SECURITY_ATTRIBUTES restricted{sizeof(SECURITY_ATTRIBUTES), &withDacl, FALSE};
    struct Case {
        const char* what;
        LPSECURITY_ATTRIBUTES attributes;
        const char* prefix;
        mode_t mode;
    } cases[] = {
        {"default", nullptr, "", 0600},
        {"a real DACL", &restricted, "", 0600},
        {"open descriptor", &openToAll, "", 0666},
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
    Api().LocalFree(open);
    umask(oldMask);
}

TEST(SecurityDescriptor, OnlyRevisionOneAndDaclPresenceIsRecorded) {
    SECURITY_DESCRIPTOR sd{};
    EXPECT_FALSE(Api().InitializeSecurityDescriptor(&sd, 2));
    EXPECT_EQ(Api().GetLastError(), 1305u);  // ERROR_UNKNOWN_REVISION
    EXPECT_FALSE(Api().SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE)) << "not initialised";
    ASSERT_TRUE(Api().InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(Api().SetSecurityDescriptorDacl(&sd, TRUE, nullptr, TRUE));
    EXPECT_EQ(sd.Control, SE_DACL_PRESENT | SE_DACL_DEFAULTED);
    ASSERT_TRUE(Api().SetSecurityDescriptorDacl(&sd, FALSE, nullptr, FALSE));
    EXPECT_EQ(sd.Control, 0);
}

// Beyond the cache of unused mappings, the oldest name's file goes.
TEST(NamedObjects, UnusedMappingsAreBoundedAndTheirFilesRemoved) {
    const std::string first = UniqueName("cache");
    Api().CloseHandle(Api().CreateMutexA(nullptr, FALSE, first.c_str()));
    EXPECT_TRUE(Exists(PathOf(first))) << "kept for the next use";
    for (int i = 0; i < 40; ++i) {
        Api().CloseHandle(Api().CreateMutexA(nullptr, FALSE, UniqueName("cache").c_str()));
    }
    EXPECT_FALSE(Exists(PathOf(first)));
}

// Processes cycling through more names than a process keeps mapped, so that
// names are removed and created again all the time while others open them: two
// processes must never hold different objects under one name.
TEST(NamedObjects, NamesRemovedAndCreatedUnderContentionStayExclusive) {
    constexpr int kNames = 20;
    constexpr int kRounds = 15;
    constexpr int kProcesses = 4;
    const std::string dir = std::getenv("QVTR_TEST_DIR") ? std::getenv("QVTR_TEST_DIR") : "";
    const std::string base = std::getenv("QVTR_TEST_MUTEX") ? std::getenv("QVTR_TEST_MUTEX") : "";
    if (const char* role = ChildRole(); role && std::string(role) == "churn") {
        for (int round = 0; round < kRounds; ++round) {
            for (int i = 0; i < kNames; ++i) {
                const std::string name = base + "-" + std::to_string(i);
                HANDLE h = Api().CreateMutexA(nullptr, FALSE, name.c_str());
                Api().WaitForSingleObject(h, INFINITE);
                const std::string file = dir + std::to_string(i);
                int count = 0;
                std::ifstream(file) >> count;
                std::ofstream(file) << count + 1;
                Api().ReleaseMutex(h);
                Api().CloseHandle(h);
            }
        }
        std::exit(0);
    }
    testing_support::TempDir temp;
    const std::string name = UniqueName("churn");
    ScopedEnv role("QVTR_CHILD_ROLE", "churn");
    ScopedEnv mutexName("QVTR_TEST_MUTEX", name.c_str());
    ScopedEnv dirPath("QVTR_TEST_DIR", temp.Path().c_str());
    std::vector<std::unique_ptr<Child>> children;
    for (int i = 0; i < kProcesses; ++i) {
        children.push_back(std::make_unique<Child>(
            SelfPath(), ChildArgs("NamedObjects.NamesRemovedAndCreatedUnderContentionStayExclusive")));
    }
    for (auto& child : children) {
        EXPECT_EQ(child->Wait(), 0);
    }
    for (int i = 0; i < kNames; ++i) {
        int count = 0;
        std::ifstream(temp.File(std::to_string(i))) >> count;
        EXPECT_EQ(count, kRounds * kProcesses) << "name " << i;
        EXPECT_FALSE(Exists(PathOf(name + "-" + std::to_string(i))));
    }
}

}  // namespace
