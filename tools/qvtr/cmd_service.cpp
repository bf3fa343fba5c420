// service: inspect, start and stop a Windows service; the local server of a COM class.
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "command.h"
#include "qvtr/module.h"
#include "qvtr/service.h"
#include "win32/api.h"

namespace tool {

namespace {

const char* StateName(DWORD state) {
    switch (state) {
        case SERVICE_STOPPED:
            return "STOPPED";
        case SERVICE_START_PENDING:
            return "START_PENDING";
        case SERVICE_STOP_PENDING:
            return "STOP_PENDING";
        case SERVICE_RUNNING:
            return "RUNNING";
        case SERVICE_CONTINUE_PENDING:
            return "CONTINUE_PENDING";
        case SERVICE_PAUSE_PENDING:
            return "PAUSE_PENDING";
        case SERVICE_PAUSED:
            return "PAUSED";
        default:
            return "UNKNOWN";
    }
}

// "text (code)", the text without its line end.
std::string DescribeError(DWORD code) {
    std::string text;
    if (code == static_cast<DWORD>(CO_E_CLASSSTRING)) {
        text = "No COM class is registered under this ProgID.";
    } else {
        g_Module.GetErrorText(text, code);
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    std::ostringstream out;
    out << text << " (";
    if (code >= 0x10000) {
        out << "0x" << std::hex << std::uppercase << std::setw(8) << std::setfill('0') << code;
    } else {
        out << code;
    }
    out << ")";
    return out.str();
}

int Failure(const std::string& message) {
    std::cerr << "qvtr service: " << message << "\n";
    return kExitFailure;
}

// A manager and one service handle, closed when the object goes.
class ServiceHandles {
public:
    ServiceHandles(const std::string& name, DWORD managerAccess, DWORD serviceAccess) {
        m_manager = Api().OpenSCManagerA(nullptr, nullptr, managerAccess);
        if (m_manager == nullptr) {
            m_error = Api().GetLastError();
            return;
        }
        m_service = Api().OpenServiceA(m_manager, name.c_str(), serviceAccess);
        if (m_service == nullptr) {
            m_error = Api().GetLastError();
        }
    }
    ~ServiceHandles() {
        if (m_service != nullptr) {
            Api().CloseServiceHandle(m_service);
        }
        if (m_manager != nullptr) {
            Api().CloseServiceHandle(m_manager);
        }
    }
    ServiceHandles(const ServiceHandles&) = delete;
    ServiceHandles& operator=(const ServiceHandles&) = delete;

    SC_HANDLE Service() const { return m_service; }
    DWORD Error() const { return m_error; }

private:
    SC_HANDLE m_manager = nullptr;
    SC_HANDLE m_service = nullptr;
    DWORD m_error = 0;
};

// ---- status ------------------------------------------------------------------------

int RunStatus(const std::string& name) {
    const bool registered = ServiceKeyExists(name.c_str());
    ReportLine(std::cout, "Service", name);
    ReportLine(std::cout, "Registered", registered ? "yes" : "no");
    if (!registered) {
        return kExitFailure;
    }
    const ServiceHandles handles(name, GENERIC_READ, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG);
    if (handles.Service() == nullptr) {
        return Failure(name + ": " + DescribeError(handles.Error()));
    }
    SERVICE_STATUS status{};
    if (!Api().QueryServiceStatus(handles.Service(), &status)) {
        return Failure(name + ": " + DescribeError(Api().GetLastError()));
    }
    ReportLine(std::cout, "State", StateName(status.dwCurrentState));
    if (status.dwCurrentState == SERVICE_START_PENDING || status.dwCurrentState == SERVICE_STOP_PENDING) {
        ReportLine(std::cout, "Check point", std::to_string(status.dwCheckPoint));
        ReportLine(std::cout, "Wait hint", std::to_string(status.dwWaitHint) + " ms");
    }
    if (status.dwCurrentState == SERVICE_STOPPED && status.dwWin32ExitCode != 0) {
        ReportLine(std::cout, "Exit code", DescribeError(status.dwWin32ExitCode));
    }

    DWORD needed = 0;
    std::vector<unsigned char> buffer(sizeof(QUERY_SERVICE_CONFIGA));
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    bool haveConfig = Api().QueryServiceConfigA(handles.Service(), config, static_cast<DWORD>(buffer.size()), &needed);
    if (!haveConfig && Api().GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        buffer.resize(needed);
        config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
        haveConfig = Api().QueryServiceConfigA(handles.Service(), config, needed, &needed);
    }
    if (haveConfig) {
        const char* account = config->lpServiceStartName;
        ReportLine(std::cout, "Configured account", account && *account ? account : "LocalSystem");
        ReportLine(std::cout, "Command line", config->lpBinaryPathName ? config->lpBinaryPathName : "");
        ReportLine(std::cout, "Start type",
                   config->dwStartType == SERVICE_DISABLED     ? "disabled"
                   : config->dwStartType == SERVICE_AUTO_START ? "automatic"
                                                               : "on demand");
    } else {
        ReportLine(std::cout, "Configured account", "(unknown: " + DescribeError(Api().GetLastError()) + ")");
    }

    char user[256] = "";
    DWORD userSize = sizeof user;
    const std::string me =
        std::string(GetProcessAccountDomain()) + "\\" + (Api().GetUserNameA(user, &userSize) ? user : "(unknown)");
    ReportLine(std::cout, "Current user", me);
    ReportLine(std::cout, "Runs as current user", IsServiceRunningAsCurrentUser(name.c_str()) ? "yes" : "no");
    return 0;
}

// ---- start -------------------------------------------------------------------------

// While the layer waits, its status queries and pauses pass through here, so
// the tool can show how the start goes without a wait of its own.
struct StartProgress {
    std::string name;
    const Win32Api* saved = nullptr;
    DWORD startTick = 0;
    SERVICE_STATUS last{};
};
StartProgress g_progress;

BOOL WINAPI ProgressQueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
    const BOOL ok = g_progress.saved->QueryServiceStatus(service, status);
    if (ok) {
        g_progress.last = *status;
    }
    return ok;
}

void WINAPI ProgressSleep(DWORD ms) {
    const SERVICE_STATUS& s = g_progress.last;
    const DWORD elapsed = g_progress.saved->GetTickCount() - g_progress.startTick;
    std::cerr << "qvtr service start: " << g_progress.name << ": " << StateName(s.dwCurrentState) << ", check point "
              << s.dwCheckPoint << ", wait hint " << s.dwWaitHint << " ms, " << std::fixed << std::setprecision(1)
              << elapsed / 1000.0 << " s elapsed; next check in " << ms / 1000.0 << " s\n";
    g_progress.saved->Sleep(ms);
}

// The layer reports every refused start as "not started"; the manager knows more.
std::string WhyNotStarted(const std::string& name, DWORD error) {
    if (error != ERROR_SERVICE_NOT_ACTIVE) {
        return "";
    }
    const ServiceHandles handles(name, GENERIC_READ, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS);
    if (handles.Service() == nullptr) {
        return "";
    }
    DWORD needed = 0;
    std::vector<unsigned char> buffer(8 * 1024);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    if (Api().QueryServiceConfigA(handles.Service(), config, static_cast<DWORD>(buffer.size()), &needed) &&
        config->dwStartType == SERVICE_DISABLED) {
        return "; it is disabled";
    }
    SERVICE_STATUS status{};
    if (Api().QueryServiceStatus(handles.Service(), &status) && status.dwCurrentState == SERVICE_STOPPED &&
        status.dwWin32ExitCode != 0) {
        return "; it ended with " + DescribeError(status.dwWin32ExitCode);
    }
    return "";
}

int RunStart(const std::string& name) {
    DWORD error = 0;
    bool running = false;
    {
        ApiOverride hooks;
        g_progress.name = name;
        g_progress.saved = &hooks.Saved();
        g_progress.startTick = hooks.Saved().GetTickCount();
        hooks->QueryServiceStatus = ProgressQueryServiceStatus;
        hooks->Sleep = ProgressSleep;
        running = StartServiceAndWait(name.c_str(), error);
    }
    if (!running) {
        return Failure(name + " is not running: " + DescribeError(error) + WhyNotStarted(name, error));
    }
    std::cout << name << " is running\n";
    return 0;
}

// ---- stop ----------------------------------------------------------------------------

int RunStop(const std::string& name, DWORD timeoutMs) {
    const ServiceHandles handles(name, SC_MANAGER_CONNECT, SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (handles.Service() == nullptr) {
        return Failure(name + ": " + DescribeError(handles.Error()));
    }
    SERVICE_STATUS status{};
    if (!Api().ControlService(handles.Service(), SERVICE_CONTROL_STOP, &status)) {
        const DWORD error = Api().GetLastError();
        if (error == ERROR_SERVICE_NOT_ACTIVE) {
            std::cout << name << " is not running\n";
            return 0;
        }
        if (error != ERROR_SERVICE_CANNOT_ACCEPT_CTRL || status.dwCurrentState != SERVICE_STOP_PENDING) {
            return Failure(name + ": " + DescribeError(error));
        }
    }
    const DWORD start = Api().GetTickCount();
    while (status.dwCurrentState != SERVICE_STOPPED) {
        if (Api().GetTickCount() - start > timeoutMs) {
            return Failure(name + " did not stop within " + std::to_string(timeoutMs / 1000) + " s (state " +
                           StateName(status.dwCurrentState) + ")");
        }
        Api().Sleep(100);
        if (!Api().QueryServiceStatus(handles.Service(), &status)) {
            return Failure(name + ": " + DescribeError(Api().GetLastError()));
        }
    }
    std::cout << name << " stopped\n";
    return 0;
}

// ---- server ---------------------------------------------------------------------------

int RunServer(const std::string& progId) {
    // Grown by 256 bytes until the command line fits.
    for (DWORD size = 256; size <= 64 * 1024; size += 256) {
        std::vector<char> buffer(size);
        if (GetLocalServerPath(progId.c_str(), buffer.data(), size) != 0) {
            std::cout << buffer.data() << "\n";
            return 0;
        }
        const DWORD error = Api().GetLastError();
        if (error == ERROR_INVALID_DATA) {
            return Failure(progId + ": the LocalServer32 value of its class is not a REG_SZ string");
        }
        if (error != ERROR_MORE_DATA) {
            return Failure(progId + ": " + DescribeError(error));
        }
    }
    return Failure(progId + ": the command line is longer than 64 KiB");
}

int RunService(const Args& args) {
    if (args.empty()) {
        return UsageError("service", "expects status, start, stop or server");
    }
    const std::string& action = args[0];
    if (action == "stop" && (args.size() == 2 || (args.size() == 4 && args[2] == "--timeout"))) {
        uint32_t seconds = 30;
        if (args.size() == 4 && (!ParseUInt32(args[3], seconds) || seconds > 3600)) {
            return UsageError("service", "--timeout takes seconds from 0 to 3600, not '" + args[3] + "'");
        }
        return RunStop(args[1], seconds * 1000);
    }
    if (action != "status" && action != "start" && action != "stop" && action != "server") {
        return UsageError("service", "unknown action '" + action + "'; expects status, start, stop or server");
    }
    if (args.size() != 2) {
        return UsageError("service", action + (action == "server" ? " expects one PROGID" : " expects one NAME"));
    }
    if (args[1].empty()) {
        return UsageError("service", action + (action == "server" ? ": PROGID is empty" : ": NAME is empty"));
    }
    if (action == "status") {
        return RunStatus(args[1]);
    }
    if (action == "start") {
        return RunStart(args[1]);
    }
    return RunServer(args[1]);
}

const CommandRegistrar kService(
    {"service", "inspect, start and stop a service; the local server of a COM class",
     "usage: qvtr service status NAME\n"
     "       qvtr service start NAME\n"
     "       qvtr service stop NAME [--timeout SECONDS]\n"
     "       qvtr service server PROGID\n\n"
     "status  Whether NAME is registered (a key under HKLM\\System\\CurrentControlSet\\\n"
     "        services), its state, the account it is configured to run under, and\n"
     "        whether it runs under the current user's account. Exit status 1 when the\n"
     "        service is not registered.\n"
     "start   Starts NAME when it is not running and waits for it the way the module\n"
     "        does: while the service reports START_PENDING, a line on stderr shows its\n"
     "        state, check point, wait hint and the time gone by. Exit status 0 when\n"
     "        it runs; otherwise the reason and status 1.\n"
     "stop    Sends NAME the stop control and waits until it has stopped (30 seconds\n"
     "        unless --timeout says otherwise). A service that is not running is left\n"
     "        as it is, with exit status 0.\n"
     "server  Prints the command line registered as the LocalServer32 of the COM class\n"
     "        that PROGID names (HKCR\\PROGID\\CLSID, then HKCR\\CLSID\\{...}\\LocalServer32).\n\n"
     "On Linux the services are those of the emulated machine: see docs/readme/service.md.\n"
     "Examples:\n"
     "  qvtr service status Spooler\n"
     "  qvtr service start Spooler\n"
     "  qvtr service server Word.Application\n",
     RunService});

}  // namespace

}  // namespace tool
