// The Linux half of the service verbs: exit statuses that fit in 8 bits, and
// create and delete on the emulated machine.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "qvtr/module.h"
#include "qvtr/service.h"
#include "service_verbs.h"

namespace tool {
namespace service {

int ExitFor(DWORD code) {
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
}

namespace {

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

// sc.exe's start= words, in any letter case.
bool ParseStartType(std::string value, DWORD& start) {
    std::transform(value.begin(), value.end(), value.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    static const std::pair<const char*, DWORD> kTypes[] = {
        {"demand", SERVICE_DEMAND_START}, {"auto", SERVICE_AUTO_START}, {"disabled", SERVICE_DISABLED}};
    for (const auto& [word, type] : kTypes) {
        if (value == word) {
            start = type;
            return true;
        }
    }
    return false;
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
            if (!ParseStartType(value, start)) {
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

}  // namespace

// Only the emulated machine is registered here; Windows has sc.exe for its own.
int RunCreateOrDelete(const Args& args) {
    const std::string& action = args[0];
    if (args.size() < 2 || args[1].empty()) {
        return UsageError("service", action + " expects a NAME");
    }
    if (action == "delete" && args.size() != 2) {
        return UsageError("service", "delete expects one NAME");
    }
    return action == "create" ? RunCreate(args) : RunDelete(args[1]);
}

}  // namespace service
}  // namespace tool
