// The log, INI and language file paths at their worst: things that are not plain
// files, a file-size limit, a full disk. None may hang or kill the host process,
// be followed or written, leave a torn line, or cost more than a refusal.
#include <gtest/gtest.h>
#include <signal.h>
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

using testing_support::ReadFile;

namespace {

void Trace(const std::string& path, const char* text) {
    CComModuleSupport module;
    module.m_nDebugLevel = 1;
    module.m_strLogPath = path;
    module.Trace(1, "%s\n", text);
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
    testing_support::TempDir dir;
    // The log's size, the limit, the size after a line of 41 bytes.
    for (const auto& [size, limit, after] : {std::tuple<size_t, rlim_t, size_t>{100, 1 << 20, 100 + 41},
                                             {1001, 1024, 1001},
                                             {1024, 1024, 1024},
                                             {5000, 1024, 5000}}) {
        SCOPED_TRACE(size);
        testing_support::WriteFile(dir.File("log"), std::string(size, 'a'));
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
    testing_support::TempDir dir;
    for (const auto& [room, error] : {std::pair<size_t, int>{0, ENOSPC}, {5, ENOSPC}, {13, ENOSPC}, {3, EDQUOT}}) {
        SCOPED_TRACE(room);
        testing_support::WriteFile(dir.File("log"), "before\n");
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
        EXPECT_EQ(forked::Run([&] { return Trace(path, "line"), 0; }), 0);
        lstat(path.c_str(), &after);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(after.st_size, before.st_size + (S_ISREG(before.st_mode) ? 15 : 0));  // a big log is still a log
    }
}

}  // namespace
