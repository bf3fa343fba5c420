// Service control against the system's own service control manager (Wine's
// services.exe under the test runner): a real service, installed for the test
// and deleted afterwards, starting fast, slowly or stalling. What is traced
// and how long each pause is are the fake-clock tests' (service_control_test).
#include <gtest/gtest.h>

#include <string>
#include <vector>

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
        if (m_service == nullptr) {
            ADD_FAILURE() << "CreateServiceA failed with " << GetLastError() << " for " << ServiceProgram();
        }
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

private:
    static int s_count;
    std::string m_name;
    SC_HANDLE m_manager = nullptr;
    SC_HANDLE m_service = nullptr;
};

int InstalledService::s_count = 0;

// Pauses of the wait, still taken.
std::vector<DWORD> g_pauses;
void WINAPI RecordPause(DWORD ms) {
    g_pauses.push_back(ms);
    ::Sleep(ms);
}

TEST(ServiceWine, FastServiceStartsForItsAccountAndADisabledOneDoesNot) {
    InstalledService service("fast");
    EXPECT_TRUE(ServiceKeyExists(service.Name()));
    EXPECT_FALSE(IsServiceRunning(service.Name()));
    DWORD error = 1;
    ASSERT_TRUE(StartServiceAndWait(service.Name(), error));
    EXPECT_EQ(error, 0u);
    EXPECT_TRUE(IsServiceRunning(service.Name()));
    EXPECT_TRUE(StartServiceAndWait(service.Name(), error));  // running already: no second start

    InstalledService disabled("fast", SERVICE_DISABLED);
    EXPECT_FALSE(StartServiceAndWait(disabled.Name(), error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
    EXPECT_FALSE(IsServiceRunning(disabled.Name()));

    // A LocalSystem service: the caller is not "system"; one configured for the caller's own account matches.
    EXPECT_STRNE(GetProcessAccountDomain(), "*");
    char user[256] = "";
    DWORD size = sizeof user;
    ASSERT_TRUE(GetUserNameA(user, &size));
    EXPECT_EQ(IsServiceRunningAsCurrentUser(service.Name()), _stricmp(user, "system") == 0);
    const std::string account = std::string(GetProcessAccountDomain()) + "\\" + user;
    InstalledService mine("fast", SERVICE_DEMAND_START, account.c_str());
    ASSERT_TRUE(StartServiceAndWait(mine.Name(), error)) << error;
    EXPECT_TRUE(IsServiceRunningAsCurrentUser(mine.Name())) << account;
}

TEST(ServiceWine, SlowServiceIsWaitedForAndAStalledOneIsNot) {
    InstalledService slow("slow");
    DWORD error = 1;
    EXPECT_TRUE(StartServiceAndWait(slow.Name(), error));
    EXPECT_EQ(error, 0u);

    // The check point stays at 1: one pause, well before the wait hint runs out.
    InstalledService stall("stall");
    ApiOverride pauses;
    pauses->Sleep = RecordPause;
    EXPECT_FALSE(StartServiceAndWait(stall.Name(), error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT));
    EXPECT_EQ(g_pauses, std::vector<DWORD>{1000});
}

}  // namespace
