// Profile (INI) functions through the seam. The same table runs against our
// reader on Linux and against the system's kernel32 under Wine, so every
// answer below is one both give.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/support.h"
#include "win32/api.h"

using namespace std::string_literals;
using testing_support::TempDir;

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
    Str("size 0 list writes nothing", kFile, nullptr, nullptr, "def", 0, 0, "#"s, kAnyError),

    // Lists of names: each name terminated, a second terminator at the end, size-2 when cut.
    Str("section names", kFile, nullptr, nullptr, "def", 64, 25, "Sec\0sec2\0sec3\0s]tail\0Sec\0\0"s),
    Str("section names cut inside a name", kFile, nullptr, nullptr, "def", 10, 8, "Sec\0sec2\0"s),
    Str("key names skip comments and lines without =", kFile, "SEC", nullptr, "def", 64, 34,
        "Key\0q1\0q2\0q3\0q4\0q5\0q6\0empty\0k2\0K2\0\0"s),
    Str("key names cut in the last", kFile, "sec2", nullptr, "def", 5, 3, "x\0y\0"s),
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
            testing_support::WriteFile(path, c.file);
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

}  // namespace
