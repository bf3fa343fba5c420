// The POSIX profile functions beyond what Windows and Wine share: the writer
// keeps every other byte, replaces files atomically, fails cleanly; the reader
// survives any bytes and never answers from a stale copy of a changed file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/support.h"
#include "win32/api.h"
#include "win32/posix/syscalls.h"

using namespace std::string_literals;
using testing_support::ReadFile;
using testing_support::ScopedEnv;
using testing_support::TempDir;
using testing_support::WriteFile;

namespace {

std::string Get(const std::string& path, const char* section, const char* key, const char* def = "") {
    std::vector<char> buffer(1 << 18);
    const DWORD n = Api().GetPrivateProfileStringA(section, key, def, buffer.data(), 1 << 18, path.c_str());
    return std::string(buffer.data(), n);
}

BOOL Put(const std::string& path, const char* section, const char* key, const char* value) {
    return Api().WritePrivateProfileStringA(section, key, value, path.c_str());
}

// Whatever else lies in the directory: a temporary file left behind shows here.
size_t Entries(const std::string& dir) {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir), {}));
}

// A write keeps every other byte and the file's identity: its mode, the
// symbolic link it was reached through, and its inode when the text is the same.
TEST(ProfileWrite, TouchesOnlyTheLinesItChanges) {
    const std::string mixed = "; head\r\n[a]\r\n  k  =  old  \r\n; note\r\n\r\n[b]\nx=1";
    const struct {
        const char* name;
        std::string before;
        const char *section, *key, *value;
        std::string after;
    } cases[] = {
        {"value replaced, spacing kept", mixed, "A", "K", "new",
         "; head\r\n[a]\r\n  k  =  new\r\n; note\r\n\r\n[b]\nx=1"},
        {"new key after the last line, with its line end", mixed, "a", "j", "2",
         "; head\r\n[a]\r\n  k  =  old  \r\n; note\r\nj=2\r\n\r\n[b]\nx=1"},
        {"new key where the file has no last line end", mixed, "b", "y", "2",
         "; head\r\n[a]\r\n  k  =  old  \r\n; note\r\n\r\n[b]\nx=1\r\ny=2"},
        {"key deleted with its line end", mixed, "a", "k", nullptr, "; head\r\n[a]\r\n; note\r\n\r\n[b]\nx=1"},
        {"section deleted up to the next header", mixed, "a", nullptr, nullptr, "; head\r\n[b]\nx=1"},
        {"last section deleted", mixed, "b", nullptr, nullptr, "; head\r\n[a]\r\n  k  =  old  \r\n; note\r\n\r\n"},
        {"new section after a last line without end", "[a]\r\nk=1", "c", "k", "v", "[a]\r\nk=1\r\n[c]\r\nk=v\r\n"},
        {"new file uses LF; a value's leading blanks dropped", "", "s", "k", "  v ", "[s]\nk=v \n"},
        {"top key after the byte-order mark", "\xEF\xBB\xBF[a]\nk=1\n", "", "t", "1", "\xEF\xBB\xBFt=1\n[a]\nk=1\n"},
        {"missing key: nothing changes", mixed, "a", "zz", nullptr, mixed},
        {"same value: nothing changes", mixed, "B", "X", "1", mixed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string target = dir.File("real.ini"), link = dir.File("e.ini");
        WriteFile(target, c.before);
        chmod(target.c_str(), 0640);
        ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
        struct stat before {
        }, after{};
        stat(target.c_str(), &before);
        EXPECT_TRUE(Put(link, c.section, c.key, c.value));
        EXPECT_EQ(ReadFile(target), c.after);
        EXPECT_TRUE(std::filesystem::is_symlink(link));
        ASSERT_EQ(stat(target.c_str(), &after), 0);
        EXPECT_EQ(after.st_mode & 0777, 0640u);
        EXPECT_TRUE(c.before != c.after || after.st_ino == before.st_ino) << "an unchanged file was replaced";
        EXPECT_EQ(Entries(dir.Path()), 2u) << "a temporary file was left behind";
    }
}

int g_errno = 0;
template <typename R, typename... A>
R Fail(A...) {
    errno = g_errno;
    return -1;
}

// Text that would break the file, or any step of the replacement failing: an
// error, the old file whole, no temporary left.
TEST(ProfileWrite, AFailedWriteLosesNothing) {
    const DWORD kInvalid = ERROR_INVALID_PARAMETER, kAny = 0;
    const struct {
        const char *name, *section, *key, *value;
        void (*install)(posix::Syscalls&);
        int errnoValue;
        DWORD error;
    } cases[] = {
        {"line break in a value", "a", "k", "1\nevil=1", nullptr, 0, kInvalid},
        {"line break in a section", "a\r", "k", "1", nullptr, 0, kInvalid},
        {"= in a key", "a", "k=x", "1", nullptr, 0, kInvalid},
        {"key read as a comment", "a", ";k", "1", nullptr, 0, kInvalid},
        {"key read as a header", "a", "[k]", "1", nullptr, 0, kInvalid},
        {"temporary refused", "a", "k", "2",
         [](posix::Syscalls& s) { s.openat = Fail<int, int, const char*, int, mode_t>; }, EACCES, ERROR_ACCESS_DENIED},
        {"disk full", "a", "k", "2", [](posix::Syscalls& s) { s.write = Fail<ssize_t, int, const void*, size_t>; },
         ENOSPC, kAny},
        {"flush", "a", "k", "2", [](posix::Syscalls& s) { s.fsync = Fail<int, int>; }, EIO, kAny},
        {"rename", "a", "k", "2",
         [](posix::Syscalls& s) { s.renameat = Fail<int, int, const char*, int, const char*>; }, EACCES,
         ERROR_ACCESS_DENIED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = dir.File("p.ini");
        WriteFile(path, "[a]\nk=1\n");
        posix::SyscallOverride failing;
        g_errno = c.errnoValue;
        if (c.install) {
            c.install(*failing.operator->());
        }
        Api().SetLastError(0);
        EXPECT_FALSE(Put(path, c.section, c.key, c.value));
        const DWORD error = Api().GetLastError();
        EXPECT_TRUE(c.error == kAny ? error != 0 : error == c.error) << error;
        EXPECT_EQ(ReadFile(path), "[a]\nk=1\n");
        EXPECT_EQ(Entries(dir.Path()), 1u);
    }
}

// ---- reading ----------------------------------------------------------------------

// A quoted value that exactly fits comes whole (where Wine cuts it one short:
// the quotes make the room); garbage never overruns a buffer of any size.
TEST(ProfileRead, BuffersHoldWhatFitsAndNothingMore) {
    TempDir dir;
    WriteFile(dir.File("q.ini"), "[s]\nk=\"quoted\"\n");
    char quoted[7];
    EXPECT_EQ(Api().GetPrivateProfileStringA("s", "k", "", quoted, sizeof quoted, dir.File("q.ini").c_str()), 6u);
    EXPECT_STREQ(quoted, "quoted");
    const std::string path = dir.File("g.ini");
    std::mt19937 random(12345);
    const char alphabet[] = "[]=;\"' \t\r\n\x1a\0abcK\xff\xef\xbb\xbf";
    for (int round = 0; round < 200; ++round) {
        std::string bytes(random() % 300, '\0');
        for (char& c : bytes) {
            c = random() % 3 == 0 ? static_cast<char>(random()) : alphabet[random() % (sizeof alphabet - 1)];
        }
        WriteFile(path, bytes);
        for (DWORD size : {0u, 1u, 2u, 3u, 7u, 64u}) {
            std::vector<char> buffer(size + 8, '#');
            for (const char* section : {static_cast<const char*>(nullptr), "", "a", "K"}) {
                for (const char* key : {static_cast<const char*>(nullptr), "a", "K", ""}) {
                    const DWORD n =
                        Api().GetPrivateProfileStringA(section, key, "dflt", buffer.data(), size, path.c_str());
                    ASSERT_TRUE(size == 0 ? n == 0 : n < size);
                    ASSERT_EQ(std::string(buffer.data() + size, 8), "########");
                }
            }
        }
        Api().GetPrivateProfileIntA("a", "K", 5, path.c_str());
        Put(path, "a", "K", "v");
        EXPECT_EQ(Get(path, "a", "K"), "v");
    }
}

// ---- freshness and threads ---------------------------------------------------------

// Same size and, with coarse kernel timestamps, often the same mtime: only a
// re-read can tell. Then files old enough to be trusted from memory, changed
// behind the reader's back in ways that keep size and mtime: in place, by rename.
TEST(ProfileCache, NeverAnswersFromAStaleCopy) {
    TempDir dir;
    const std::string inPlace = dir.File("p.ini"), renamed = dir.File("r.ini"), next = dir.File("next.ini");
    for (int i = 0; i < 300; ++i) {
        const std::string value = std::to_string(i % 10);
        WriteFile(inPlace, "[s]\nk=" + value + "\n");
        ASSERT_EQ(Get(inPlace, "s", "k"), value) << i;
    }
    unlink(inPlace.c_str());
    Api().SetLastError(0);
    EXPECT_EQ(Get(inPlace, "s", "k", "gone"), "gone");
    EXPECT_EQ(Api().GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    WriteFile(inPlace, "[s]\nk=1\n");
    WriteFile(renamed, "[s]\nk=1\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(2200));
    EXPECT_EQ(Get(inPlace, "s", "k"), "1");
    EXPECT_EQ(Get(renamed, "s", "k"), "1");
    EXPECT_EQ(Get(inPlace, "s", "k"), "1");  // now from memory
    struct stat old {};
    stat(inPlace.c_str(), &old);
    const struct timespec times[2] = {old.st_atim, old.st_mtim};
    WriteFile(inPlace, "[s]\nk=2\n");
    utimensat(AT_FDCWD, inPlace.c_str(), times, 0);
    EXPECT_EQ(Get(inPlace, "s", "k"), "2");
    WriteFile(next, "[s]\nk=3\n");
    utimensat(AT_FDCWD, next.c_str(), times, 0);
    rename(next.c_str(), renamed.c_str());
    EXPECT_EQ(Get(renamed, "s", "k"), "3");
}

TEST(ProfileCache, BareNamesLiveInTheConfigDirectory) {
    TempDir dir;
    ScopedEnv config("XDG_CONFIG_HOME", (dir.Path() + "config").c_str());
    EXPECT_TRUE(Api().WritePrivateProfileStringA("s", "k", "v", "bare.ini"));
    EXPECT_EQ(ReadFile(dir.Path() + "config/qvtr/bare.ini"), "[s]\nk=v\n");
    EXPECT_EQ(Get("bare.ini", "s", "k"), "v");
}

// Readers never see a half-written file while another thread rewrites it; no
// line length is fixed.
TEST(ProfileCache, ReadersDuringWrites) {
    TempDir dir;
    const std::string path = dir.File("t.ini"), a(1 << 17, 'a'), b((1 << 17) + 1, 'b');
    ASSERT_TRUE(Put(path, "s", "v", a.c_str()) && Put(path, "s", "stable", "yes"));
    std::atomic<bool> done{false};
    std::atomic<int> bad{0}, reads{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 4; ++i) {
        readers.emplace_back([&] {
            while (!done) {
                const std::string value = Get(path, "s", "v"), stable = Get(path, "S", "STABLE");
                bad += (value != a && value != b) || stable != "yes";
                ++reads;
            }
        });
    }
    for (int i = 0; i < 200; ++i) {
        EXPECT_TRUE(Put(path, "s", "v", (i % 2 ? a : b).c_str()));
    }
    done = true;
    for (std::thread& t : readers) {
        t.join();
    }
    EXPECT_EQ(bad, 0);
    EXPECT_GT(reads, 0);
    EXPECT_EQ(Entries(dir.Path()), 1u);
}

}  // namespace
