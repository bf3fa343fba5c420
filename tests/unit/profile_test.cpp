// Profile (INI) functions through the seam. The same table runs against our
// reader on Linux and against the system's kernel32 under Wine, so every
// answer in it is one both give. Beyond it, on POSIX only: the writer keeps
// every other byte, replaces files atomically, fails cleanly; the reader never
// answers from a stale copy of a changed file. (Arbitrary bytes: fuzz/ini_fuzz.)
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/support.h"
#include "win32/api.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <thread>

#endif

using namespace std::string_literals;
using namespace testing_support;

namespace {

constexpr DWORD kAnyError = 0xFFFFFFFF;

// One call of WritePrivateProfileStringA made before the query.
struct Write {
    const char *section, *key, *value;
    BOOL result;
    DWORD error;
};

struct Case {
    const char* name;
    const char* file;  // contents of "case.ini"; null: no file
    std::vector<Write> writes;
    bool integer;  // GetPrivateProfileIntA instead of GetPrivateProfileStringA
    const char *path, *section, *key, *defaultText;
    DWORD size;         // the default value for GetPrivateProfileIntA
    DWORD count;        // the result
    std::string bytes;  // the first count+1 bytes of the buffer (names lists hold NULs)
    DWORD error;
};

Case Str(const char* name, const char* file, const char* section, const char* key, const char* defaultText, DWORD size,
         DWORD count, std::string bytes, DWORD error = ERROR_SUCCESS) {
    return Case{name, file, {}, false, "case.ini", section, key, defaultText, size, count, std::move(bytes), error};
}

Case Int(const char* name, const char* file, const char* key, int defaultValue, int expected) {
    Case c = Str(name, file, "i", key, nullptr, static_cast<DWORD>(defaultValue), static_cast<DWORD>(expected), "",
                 kAnyError);
    c.integer = true;
    return c;
}

Case After(std::vector<Write> writes, Case c, const char* path = "case.ini") {
    c.writes = std::move(writes);
    c.path = path;
    return c;
}

const char* const kFile =
    "top=1\n; c=3\n"
    "[ Sec ]\n  Key  =  value  \n"
    "q1=\"quoted\"\nq2='single'\nq3=\"mixed'\nq4=\"\nq5=\"\"\nq6=\" in \"\n"
    "empty=\nnoeq\n;comment=x\nk2=a=b\nK2=dup\n"
    "[sec2]\r\nx=1\r\ny=2\r\n"
    "[sec3]x=1\n[bad\n[s]tail]\nv=1\n"
    "[ Sec ]\nlater=1\n";

// A byte-order mark, tabs, the old end-of-file mark, lines ending in CR only.
const char* const kOdd = "\xEF\xBB\xBF[bom]\nk=1\n[t]\n\tk1\t=\tv1\t\nk2=v2\x1a\n\x1a\n[cr]\ra=1\rb=2\r";

const char* const kInts = "[i]\na=12abc\nc=-5\nd=0x1A\nf=0b101\ni=99999999999\nj=\"42\"\nk=\n";

const std::vector<Case> kCases = {
    // Values: trimmed, one pair of quotes removed, names without regard to case.
    Str("value and names trimmed, any case", kFile, " sec ", " KEY ", nullptr, 64, 5, "value\0"s),
    Str("double quotes", kFile, "sec", "q1", nullptr, 64, 6, "quoted\0"s),
    Str("single quotes", kFile, "sec", "q2", nullptr, 64, 6, "single\0"s),
    Str("unpaired quotes kept", kFile, "sec", "q3", nullptr, 64, 7, "\"mixed'\0"s),
    Str("blanks inside quotes kept", kFile, "sec", "q6", nullptr, 64, 4, " in \0"s),
    Str("empty value is not missing", kFile, "sec", "empty", "def", 64, 0, "\0"s),
    Str("line without = ignored", kFile, "sec", "noeq", "def", 64, 3, "def\0"s),
    Str("value holding =", kFile, "sec", "k2", nullptr, 64, 3, "a=b\0"s),
    Str("first of two keys", kFile, "sec", "K2", nullptr, 64, 3, "a=b\0"s),
    Str("keys before any section", kFile, "", "top", nullptr, 64, 1, "1\0"s),
    Str("text after ] ignored", kFile, "sec3", "x", "def", 64, 3, "def\0"s),
    Str("[ without ] is no header", kFile, "bad", "v", "def", 64, 3, "def\0"s),
    Str("last ] closes the header", kFile, "s]tail", "v", nullptr, 64, 1, "1\0"s),
    Str("byte-order mark", kOdd, "bom", "k", nullptr, 64, 1, "1\0"s),
    Str("tabs are blanks", kOdd, "t", "k1", nullptr, 64, 2, "v1\0"s),
    Str("end-of-file mark is blank", kOdd, "t", "k2", nullptr, 64, 2, "v2\0"s),
    Str("CR-only lines", kOdd, "cr", "b", nullptr, 64, 1, "2\0"s),

    // Defaults: trailing spaces dropped (never the first character), quotes removed.
    Str("missing key", kFile, "sec", "nope", "def  ", 64, 3, "def\0"s),
    Str("quoted default", kFile, "sec", "nope", "\"qd\"  ", 64, 2, "qd\0"s),
    Str("blank default", kFile, "sec", "nope", "   ", 64, 1, " \0"s),
    Str("null default", kFile, "sec", "nope", nullptr, 64, 0, "\0"s),
    Str("missing file", nullptr, "s", "k", "\"qd\" ", 64, 2, "qd\0"s, ERROR_FILE_NOT_FOUND),

    // Cut values: size-1.
    Str("cut value", kFile, "sec", "Key", nullptr, 4, 3, "val\0"s),
    Str("cut quoted value", kFile, "sec", "q1", nullptr, 6, 5, "quote\0"s),
    Str("size 0 writes nothing", kFile, "sec", "Key", "def", 0, 0, "#"s, kAnyError),

    // Lists of names: each name terminated, a second terminator at the end, size-2 when cut.
    Str("section names", kFile, nullptr, nullptr, "def", 64, 25, "Sec\0sec2\0sec3\0s]tail\0Sec\0\0"s),
    Str("section names cut inside a name", kFile, nullptr, nullptr, "def", 10, 8, "Sec\0sec2\0"s),
    Str("key names skip comments and lines without =", kFile, "SEC", nullptr, "def", 64, 34,
        "Key\0q1\0q2\0q3\0q4\0q5\0q6\0empty\0k2\0K2\0\0"s),
    Str("key names without room: default", kFile, "sec2", nullptr, "def", 2, 1, "d\0"s),
    Str("key names of a missing section", kFile, "zzz", nullptr, "def", 64, 3, "def\0"s),
    Str("key names, missing file", nullptr, "zzz", nullptr, "def", 64, 3, "def\0"s, ERROR_FILE_NOT_FOUND),

    // Integers: sign, then decimal or 0x/0o/0b digits up to the first other character.
    Int("digits then text", kInts, "a", 77, 12),
    Int("negative", kInts, "c", 77, -5),
    Int("hexadecimal", kInts, "d", 77, 26),
    Int("binary", kInts, "f", 77, 5),
    Int("overflow wraps", kInts, "i", 77, 1215752191),
    Int("quoted number", kInts, "j", 77, 42),
    Int("empty value: default", kInts, "k", 77, 77),

    // Writes, checked by reading back.
    After({{" S2 ", " K2 ", "x", TRUE, kAnyError}, {"S3", "K", "y", TRUE, kAnyError}},
          Str("written names are trimmed", nullptr, nullptr, nullptr, nullptr, 64, 6, "S2\0S3\0\0"s)),
    After({{"s", "k", nullptr, TRUE, kAnyError},
           {"s", nullptr, nullptr, TRUE, kAnyError},
           {nullptr, "k", "v", FALSE, ERROR_FILE_NOT_FOUND},
           {nullptr, nullptr, nullptr, FALSE, kAnyError}},
          Str("deleting nothing or writing without a section creates no file; flush is FALSE", nullptr, nullptr,
              nullptr, nullptr, 64, 0, "\0"s, ERROR_FILE_NOT_FOUND)),
    After({{"s", "k", "v", FALSE, ERROR_PATH_NOT_FOUND}},
          Str("missing directory: no write, default kept quoted", nullptr, "s", "k", "\"qd\" ", 64, 4, "\"qd\"\0"s,
              ERROR_PATH_NOT_FOUND),
          "missing\\x.ini"),
};

TEST(Profile, AnswersLikeWindows) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = dir.File(c.path);
        if (c.file) {
            WriteFile(path, c.file);
        }
        for (const Write& w : c.writes) {
            Api().SetLastError(0);
            EXPECT_EQ(Api().WritePrivateProfileStringA(w.section, w.key, w.value, path.c_str()), w.result)
                << (w.section ? w.section : "(null)") << "/" << (w.key ? w.key : "(null)");
            EXPECT_TRUE(w.error == kAnyError || Api().GetLastError() == w.error) << Api().GetLastError();
        }
        if (c.integer) {
            EXPECT_EQ(Api().GetPrivateProfileIntA(c.section, c.key, static_cast<INT>(c.size), path.c_str()), c.count);
            continue;
        }
        char buffer[80];
        std::memset(buffer, '#', sizeof buffer);
        Api().SetLastError(12345);
        const DWORD count =
            Api().GetPrivateProfileStringA(c.section, c.key, c.defaultText, buffer, c.size, path.c_str());
        const DWORD error = Api().GetLastError();
        EXPECT_EQ(count, c.count);
        EXPECT_EQ(std::string(buffer, std::min<size_t>(count + 1, sizeof buffer)), c.bytes);
        EXPECT_EQ(buffer[c.size], '#') << "wrote past the buffer";
        EXPECT_TRUE(c.error == kAnyError || error == c.error) << error;
    }
}

#if !defined(_WIN32)

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

// Text that would break the file: an error, the old file whole, no temporary
// left. (Each failing system call of the replacement: syscall_faults_test.)
TEST(ProfileWrite, AFailedWriteLosesNothing) {
    const struct {
        const char *name, *section, *key, *value;
    } cases[] = {
        {"line break in a value", "a", "k", "1\nevil=1"},
        {"line break in a section", "a\r", "k", "1"},
        {"= in a key", "a", "k=x", "1"},
        {"key read as a comment", "a", ";k", "1"},
        {"key read as a header", "a", "[k]", "1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = dir.File("p.ini");
        WriteFile(path, "[a]\nk=1\n");
        Api().SetLastError(0);
        EXPECT_FALSE(Put(path, c.section, c.key, c.value));
        EXPECT_EQ(Api().GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(ReadFile(path), "[a]\nk=1\n");
        EXPECT_EQ(Entries(dir.Path()), 1u);
    }
}

// ---- reading ----------------------------------------------------------------------

// A quoted value that exactly fits comes whole (where Wine cuts it one short:
// the quotes make the room); no line length is fixed.
TEST(ProfileRead, ValuesComeWholeWhenTheyFit) {
    TempDir dir;
    const std::string path = dir.File("q.ini"), big((1 << 17) + 1, 'b');
    WriteFile(path, "[s]\nk=\"quoted\"\n");
    char quoted[7];
    EXPECT_EQ(Api().GetPrivateProfileStringA("s", "k", "", quoted, sizeof quoted, path.c_str()), 6u);
    EXPECT_STREQ(quoted, "quoted");
    ASSERT_TRUE(Put(path, "s", "big", big.c_str()));
    EXPECT_EQ(Get(path, "S", "BIG"), big);
}

// ---- freshness ---------------------------------------------------------------------

// Same size and, with coarse kernel timestamps, often the same mtime: only a
// re-read can tell. Then files old enough to be trusted from memory, changed
// behind the reader's back in ways that keep size and mtime: in place, removed,
// replaced by rename.
TEST(ProfileCache, NeverAnswersFromAStaleCopy) {
    TempDir dir;
    const std::string inPlace = dir.File("p.ini"), renamed = dir.File("r.ini"), next = dir.File("next.ini");
    for (int i = 0; i < 300; ++i) {
        const std::string value = std::to_string(i % 10);
        WriteFile(inPlace, "[s]\nk=" + value + "\n");
        ASSERT_EQ(Get(inPlace, "s", "k"), value) << i;
    }

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
    unlink(renamed.c_str());
    EXPECT_EQ(Get(renamed, "s", "k", "gone"), "gone");
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

#endif

}  // namespace
