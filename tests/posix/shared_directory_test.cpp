// Two ordinary users of one machine: what one puts in a shared directory must
// not take over, swallow or redirect the other's log, temporary directory or
// registry. Needs root to act as both; skipped otherwise.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>

#include "posix/forked.h"
#include "qvtr/module.h"
#include "support/support.h"
#include "win32/api.h"

using testing_support::WriteFile;

namespace {

off_t SizeOf(const std::string& path) {  // lstat: reading a planted FIFO would hang
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 ? info.st_size : -1;
}

TEST(SharedDirectory, AnotherUsersFilesAreNeverWrittenOrFollowed) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as two users";
    }
    const std::string user = getpwuid(forked::kVictim)->pw_name;
    testing_support::TempDir root;
    const std::string shared = root.File("shared"), log = shared + "/qvtr.log", own = log + "." + user;
    const std::string secret = root.File("secret"), theirs = shared + "/theirs", theirDb = theirs + "/r.db";
    chmod(root.Path().c_str(), 0755);
    const auto plant = [&](const std::function<void()>& body) {
        forked::Run([&] { return body(), 0; }, forked::kOther);
    };
    const struct {
        const char* name;
        std::function<void()> before;
        bool sharedGrows, ownGrows;
    } logCases[] = {
        {"their log, 0666", [&] { plant([&] { WriteFile(log, "x\n"), chmod(log.c_str(), 0666); }); }, false, true},
        {"a link to the victim's file", [&] { plant([&] { symlink(secret.c_str(), log.c_str()); }); }, false, true},
        {"a FIFO", [&] { plant([&] { mkfifo(log.c_str(), 0666); }); }, false, true},
        {"their log and the victim's own name",
         [&] { plant([&] { WriteFile(log, ""), WriteFile(own, ""), chmod(own.c_str(), 0666); }); }, false, false},
        {"root's log shared on purpose", [&] { WriteFile(log, ""), chmod(log.c_str(), 0666); }, true, false},
    };
    for (const auto& c : logCases) {
        SCOPED_TRACE(c.name);
        mkdir(shared.c_str(), 0), chmod(shared.c_str(), 01777);
        WriteFile(secret, "private\n"), chown(secret.c_str(), forked::kVictim, 0);
        c.before();
        const off_t sharedBefore = SizeOf(log), ownBefore = SizeOf(own);
        EXPECT_EQ(forked::Run(
                      [&] {
                          CComModuleSupport module;
                          module.m_nDebugLevel = 1;
                          module.m_strLogPath = log;
                          module.Trace(1, "victim\n");
                          return module.LogPathInUse() == (c.sharedGrows ? log : own) ? 0 : 1;
                      },
                      forked::kVictim),
                  0);
        EXPECT_EQ(testing_support::ReadFile(secret), "private\n");
        EXPECT_EQ(SizeOf(log), sharedBefore + (c.sharedGrows ? 17 : 0));
        EXPECT_EQ(SizeOf(own), c.ownGrows ? 17 : ownBefore);
        struct stat info {};
        EXPECT_TRUE(!c.ownGrows || (lstat(own.c_str(), &info) == 0 && info.st_uid == forked::kVictim &&
                                    (info.st_mode & 0777) == 0600));
        std::system(("rm -rf " + shared).c_str());
    }

    mkdir(shared.c_str(), 01777), chmod(shared.c_str(), 01777);
    const std::string takenTemp = "/tmp/qvtr-" + std::to_string(forked::kVictim);
    const bool tempFree = SizeOf(takenTemp) < 0;
    plant([&] { mkdir(theirs.c_str(), 0777), chmod(theirs.c_str(), 0777), tempFree&& mkdir(takenTemp.c_str(), 0777); });
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
    const struct {
        const char* name;
        const char* tmpdir;
        const char* registry;
        std::function<bool()> safe;
    } placeCases[] = {
        {"/tmp/qvtr-<uid> is theirs", nullptr, nullptr, [&] { return tempPath().rfind(takenTemp, 0) != 0; }},
        {"TMPDIR is theirs", theirs.c_str(), nullptr, [&] { return tempPath().rfind(theirs, 0) != 0; }},
        {"the store's directory is theirs", nullptr, theirDb.c_str(),
         [&] { return store() == ERROR_REGISTRY_IO_FAILED; }},
        {"no HOME: never /tmp", nullptr, nullptr, [&] { return store(), SizeOf("/tmp/.local/share/qvtr") < 0; }},
    };
    for (const auto& c : placeCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(forked::Run(
                      [&] {
                          unsetenv("HOME"), unsetenv("XDG_RUNTIME_DIR"), unsetenv("XDG_DATA_HOME");
                          c.tmpdir ? setenv("TMPDIR", c.tmpdir, 1) : unsetenv("TMPDIR");
                          c.registry ? setenv("QVTR_REGISTRY", c.registry, 1) : unsetenv("QVTR_REGISTRY");
                          return c.safe() ? 0 : 1;
                      },
                      forked::kVictim),
                  0);
    }
    EXPECT_LT(SizeOf(theirDb), 0);
    if (tempFree) {
        rmdir(takenTemp.c_str());
    }
}

}  // namespace
