// qvtr service with sc.exe's habits on the emulated machine: create, query, qc,
// a start that fails with the manager's own reason, delete.
#include <gtest/gtest.h>

#include <string>

#include "tool/tool_run.h"

using tool_test::Result;
using tool_test::RunTool;

namespace {

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
    {{"service", "stop", "ToolDemo"}, 0, {"ToolDemo is not running"}, ""},
    {{"service", "delete", "ToolDemo"}, 0, {"[SC] DeleteService SUCCESS"}, ""},
    {{"service", "delete", "ToolDemo"}, 1, {}, "[SC] OpenService FAILED 1060:"},
    {{"service", "query", "ToolDemo"}, 1, {}, "[SC] OpenService FAILED 1060:"},
    {{"service", "create", "ToolOff", "binPath=", "/bin/true", "start=", "disabled"}, 0, {}, ""},
    {{"service", "start", "ToolOff"}, 1, {}, "(1058)"},
    {{"service", "delete", "ToolOff"}, 0, {}, ""},
    {{"service", "create", "a/b", "binPath=", "/bin/true"}, 1, {}, "FAILED 123:"},
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
}

}  // namespace
