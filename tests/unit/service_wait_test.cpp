// The start wait on a fake clock and a scripted status sequence.
#include <gtest/gtest.h>

#include "qvtr/service.h"
#include "service/fake_scm.h"

namespace {

using namespace service_fakes;

SC_HANDLE ServiceHandle() {
    return detail::kService;
}

struct WaitCase {
    const char* name;
    Step initial;
    std::vector<Step> script;
    std::vector<DWORD> sleeps;
    DWORD result;
    DWORD startClock = 0;
};

std::vector<Step> Increasing(DWORD from, DWORD count, DWORD hint) {
    std::vector<Step> steps;
    for (DWORD i = 0; i < count; ++i) {
        steps.push_back(Pending(from + i, hint));
    }
    return steps;
}

class WaitTable : public testing::TestWithParam<WaitCase> {};

TEST_P(WaitTable, PausesAndResult) {
    const WaitCase& c = GetParam();
    FakeScmScope fake;
    fake->script = c.script;
    fake->clock = c.startClock;
    SERVICE_STATUS status = c.initial.status;

    EXPECT_EQ(WaitForServiceStart(ServiceHandle(), status), c.result);
    EXPECT_EQ(fake->sleeps, c.sleeps);
    // Every system text asked for is given back.
    EXPECT_EQ(fake->localFrees, static_cast<int>(fake->formatted.size()));
    if (c.result == 0) {
        EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    }
}

const DWORD k1053 = ERROR_SERVICE_REQUEST_TIMEOUT;

INSTANTIATE_TEST_SUITE_P(
    Service, WaitTable,
    testing::Values(
        // Pause length: a tenth of the hint, clamped to [1000, 10000].
        WaitCase{"Hint0RunsAfterOnePause", Pending(1, 0), {Running()}, {1000}, 0},
        WaitCase{"Hint5000", Pending(1, 5000), {Pending(2, 5000), Running()}, {1000, 1000}, 0},
        WaitCase{"Hint30000", Pending(1, 30000), {Pending(2, 30000), Running()}, {3000, 3000}, 0},
        WaitCase{"Hint200000", Pending(1, 200000), {Pending(2, 200000), Running()}, {10000, 10000}, 0},
        // Hint 0 still starting: the first check after a pause ends the wait.
        WaitCase{"Hint0StillStarting", Pending(1, 0), Increasing(2, 5, 0), {1000}, k1053},
        // A check point that does not move is a stall, after one pause.
        WaitCase{"CheckPoints3Then3", Pending(3, 30000), {Pending(3, 30000)}, {3000}, k1053},
        // No check points at all: only the time limit (hint 5000: pauses until 6000 ms have gone).
        WaitCase{"CheckPointsAlways0", Pending(0, 5000), {Pending(0, 5000)}, std::vector<DWORD>(6, 1000), k1053},
        // Falling back to 0 is not a stall.
        WaitCase{"CheckPoints4Then0",
                 Pending(4, 5000),
                 {Pending(0, 5000), Pending(0, 5000), Running()},
                 {1000, 1000, 1000},
                 0},
        // Progress does not restart the limit: measured from the beginning.
        WaitCase{"ProgressKeepsTheLimit", Pending(1, 3000), Increasing(2, 20, 3000), std::vector<DWORD>(4, 1000),
                 k1053},
        // The latest hint sets both the limit and the pause.
        WaitCase{"LatestHintCounts",
                 Pending(1, 1000),
                 Increasing(2, 20, 30000),
                 {1000, 3000, 3000, 3000, 3000, 3000, 3000, 3000, 3000, 3000, 3000},
                 k1053},
        // The clock wraps during the wait without harm.
        WaitCase{"ClockWraps", Pending(1, 5000), Increasing(2, 20, 5000), std::vector<DWORD>(6, 1000), k1053,
                 0xFFFFFC18u},
        // A failed query ends the wait with its own code; refused is 5.
        WaitCase{"QueryFails", Pending(1, 5000), {Fails(ERROR_INVALID_HANDLE)}, {1000}, ERROR_INVALID_HANDLE},
        WaitCase{"QueryRefused", Pending(1, 5000), {Fails(ERROR_ACCESS_DENIED)}, {1000}, ERROR_ACCESS_DENIED},
        // A failure that leaves no code still must not read as success.
        WaitCase{"QueryFailsWithoutCode", Pending(1, 5000), {Fails(ERROR_SUCCESS)}, {1000}, k1053},
        // The service gave up starting: its exit code, else "not started".
        WaitCase{
            "StoppedWithExitCode", Pending(1, 5000), {Stopped(ERROR_PROCESS_ABORTED)}, {1000}, ERROR_PROCESS_ABORTED},
        WaitCase{"StoppedWithoutExitCode", Pending(1, 5000), {Stopped()}, {1000}, ERROR_SERVICE_NOT_ACTIVE},
        // Not starting at all: nothing to wait for.
        WaitCase{"AlreadyRunning", Running(), {}, {}, 0}),
    [](const testing::TestParamInfo<WaitCase>& info) { return std::string(info.param.name); });

TEST(ServiceWait, FailedWaitTracesTwoLines) {
    FakeScmScope fake;
    fake->script = {Pending(3, 30000)};
    SERVICE_STATUS status = Pending(3, 30000).status;
    status.dwServiceSpecificExitCode = 7;
    fake->script[0].status.dwServiceSpecificExitCode = 7;

    ASSERT_EQ(WaitForServiceStart(ServiceHandle(), status), k1053);
    const std::vector<std::string> expected = {
        "QVTR - SERVICE IS NOT RUNNING state:2\n",
        "QVTR - Service not started. Current State: 2  Exit Code: 0 Service Specific Exit Code: 7  Check Point: 3  "
        "Wait Hint: 30000  Last error: Text of 1053\r\n\n",
    };
    EXPECT_EQ(fake->traces, expected);
    EXPECT_EQ(fake->formatted, std::vector<DWORD>{k1053});
    EXPECT_EQ(fake->localFrees, 1);
}

TEST(ServiceWait, RefusedQueryTracesItsCode) {
    FakeScmScope fake;
    fake->script = {Fails(ERROR_ACCESS_DENIED)};
    SERVICE_STATUS status = Pending(1, 0).status;

    ASSERT_EQ(WaitForServiceStart(ServiceHandle(), status), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    ASSERT_EQ(fake->traces.size(), 2u);
    EXPECT_EQ(fake->traces[1],
              "QVTR - Service not started. Current State: 2  Exit Code: 0 Service Specific Exit Code: 0  Check Point: "
              "1  Wait Hint: 0  Last error: Text of 5\r\n\n");
}

TEST(ServiceWait, SuccessTracesOneLineAtLevel2) {
    FakeScmScope fake;
    fake->script = {Running()};
    SERVICE_STATUS status = Pending(1, 0).status;

    g_Module.m_nDebugLevel = 2;
    ASSERT_EQ(WaitForServiceStart(ServiceHandle(), status), 0u);
    EXPECT_EQ(fake->traces, std::vector<std::string>{"QVTR - Service started!\n"});

    // Below level 2 nothing is written.
    fake->traces.clear();
    fake->script = {Running()};
    fake->next = 0;
    status = Pending(1, 0).status;
    g_Module.m_nDebugLevel = 1;
    ASSERT_EQ(WaitForServiceStart(ServiceHandle(), status), 0u);
    EXPECT_TRUE(fake->traces.empty());
}

TEST(ServiceWait, FailureLinesNeedLevel3) {
    FakeScmScope fake;
    fake->script = {Pending(3, 0)};
    SERVICE_STATUS status = Pending(3, 0).status;
    g_Module.m_nDebugLevel = 2;
    EXPECT_EQ(WaitForServiceStart(ServiceHandle(), status), k1053);
    EXPECT_TRUE(fake->traces.empty());
}

}  // namespace
