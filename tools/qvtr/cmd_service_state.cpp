// service status, start and stop.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qvtr/module.h"
#include "qvtr/service.h"
#include "service_verbs.h"

namespace tool {
namespace service {

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
        return Failure(name + ": " + DescribeError(handles.Error()), handles.Error());
    }
    SERVICE_STATUS status{};
    if (!Api().QueryServiceStatus(handles.Service(), &status)) {
        return Failure(name + ": " + DescribeError(Api().GetLastError()), Api().GetLastError());
    }
    ReportLine(std::cout, "State", StateName(status.dwCurrentState));
    if (status.dwCurrentState == SERVICE_START_PENDING || status.dwCurrentState == SERVICE_STOP_PENDING) {
        ReportLine(std::cout, "Check point", std::to_string(status.dwCheckPoint));
        ReportLine(std::cout, "Wait hint", std::to_string(status.dwWaitHint) + " ms");
    }
    if (status.dwCurrentState == SERVICE_STOPPED && status.dwWin32ExitCode != 0) {
        ReportLine(std::cout, "Exit code", DescribeError(status.dwWin32ExitCode));
    }

    std::vector<unsigned char> buffer;
    const QUERY_SERVICE_CONFIGA* config = QueryConfig(handles.Service(), buffer);
    if (config != nullptr) {
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

// One line on standard error about a start under way, as often as the module's
// wait asks the manager.
DWORD ShowProgress(const std::string& name, const SERVICE_STATUS& s, std::chrono::steady_clock::time_point start) {
    const DWORD pause = std::min<DWORD>(std::max<DWORD>(s.dwWaitHint / 10, 1000), 10000);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::cerr << "qvtr service start: " << name << ": " << StateName(s.dwCurrentState) << ", check point "
              << s.dwCheckPoint << ", wait hint " << s.dwWaitHint << " ms, " << std::fixed << std::setprecision(1)
              << elapsed << " s elapsed; next check in " << pause / 1000.0 << " s\n";
    return pause;
}

// The module's wait for a starting service, in a thread of its own; meanwhile
// this loop asks the manager too, and shows how the start goes.
bool WaitShowingProgress(const std::string& name, SC_HANDLE manager, DWORD& error) {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    bool running = false;
    std::thread wait([&] {
        DWORD code = 0;
        const bool ok = EnsureServiceRunning(manager, name.c_str(), SERVICE_QUERY_STATUS, code);
        const std::lock_guard<std::mutex> lock(mutex);
        running = ok;
        error = code;
        done = true;
        ended.notify_all();
    });
    const ServiceHandles watch(name, SC_MANAGER_CONNECT, SERVICE_QUERY_STATUS);
    const auto start = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(mutex);
    while (!done) {
        SERVICE_STATUS status{};
        DWORD pause = 1000;
        if (watch.Service() != nullptr && Api().QueryServiceStatus(watch.Service(), &status) &&
            status.dwCurrentState == SERVICE_START_PENDING) {
            pause = ShowProgress(name, status, start);
        }
        ended.wait_for(lock, std::chrono::milliseconds(pause), [&] { return done; });
    }
    lock.unlock();
    wait.join();
    return running;
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
    std::vector<unsigned char> buffer;
    const QUERY_SERVICE_CONFIGA* config = QueryConfig(handles.Service(), buffer);
    if (config != nullptr && config->dwStartType == SERVICE_DISABLED) {
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
    {
        // As sc.exe: a start of what already runs is a failure of its own kind.
        const ServiceHandles handles(name, SC_MANAGER_CONNECT, SERVICE_QUERY_STATUS);
        SERVICE_STATUS status{};
        if (handles.Service() != nullptr && Api().QueryServiceStatus(handles.Service(), &status) &&
            status.dwCurrentState == SERVICE_RUNNING) {
            std::cout << name << " is already running\n";
            return ExitFor(ERROR_SERVICE_ALREADY_RUNNING);
        }
    }
    // Started here, as sc.exe starts it, so that a refusal is told in the manager's
    // own words; then waited for as the module waits.
    SC_HANDLE manager = Api().OpenSCManagerA(nullptr, nullptr, GENERIC_EXECUTE);
    SC_HANDLE service = manager ? Api().OpenServiceA(manager, name.c_str(), SERVICE_ALL_ACCESS) : nullptr;
    DWORD error = service ? 0 : Api().GetLastError();
    DWORD startError = 0;
    bool running = false;
    if (service != nullptr) {
        if (!Api().StartServiceA(service, 0, nullptr)) {
            startError = Api().GetLastError();
        }
        Api().CloseServiceHandle(service);
        running = WaitShowingProgress(name, manager, error);  // the wait closes the manager
    } else if (manager != nullptr) {
        Api().CloseServiceHandle(manager);
    }
    if (!running && startError != 0 && error == ERROR_SERVICE_NOT_ACTIVE) {
        return Failure(name + " could not be started: " + DescribeError(startError), startError);
    }
    if (!running) {
        return Failure(name + " is not running: " + DescribeError(error) + WhyNotStarted(name, error), error);
    }
    std::cout << name << " is running\n";
    return 0;
}

// ---- stop ----------------------------------------------------------------------------

int RunStop(const std::string& name, DWORD timeoutMs) {
    const ServiceHandles handles(name, SC_MANAGER_CONNECT, SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (handles.Service() == nullptr) {
        return Failure(name + ": " + DescribeError(handles.Error()), handles.Error());
    }
    SERVICE_STATUS status{};
    if (!Api().ControlService(handles.Service(), SERVICE_CONTROL_STOP, &status)) {
        const DWORD error = Api().GetLastError();
        if (error == ERROR_SERVICE_NOT_ACTIVE) {
            std::cout << name << " is not running\n";
            return ExitFor(error);
        }
        if (error != ERROR_SERVICE_CANNOT_ACCEPT_CTRL || status.dwCurrentState != SERVICE_STOP_PENDING) {
            return Failure(name + ": " + DescribeError(error), error);
        }
    }
    const DWORD start = Api().GetTickCount();
    while (status.dwCurrentState != SERVICE_STOPPED) {
        if (Api().GetTickCount() - start > timeoutMs) {
            return Failure(name + " did not stop within " + std::to_string(timeoutMs / 1000) + " s (state " +
                               StateName(status.dwCurrentState) + ")",
                           ERROR_SERVICE_REQUEST_TIMEOUT);
        }
        Api().Sleep(100);
        if (!Api().QueryServiceStatus(handles.Service(), &status)) {
            return Failure(name + ": " + DescribeError(Api().GetLastError()), Api().GetLastError());
        }
    }
    std::cout << name << " stopped\n";
    return 0;
}

}  // namespace service
}  // namespace tool
