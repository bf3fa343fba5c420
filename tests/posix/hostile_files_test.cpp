// Things that are not plain files, at the log, INI and language file paths: none
// may hang the process, be followed or written, or cost more than a refusal.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "posix/forked.h"
#include "qvtr/module.h"
#include "support/support.h"
#include "win32/api.h"

TEST(HostileFile, IsRefusedAtOnceAndNeverWritten) {
    const struct {
        const char* name;
        std::function<void(const char*)> make;
        DWORD iniError;
    } cases[] = {
        {"FIFO", [](const char* p) { mkfifo(p, 0666); }, ERROR_ACCESS_DENIED},
        {"link to zero device", [](const char* p) { symlink("/dev/zero", p); }, ERROR_ACCESS_DENIED},
        {"directory", [](const char* p) { mkdir(p, 0700); }, ERROR_ACCESS_DENIED},
        {"300 MB sparse", [](const char* p) { testing_support::WriteFile(p, "[Q]\nk=1\n"), truncate(p, 300 << 20); },
         ERROR_FILE_TOO_LARGE},
    };
    testing_support::TempDir dir;
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
        EXPECT_EQ(forked::Run([&] {
                      CComModuleSupport module;
                      module.m_nDebugLevel = 1;
                      module.m_strLogPath = path;
                      module.Trace(1, "line\n");
                      return 0;
                  }),
                  0);
        lstat(path.c_str(), &after);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(after.st_size, before.st_size + (S_ISREG(before.st_mode) ? 15 : 0));  // a big log is still a log
    }
}
