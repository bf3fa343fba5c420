// The terminal-server tests of COsVersionInfo: Windows Terminal Server, Citrix
// MetaFrame and Citrix WinFrame, each worked out on first use and then cached.
#include <cstring>

#include "qvtr/platform.h"
#include "qvtr/registry.h"
#include "win32/api.h"

namespace {

const char kCitrixKey[] = "System\\CurrentControlSet\\Control\\Citrix";
const char kProductOptionsKey[] = "System\\CurrentControlSet\\Control\\ProductOptions";

static_assert(sizeof(OSVERSIONINFOEXA) == 156, "OSVERSIONINFOEXA has the Win32 layout");

// GetProcAddress hands back a generic pointer; going through void(*)() keeps
// the conversion to the real signature free of cast warnings.
template <typename Function>
Function BindExport(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(Api().GetProcAddress(module, name)));
}

// Whether HKLM\...\Citrix "ProductName" is exactly `expected`. A value without
// a NUL (binary data, for one) is compared within its own bytes only.
bool CitrixProductNameIs(const char* expected) {
    try {
        CRegistryKey key(HKEY_LOCAL_MACHINE, kCitrixKey, false, false, true);
        CRegistryValue value;
        if (key.QueryValue("ProductName", value) != ERROR_SUCCESS || value.m_pData == nullptr) {
            return false;
        }
        const char* text = reinterpret_cast<const char*>(value.m_pData);
        const void* nul = std::memchr(text, '\0', value.m_cbData);
        const size_t length = nul ? static_cast<size_t>(static_cast<const char*>(nul) - text) : value.m_cbData;
        return length == std::strlen(expected) && std::memcmp(text, expected, length) == 0;
    } catch (long) {
        return false;  // no Citrix key: not Citrix
    }
}

// Whether the forcing value under the common settings key holds a non-zero
// 32-bit number. Whatever its type; a value of fewer than four bytes counts as 0.
bool ForcedOn(const char* valueName) {
    try {
        CRegistryKey key(HKEY_LOCAL_MACHINE, QVTR_COMMON_SETTINGS_KEY, false, false, true);
        CRegistryValue value;
        if (key.QueryValue(valueName, value) != ERROR_SUCCESS || value.m_pData == nullptr || value.m_cbData < 4) {
            return false;
        }
        const BYTE* data = value.m_pData;
        const DWORD number = static_cast<DWORD>(data[0]) | static_cast<DWORD>(data[1]) << 8 |
                             static_cast<DWORD>(data[2]) << 16 | static_cast<DWORD>(data[3]) << 24;
        return number != 0;
    } catch (long) {
        return false;
    }
}

// The cache protocol: the result is stored first, then the flag with release
// semantics, so a reader that sees the flag (acquire) also sees the result.
template <typename Compute>
bool Cached(std::atomic<bool>& result, std::atomic<bool>& known, Compute compute) {
    if (known.load(std::memory_order_acquire)) {
        return result.load(std::memory_order_relaxed);
    }
    const bool answer = compute();
    result.store(answer, std::memory_order_relaxed);
    known.store(true, std::memory_order_release);
    return answer;
}

}  // namespace

bool COsVersionInfo::IsWinFrame() {
    return Cached(m_bWinFrame, m_bWinFrameKnown, [this] {
        bool answer = false;
        // WinFrame is NT 3.x; later Citrix products call themselves MetaFrame.
        if (m_osvi.dwPlatformId == VER_PLATFORM_WIN32_NT && m_osvi.dwMajorVersion == 3) {
            answer = CitrixProductNameIs("Citrix WinFrame");
        }
        return answer || ForcedOn("WinFrame");
    });
}

bool COsVersionInfo::IsMetaFrame() {
    return Cached(m_bMetaFrame, m_bMetaFrameKnown, [this] {
        bool answer = false;
        if (m_osvi.dwPlatformId == VER_PLATFORM_WIN32_NT) {
            answer = CitrixProductNameIs("Citrix MetaFrame");
        }
        return answer || ForcedOn("MetaFrame");
    });
}

bool COsVersionInfo::IsTerminalServer() {
    return Cached(m_bTerminalServer, m_bTerminalServerKnown, [] { return HasTerminalServerSuite() == 1; });
}

bool COsVersionInfo::IsMultiUser() {
    return IsTerminalServer() || IsMetaFrame() || IsWinFrame();
}

DWORD HasTerminalServerSuite() {
    const Win32Api& api = Api();
    const DWORD version = api.GetVersion();
    if (version & 0x80000000u) {
        return 0;  // Windows 95 family
    }
    if ((version & 0xFFu) <= 4) {
        return IsInProductSuite("Terminal Server");
    }

    // Windows 2000 and later: both functions are absent from older systems, so
    // they are bound from the modules every process already has loaded.
    HMODULE ntdll = api.GetModuleHandleA("ntdll.dll");
    HMODULE kernel32 = api.GetModuleHandleA("KERNEL32.DLL");
    if (ntdll == nullptr || kernel32 == nullptr) {
        return 0;
    }
    typedef ULONGLONG(WINAPI * SetConditionMask)(ULONGLONG, DWORD, BYTE);
    typedef BOOL(WINAPI * VerifyVersionInfo)(LPOSVERSIONINFOEXA, DWORD, DWORDLONG);
    const auto setConditionMask = BindExport<SetConditionMask>(ntdll, "VerSetConditionMask");
    const auto verifyVersionInfo = BindExport<VerifyVersionInfo>(kernel32, "VerifyVersionInfoA");
    if (setConditionMask == nullptr || verifyVersionInfo == nullptr) {
        return 0;
    }

    const ULONGLONG conditionMask = setConditionMask(0, VER_SUITENAME, VER_AND);
    OSVERSIONINFOEXA osvi;
    std::memset(&osvi, 0, sizeof osvi);
    osvi.dwOSVersionInfoSize = sizeof osvi;
    osvi.wSuiteMask = VER_SUITE_TERMINAL;
    return static_cast<DWORD>(verifyVersionInfo(&osvi, VER_SUITENAME, conditionMask));
}

DWORD IsInProductSuite(const char* name) {
    const Win32Api& api = Api();
    HKEY key = nullptr;
    if (api.RegOpenKeyA(HKEY_LOCAL_MACHINE, kProductOptionsKey, &key) != ERROR_SUCCESS) {
        return 0;
    }

    DWORD result = 0;
    DWORD type = 0;
    DWORD size = 0;
    // The size check keeps size + 2 from wrapping on a 32-bit SIZE_T.
    if (api.RegQueryValueExA(key, "ProductSuite", nullptr, &type, nullptr, &size) == ERROR_SUCCESS && size != 0 &&
        size <= 0xFFFFFFFFu - 2) {
        // Two zero bytes beyond the data: a list stored without its final
        // terminators still ends inside the block.
        char* buffer = static_cast<char*>(api.LocalAlloc(LPTR, static_cast<SIZE_T>(size) + 2));
        if (buffer != nullptr) {
            DWORD dataSize = size;
            if (api.RegQueryValueExA(key, "ProductSuite", nullptr, &type, reinterpret_cast<LPBYTE>(buffer),
                                     &dataSize) == ERROR_SUCCESS &&
                type == REG_MULTI_SZ) {
                const char* end = buffer + (dataSize < size ? dataSize : size);
                for (const char* entry = buffer; entry < end && *entry != '\0'; entry += api.lstrlenA(entry) + 1) {
                    if (api.lstrcmpA(entry, name) == 0) {
                        result = 1;
                        break;
                    }
                }
            }
            api.LocalFree(buffer);
        }
    }
    api.RegCloseKey(key);
    return result;
}
