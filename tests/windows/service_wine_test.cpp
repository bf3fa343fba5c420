// Service control against the system's own service control manager (Wine's
// services.exe under the test runner): a real service, installed for the test
// and deleted afterwards, starting fast, slowly or stalling.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "qvtr/module.h"
#include "qvtr/service.h"
#include "support/support.h"
#include "win32/api.h"

namespace {

std::string ServiceProgram() {
    const std::string self = testing_support::SelfPath();
    return self.substr(0, self.find_last_of("\\/") + 1) + "qvtr_test_service.exe";
}

// A service installed for one test: stopped and deleted when the object goes.
class InstalledService {
public:
    InstalledService(const std::string& mode, DWORD startType = SERVICE_DEMAND_START, const char* account = nullptr)
        : m_name("QvtrTest-" + mode + "-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++s_count)) {
        m_manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        const std::string commandLine = "\"" + ServiceProgram() + "\" " + mode;
        if (m_manager != nullptr) {
            m_service = CreateServiceA(m_manager, m_name.c_str(), m_name.c_str(), SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, startType, SERVICE_ERROR_NORMAL, commandLine.c_str(),
                                       nullptr, nullptr, nullptr, account, account ? "" : nullptr);
        }
        m_error = m_service ? 0 : GetLastError();
    }

    ~InstalledService() {
        if (m_service != nullptr) {
            SERVICE_STATUS status{};
            ControlService(m_service, SERVICE_CONTROL_STOP, &status);
            // A service still starting cannot take the stop; the test services end by themselves.
            for (int i = 0;
                 i < 150 && QueryServiceStatus(m_service, &status) && status.dwCurrentState != SERVICE_STOPPED; ++i) {
                if (status.dwCurrentState == SERVICE_RUNNING) {
                    ControlService(m_service, SERVICE_CONTROL_STOP, &status);
                }
                Sleep(100);
            }
            DeleteService(m_service);
            CloseServiceHandle(m_service);
        }
        if (m_manager != nullptr) {
            CloseServiceHandle(m_manager);
        }
    }

    InstalledService(const InstalledService&) = delete;
    InstalledService& operator=(const InstalledService&) = delete;

    const char* Name() const { return m_name.c_str(); }
    bool Ok() const { return m_service != nullptr; }
    DWORD Error() const { return m_error; }

private:
    static int s_count;
    std::string m_name;
    SC_HANDLE m_manager = nullptr;
    SC_HANDLE m_service = nullptr;
    DWORD m_error = 0;
};

int InstalledService::s_count = 0;

// Captures the module's trace lines (without the process-id prefix) and counts the pauses.
class TraceAndPauses {
public:
    TraceAndPauses() : m_savedDebugString(g_Module.m_bDebugString), m_savedLevel(g_Module.m_nDebugLevel) {
        s_current = this;
        m_override->OutputDebugStringA = Output;
        m_override->Sleep = Pause;
        g_Module.m_bDebugString = true;
        g_Module.m_nDebugLevel = 3;
    }
    ~TraceAndPauses() {
        g_Module.m_bDebugString = m_savedDebugString;
        g_Module.m_nDebugLevel = m_savedLevel;
        s_current = nullptr;
    }
    TraceAndPauses(const TraceAndPauses&) = delete;
    TraceAndPauses& operator=(const TraceAndPauses&) = delete;

    std::vector<std::string> lines;
    std::vector<DWORD> pauses;

private:
    static void WINAPI Output(LPCSTR line) { s_current->lines.push_back(std::string(line).substr(10)); }
    static void WINAPI Pause(DWORD ms) {
        s_current->pauses.push_back(ms);
        ::Sleep(ms);
    }

    static TraceAndPauses* s_current;
    ApiOverride m_override;
    bool m_savedDebugString;
    int32_t m_savedLevel;
};
TraceAndPauses* TraceAndPauses::s_current = nullptr;

#define REQUIRE_INSTALLED(service) \
    ASSERT_TRUE((service).Ok()) << "CreateServiceA failed with " << (service).Error() << " for " << ServiceProgram()

TEST(ServiceWine, FastServiceStartsAndIsSeenRunning) {
    InstalledService service("fast");
    REQUIRE_INSTALLED(service);
    EXPECT_TRUE(ServiceKeyExists(service.Name()));
    EXPECT_FALSE(IsServiceRunning(service.Name()));

    TraceAndPauses trace;
    DWORD error = 1;
    ASSERT_TRUE(StartServiceAndWait(service.Name(), error));
    EXPECT_EQ(error, 0u);
    EXPECT_TRUE(IsServiceRunning(service.Name()));
    // Running already: the second call neither starts nor traces.
    const size_t lines = trace.lines.size();
    EXPECT_TRUE(StartServiceAndWait(service.Name(), error));
    EXPECT_EQ(trace.lines.size(), lines);
}

TEST(ServiceWine, SlowServiceIsWaitedFor) {
    InstalledService service("slow");
    REQUIRE_INSTALLED(service);
    TraceAndPauses trace;
    DWORD error = 1;
    ASSERT_TRUE(StartServiceAndWait(service.Name(), error));
    EXPECT_EQ(error, 0u);
    EXPECT_FALSE(trace.pauses.empty());
    for (DWORD pause : trace.pauses) {
        EXPECT_EQ(pause, 1000u);  // hint 3000: a tenth, raised to the minimum
    }
    EXPECT_EQ(trace.lines, std::vector<std::string>{"QVTR - Service started!\n"});
}

TEST(ServiceWine, StalledCheckPointEndsTheWait) {
    InstalledService service("stall");
    REQUIRE_INSTALLED(service);
    TraceAndPauses trace;
    DWORD error = 0;
    EXPECT_FALSE(StartServiceAndWait(service.Name(), error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT));
    EXPECT_EQ(trace.pauses, std::vector<DWORD>{1000});
    ASSERT_EQ(trace.lines.size(), 2u);
    EXPECT_EQ(trace.lines[0], "QVTR - SERVICE IS NOT RUNNING state:2\n");
    EXPECT_EQ(trace.lines[1].rfind("QVTR - Service not started. Current State: 2  Exit Code: 0 Service Specific Exit "
                                   "Code: 0  Check Point: 1  Wait Hint: 3000  Last error: ",
                                   0),
              0u)
        << trace.lines[1];
}

TEST(ServiceWine, DisabledServiceIsRefusedWithoutTrace) {
    InstalledService service("fast", SERVICE_DISABLED);
    REQUIRE_INSTALLED(service);
    TraceAndPauses trace;
    DWORD error = 0;
    EXPECT_FALSE(StartServiceAndWait(service.Name(), error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
    EXPECT_TRUE(trace.lines.empty());
    EXPECT_FALSE(IsServiceRunning(service.Name()));
}

TEST(ServiceWine, AccountOfARunningService) {
    // LocalSystem: the caller is not "system".
    InstalledService system("fast");
    REQUIRE_INSTALLED(system);
    DWORD error = 0;
    ASSERT_TRUE(StartServiceAndWait(system.Name(), error));
    EXPECT_STRNE(GetProcessAccountDomain(), "*");
    char user[256] = "";
    DWORD size = sizeof user;
    ASSERT_TRUE(GetUserNameA(user, &size));
    EXPECT_EQ(IsServiceRunningAsCurrentUser(system.Name()), _stricmp(user, "system") == 0);

    // Configured for the caller's own account, and for the same user written with a dot.
    const std::string account = std::string(GetProcessAccountDomain()) + "\\" + user;
    InstalledService mine("fast", SERVICE_DEMAND_START, account.c_str());
    REQUIRE_INSTALLED(mine);
    ASSERT_TRUE(StartServiceAndWait(mine.Name(), error)) << error;
    EXPECT_TRUE(IsServiceRunningAsCurrentUser(mine.Name())) << account;
    InstalledService dotted("fast", SERVICE_DEMAND_START, (std::string(".\\") + user).c_str());
    REQUIRE_INSTALLED(dotted);
    ASSERT_TRUE(StartServiceAndWait(dotted.Name(), error)) << error;
    EXPECT_FALSE(IsServiceRunningAsCurrentUser(dotted.Name()));
}

}  // namespace
