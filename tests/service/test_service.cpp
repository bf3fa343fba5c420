// A Windows service for the tests: it registers with the service control
// dispatcher and reports its start the way its first argument says.
//
//   fast     RUNNING at once
//   slow     START_PENDING with check points 1, 2, ... every 400 ms, hint 3000, then RUNNING
//   stall    START_PENDING with check point 1 and hint 3000 for 4 s, then STOPPED
//
// A running service stops on the stop control.
#include <windows.h>

#include <cstring>

namespace {

SERVICE_STATUS_HANDLE g_hStatus = nullptr;
HANDLE g_hStop = nullptr;
SERVICE_STATUS g_status{};
const char* g_mode = "fast";

void Report(DWORD state, DWORD checkPoint, DWORD waitHint, DWORD exitCode = NO_ERROR) {
    g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_status.dwCurrentState = state;
    g_status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    g_status.dwWin32ExitCode = exitCode;
    g_status.dwCheckPoint = checkPoint;
    g_status.dwWaitHint = waitHint;
    SetServiceStatus(g_hStatus, &g_status);
}

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID) {
    if (control == SERVICE_CONTROL_STOP && g_status.dwCurrentState == SERVICE_RUNNING) {
        Report(SERVICE_STOP_PENDING, 1, 3000);
        SetEvent(g_hStop);
        return NO_ERROR;
    }
    return ERROR_CALL_NOT_IMPLEMENTED;
}

// Reports START_PENDING for `ms` with the given check point, or advancing ones when it is 0xFFFFFFFF.
void Pending(DWORD ms, DWORD checkPoint, DWORD waitHint) {
    for (DWORD elapsed = 0, step = 1; elapsed < ms; elapsed += 400, ++step) {
        Report(SERVICE_START_PENDING, checkPoint == 0xFFFFFFFF ? step : checkPoint, waitHint);
        Sleep(400);
    }
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
    g_hStatus = RegisterServiceCtrlHandlerExA("", Handler, nullptr);
    if (g_hStatus == nullptr) {
        return;
    }
    g_hStop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (std::strcmp(g_mode, "slow") == 0) {
        Pending(2000, 0xFFFFFFFF, 3000);
    } else if (std::strcmp(g_mode, "stall") == 0) {
        Pending(4000, 1, 3000);
        Report(SERVICE_STOPPED, 0, 0, ERROR_SERVICE_REQUEST_TIMEOUT);
        return;
    }
    Report(SERVICE_RUNNING, 0, 0);
    WaitForSingleObject(g_hStop, INFINITE);
    Report(SERVICE_STOPPED, 0, 0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        g_mode = argv[1];
    }
    char name[] = "";
    SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) ? 0 : static_cast<int>(GetLastError());
}
