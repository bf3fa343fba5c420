// The log and the registry at the process's limits: a file-size limit or a full
// disk never leaves a torn line and never kills or changes the host process.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

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

}  // namespace
