// service query, queryex and qc, in sc.exe's layout.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "qvtr/module.h"
#include "qvtr/service.h"
#include "service_verbs.h"

namespace tool {
namespace service {

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

// sc.exe's query block; queryex adds the process id and the flags.
int PrintQueryBlock(const std::string& name, bool extended) {
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
    std::vector<unsigned char> buffer;
    const QUERY_SERVICE_CONFIGA* config = QueryConfig(handles.Service(), buffer);
    if (config == nullptr) {
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

}  // namespace service
}  // namespace tool
