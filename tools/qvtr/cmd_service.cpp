// service: inspect, start and stop a Windows service; the local server of a COM class.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <iterator>
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
    const std::string text = code == static_cast<DWORD>(CO_E_CLASSSTRING)
                                 ? "No COM class is registered under this ProgID."
                                 : ErrorLine(code);
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

// The exit status of a failure with the manager's code. On Windows the code
// itself, as sc.exe exits; on Linux, where a status has 8 bits, one of a small
// table, and 1 for every other failure.
int ExitFor(DWORD code) {
#if defined(_WIN32)
    return code != 0 ? static_cast<int>(code) : kExitFailure;
#else
    switch (code) {
        case ERROR_SERVICE_DOES_NOT_EXIST:
            return 3;
        case ERROR_ACCESS_DENIED:
            return 4;
        case ERROR_SERVICE_ALREADY_RUNNING:
            return 5;
        case ERROR_SERVICE_NOT_ACTIVE:
            return 6;
        case ERROR_SERVICE_REQUEST_TIMEOUT:
            return 7;
        default:
            return kExitFailure;
    }
#endif
}

int Failure(const std::string& message, DWORD code = 0) {
    std::cerr << "qvtr service: " << message << "\n";
    return ExitFor(code);
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
    DWORD startError = 0;  // what StartServiceA said, which the module reports as 1062
};
StartProgress g_progress;

BOOL WINAPI ProgressQueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
    const BOOL ok = g_progress.saved->QueryServiceStatus(service, status);
    if (ok) {
        g_progress.last = *status;
    }
    return ok;
}

BOOL WINAPI ProgressStartService(SC_HANDLE service, DWORD count, LPCSTR* args) {
    const BOOL ok = g_progress.saved->StartServiceA(service, count, args);
    if (!ok) {
        g_progress.startError = g_progress.saved->GetLastError();
        g_progress.saved->SetLastError(g_progress.startError);
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
    DWORD error = 0;
    bool running = false;
    {
        ApiOverride hooks;
        g_progress.name = name;
        g_progress.saved = &hooks.Saved();
        g_progress.startTick = hooks.Saved().GetTickCount();
        g_progress.startError = 0;
        hooks->QueryServiceStatus = ProgressQueryServiceStatus;
        hooks->StartServiceA = ProgressStartService;
        hooks->Sleep = ProgressSleep;
        running = StartServiceAndWait(name.c_str(), error);
    }
    if (!running && g_progress.startError != 0 && error == ERROR_SERVICE_NOT_ACTIVE) {
        return Failure(name + " could not be started: " + DescribeError(g_progress.startError), g_progress.startError);
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

// ---- sc.exe's layout: query, qc, create, delete ------------------------------------------

constexpr char kServicesKey[] = "System\\CurrentControlSet\\services";

std::string Hex(DWORD value) {
    std::ostringstream out;
    out << "0x" << std::hex << std::uppercase << value;
    return out.str();
}

// One "        NAME : value" line, the name padded as sc.exe pads it.
void ScLine(const char* name, const std::string& value) {
    std::string label = name;
    label.resize(19, ' ');
    std::cout << "        " << label << ": " << value << "\n";
}

std::string TypeText(DWORD type) {
    // sc.exe shows the type in hexadecimal without a prefix.
    std::ostringstream out;
    out << std::hex << type;
    const std::string text = out.str();
    const DWORD kind = type & 0xFF;
    const char* name = kind == 0x10   ? "WIN32_OWN_PROCESS"
                       : kind == 0x20 ? "WIN32_SHARE_PROCESS"
                       : kind == 0x01 ? "KERNEL_DRIVER"
                       : kind == 0x02 ? "FILE_SYSTEM_DRIVER"
                                      : "UNKNOWN";
    return text + "  " + name + ((type & 0x100) != 0 ? "  (interactive)" : "");
}

std::string CodeText(DWORD code) {
    return std::to_string(code) + "  (" + Hex(code) + ")";
}

// sc.exe's "[SC] Operation FAILED code: text" line.
int ScFailure(const char* operation, DWORD error) {
    std::string text = DescribeError(error);
    text.erase(text.rfind(" ("));
    std::cerr << "[SC] " << operation << " FAILED " << error << ": " << text << "\n";
    return ExitFor(error);
}

// sc.exe's query block; queryex adds the process id and the flags.
int PrintQueryBlock(const std::string& name, bool extended = false) {
    const ServiceHandles handles(name, SC_MANAGER_CONNECT, SERVICE_QUERY_STATUS);
    if (handles.Service() == nullptr) {
        return ScFailure("OpenService", handles.Error());
    }
    SERVICE_STATUS_PROCESS full{};
    SERVICE_STATUS status{};
    DWORD needed = 0;
    if (extended ? !Api().QueryServiceStatusEx(handles.Service(), SC_STATUS_PROCESS_INFO,
                                               reinterpret_cast<LPBYTE>(&full), sizeof full, &needed)
                 : !Api().QueryServiceStatus(handles.Service(), &status)) {
        return ScFailure(extended ? "QueryServiceStatusEx" : "QueryServiceStatus", Api().GetLastError());
    }
    if (extended) {
        std::memcpy(&status, &full, sizeof status);  // the same fields first
    }
    std::cout << "SERVICE_NAME: " << name << "\n";
    ScLine("TYPE", TypeText(status.dwServiceType));
    ScLine("STATE", std::to_string(status.dwCurrentState) + "  " + StateName(status.dwCurrentState));
    const DWORD accepted = status.dwControlsAccepted;
    std::cout << std::string(32, ' ') << "(" << ((accepted & 1) ? "STOPPABLE" : "NOT_STOPPABLE") << ", "
              << ((accepted & 2) ? "PAUSABLE" : "NOT_PAUSABLE") << ", "
              << ((accepted & 4) ? "ACCEPTS_SHUTDOWN" : "IGNORES_SHUTDOWN") << ")\n";
    ScLine("WIN32_EXIT_CODE", CodeText(status.dwWin32ExitCode));
    ScLine("SERVICE_EXIT_CODE", CodeText(status.dwServiceSpecificExitCode));
    ScLine("CHECKPOINT", Hex(status.dwCheckPoint));
    ScLine("WAIT_HINT", Hex(status.dwWaitHint));
    if (extended) {
        ScLine("PID", std::to_string(full.dwProcessId));
        ScLine("FLAGS", "");
    }
    return 0;
}

// The services key's sub-keys that are services (drivers are left out).
std::vector<std::string> ServiceNames() {
    std::vector<std::string> names;
    HKEY key = nullptr;
    if (Api().RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServicesKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return names;
    }
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD size = sizeof name;
        const LONG result = Api().RegEnumKeyExA(key, index, name, &size, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_MORE_DATA) {
            continue;
        }
        if (result != ERROR_SUCCESS) {
            break;
        }
        HKEY service = nullptr;
        DWORD type = SERVICE_WIN32_OWN_PROCESS;
        if (Api().RegOpenKeyExA(key, name, 0, KEY_READ, &service) == ERROR_SUCCESS) {
            DWORD value = 0;
            DWORD valueType = 0;
            DWORD valueSize = sizeof value;
            if (Api().RegQueryValueExA(service, "Type", nullptr, &valueType, reinterpret_cast<BYTE*>(&value),
                                       &valueSize) == ERROR_SUCCESS &&
                valueType == REG_DWORD) {
                type = value;
            }
            Api().RegCloseKey(service);
        }
        if ((type & 0x30) != 0) {
            names.push_back(name);
        }
    }
    Api().RegCloseKey(key);
    return names;
}

int RunQueryAll() {
    const std::vector<std::string> names = ServiceNames();
    bool ok = true;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            std::cout << "\n";
        }
        ok = PrintQueryBlock(names[i]) == 0 && ok;
    }
    if (names.empty()) {
        std::cout << "No services are registered.\n";
    }
    return ok ? 0 : kExitFailure;
}

const char* StartTypeName(DWORD start) {
    switch (start) {
        case 0:
            return "BOOT_START";
        case 1:
            return "SYSTEM_START";
        case SERVICE_AUTO_START:
            return "AUTO_START";
        case SERVICE_DEMAND_START:
            return "DEMAND_START";
        case SERVICE_DISABLED:
            return "DISABLED";
        default:
            return "UNKNOWN";
    }
}

const char* ErrorControlName(DWORD control) {
    switch (control) {
        case 0:
            return "IGNORE";
        case 1:
            return "NORMAL";
        case 2:
            return "SEVERE";
        case 3:
            return "CRITICAL";
        default:
            return "UNKNOWN";
    }
}

int RunQc(const std::string& name) {
    const ServiceHandles handles(name, SC_MANAGER_CONNECT, SERVICE_QUERY_CONFIG);
    if (handles.Service() == nullptr) {
        return ScFailure("OpenService", handles.Error());
    }
    DWORD needed = 0;
    std::vector<unsigned char> buffer(sizeof(QUERY_SERVICE_CONFIGA));
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    bool ok = Api().QueryServiceConfigA(handles.Service(), config, static_cast<DWORD>(buffer.size()), &needed);
    if (!ok && Api().GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        buffer.resize(needed);
        config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
        ok = Api().QueryServiceConfigA(handles.Service(), config, needed, &needed);
    }
    if (!ok) {
        const DWORD error = Api().GetLastError();
        return ScFailure("QueryServiceConfig", error);
    }
    const auto text = [](const char* value) { return std::string(value ? value : ""); };
    std::cout << "[SC] QueryServiceConfig SUCCESS\n\nSERVICE_NAME: " << name << "\n";
    ScLine("TYPE", TypeText(config->dwServiceType));
    ScLine("START_TYPE", std::to_string(config->dwStartType) + "   " + StartTypeName(config->dwStartType));
    ScLine("ERROR_CONTROL", std::to_string(config->dwErrorControl) + "   " + ErrorControlName(config->dwErrorControl));
    ScLine("BINARY_PATH_NAME", text(config->lpBinaryPathName));
    ScLine("LOAD_ORDER_GROUP", text(config->lpLoadOrderGroup));
    ScLine("TAG", std::to_string(config->dwTagId));
    ScLine("DISPLAY_NAME", config->lpDisplayName && *config->lpDisplayName ? config->lpDisplayName : name);
    ScLine("DEPENDENCIES", "");
    ScLine("SERVICE_START_NAME",
           config->lpServiceStartName && *config->lpServiceStartName ? config->lpServiceStartName : "LocalSystem");
    return 0;
}

#if !defined(_WIN32)
// Only the emulated machine is registered here; Windows has sc.exe for its own.

// sc.exe's "key= value" pairs; "key=value" in one word is taken too.
bool ParseScOptions(const Args& args, size_t first, std::vector<std::pair<std::string, std::string>>& options,
                    std::string& error) {
    for (size_t i = first; i < args.size(); ++i) {
        const size_t equals = args[i].find('=');
        if (equals == std::string::npos || equals == 0) {
            error = "expects options as 'key= value', not '" + args[i].substr(0, 64) + "'";
            return false;
        }
        std::string key = args[i].substr(0, equals);
        for (char& c : key) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        std::string value = args[i].substr(equals + 1);
        if (value.empty()) {
            if (i + 1 >= args.size()) {
                error = key + "= expects a value";
                return false;
            }
            value = args[++i];
        }
        options.emplace_back(key, value);
    }
    return true;
}

bool ValidServiceName(const std::string& name) {
    return !name.empty() && name.size() <= 256 && name.find_first_of("/\\") == std::string::npos &&
           std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x20; });
}

LONG SetString(HKEY key, const char* name, DWORD type, const std::string& value) {
    return Api().RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                                static_cast<DWORD>(value.size() + 1));
}

LONG SetDword(HKEY key, const char* name, DWORD value) {
    return Api().RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

// The values sc.exe's create writes; the first failure's code.
LONG SetServiceValues(HKEY key, const std::string& binPath, DWORD start, const std::string& account) {
    if (const LONG error = SetString(key, "ImagePath", REG_EXPAND_SZ, binPath)) {
        return error;
    }
    if (const LONG error = SetDword(key, "Start", start)) {
        return error;
    }
    if (const LONG error = SetString(key, "ObjectName", REG_SZ, account)) {
        return error;
    }
    if (const LONG error = SetDword(key, "Type", SERVICE_WIN32_OWN_PROCESS)) {
        return error;
    }
    return SetDword(key, "ErrorControl", SERVICE_ERROR_NORMAL);
}

int RunCreate(const Args& args) {
    const std::string& name = args[1];
    std::vector<std::pair<std::string, std::string>> options;
    std::string error;
    if (!ParseScOptions(args, 2, options, error)) {
        return UsageError("service", "create: " + error);
    }
    std::string binPath;
    DWORD start = SERVICE_DEMAND_START;
    std::string account = "LocalSystem";
    for (const auto& [key, value] : options) {
        if (key == "binpath") {
            binPath = value;
        } else if (key == "start") {
            std::string lower = value;
            std::transform(lower.begin(), lower.end(), lower.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            if (lower == "demand") {
                start = SERVICE_DEMAND_START;
            } else if (lower == "auto") {
                start = SERVICE_AUTO_START;
            } else if (lower == "disabled") {
                start = SERVICE_DISABLED;
            } else {
                return UsageError("service", "create: start= expects demand, auto or disabled");
            }
        } else if (key == "obj") {
            account = value;
        } else {
            return UsageError(
                "service", "create: unknown option '" + key.substr(0, 64) + "=' (binPath=, start= and obj= are known)");
        }
    }
    if (binPath.empty()) {
        return UsageError("service", "create: binPath= PATH is required");
    }
    // The module finds a service through a key path of at most 259 characters, as
    // Windows' narrow functions do: a longer name could be made but never used.
    constexpr size_t kLongestUsableName = MAX_PATH - sizeof "System\\CurrentControlSet\\services\\";
    if (!ValidServiceName(name) || name.size() > kLongestUsableName) {
        return ScFailure("CreateService", ERROR_INVALID_NAME);
    }
    // One transaction: of two creates at once one wins and the other finds the
    // service there; a create killed half-way leaves nothing.
    if (const LONG begun = Api().QvtrRegTransaction(QVTR_REG_BEGIN)) {
        return ScFailure("CreateService", static_cast<DWORD>(begun));
    }
    HKEY key = nullptr;
    DWORD disposition = 0;
    const std::string path = std::string(kServicesKey) + "\\" + name;
    LONG result = Api().RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                        &disposition);
    if (result == ERROR_SUCCESS) {
        result =
            disposition != REG_CREATED_NEW_KEY ? ERROR_SERVICE_EXISTS : SetServiceValues(key, binPath, start, account);
        Api().RegCloseKey(key);
    }
    const LONG ended = Api().QvtrRegTransaction(result == ERROR_SUCCESS ? QVTR_REG_COMMIT : QVTR_REG_ROLLBACK);
    if (result != ERROR_SUCCESS || ended != ERROR_SUCCESS) {
        return ScFailure("CreateService", static_cast<DWORD>(result != ERROR_SUCCESS ? result : ended));
    }
    std::cout << "[SC] CreateService SUCCESS\n";
    return 0;
}

int RunDelete(const std::string& name) {
    if (!ValidServiceName(name) || !ServiceKeyExists(name.c_str())) {
        return ScFailure("OpenService", ERROR_SERVICE_DOES_NOT_EXIST);
    }
    const ServiceHandles handles(name, SC_MANAGER_CONNECT, SERVICE_QUERY_STATUS | DELETE);
    if (handles.Service() == nullptr) {
        return ScFailure("OpenService", handles.Error());
    }
    SERVICE_STATUS status{};
    if (Api().QueryServiceStatus(handles.Service(), &status) && status.dwCurrentState != SERVICE_STOPPED) {
        std::cerr << "[SC] DeleteService FAILED: " << name << " is " << StateName(status.dwCurrentState)
                  << "; stop it first (qvtr service stop " << name << ")\n";
        return kExitFailure;
    }
    // The key and the run state go together: nothing of the service is left behind.
    if (!Api().DeleteService(handles.Service())) {
        return ScFailure("DeleteService", Api().GetLastError());
    }
    std::cout << "[SC] DeleteService SUCCESS\n";
    return 0;
}
#endif

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
        return UsageError("service", "expects status, query, queryex, qc, start, stop, server, create or delete");
    }
    const std::string& action = args[0];
    if (action == "stop") {
        // --timeout SECONDS before or after NAME.
        uint32_t seconds = 30;
        Args names;
        for (size_t i = 1; i < args.size(); ++i) {
            if (args[i] != "--timeout") {
                names.push_back(args[i]);
            } else if (i + 1 >= args.size() || !ParseUInt32(args[i + 1], seconds) || seconds > 3600) {
                return UsageError("service", "--timeout takes seconds from 0 to 3600");
            } else {
                ++i;
            }
        }
        if (names.size() != 1 || names[0].empty()) {
            return UsageError("service", "stop expects one NAME");
        }
        return RunStop(names[0], seconds * 1000);
    }
    if (action == "query" && args.size() == 1) {
        return RunQueryAll();
    }
    if (action == "create" || action == "delete") {
#if defined(_WIN32)
        return UsageError("service", action + " is for the emulated machine on Linux; on Windows use sc.exe " + action);
#else
        if (args.size() < 2 || args[1].empty()) {
            return UsageError("service", action + " expects a NAME");
        }
        if (action == "delete" && args.size() != 2) {
            return UsageError("service", "delete expects one NAME");
        }
        return action == "create" ? RunCreate(args) : RunDelete(args[1]);
#endif
    }
    const std::vector<std::string> actions = {"status", "query", "queryex", "qc", "start", "stop", "server"};
    if (std::find(actions.begin(), actions.end(), action) == actions.end()) {
        std::vector<std::string> known = actions;
        known.insert(known.end(), {"create", "delete"});
        const std::string guess = DidYouMean(action, known);
        return UsageError("service", "unknown action '" + action.substr(0, 64) + "'" +
                                         (guess.empty() ? "; expects status, query, queryex, qc, start, stop, "
                                                          "server, create or delete"
                                                        : guess));
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
    if (action == "query" || action == "queryex") {
        return PrintQueryBlock(args[1], action == "queryex");
    }
    if (action == "qc") {
        return RunQc(args[1]);
    }
    if (action == "start") {
        return RunStart(args[1]);
    }
    return RunServer(args[1]);
}

const CommandRegistrar kService(
    {"service", "inspect, start and stop a service; the local server of a COM class",
     "usage: qvtr service status NAME\n"
     "       qvtr service query [NAME]\n"
     "       qvtr service queryex NAME\n"
     "       qvtr service qc NAME\n"
     "       qvtr service start NAME\n"
     "       qvtr service stop NAME [--timeout SECONDS]\n"
     "       qvtr service server PROGID\n"
     "       qvtr service create NAME binPath= PATH [start= demand|auto|disabled] [obj= ACCOUNT]\n"
     "       qvtr service delete NAME\n\n"
     "status  Whether NAME is registered (a key under HKLM\\System\\CurrentControlSet\\\n"
     "        services), its state, the account it is configured to run under, and\n"
     "        whether it runs under the current user's account. Exit status 1 when the\n"
     "        service is not registered.\n"
     "query   NAME's status in sc.exe's layout (TYPE, STATE, WIN32_EXIT_CODE,\n"
     "        SERVICE_EXIT_CODE, CHECKPOINT, WAIT_HINT); without NAME, every\n"
     "        registered service (drivers left out).\n"
     "queryex NAME's status as query shows it, and the PID of the process that runs it\n"
     "        (0 when it is stopped), as sc.exe queryex shows them.\n"
     "qc      NAME's configuration in sc.exe's layout (START_TYPE, ERROR_CONTROL,\n"
     "        BINARY_PATH_NAME, SERVICE_START_NAME, ...).\n"
     "start   Starts NAME when it is not running and waits for it the way the module\n"
     "        does: while the service reports START_PENDING, a line on stderr shows its\n"
     "        state, check point, wait hint and the time gone by. Exit status 0 when\n"
     "        it runs; otherwise the reason, with the code the manager gave (2 for a\n"
     "        missing program).\n"
     "stop    Sends NAME the stop control and waits until it has stopped (30 seconds\n"
     "        unless --timeout says otherwise). A service that is not running is left\n"
     "        as it is.\n"
     "server  Prints the command line registered as the LocalServer32 of the COM class\n"
     "        that PROGID names (HKCR\\PROGID\\CLSID, then HKCR\\CLSID\\{...}\\LocalServer32).\n\n"
     "create  (Linux) Registers NAME in the emulated machine's services key, in\n"
     "        sc.exe's syntax: a blank after each '='. start= defaults to demand and\n"
     "        obj= to LocalSystem. A NAME already registered fails with 1073.\n"
     "delete  (Linux) Removes NAME's key; a service that is not stopped is refused.\n"
     "        On Windows use sc.exe for create and delete.\n\n"
     "Exit status: 0 done; 2 bad usage. On Windows a failure exits with the\n"
     "manager's code, as sc.exe does (1060 no such service, 5 access denied, 1056\n"
     "already running, 1062 not running, 1053 timed out). On Linux: 3 no such\n"
     "service, 4 access denied, 5 already running, 6 not running, 7 timed out,\n"
     "1 any other failure.\n"
     "On Linux the services are those of the emulated machine: see the README's\n"
     "section \"Services on the emulated Linux machine\".\n"
     "Examples:\n"
     "  qvtr service status Spooler\n"
     "  qvtr service start Spooler\n"
     "  qvtr service server Word.Application\n",
     RunService});

}  // namespace

}  // namespace tool
