// qvtr service with sc.exe's habits on the emulated machine: create, query, qc,
// a start that fails with the manager's own reason, delete; two creates at once.
// qvtr reg export to a name another user prepared.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <tuple>

#include "posix/forked.h"
#include "tool/tool_run.h"

using tool_test::Result;
using tool_test::Running;
using tool_test::RunTool;

namespace {

const std::string kLong(225, 'L');  // the longest the module's 260-character key path can carry
const std::string kTooLong(226, 'T');

struct Step {
    std::vector<std::string> args;
    int status;
    std::vector<std::string> out;  // lines standard output must hold
    const char* err;               // text standard error must hold
};

const Step kSteps[] = {
    {{"service", "create", "ToolDemo", "binPath=", "/nonexistent/%QVTR_TEST_NAME%", "start=", "auto", "obj=", "alice"},
     0,
     {"[SC] CreateService SUCCESS"},
     ""},
    {{"service", "create", "ToolDemo", "binPath=", "/bin/true"}, 1, {}, "[SC] CreateService FAILED 1073:"},
    {{"service", "qc", "ToolDemo"},
     0,
     {"[SC] QueryServiceConfig SUCCESS", "SERVICE_NAME: ToolDemo", "        TYPE               : 10  WIN32_OWN_PROCESS",
      "        START_TYPE         : 2   AUTO_START", "        ERROR_CONTROL      : 1   NORMAL",
      "        BINARY_PATH_NAME   : /nonexistent/%QVTR_TEST_NAME%", "        SERVICE_START_NAME : alice"},
     ""},
    {{"service", "query", "ToolDemo"},
     0,
     {"SERVICE_NAME: ToolDemo", "        STATE              : 1  STOPPED", "        WIN32_EXIT_CODE    : 0  (0x0)",
      "        SERVICE_EXIT_CODE  : 0  (0x0)", "        CHECKPOINT         : 0x0", "        WAIT_HINT          : 0x0"},
     ""},
    {{"service", "query"}, 0, {"SERVICE_NAME: ToolDemo"}, ""},
    // The module reports 1062; the tool names the manager's reason.
    {{"service", "start", "ToolDemo"}, 1, {}, "could not be started: The system cannot find the file specified. (2)"},
    {{"service", "stop", "ToolDemo"}, 6, {"ToolDemo is not running"}, ""},  // the statuses tell failures apart
    {{"service", "delete", "ToolDemo"}, 0, {"[SC] DeleteService SUCCESS"}, ""},
    {{"service", "delete", "ToolDemo"}, 3, {}, "[SC] OpenService FAILED 1060:"},
    {{"service", "query", "ToolDemo"}, 3, {}, "[SC] OpenService FAILED 1060:"},
    {{"service", "create", "ToolOff", "binPath=", "/bin/true", "start=", "DISABLED"}, 0, {}, ""},
    {{"service", "start", "ToolOff"}, 1, {}, "(1058)"},
    {{"service", "delete", "ToolOff"}, 0, {}, ""},
    {{"service", "create", "a/b", "binPath=", "/bin/true"}, 1, {}, "FAILED 123:"},
    // A name as long as the module can find lives through its whole life; a longer one is never made.
    {{"service", "create", kLong, "binPath=", "/bin/sh -c \"exec sleep 30\""}, 0, {}, ""},
    {{"service", "start", kLong}, 0, {}, ""},
    {{"service", "start", kLong}, 5, {"is already running"}, ""},
    {{"service", "stop", "--timeout", "5", kLong}, 0, {}, ""},
    {{"service", "delete", kLong}, 0, {"[SC] DeleteService SUCCESS"}, ""},
    {{"service", "create", kTooLong, "binPath=", "/bin/true"}, 1, {}, "[SC] CreateService FAILED 123:"},
    {{"service", "create", "X"}, 2, {}, "binPath= PATH is required"},
    {{"service", "create", "X", "binPath=", "/x", "start=", "sometimes"}, 2, {}, "start= expects"},
    {{"service", "create", "X", "binPath="}, 2, {}, "expects a value"},
    {{"service", "create", "X", "color=", "red"}, 2, {}, "unknown option"},
    {{"service", "qc"}, 2, {}, "expects one NAME"},
    {{"service", "frobnicate", "X"}, 2, {}, "unknown action"},
};

TEST(ServiceTool, ScHabitsOnTheEmulatedMachine) {
    for (const Step& step : kSteps) {
        const Result result = RunTool(step.args);
        const std::string what = step.args[1] + (step.args.size() > 2 ? " " + step.args[2] : "");
        EXPECT_EQ(result.status, step.status) << what << "\n" << result.out << result.err;
        for (const std::string& line : step.out) {
            EXPECT_NE(result.out.find(line + "\n"), std::string::npos) << what << ": " << line << "\n" << result.out;
        }
        EXPECT_NE(result.err.find(step.err), std::string::npos) << what << "\n" << result.err;
    }
    // A deleted service leaves nothing of its run state behind.
    const std::string run = std::string(std::getenv("QVTR_REGISTRY")) + ".services/" + std::to_string(geteuid()) + "/";
    for (const std::string& name : {std::string("tooldemo"), std::string(kLong.size(), 'l')}) {
        for (const char* suffix : {".state", ".lock", ".status"}) {
            EXPECT_FALSE(testing_support::FileExists(run + name + suffix)) << name << suffix;
        }
    }
    // The report says which registry this machine is: here a private file.
    EXPECT_NE(RunTool({"report"})
                  .out.find(std::string("Registry:              ") + std::getenv("QVTR_REGISTRY") +
                            " ($QVTR_REGISTRY: a machine of its own"),
              std::string::npos);
}

// Every command family ends its lines the platform's way (LF here) on both
// streams; a key typed without quotes is named for what it is; a failed write
// of standard output is an error (status 1, one line), as GNU tools make it.
TEST(Tool, LineEndsBadNamesAndFailedWrites) {
    RunTool({"reg", "add", "HKCU\\Software\\Ends", "/v", "x", "/d", "y", "/f"});
    const std::vector<std::vector<std::string>> families = {
        {"reg", "query", "HKCU\\Software\\Ends"},
        {"reg", "query", "HKCU\\Nowhere"},
        {"service", "query", "Nowhere"},
        {"error", "5"},
        {"report"},
        {"lock", "-v", "ends", "--", "true"},
        {"log", "--file", "/nonexistent/qvtr.log"},
        {"text", "QVTR", "UnexpectedError"},
        {"reg", "query", "HKCUSoftwareEnds"},
    };
    for (const auto& args : families) {
        const Result result = RunTool(args);
        EXPECT_FALSE(result.out.empty() && result.err.empty()) << args[0] << " " << args[1];
        EXPECT_EQ((result.out + result.err).find('\r'), std::string::npos) << args[0] << " " << args[1];
    }
    EXPECT_NE(RunTool(families.back()).err.find("the backslashes are gone"), std::string::npos);
    const std::pair<std::vector<std::string>, std::string> typos[] = {{{"repot"}, "'report'"},
                                                                      {{"reg", "quer", "HKCU\\Software"}, "'query'"},
                                                                      {{"service", "qurey", "X"}, "'query'"},
                                                                      {{"service", "delet", "X"}, "'delete'"}};
    for (const auto& typo : typos) {
        EXPECT_NE(RunTool(typo.first).err.find("did you mean " + typo.second), std::string::npos) << typo.first[0];
    }
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"report"}, {"reg", "query", "HKCU\\Software\\Ends"}, {"error", "5"}, {"service", "query"}}) {
        testing_support::TempDir dir;
        const Result full = Running(args, "/dev/full", dir.File("err")).Finish();
        EXPECT_EQ(full.status, 1) << args[0];
        EXPECT_EQ(full.err, "qvtr: cannot write to standard output: No space left on device\n") << args[0];
    }
}

// Two creates of one name at once: one wins, the other finds the service there.
TEST(ServiceTool, OfTwoCreatesAtOnceOneWins) {
    testing_support::TempDir dir;
    Running first({"service", "create", "Race", "binPath=", "/bin/first"}, dir.File("1"), dir.File("1e"));
    Running second({"service", "create", "Race", "binPath=", "/bin/second"}, dir.File("2"), dir.File("2e"));
    const Result a = first.Finish(), b = second.Finish();
    EXPECT_EQ(a.status + b.status, 1) << a.err << b.err;
    EXPECT_NE((a.status ? a.err : b.err).find("FAILED 1073"), std::string::npos);
    const Result qc = RunTool({"service", "qc", "Race"});
    EXPECT_NE(qc.out.find(a.status == 0 ? "/bin/first\n" : "/bin/second\n"), std::string::npos) << qc.out;
    RunTool({"service", "delete", "Race"});
}

// An export writes a new regular file of the user's own and renames it into
// place: never into what another user prepared at the name, never waiting on it.
TEST(RegTool, ExportWritesOnlyANewFileOfTheUsersOwn) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as two users";
    }
    testing_support::TempDir dir;
    const std::string drop = dir.File("drop"), name = drop + "/backup.reg", mine = dir.File("mine");
    mkdir(drop.c_str(), 0777), chmod(drop.c_str(), 0777), chmod(dir.Path().c_str(), 0755);
    RunTool({"reg", "add", "HKCU\\Software\\Secret", "/v", "pin", "/d", "1234", "/f"});
    const struct {
        const char* what;
        std::function<void()> plant;
        uid_t by = forked::kOther;
    } plants[] = {
        {"a FIFO the other reads", [&] { mkfifo(name.c_str(), 0666); }},
        {"the other's file, open to all",
         [&] { testing_support::WriteFile(name, "theirs\n"), chmod(name.c_str(), 0666); }},
        {"the other's link to a file of the user's", [&] { symlink(mine.c_str(), name.c_str()); }},
        {"a second name of the user's file", [&] { link(mine.c_str(), name.c_str()); }, 0},
    };
    for (const auto& p : plants) {
        for (const char* confirm : {"/y", ""}) {
            SCOPED_TRACE(std::string(p.what) + " " + confirm);
            testing_support::WriteFile(mine, "mine\n");
            unlink(name.c_str());
            forked::Run([&] { return p.plant(), 0; }, p.by);
            struct stat before {
            }, after{};
            lstat(name.c_str(), &before);
            std::vector<std::string> args{"20", QVTR_TOOL, "reg", "export", "HKCU\\Software\\Secret", name};
            if (*confirm) {
                args.push_back(confirm);
            }
            testing_support::TempDir out;
            const Result result = Running(args, out.File("o"), out.File("e"), "/usr/bin/timeout").Finish();
            EXPECT_EQ(result.status, 1) << result.err;
            EXPECT_NE(result.err.find("cannot write"), std::string::npos) << result.err;
            lstat(name.c_str(), &after);
            EXPECT_EQ(after.st_ino, before.st_ino);
            EXPECT_EQ(after.st_size, before.st_size);
            EXPECT_EQ(testing_support::ReadFile(mine), "mine\n");
        }
    }
    unlink(name.c_str());
    EXPECT_EQ(RunTool({"reg", "export", "HKCU\\Software\\Secret", name}).status, 0);
    // A key onto itself through another of its names is refused as through the same name.
    const std::string sid = "HKU\\S-1-22-1-" + std::to_string(getuid());
    for (const auto& [verb, from, to] : {std::tuple<const char*, std::string, std::string>{
                                             "copy", "HKCU\\Software\\Secret", sid + "\\Software\\Secret\\in"},
                                         {"compare", "HKCR\\x", "HKLM\\SOFTWARE\\Classes\\x"}}) {
        const Result result = RunTool({"reg", verb, from, to, "/s"});
        EXPECT_EQ(result.status, 1) << verb;
        EXPECT_NE(result.err.find(std::string("Cannot ") + verb + " a key"), std::string::npos) << result.err;
    }
    struct stat made {};
    EXPECT_TRUE(lstat(name.c_str(), &made) == 0 && S_ISREG(made.st_mode) && made.st_uid == geteuid());
}

}  // namespace
