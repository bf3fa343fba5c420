// qvtr log on a crafted log of two interleaved processes with a torn last line,
// and following a log that grows, is replaced and is truncated. qvtr text and
// qvtr error: a text from the command line or a missing key is never a format, a
// text must match its arguments, and codes may be names or HRESULTs that wrap
// Win32 codes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "tool/tool_run.h"

using namespace testing_support;
using tool_test::Result;
using tool_test::RunTool;

namespace {

// A crafted log of two processes, lines 1 to 11.
const char* const kLines[] = {
    "000012AB: Init() log path /tmp/qvtr.log\n",
    "0000BEEF: Init() log path /tmp/qvtr.log\n",
    "000012AB: Mutex Payroll - 00000004: 00000000\n",
    "000012AB: In Critical Section 00000004\n",
    "0000BEEF: Mutex Night - job - 00000008: 000000B7\n",
    "0000BEEF: In Critical Section 00000008\n",
    "0000BEEF: Mutex 00000008 released\n",
    "000012AB: report done\n",
    "  second line of that text\n",
    "0000BEEF: Init() log path /tmp/qvtr.log\n",
    "0000BEEF: after restart\n",
};

struct FilterCase {
    std::vector<std::string> options;
    std::vector<int> lines;  // the crafted log's lines expected, in order
};

const FilterCase kFilters[] = {
    {{}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}},
    {{"--pid", "4779"}, {1, 3, 4, 8, 9}},
    {{"--pid", "0xBEEF,4779"}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}},
    {{"--grep", "Mutex|Critical"}, {3, 4, 5, 6, 7}},
    {{"--grep", "^0000"}, {}},  // the prefix is not part of the text
    {{"--grep", "Section x+0"}, {}},
    {{"--grep", "re(lea)+sed$"}, {7}},
    {{"--grep", "0{8}$"}, {3}},
    {{"--grep", "^\\w+ [[:upper:]]\\w+ -"}, {3, 5}},
    {{"--grep", "Init", "--last", "2"}, {2, 10}},
    {{"--since-start"}, {1, 3, 4, 8, 9, 10, 11}},
    {{"--since-start", "--pid", "48879", "--last", "1"}, {11}},
    {{"--last", "0"}, {}},
};

// The tool and the module copied into DIR, so that the INI, log and language files
// beside the module are the test's own; the copy's path.
std::string ToolBesideItsOwnFiles(TempDir& dir) {
    const std::string tool = QVTR_TOOL, bin = tool.substr(0, tool.rfind('/') + 1);
    CopyFileBytes(tool, dir.File("qvtr"));
    CopyFileBytes(bin + "libqvtr.so.0", dir.File("libqvtr.so.0"));
    chmod(dir.File("qvtr").c_str(), 0700);
    return dir.File("qvtr");
}

std::string Lines(const std::vector<int>& numbers) {
    std::string out;
    for (int n : numbers) {
        out += kLines[n - 1];
    }
    return out;
}

TEST(LogTool, FiltersSummaryAndColoursHoldBackATornLastLine) {
    TempDir dir;
    const std::string log = dir.File("qvtr.log");
    WriteFile(log, Lines({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}) + "000012AB: torn in the mid");  // a writer at work
    for (const FilterCase& c : kFilters) {
        std::vector<std::string> args{"log", "--file", log};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const Result result = RunTool(args);
        const bool grep = std::count(c.options.begin(), c.options.end(), "--grep") != 0;
        EXPECT_EQ(result.status, grep && c.lines.empty() ? 1 : 0) << c.options.size() << result.err;  // as grep
        EXPECT_EQ(result.out, Lines(c.lines)) << (c.options.empty() ? "" : c.options[0]);
    }
    // A holder whose process is gone says so (4779 may run here: asked, not assumed).
    const bool gone = kill(4779, 0) != 0 && errno == ESRCH;
    EXPECT_EQ(RunTool({"log", "--summary", log}).out,
              "PROCESS   PID         FIRST         LAST          LINES       HOLDING\n"
              "000012AB  4779        1             9             5           Payroll" +
                  std::string(gone ? " (process gone)" : "") +
                  "\n"
                  "0000BEEF  48879       2             11            6           -\n");
    // Colour follows the process id; not a terminal: none unless asked for.
    const std::string always = RunTool({"log", "--color=always", "--last", "2", log}).out;
    EXPECT_EQ(always.find("\x1b["), 0u);
    EXPECT_NE(always.find("m0000BEEF:\x1b[0m after restart\n"), std::string::npos);
    EXPECT_EQ(RunTool({"log", log}).out.find('\x1b'), std::string::npos);
}

// The reader loads the module too: with a threshold of 5 its own start-up line
// goes to the log it reads, and is left out.
TEST(LogTool, TheReaderNeverShowsItsOwnLines) {
    TempDir dir;
    const std::string qvtr = ToolBesideItsOwnFiles(dir);
    WriteFile(dir.File("qvtr.ini"), "[LOG]\npath=" + dir.File("qvtr.log") + "\n[QVTR]\ndebug=5\n");
    WriteFile(dir.File("qvtr.log"), kLines[0]);
    const Result result = tool_test::Running({"log"}, dir.File("out"), dir.File("err"), qvtr).Finish();
    EXPECT_EQ(result.out, kLines[0]);
    EXPECT_NE(ReadFile(dir.File("qvtr.log")).find("Init() log path " + dir.File("qvtr.log")), std::string::npos);
}

// `qvtr log` under a time limit: a run that would never end (a retry without
// end, a follow nobody asked for) fails in seconds with status 124.
Result RunLog(std::vector<std::string> args) {
    TempDir dir;
    args.insert(args.begin(), {"10", QVTR_TOOL, "log"});
    return tool_test::Running(args, dir.File("out"), dir.File("err"), "/usr/bin/timeout").Finish();
}

TEST(LogTool, BadUsageIsOneLineAndStatus2) {
    const std::vector<std::vector<std::string>> bad = {
        {"--pid", "12x"},      {"--pid", ""}, {"--last", "-1"}, {"--grep", "("}, {"--summary", "-f"},
        {"--color=sometimes"}, {"--bogus"},   {"a", "b"},       {"--file"},
    };
    for (const auto& options : bad) {
        const Result result = RunLog(options);
        EXPECT_EQ(result.status, 2) << options[0];
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    }
    TempDir dir;
    // Every read of /proc/self/mem fails ("cannot read"): an error, not an endless retry.
    for (const auto& [path, message] :
         {std::pair<std::string, const char*>{dir.File("none.log"), "cannot open"}, {"/proc/self/mem", "cannot "}}) {
        const Result result = RunLog({path});
        EXPECT_EQ(result.status, 1) << path;
        EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
    }
}

// What another user logged on purpose: a search costs time in proportion to the
// text whatever the pattern, what is kept for a summary is bounded, and a
// terminal gets control characters as text, never as its own commands.
TEST(LogTool, HostileLinesCostLinearTimeAndReachATerminalAsText) {
    TempDir dir;
    const std::string log = dir.File("qvtr.log");
    std::string text = "00000001: title\x1b]0;owned\x07 then\x1b[2J\x1b[8m hidden\n";
    std::string many;
    while (many.size() < (360u << 10)) {
        many += "Mutex ";  // each a start a backtracking matcher tries to the end of the line
    }
    text += "00000002: " + many + "\n00000003: Mutex 00000004 released\n";
    for (unsigned handle = 0; handle < 3000; ++handle) {
        char line[64];
        std::snprintf(line, sizeof line, "00000004: In Critical Section %08X\n", handle);
        text += line;
    }
    WriteFile(log, text);
    const auto start = std::chrono::steady_clock::now();
    const Result grep = RunLog({"--grep", "Mutex.*released", log});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(grep.out, "00000003: Mutex 00000004 released\n");
    EXPECT_NE(RunLog({"--summary", log}).out.find("(more than were kept)"), std::string::npos);
    // Piped, the bytes pass as they are; on a terminal (script gives one) they are shown.
    EXPECT_NE(RunLog({"--pid", "1", log}).out.find("\x1b]0;owned\x07"), std::string::npos);
    TempDir out;
    const std::string command = std::string(QVTR_TOOL) + " log --color=never --pid 1 " + log;
    const Result shown = tool_test::Running({"10", "script", "-qec", command, "/dev/null"}, out.File("o"),
                                            out.File("e"), "/usr/bin/timeout")
                             .Finish();
    EXPECT_NE(shown.out.find("title^[]0;owned^G then^[[2J^[[8m hidden"), std::string::npos) << shown.out;
    EXPECT_EQ(shown.out.find('\x1b'), std::string::npos);
}

void Append(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::app | std::ios::binary) << text;
}

// Waits (at most 10 s) until the file holds `text`.
bool Shows(const std::string& path, const std::string& text) {
    for (int i = 0; i < 200; ++i) {
        if (ReadFile(path).find(text) != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

TEST(LogTool, FollowSurvivesReplacementAndTruncation) {
    TempDir dir;
    const std::string log = dir.File("qvtr.log");
    WriteFile(log, "00000001: old line\n00000001: last old line\n");
    tool_test::Running follow({"log", "-f", "--last", "1", "--file", log}, dir.File("out"), dir.File("err"));
    ASSERT_TRUE(Shows(dir.File("out"), "last old line\n"));
    Append(log, "00000002: half");
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_EQ(ReadFile(dir.File("out")).find("half"), std::string::npos);
    Append(log, " and whole\n");
    ASSERT_TRUE(Shows(dir.File("out"), "00000002: half and whole\n"));

    WriteFile(dir.File("new.log"), "00000003: a new file\n");
    ASSERT_EQ(std::rename(dir.File("new.log").c_str(), log.c_str()), 0);
    ASSERT_TRUE(Shows(dir.File("out"), "00000003: a new file\n"));
    Append(log, "00000003: appended to it\n");
    ASSERT_TRUE(Shows(dir.File("out"), "appended to it\n"));

    WriteFile(log, "00000004: cut\n");  // shorter than what was read: truncated
    ASSERT_TRUE(Shows(dir.File("out"), "00000004: cut\n"));
    // Cut and filled again past where it was read, between two looks: read from its start.
    WriteFile(log, "00000005: refilled, and longer than everything the reader has seen of it\n");
    ASSERT_TRUE(Shows(dir.File("out"), "00000005: refilled"));
    const Result result = follow.Stop();
    EXPECT_EQ(result.out,
              "00000001: last old line\n00000002: half and whole\n00000003: a new file\n"
              "00000003: appended to it\n00000004: cut\n"
              "00000005: refilled, and longer than everything the reader has seen of it\n");
    EXPECT_NE(result.err.find("was replaced"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("was truncated"), std::string::npos) << result.err;
}

struct TextCase {
    std::vector<std::string> args;
    int status;
    const char* out;  // exact standard output
};

const TextCase kTextCases[] = {
    {{"text", "X", "%n"}, 0, "%n\n"},  // a missing key is printed, never formatted
    {{"text", "X", "%9$s", "a"}, 0, "%9$s\n"},
    {{"text", "App", "Two", "a", "b"}, 0, "a and b\n"},
    {{"text", "App", "Two", "a"}, 2, ""},
    {{"text", "App", "Two", "a", "b", "c"}, 2, ""},
    {{"text", "App", "Write", "x"}, 2, ""},
    {{"text", "App", "Positional", "x"}, 2, ""},
    {{"text", "App", "Percent"}, 0, "100% sure\n"},
    // The module never formats an error text with arguments it lacks; it stands as it is.
    {{"error", "0x90000000"}, 0, "QVTR_E_UNEXPECTED (0x90000000): %s%s%n\n"},
    {{"error", "0x90000001"}, 0, "QVTR_E_NOT_INITIALIZED (0x90000001): Wide %99999999999d, 50%% done\n"},
    // The system's text loses its own CR LF: lines end the platform's way.
    {{"error", "error_access_denied"}, 0, "ERROR_ACCESS_DENIED (5): Access is denied.\n"},
    {{"error", "0x80070005"},
     0,
     "HRESULT 0x80070005 wraps Win32 code 5 (ERROR_ACCESS_DENIED):\nERROR_ACCESS_DENIED (5): Access is denied.\n"},
    {{"error", "co_e_classstring"}, 0, "CO_E_CLASSSTRING (0x800401F3): Invalid class string\n"},
    {{"error", "NO_SUCH_NAME"}, 2, ""},
};

TEST(TextTool, TextsAreFormatsOnlyWhenTheyMatchTheirArguments) {
    TempDir dir;
    const std::string qvtr = ToolBesideItsOwnFiles(dir);
    WriteFile(dir.File("qvtr00.lg"),
              "[App]\nTwo=%s and %s\nWrite=%s%n\nPositional=%1$s\nPercent=100%% sure\n"
              "[QVTR]\nUnexpectedError=%s%s%n\nNotInitialized=Wide %99999999999d, 50%% done\n");
    for (const TextCase& c : kTextCases) {
        const Result result = tool_test::Running(c.args, dir.File("out"), dir.File("err"), qvtr).Finish();
        const std::string what = c.args[0] + " " + c.args[1] + (c.args.size() > 2 ? " " + c.args[2] : "");
        EXPECT_EQ(result.status, c.status) << what << "\n" << result.err;
        if (c.status == 2) {
            EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << what << result.err;
        } else {
            EXPECT_EQ(result.out, c.out) << what;
        }
    }
}

}  // namespace
