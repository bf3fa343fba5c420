// Whether a service is registered, and whether it runs under the caller's
// account.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "qvtr/service.h"
#include "win32/api.h"

namespace {

constexpr size_t kKeyPathSize = MAX_PATH;
constexpr DWORD kUserNameSize = 50;
constexpr DWORD kAccountNameSize = 200;
constexpr DWORD kTokenInfoSize = 1000;
// The bare configuration record: 36 bytes in the 32-bit module.
static_assert(sizeof(void*) != 4 || sizeof(QUERY_SERVICE_CONFIGA) == 36, "QUERY_SERVICE_CONFIGA is 36 bytes");
// The service control manager never returns a larger configuration.
constexpr DWORD kMaxConfigSize = 8 * 1024;

// The cache is written once, under the mutex, and only then is the flag set;
// a reader that sees the flag sees the whole name.
char g_szAccountDomain[QVTR_ACCOUNT_DOMAIN_SIZE] = "*";
std::atomic<bool> g_bAccountDomainKnown{false};
std::mutex g_accountDomainMutex;

// Case rules of the current C locale; nothing else is normalised.
bool EqualsIgnoreCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b))) {
            return false;
        }
    }
    return *a == *b;
}

// Looks the domain of the process's account up into `szDomain`.
bool LookUpAccountDomain(char (&szDomain)[QVTR_ACCOUNT_DOMAIN_SIZE]) {
    const Win32Api& api = Api();
    HANDLE hToken = nullptr;
    if (!api.OpenProcessToken(api.GetCurrentProcess(), TOKEN_READ, &hToken)) {
        return false;
    }
    // Aligned for the TOKEN_USER record at its start.
    alignas(std::max_align_t) unsigned char tokenInfo[kTokenInfoSize];
    DWORD dwReturned = 0;
    bool bFound = false;
    if (api.GetTokenInformation(hToken, TokenUser, tokenInfo, sizeof tokenInfo, &dwReturned)) {
        const auto* pUser = reinterpret_cast<const TOKEN_USER*>(tokenInfo);
        char szName[kAccountNameSize];
        DWORD dwNameSize = sizeof szName;
        DWORD dwDomainSize = sizeof szDomain;
        SID_NAME_USE use{};
        bFound = api.LookupAccountSidA(nullptr, pUser->User.Sid, szName, &dwNameSize, szDomain, &dwDomainSize, &use) !=
                 FALSE;
        // A domain that fills the buffer without its terminator is no answer.
        bFound = bFound && std::memchr(szDomain, '\0', sizeof szDomain) != nullptr;
    }
    api.CloseHandle(hToken);
    return bFound;
}

}  // namespace

bool ServiceKeyExists(const char* szServiceName) {
    const Win32Api& api = Api();
    if (szServiceName == nullptr) {
        api.SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    char szPath[kKeyPathSize];
    const int length = std::snprintf(szPath, sizeof szPath, "System\\CurrentControlSet\\services\\%s", szServiceName);
    // An empty name would name the services key itself.
    if (*szServiceName == '\0' || length < 0 || static_cast<size_t>(length) >= sizeof szPath) {
        api.SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    HKEY hKey = nullptr;
    const LONG lResult = api.RegOpenKeyExA(HKEY_LOCAL_MACHINE, szPath, 0, KEY_READ, &hKey);
    if (lResult != ERROR_SUCCESS) {
        api.SetLastError(static_cast<DWORD>(lResult));
        return false;
    }
    api.RegCloseKey(hKey);
    return true;
}

const char* GetProcessAccountDomain() {
    if (g_bAccountDomainKnown.load(std::memory_order_acquire)) {
        return g_szAccountDomain;
    }
    char szDomain[QVTR_ACCOUNT_DOMAIN_SIZE] = "";
    if (!LookUpAccountDomain(szDomain) || szDomain[0] == '*') {
        // The caller gets a "*" of its own: the cache may be being filled by
        // another thread right now.
        return "*";
    }
    std::lock_guard<std::mutex> lock(g_accountDomainMutex);
    if (!g_bAccountDomainKnown.load(std::memory_order_relaxed)) {
        std::memcpy(g_szAccountDomain, szDomain, sizeof g_szAccountDomain);
        g_bAccountDomainKnown.store(true, std::memory_order_release);
    }
    return g_szAccountDomain;
}

bool IsServiceRunningAsCurrentUser(const char* szServiceName) {
    if (!ServiceKeyExists(szServiceName)) {
        return false;
    }
    const Win32Api& api = Api();
    SC_HANDLE hSCManager = api.OpenSCManagerA(nullptr, nullptr, GENERIC_READ);
    if (hSCManager == nullptr) {
        return false;
    }
    SC_HANDLE hService = api.OpenServiceA(hSCManager, szServiceName, GENERIC_READ);
    if (hService == nullptr) {
        api.CloseServiceHandle(hSCManager);
        return false;
    }

    bool bResult = false;
    SERVICE_STATUS status{};
    std::unique_ptr<unsigned char[]> pLargeConfig;
    QUERY_SERVICE_CONFIGA bareConfig{};
    const QUERY_SERVICE_CONFIGA* pConfig = nullptr;
    if (api.QueryServiceStatus(hService, &status) &&
        (status.dwCurrentState == SERVICE_RUNNING || status.dwCurrentState == SERVICE_START_PENDING)) {
        DWORD dwNeeded = 0;
        if (api.QueryServiceConfigA(hService, &bareConfig, sizeof bareConfig, &dwNeeded)) {
            pConfig = &bareConfig;
        } else if (dwNeeded <= kMaxConfigSize) {
            // The reported size, but never less than the record itself.
            const DWORD dwSize = std::max<DWORD>(dwNeeded, sizeof(QUERY_SERVICE_CONFIGA));
            pLargeConfig = std::make_unique<unsigned char[]>(dwSize);
            auto* pRecord = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(pLargeConfig.get());
            if (api.QueryServiceConfigA(hService, pRecord, dwSize, &dwNeeded)) {
                pConfig = pRecord;
            }
        }
    }

    if (pConfig != nullptr && pConfig->lpServiceStartName != nullptr) {
        char szUser[kUserNameSize] = "";
        DWORD dwUserSize = sizeof szUser;
        if (api.GetUserNameA(szUser, &dwUserSize) && std::memchr(szUser, '\0', sizeof szUser) != nullptr) {
            const std::string account = std::string(GetProcessAccountDomain()) + "\\" + szUser;
            const char* szStartName = pConfig->lpServiceStartName;
            bResult = EqualsIgnoreCase(account.c_str(), szStartName) ||
                      (EqualsIgnoreCase(szUser, "system") && EqualsIgnoreCase(szStartName, "LocalSystem"));
        }
    }

    api.CloseServiceHandle(hService);
    api.CloseServiceHandle(hSCManager);
    return bResult;
}
