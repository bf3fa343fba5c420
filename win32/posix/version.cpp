// Version answers of the emulated machine, read from its registry where
// Windows keeps the same facts:
//   NT family:  HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion
//               CurrentVersion "4.0", CurrentBuildNumber "1381", CSDVersion "Service Pack 6"
//   95 family:  HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion (when the NT values are absent)
//               VersionNumber "4.10.2222", SubVersionNumber " A"
//   suites:     HKLM\System\CurrentControlSet\Control\ProductOptions  ProductSuite, ProductType
// With none of these the machine is a single-user NT 5.1, build 2600.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "win32/posix/posix.h"
#include "win32/registry_value.h"

namespace posix {

namespace {

const char* const kNtVersionKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
const char* const kWindowsVersionKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
const char* const kProductOptionsKey = "System\\CurrentControlSet\\Control\\ProductOptions";

#ifndef VER_NT_WORKSTATION
#define VER_NT_WORKSTATION 1
#define VER_NT_DOMAIN_CONTROLLER 2
#define VER_NT_SERVER 3
#endif

struct Machine {
    DWORD major = 5;
    DWORD minor = 1;
    DWORD build = 2600;
    DWORD platform = VER_PLATFORM_WIN32_NT;
    std::string servicePack;
    WORD servicePackMajor = 0;
    WORD servicePackMinor = 0;
    WORD suites = 0;
    BYTE productType = VER_NT_WORKSTATION;
};

// A value of HKLM\`key` as bytes; false when the key or the value is missing. The
// backend's own functions: the emulated machine is the backend's registry, whatever
// a test has put into the process's table.
bool ReadValue(const char* key, const char* name, DWORD& type, std::string& bytes) {
    const Win32Api& api = BackendApi();
    HKEY hKey = nullptr;
    if (api.RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS) {
        return false;
    }
    const bool found = ReadRegistryValue(api, hKey, name, type, bytes) == ERROR_SUCCESS;
    api.RegCloseKey(hKey);
    return found;
}

// A string value up to its first NUL.
bool ReadString(const char* key, const char* name, std::string& text) {
    DWORD type = 0;
    if (!ReadValue(key, name, type, text) || (type != REG_SZ && type != REG_EXPAND_SZ)) {
        return false;
    }
    text = text.c_str();
    return true;
}

std::vector<std::string> ReadMultiString(const char* key, const char* name) {
    std::vector<std::string> list;
    DWORD type = 0;
    std::string bytes;
    if (!ReadValue(key, name, type, bytes) || type != REG_MULTI_SZ) {
        return list;
    }
    for (size_t start = 0; start < bytes.size();) {
        const size_t end = std::min(bytes.find('\0', start), bytes.size());
        if (end == start) {
            break;
        }
        list.push_back(bytes.substr(start, end - start));
        start = end + 1;
    }
    return list;
}

WORD SuiteOf(const std::string& name) {
    static const struct {
        const char* name;
        WORD bit;
    } kSuites[] = {
        {"Small Business", 0x0001}, {"Enterprise", 0x0002},      {"BackOffice", 0x0004},
        {"Communications", 0x0008}, {"Terminal Server", 0x0010}, {"Small Business(Restricted)", 0x0020},
        {"EmbeddedNT", 0x0040},     {"DataCenter", 0x0080},      {"Personal", 0x0200},
        {"Blade", 0x0400},
    };
    for (const auto& suite : kSuites) {
        if (name == suite.name) {
            return suite.bit;
        }
    }
    return 0;
}

Machine Describe() {
    Machine machine;
    // A machine whose HKEY_LOCAL_MACHINE is empty (not made yet) is the default
    // one: one look instead of one per value, for every process that loads the module.
    DWORD subKeys = 0;
    if (BackendApi().RegQueryInfoKeyA(HKEY_LOCAL_MACHINE, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr,
                                      nullptr, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
        subKeys == 0) {
        return machine;
    }
    std::string text;
    if (ReadString(kNtVersionKey, "CurrentVersion", text)) {
        unsigned major = 0;
        unsigned minor = 0;
        if (std::sscanf(text.c_str(), "%u.%u", &major, &minor) >= 1) {
            machine.major = major;
            machine.minor = minor;
        }
        machine.build = 0;
        if (ReadString(kNtVersionKey, "CurrentBuildNumber", text)) {
            machine.build = static_cast<DWORD>(std::strtoul(text.c_str(), nullptr, 10));
        }
        if (ReadString(kNtVersionKey, "CSDVersion", text)) {
            machine.servicePack = text;
            // "Service Pack 6a": the first number is the major service pack.
            const size_t digit = text.find_first_of("0123456789");
            if (digit != std::string::npos) {
                machine.servicePackMajor = static_cast<WORD>(std::strtoul(text.c_str() + digit, nullptr, 10));
            }
        }
    } else if (ReadString(kWindowsVersionKey, "VersionNumber", text)) {
        unsigned major = 0;
        unsigned minor = 0;
        unsigned build = 0;
        std::sscanf(text.c_str(), "%u.%u.%u", &major, &minor, &build);
        machine.platform = VER_PLATFORM_WIN32_WINDOWS;
        machine.major = major;
        machine.minor = minor;
        // The 95 family keeps the version in the build number's high word.
        machine.build = (major & 0xFF) << 24 | (minor & 0xFF) << 16 | (build & 0xFFFF);
        if (ReadString(kWindowsVersionKey, "SubVersionNumber", text)) {
            machine.servicePack = text;
        }
        return machine;  // no suites, no product type
    }
    for (const std::string& suite : ReadMultiString(kProductOptionsKey, "ProductSuite")) {
        machine.suites = static_cast<WORD>(machine.suites | SuiteOf(suite));
    }
    if (ReadString(kProductOptionsKey, "ProductType", text)) {
        if (text == "LanmanNT") {
            machine.productType = VER_NT_DOMAIN_CONTROLLER;
        } else if (text == "ServerNT") {
            machine.productType = VER_NT_SERVER;
        }
    }
    return machine;
}

BOOL WINAPI GetVersionExAImpl(LPOSVERSIONINFOA info) {
    if (info == nullptr || (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA) &&
                            info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEXA))) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    const Machine machine = Describe();
    info->dwMajorVersion = machine.major;
    info->dwMinorVersion = machine.minor;
    info->dwBuildNumber = machine.build;
    info->dwPlatformId = machine.platform;
    std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
    std::strncpy(info->szCSDVersion, machine.servicePack.c_str(), sizeof info->szCSDVersion - 1);
    if (info->dwOSVersionInfoSize == sizeof(OSVERSIONINFOEXA)) {
        auto* ex = reinterpret_cast<OSVERSIONINFOEXA*>(info);
        ex->wServicePackMajor = machine.servicePackMajor;
        ex->wServicePackMinor = machine.servicePackMinor;
        ex->wSuiteMask = machine.suites;
        ex->wProductType = machine.platform == VER_PLATFORM_WIN32_NT ? machine.productType : 0;
        ex->wReserved = 0;
    }
    return Succeed(TRUE);
}

DWORD WINAPI GetVersionImpl() {
    const Machine machine = Describe();
    const DWORD version = (machine.major & 0xFF) | (machine.minor & 0xFF) << 8;
    if (machine.platform != VER_PLATFORM_WIN32_NT) {
        return version | 0x80000000u;
    }
    return version | (machine.build & 0x7FFF) << 16;
}

// ---- VerSetConditionMask and VerifyVersionInfoA -------------------------------------

// Each type bit owns three bits of the mask, in the order of the type bits.
ULONGLONG WINAPI VerSetConditionMaskImpl(ULONGLONG mask, DWORD typeMask, BYTE condition) {
    condition &= 0x07;
    if (typeMask == 0 || condition == 0) {
        return mask;
    }
    static const DWORD kOrder[] = {VER_PRODUCT_TYPE, VER_SUITENAME,   VER_SERVICEPACKMAJOR, VER_SERVICEPACKMINOR,
                                   VER_PLATFORMID,   VER_BUILDNUMBER, VER_MAJORVERSION,     VER_MINORVERSION};
    static const int kShift[] = {7, 6, 5, 4, 3, 2, 1, 0};
    for (size_t i = 0; i < sizeof kOrder / sizeof kOrder[0]; ++i) {
        if (typeMask & kOrder[i]) {
            return mask | static_cast<ULONGLONG>(condition) << (kShift[i] * 3);
        }
    }
    return mask;
}

BYTE ConditionOf(ULONGLONG mask, int shift) {
    return static_cast<BYTE>((mask >> (shift * 3)) & 0x07);
}

template <class T>
bool Compare(T system, T wanted, BYTE condition) {
    switch (condition) {
        case VER_EQUAL:
            return system == wanted;
        case VER_GREATER:
            return system > wanted;
        case VER_GREATER_EQUAL:
            return system >= wanted;
        case VER_LESS:
            return system < wanted;
        case VER_LESS_EQUAL:
            return system <= wanted;
        default:
            return false;
    }
}

BOOL WINAPI VerifyVersionInfoAImpl(LPOSVERSIONINFOEXA info, DWORD typeMask, DWORDLONG conditions) {
    if (info == nullptr || typeMask == 0 || conditions == 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const Machine machine = Describe();
    bool ok = true;
    if (typeMask & VER_SUITENAME) {
        const WORD wanted = info->wSuiteMask;
        const BYTE condition = ConditionOf(conditions, 6);
        ok = ok && (condition == VER_OR ? (machine.suites & wanted) != 0 : (machine.suites & wanted) == wanted);
    }
    if (typeMask & VER_PRODUCT_TYPE) {
        ok = ok && Compare<BYTE>(machine.productType, info->wProductType, ConditionOf(conditions, 7));
    }
    if (typeMask & VER_PLATFORMID) {
        ok = ok && Compare(machine.platform, info->dwPlatformId, ConditionOf(conditions, 3));
    }
    if (typeMask & VER_BUILDNUMBER) {
        ok = ok && Compare(machine.build & 0xFFFF, info->dwBuildNumber, ConditionOf(conditions, 2));
    }
    // Major, minor and service pack compare as one version number, under the
    // condition of the most significant part asked for.
    const struct {
        DWORD type;
        int shift;
        DWORD system;
        DWORD wanted;
    } kParts[] = {
        {VER_MAJORVERSION, 1, machine.major, info->dwMajorVersion},
        {VER_MINORVERSION, 0, machine.minor, info->dwMinorVersion},
        {VER_SERVICEPACKMAJOR, 5, machine.servicePackMajor, info->wServicePackMajor},
        {VER_SERVICEPACKMINOR, 4, machine.servicePackMinor, info->wServicePackMinor},
    };
    BYTE condition = 0;
    int order = 0;  // <0 system older, >0 system newer
    for (const auto& part : kParts) {
        if ((typeMask & part.type) == 0) {
            continue;
        }
        if (condition == 0) {
            condition = ConditionOf(conditions, part.shift);
        }
        if (order == 0 && part.system != part.wanted) {
            order = part.system < part.wanted ? -1 : 1;
        }
    }
    if (condition != 0) {
        ok = ok && Compare(order, 0, condition);
    }
    SetError(ok ? ERROR_SUCCESS : ERROR_OLD_WIN_VERSION);
    return ok ? TRUE : FALSE;
}

FARPROC NtdllExport(const char* name) {
    return std::strcmp(name, "VerSetConditionMask") == 0
               ? reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&VerSetConditionMaskImpl))
               : nullptr;
}

FARPROC Kernel32Export(const char* name) {
    return std::strcmp(name, "VerifyVersionInfoA") == 0
               ? reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&VerifyVersionInfoAImpl))
               : nullptr;
}

}  // namespace

void BindVersion(Win32Api& t) {
    t.GetVersionExA = GetVersionExAImpl;
    t.GetVersion = GetVersionImpl;
    RegisterBuiltinModule("ntdll.dll", NtdllExport);
    RegisterBuiltinModule("KERNEL32.DLL", Kernel32Export);
}

}  // namespace posix
