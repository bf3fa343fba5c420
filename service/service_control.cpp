// Starting a service and waiting until the service control manager reports it
// running.
#include <algorithm>

#include "qvtr/module.h"
#include "qvtr/service.h"
#include "win32/api.h"

namespace {

constexpr DWORD kMinPause = 1000;
constexpr DWORD kMaxPause = 10000;

bool IsUsableName(const char* szServiceName) {
    return szServiceName != nullptr && *szServiceName != '\0';
}

// The code a failed wait reports; never 0, since callers read 0 as "running".
DWORD SettleWaitError(DWORD dwQueryError, bool bQueryFailed, bool bStalled, const SERVICE_STATUS& status) {
    if (bQueryFailed) {
        return dwQueryError != 0 ? dwQueryError : ERROR_SERVICE_REQUEST_TIMEOUT;
    }
    if (bStalled || status.dwCurrentState == SERVICE_START_PENDING) {
        return ERROR_SERVICE_REQUEST_TIMEOUT;
    }
    // It gave up starting on its own: its exit code says more than a timeout would.
    return status.dwWin32ExitCode != 0 ? status.dwWin32ExitCode : static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE);
}

}  // namespace

DWORD WaitForServiceStart(SC_HANDLE hService, SERVICE_STATUS& status) {
    const Win32Api& api = Api();
    DWORD dwError = 0;
    bool bQueryFailed = false;
    bool bStalled = false;
    const DWORD dwStart = api.GetTickCount();

    while (status.dwCurrentState == SERVICE_START_PENDING) {
        const DWORD dwOldCheckPoint = status.dwCheckPoint;
        const DWORD dwHint = status.dwWaitHint;
        // Unsigned, so the clock's wrap does no harm; measured from the start
        // of the wait, so progress does not extend it.
        if (api.GetTickCount() - dwStart > dwHint) {
            break;
        }
        api.Sleep(std::min(std::max(dwHint / 10, kMinPause), kMaxPause));
        if (!api.QueryServiceStatus(hService, &status)) {
            dwError = api.GetLastError();
            bQueryFailed = true;
            break;
        }
        const DWORD dwNewCheckPoint = status.dwCheckPoint;
        if (dwOldCheckPoint < dwNewCheckPoint || dwOldCheckPoint == 0) {
            continue;
        }
        if (dwNewCheckPoint != 0) {
            bStalled = true;
            break;
        }
        // The check point fell back to 0: the service stopped counting, keep waiting.
    }

    if (status.dwCurrentState == SERVICE_RUNNING) {
        g_Module.Trace(2, QVTR_TRACE_PREFIX "Service started!\n");
        return 0;
    }

    g_Module.Trace(3, QVTR_TRACE_PREFIX "SERVICE IS NOT RUNNING state:%d\n", static_cast<int>(status.dwCurrentState));
    dwError = SettleWaitError(dwError, bQueryFailed, bStalled, status);

    char* pszText = nullptr;
    api.FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, dwError, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&pszText),
                       0, nullptr);
    g_Module.Trace(3,
                   QVTR_TRACE_PREFIX
                   "Service not started. Current State: %d  Exit Code: %d Service Specific Exit Code: %d  "
                   "Check Point: %d  Wait Hint: %d  Last error: %s\n",
                   static_cast<int>(status.dwCurrentState), static_cast<int>(status.dwWin32ExitCode),
                   static_cast<int>(status.dwServiceSpecificExitCode), static_cast<int>(status.dwCheckPoint),
                   static_cast<int>(status.dwWaitHint), pszText != nullptr ? pszText : "");
    if (pszText != nullptr) {
        api.LocalFree(pszText);
    }
    return dwError;
}

bool EnsureServiceRunning(SC_HANDLE hSCManager, const char* szServiceName, DWORD dwAccess, DWORD& dwError) {
    const Win32Api& api = Api();
    dwError = 0;
    // The manager would refuse these too; answering here keeps a null name
    // away from it.
    SC_HANDLE hService = nullptr;
    if (!IsUsableName(szServiceName)) {
        dwError = szServiceName == nullptr ? ERROR_INVALID_PARAMETER : ERROR_INVALID_NAME;
    } else {
        hService = api.OpenServiceA(hSCManager, szServiceName, dwAccess);
        if (hService == nullptr) {
            dwError = api.GetLastError();
        }
    }

    if (hService != nullptr) {
        SERVICE_STATUS status{};
        if (!api.QueryServiceStatus(hService, &status)) {
            dwError = api.GetLastError();
        } else if (status.dwCurrentState != SERVICE_RUNNING) {
            if (dwAccess == SERVICE_ALL_ACCESS) {
                if (!api.StartServiceA(hService, 0, nullptr)) {
                    dwError = api.GetLastError();
                }
                if (!api.QueryServiceStatus(hService, &status)) {
                    dwError = api.GetLastError();
                }
            }
            if (dwError == 0 && status.dwCurrentState == SERVICE_RUNNING) {
                // Up already.
            } else if (dwError == 0 && status.dwCurrentState == SERVICE_START_PENDING) {
                dwError = WaitForServiceStart(hService, status);
            } else {
                dwError = ERROR_SERVICE_NOT_ACTIVE;
            }
        }
        api.CloseServiceHandle(hService);
    }

    if (hSCManager != nullptr) {
        api.CloseServiceHandle(hSCManager);
    }
    return dwError == 0;
}

bool IsServiceRunning(const char* szServiceName) {
    SC_HANDLE hSCManager = Api().OpenSCManagerA(nullptr, nullptr, GENERIC_READ);
    if (hSCManager == nullptr) {
        return false;
    }
    DWORD dwError = 0;
    return EnsureServiceRunning(hSCManager, szServiceName, SERVICE_QUERY_STATUS, dwError);
}

bool StartServiceAndWait(const char* szServiceName, DWORD& dwError) {
    SC_HANDLE hSCManager = Api().OpenSCManagerA(nullptr, nullptr, GENERIC_EXECUTE);
    if (hSCManager == nullptr) {
        dwError = Api().GetLastError();
        return false;
    }
    return EnsureServiceRunning(hSCManager, szServiceName, SERVICE_ALL_ACCESS, dwError);
}
