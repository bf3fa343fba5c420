// The log, INI and language file paths at their worst: things that are not plain
// files, a file-size limit, a full disk, another user's files in a shared
// directory. None may hang or kill the host process, be followed or written,
// leave a torn line, or cost more than a refusal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>
#include <tuple>
#include <vector>

#include "posix/forked.h"
#include "qvtr/module.h"
#include "support/support.h"
#include "win32/api.h"
#include "win32/posix/syscalls.h"

using namespace testing_support;

namespace {

// One line through a module tracing at level 1; the file it went to.
std::string Trace(const std::string& path, const char* text) {
    CComModuleSupport module;
    module.m_nDebugLevel = 1;
    module.m_strLogPath = path;
    module.Trace(1, "%s\n", text);
    return module.LogPathInUse();
}

// Under the limit `limit`, runs `body` in a child; 0 when it survived with the
// host's SIGXFSZ disposition and mask as they were.
int UnderLimit(rlim_t limit, const std::function<bool()>& body) {
    return forked::Run([&] {
        const rlimit value = {limit, limit};
        struct sigaction action {};
        sigset_t mask;
        const bool ok = setrlimit(RLIMIT_FSIZE, &value) == 0 && body();
        sigaction(SIGXFSZ, nullptr, &action);
        pthread_sigmask(SIG_BLOCK, nullptr, &mask);
        return ok && action.sa_handler == SIG_DFL && !sigismember(&mask, SIGXFSZ) ? 0 : 1;
    });
}

TEST(FileSizeLimit, LinePastItIsDroppedAndRegistryWriteIsDiskFull) {
    TempDir dir;
    // The log's size, the limit, the size after a line of 41 bytes.
    for (const auto& [size, limit, after] :
         {std::tuple<size_t, rlim_t, size_t>{100, 1 << 20, 100 + 41}, {1001, 1024, 1001}, {1024, 1024, 1024}}) {
        SCOPED_TRACE(size);
        WriteFile(dir.File("log"), std::string(size, 'a'));
        EXPECT_EQ(UnderLimit(limit, [&] { return Trace(dir.File("log"), "a line of thirty bytes, nearly"), true; }), 0);
        EXPECT_EQ(ReadFile(dir.File("log")).size(), after);
    }
    HKEY key = nullptr;
    ASSERT_EQ(Api().RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\limits", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                    nullptr),
              ERROR_SUCCESS);
    const std::vector<BYTE> big(1 << 20, 'v');
    EXPECT_EQ(UnderLimit(256 << 10,
                         [&] {
                             return Api().RegSetValueExA(key, "big", 0, REG_BINARY, big.data(), DWORD(big.size())) ==
                                    ERROR_DISK_FULL;
                         }),
              0);
}

// The disk takes `s_room` more bytes, then fails with `s_error`.
size_t s_room;
int s_error;
ssize_t FillingWrite(int fd, const void* data, size_t size) {
    const size_t n = std::min(size, s_room);
    s_room -= n;
    return n > 0 ? posix::RealSyscalls().write(fd, data, n) : (errno = s_error, -1);
}

TEST(FullDisk, ShortWriteLeavesNoPartOfTheLine) {
    TempDir dir;
    for (const auto& [room, error] : {std::pair<size_t, int>{0, ENOSPC}, {5, ENOSPC}, {13, ENOSPC}, {3, EDQUOT}}) {
        SCOPED_TRACE(room);
        WriteFile(dir.File("log"), "before\n");
        {
            posix::SyscallOverride sys;
            s_room = room;
            s_error = error;
            sys->write = FillingWrite;
            Trace(dir.File("log"), "torn");
        }
        Trace(dir.File("log"), "next");
        EXPECT_EQ(ReadFile(dir.File("log")).substr(7).substr(8), ": next\n");
    }
}

// Fills the file system holding `path` to the last byte.
void FillUp(const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    const std::string block(4096, 'f');
    while (write(fd, block.data(), block.size()) > 0) {
    }
    while (write(fd, "f", 1) > 0) {
    }
    close(fd);
}

// A store made on a full file system, and one that fills up under a running host:
// each write that does not fit is ERROR_DISK_FULL and the host goes on.
TEST(FullDisk, TheRegistrySaysSoAndTheHostGoesOn) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to mount a small file system";
    }
    TempDir dir;
    const int failures = forked::Run([&] {
        if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("none", dir.Path().c_str(), "tmpfs", 0, "size=1m") != 0) {
            return 77;
        }
        setenv("QVTR_REGISTRY", dir.File("r.db").c_str(), 1);
        FillUp(dir.File("fill"));
        HKEY key = nullptr;
        const auto create = [&] {
            return Api().RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\full", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                         &key, nullptr);
        };
        int failed = create() != ERROR_DISK_FULL;
        unlink(dir.File("fill").c_str());
        failed |= (create() != ERROR_SUCCESS) << 1;  // the store is tried again
        const std::string value(3000, 'v');
        Api().RegSetValueExA(key, "kept", 0, REG_SZ, reinterpret_cast<const BYTE*>("k"), 2);
        FillUp(dir.File("fill"));
        LONG error = ERROR_SUCCESS;
        for (int i = 0; i < 1000 && error == ERROR_SUCCESS; ++i) {
            error = Api().RegSetValueExA(key, std::to_string(i).c_str(), 0, REG_SZ,
                                         reinterpret_cast<const BYTE*>(value.c_str()), DWORD(value.size()));
        }
        failed |= (error != ERROR_DISK_FULL) << 2;
        failed |= (Api().RegQueryValueExA(key, "kept", nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) << 3;
        return failed;
    });
    if (failures == 77) {
        GTEST_SKIP() << "no private mount namespace here";
    }
    EXPECT_EQ(failures, 0);
}

TEST(HostileFile, IsRefusedAtOnceAndNeverWritten) {
    const struct {
        const char* name;
        std::function<void(const char*)> make;
        DWORD iniError;
    } cases[] = {
        {"FIFO", [](const char* p) { mkfifo(p, 0666); }, ERROR_ACCESS_DENIED},
        {"link to zero device", [](const char* p) { symlink("/dev/zero", p); }, ERROR_ACCESS_DENIED},
        {"directory", [](const char* p) { mkdir(p, 0700); }, ERROR_ACCESS_DENIED},
        {"300 MB sparse", [](const char* p) { WriteFile(p, "[Q]\nk=1\n"), truncate(p, 300 << 20); },
         ERROR_FILE_TOO_LARGE},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.File(c.name);
        c.make(path.c_str());
        struct stat before {
        }, after{};
        lstat(path.c_str(), &before);
        EXPECT_EQ(forked::Run([&] {
                      char value[8] = {};
                      Api().GetPrivateProfileStringA("Q", "k", "no", value, sizeof value, path.c_str());
                      return std::string(value) == "no" && Api().GetLastError() == c.iniError ? 0 : 1;
                  }),
                  0);
        EXPECT_EQ(forked::Run([&] { return Trace(path, "line"), 0; }), 0);
        lstat(path.c_str(), &after);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(after.st_size, before.st_size + (S_ISREG(before.st_mode) ? 15 : 0));  // a big log is still a log
    }
}

// ---- two ordinary users of one machine ----------------------------------------------
// What one puts in a shared directory must not take over, swallow or redirect the
// other's log, temporary directory or registry. Needs root to act as both.

std::string s_module;
DWORD WINAPI ModuleInShared(HMODULE, LPSTR buffer, DWORD size) {
    return static_cast<DWORD>(std::snprintf(buffer, size, "%s", s_module.c_str()));
}

off_t SizeOf(const std::string& path) {  // lstat: reading a planted FIFO would hang
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 ? info.st_size : -1;
}

TEST(SharedDirectory, AnotherUsersFilesAreNeverWrittenOrFollowed) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as two users";
    }
    const std::string user = getpwuid(forked::kVictim)->pw_name;
    // The victim's temporary directory is set up here, not found: one an earlier run
    // of the victim left is put aside for the while.
    const std::string takenTemp = "/tmp/qvtr-" + std::to_string(forked::kVictim), tempLog = takenTemp + "/qvtr.log";
    const std::string asideTemp = takenTemp + ".aside-" + std::to_string(getpid());
    const bool aside = rename(takenTemp.c_str(), asideTemp.c_str()) == 0;
    TempDir root;
    const std::string shared = root.File("shared"), log = shared + "/qvtr.log", own = log + "." + user;
    const std::string secret = root.File("secret"), theirs = shared + "/theirs", theirDb = theirs + "/r.db";
    chmod(root.Path().c_str(), 0755);
    const auto plant = [&](const std::function<void()>& body) {
        forked::Run([&] { return body(), 0; }, forked::kOther);
    };
    // Where the victim's line goes: the shared log, its own name beside it, or
    // (when the other user has that name too) its own temporary directory.
    const struct {
        const char* name;
        std::function<void()> before;
        bool sharedGrows, ownGrows;
        bool tempGrows = false;
    } logCases[] = {
        {"their log, 0666", [&] { plant([&] { WriteFile(log, "x\n"), chmod(log.c_str(), 0666); }); }, false, true},
        {"a link to the victim's file", [&] { plant([&] { symlink(secret.c_str(), log.c_str()); }); }, false, true},
        {"a FIFO", [&] { plant([&] { mkfifo(log.c_str(), 0666); }); }, false, true},
        {"their log and the victim's own name",
         [&] { plant([&] { WriteFile(log, ""), WriteFile(own, ""), chmod(own.c_str(), 0666); }); }, false, false, true},
        {"root's log shared on purpose", [&] { WriteFile(log, ""), chmod(log.c_str(), 0666); }, true, false},
    };
    for (const auto& c : logCases) {
        SCOPED_TRACE(c.name);
        mkdir(shared.c_str(), 0), chmod(shared.c_str(), 01777);
        WriteFile(secret, "private\n"), chown(secret.c_str(), forked::kVictim, 0);
        c.before();
        const off_t sharedBefore = SizeOf(log), ownBefore = SizeOf(own);
        const std::string expected = c.sharedGrows ? log : c.tempGrows ? tempLog : own;
        EXPECT_EQ(forked::Run([&] { return Trace(log, "victim") == expected ? 0 : 1; }, forked::kVictim), 0);
        EXPECT_EQ(SizeOf(tempLog), c.tempGrows ? 17 : -1);
        unlink(tempLog.c_str());
        EXPECT_EQ(ReadFile(secret), "private\n");
        EXPECT_EQ(SizeOf(log), sharedBefore + (c.sharedGrows ? 17 : 0));
        EXPECT_EQ(SizeOf(own), c.ownGrows ? 17 : ownBefore);
        struct stat info {};
        EXPECT_TRUE(!c.ownGrows || (lstat(own.c_str(), &info) == 0 && info.st_uid == forked::kVictim &&
                                    (info.st_mode & 0777) == 0600));
        std::system(("rm -rf " + shared).c_str());
    }
    // Where others can add names, a log checked for one line is checked again for the next.
    mkdir(shared.c_str(), 01777), chmod(shared.c_str(), 01777);
    Trace(log, "root"), unlink(log.c_str());
    plant([&] { WriteFile(log, "x\n"), chmod(log.c_str(), 0666); });
    EXPECT_NE(Trace(log, "root"), log);
    EXPECT_EQ(ReadFile(log), "x\n");

    // The victim's temporary directory is taken by the other user.
    rmdir(takenTemp.c_str());
    plant([&] { mkdir(theirs.c_str(), 0777), chmod(theirs.c_str(), 0777), mkdir(takenTemp.c_str(), 0777); });
    const auto tempPath = [] {
        char p[MAX_PATH] = {};
        Api().GetTempPathA(sizeof p, p);
        return std::string(p);
    };
    const auto store = [] {
        HKEY k;
        return Api().RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\x", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                                     nullptr);
    };
    // Each in a child of the victim's with no HOME, XDG_* or TMPDIR; true when safe.
    const std::function<bool()> placeCases[] = {
        // /tmp/qvtr-<uid> is theirs: the victim's home instead (nobody has none), never a relative log.
        [&] {
            ApiOverride api;
            s_module = shared + "/qvtr.so";
            api->GetModuleFileNameA = ModuleInShared;
            CComModuleSupport module;
            module.InitLogPath();
            const std::string log = module.m_strLogPath, temp = tempPath();
            const bool fullOrNone = temp.empty() ? log.empty() : log == temp + "qvtr.log";
            return temp.rfind(takenTemp, 0) != 0 && fullOrNone &&
                   ReadFile(shared + "/qvtr.ini").find("path=" + log + "\n") != std::string::npos;
        },
        [&] { return setenv("TMPDIR", theirs.c_str(), 1), tempPath().rfind(theirs, 0) != 0; },
        [&] { return setenv("QVTR_REGISTRY", theirDb.c_str(), 1), store() == ERROR_REGISTRY_IO_FAILED; },
        [&] { return store(), SizeOf("/tmp/.local/share/qvtr") < 0; },  // no HOME: the store never goes to /tmp
    };
    for (const auto& safe : placeCases) {
        EXPECT_EQ(
            forked::Run(
                [&] {
                    for (const char* name : {"HOME", "XDG_RUNTIME_DIR", "XDG_DATA_HOME", "TMPDIR", "QVTR_REGISTRY"}) {
                        unsetenv(name);
                    }
                    return safe() ? 0 : 1;
                },
                forked::kVictim),
            0)
            << &safe - placeCases;
    }
    EXPECT_LT(SizeOf(theirDb), 0);
    rmdir(takenTemp.c_str());
    if (aside) {
        rename(asideTemp.c_str(), takenTemp.c_str());
    }
}

// A host that keeps running while its log's directory is removed and made
// again by another user, or opened up to others: a check made for the first
// line is no promise for the next; no line may land in the other's file.
TEST(SharedDirectory, ALongRunningHostNeverWritesWhereAnotherUserCouldHavePutAFile) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as two users";
    }
    TempDir root;
    const std::string shared = root.File("sticky"), dir = shared + "/victim", log = dir + "/qvtr.log";
    mkdir(shared.c_str(), 0), chmod(shared.c_str(), 01777), chmod(root.Path().c_str(), 0755);
    const auto victimsDir = [&] { mkdir(dir.c_str(), 0700), chown(dir.c_str(), forked::kVictim, 0); };
    const auto theirLog = [&] { WriteFile(log, "theirs\n"), chmod(log.c_str(), 0666); };
    const struct {
        const char* name;
        std::function<void()> change;
    } changes[] = {
        {"removed by a clean-up job and made again by the other user",
         [&] {
             std::system(("rm -rf " + dir).c_str());
             forked::Run([&] { return mkdir(dir.c_str(), 0777), chmod(dir.c_str(), 0777), theirLog(), 0; },
                         forked::kOther);
         }},
        {"opened up, and the log replaced by the other user",
         [&] {
             chmod(dir.c_str(), 0777);
             forked::Run([&] { return unlink(log.c_str()), theirLog(), 0; }, forked::kOther);
         }},
    };
    for (const auto& c : changes) {
        SCOPED_TRACE(c.name);
        std::system(("rm -rf " + dir).c_str());
        victimsDir();
        forked::Host host([&](const std::string& text) { return Trace(log, text.c_str()); }, forked::kVictim);
        ASSERT_EQ(host.Ask("first"), log);
        EXPECT_EQ(SizeOf(log), 16);
        c.change();
        host.Ask("second");
        EXPECT_EQ(ReadFile(log), "theirs\n");
    }
}

}  // namespace
