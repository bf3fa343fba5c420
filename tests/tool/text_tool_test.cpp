// qvtr text and qvtr error: a text from the command line or a missing key is
// never a format, a text must match its arguments, and codes may be names or
// HRESULTs that wrap Win32 codes.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <string>

#include "tool/tool_run.h"

using testing_support::TempDir;
using tool_test::Result;
using tool_test::Running;

namespace {

struct TextCase {
    std::vector<std::string> args;
    int status;
    const char* out;  // exact standard output
};

const TextCase kTextCases[] = {
    {{"text", "X", "%n"}, 0, "%n\n"},  // a missing key is printed, never formatted
    {{"text", "X", "%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s"}, 0, "%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s\n"},
    {{"text", "X", "%9$s", "a"}, 0, "%9$s\n"},
    {{"text", "App", "Two", "a", "b"}, 0, "a and b\n"},
    {{"text", "App", "Two", "a"}, 2, ""},
    {{"text", "App", "Two", "a", "b", "c"}, 2, ""},
    {{"text", "App", "Number", "5"}, 2, ""},
    {{"text", "App", "Write", "x"}, 2, ""},
    {{"text", "App", "Positional", "x"}, 2, ""},
    {{"text", "App", "Percent"}, 0, "100% sure\n"},
    {{"text", "QVTR", "UnexpectedError"}, 2, ""},
    {{"error", "0x90000000"}, 0, "%s%s%n\n"},  // the module never formats an error text with arguments it lacks
    {{"error", "0x90000001"}, 0, "Wide %99999999999d, 50%% done\n"},  // as it stands
    {{"error", "error_access_denied"}, 0, "Access is denied.\r\n"},
    {{"error", "0x80070005"}, 0, "HRESULT 0x80070005 wraps Win32 code 5 (ERROR_ACCESS_DENIED):\nAccess is denied.\r\n"},
    {{"error", "NO_SUCH_NAME"}, 2, ""},
};

TEST(TextTool, TextsAreFormatsOnlyWhenTheyMatchTheirArguments) {
    // The tool and the module copied beside a language file of the test's own.
    TempDir dir;
    const std::string tool = QVTR_TOOL, bin = tool.substr(0, tool.rfind('/') + 1);
    testing_support::CopyFileBytes(tool, dir.File("qvtr"));
    testing_support::CopyFileBytes(bin + "libqvtr.so.0", dir.File("libqvtr.so.0"));
    chmod(dir.File("qvtr").c_str(), 0700);
    testing_support::WriteFile(dir.File("qvtr00.lg"),
                               "[App]\nTwo=%s and %s\nNumber=%d\nWrite=%s%n\nPositional=%1$s\nPercent=100%% sure\n"
                               "[QVTR]\nUnexpectedError=%s%s%n\nNotInitialized=Wide %99999999999d, 50%% done\n");
    for (const TextCase& c : kTextCases) {
        const Result result = Running(c.args, dir.File("out"), dir.File("err"), dir.File("qvtr")).Finish();
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
