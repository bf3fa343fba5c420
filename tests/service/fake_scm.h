// A scripted service control manager, clock, account and ProgID table behind
// the seam, for the service control unit tests (the registry is a scratch one).
//
// One FakeScm at a time: FakeScmScope installs it and restores the table and
// the module's trace settings when it goes.
#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "qvtr/module.h"
#include "win32/api.h"

namespace service_fakes {

// One answer of QueryServiceStatus: a status, or a failure with `error`.
struct Step {
    SERVICE_STATUS status;
    DWORD error;
    bool fails;
};

inline SERVICE_STATUS Status(DWORD state, DWORD checkPoint = 0, DWORD waitHint = 0, DWORD exitCode = 0) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwCheckPoint = checkPoint;
    status.dwWaitHint = waitHint;
    status.dwWin32ExitCode = exitCode;
    return status;
}
inline Step Pending(DWORD checkPoint, DWORD waitHint) {
    return {Status(SERVICE_START_PENDING, checkPoint, waitHint), 0, false};
}
inline Step Running() {
    return {Status(SERVICE_RUNNING), 0, false};
}
inline Step Stopped(DWORD exitCode = 0) {
    return {Status(SERVICE_STOPPED, 0, 0, exitCode), 0, false};
}
inline Step Fails(DWORD error) {
    return {Status(0), error, true};
}

struct FakeScm {
    // Service control manager.
    std::vector<Step> script;  // the last step repeats
    size_t next = 0;
    bool managerOpenFails = false;
    DWORD openServiceError = 0;    // nonzero: OpenServiceA fails with it
    DWORD startError = 0;          // nonzero: StartServiceA fails with it
    std::vector<Step> afterStart;  // replaces the script when a start is accepted
    int managerOpens = 0;
    int serviceOpens = 0;
    int closes = 0;
    int starts = 0;
    int queries = 0;
    DWORD managerAccess = 0;
    DWORD serviceAccess = 0;
    std::string openedName;

    // Service configuration.
    std::string startName = "LocalSystem";
    bool startNameNull = false;
    int configQueries = 0;
    std::vector<DWORD> configSizes;

    // Clock.
    DWORD clock = 0;
    std::vector<DWORD> sleeps;

    // Accounts.
    bool tokenFails = false;
    std::string domain = "EMULATED";
    std::string userName = "alice";
    int tokenOpens = 0;
    int tokenCloses = 0;
    int lookups = 0;

    // COM classes by ProgID; their keys live in the scratch registry.
    std::map<std::string, CLSID> progIds;
    int taskFrees = 0;

    // Trace lines, without the process-id prefix; system texts given out and released.
    std::vector<std::string> traces;
    std::vector<DWORD> formatted;
    int localFrees = 0;
};

inline FakeScm*& Current() {
    static FakeScm* current = nullptr;
    return current;
}

namespace detail {

const SC_HANDLE kManager = reinterpret_cast<SC_HANDLE>(static_cast<uintptr_t>(0x1000));
const SC_HANDLE kService = reinterpret_cast<SC_HANDLE>(static_cast<uintptr_t>(0x2000));
const HANDLE kToken = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x3000));
const DWORD kSidBytes[2] = {0x00000501, 0x15000000};

inline FakeScm& F() {
    return *Current();
}
inline void Fail(DWORD code) {
    Api().SetLastError(code);
}

inline SC_HANDLE WINAPI OpenSCManagerA(LPCSTR, LPCSTR, DWORD access) {
    if (F().managerOpenFails) {
        Fail(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    ++F().managerOpens;
    F().managerAccess = access;
    return kManager;
}

inline SC_HANDLE WINAPI OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access) {
    if (manager != kManager) {
        Fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    F().openedName = name;
    F().serviceAccess = access;
    if (F().openServiceError != 0) {
        Fail(F().openServiceError);
        return nullptr;
    }
    ++F().serviceOpens;
    return kService;
}

inline BOOL WINAPI QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
    ++F().queries;
    if (service != kService || F().script.empty()) {
        Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const Step& step = F().script[std::min(F().next, F().script.size() - 1)];
    ++F().next;
    if (step.fails) {
        Fail(step.error);
        return FALSE;
    }
    *status = step.status;
    return TRUE;
}

inline BOOL WINAPI StartServiceA(SC_HANDLE service, DWORD, LPCSTR*) {
    if (service != kService) {
        Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    ++F().starts;
    if (F().startError != 0) {
        Fail(F().startError);
        return FALSE;
    }
    if (!F().afterStart.empty()) {
        F().script = F().afterStart;
        F().next = 0;
    }
    return TRUE;
}

inline BOOL WINAPI CloseServiceHandle(SC_HANDLE handle) {
    if (handle != kManager && handle != kService) {
        Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    ++F().closes;
    return TRUE;
}

// The record and the strings after it, the way the manager lays them out.
inline BOOL WINAPI QueryServiceConfigA(SC_HANDLE service, LPQUERY_SERVICE_CONFIGA config, DWORD size, LPDWORD needed) {
    ++F().configQueries;
    F().configSizes.push_back(size);
    if (service != kService) {
        Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const std::string& name = F().startName;
    const DWORD total = static_cast<DWORD>(sizeof(QUERY_SERVICE_CONFIGA) + name.size() + 1);
    *needed = total;
    if (size < total) {
        Fail(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memset(config, 0, size);
    char* text = reinterpret_cast<char*>(config) + sizeof(QUERY_SERVICE_CONFIGA);
    std::memcpy(text, name.c_str(), name.size() + 1);
    config->lpServiceStartName = F().startNameNull ? nullptr : text;
    return TRUE;
}

inline DWORD WINAPI GetTickCount() {
    return F().clock;
}

inline void WINAPI Sleep(DWORD ms) {
    F().sleeps.push_back(ms);
    F().clock += ms;
}

inline void WINAPI OutputDebugStringA(LPCSTR line) {
    // Drops the "%08X: " process-id prefix.
    const std::string text = line;
    F().traces.push_back(text.size() >= 10 ? text.substr(10) : text);
}

inline DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID source, DWORD code, DWORD language, LPSTR buffer, DWORD,
                                   va_list*) {
    if (flags != 0x1300 || source != nullptr || language != 0x400) {
        Fail(ERROR_INVALID_PARAMETER);
        return 0;
    }
    F().formatted.push_back(code);
    const std::string text = "Text of " + std::to_string(code) + "\r\n";
    char* block = static_cast<char*>(BackendApi().LocalAlloc(LMEM_FIXED, text.size() + 1));
    std::memcpy(block, text.c_str(), text.size() + 1);
    *reinterpret_cast<char**>(buffer) = block;
    return static_cast<DWORD>(text.size());
}

inline HLOCAL WINAPI LocalFree(HLOCAL block) {
    ++F().localFrees;
    return BackendApi().LocalFree(block);
}

// Accounts.
inline BOOL WINAPI OpenProcessToken(HANDLE, DWORD access, PHANDLE token) {
    if (F().tokenFails || access != TOKEN_READ) {
        Fail(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    ++F().tokenOpens;
    *token = kToken;
    return TRUE;
}

inline BOOL WINAPI GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID data, DWORD size,
                                       PDWORD returned) {
    const DWORD needed = static_cast<DWORD>(sizeof(TOKEN_USER) + sizeof kSidBytes);
    *returned = needed;
    if (token != kToken || kind != TokenUser || size < needed) {
        Fail(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    auto* user = static_cast<TOKEN_USER*>(data);
    BYTE* sid = static_cast<BYTE*>(data) + sizeof(TOKEN_USER);
    std::memcpy(sid, kSidBytes, sizeof kSidBytes);
    user->User.Sid = sid;
    user->User.Attributes = 0;
    return TRUE;
}

inline BOOL WINAPI LookupAccountSidA(LPCSTR system, PSID sid, LPSTR name, LPDWORD nameSize, LPSTR domain,
                                     LPDWORD domainSize, PSID_NAME_USE use) {
    ++F().lookups;
    if (system != nullptr || std::memcmp(sid, kSidBytes, sizeof kSidBytes) != 0) {
        Fail(ERROR_NONE_MAPPED);
        return FALSE;
    }
    const std::string& d = F().domain;
    if (*nameSize < 6 || *domainSize < d.size() + 1) {
        Fail(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(name, "alice", 6);
    std::memcpy(domain, d.c_str(), d.size() + 1);
    *nameSize = 5;
    *domainSize = static_cast<DWORD>(d.size());
    *use = SidTypeUser;
    return TRUE;
}

inline BOOL WINAPI CloseHandle(HANDLE handle) {
    if (handle == kToken) {
        ++F().tokenCloses;
        return TRUE;
    }
    return BackendApi().CloseHandle(handle);
}

inline BOOL WINAPI GetUserNameA(LPSTR buffer, LPDWORD size) {
    const std::string& user = F().userName;
    if (*size < user.size() + 1) {
        *size = static_cast<DWORD>(user.size() + 1);
        Fail(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(buffer, user.c_str(), user.size() + 1);
    *size = static_cast<DWORD>(user.size() + 1);
    return TRUE;
}

inline HRESULT WINAPI CLSIDFromProgID(LPCOLESTR progId, LPCLSID clsid) {
    std::string name;
    for (; *progId != 0; ++progId) {
        name += static_cast<char>(*progId);
    }
    const auto found = F().progIds.find(name);
    if (found == F().progIds.end()) {
        return CO_E_CLASSSTRING;
    }
    *clsid = found->second;
    return S_OK;
}

inline void WINAPI CoTaskMemFree(LPVOID block) {
    ++F().taskFrees;
    BackendApi().CoTaskMemFree(block);
}

}  // namespace detail

class FakeScmScope {
public:
    FakeScmScope();
    ~FakeScmScope();
    FakeScmScope(const FakeScmScope&) = delete;
    FakeScmScope& operator=(const FakeScmScope&) = delete;

    FakeScm& operator*() { return m_fake; }
    FakeScm* operator->() { return &m_fake; }
    ApiOverride& Table() { return m_override; }

private:
    FakeScm m_fake;
    FakeScm* m_previous = nullptr;
    ApiOverride m_override;
    bool m_savedDebugString;
    int32_t m_savedDebugLevel;
};

}  // namespace service_fakes

namespace service_fakes {

inline FakeScmScope::FakeScmScope()
    : m_previous(Current()), m_savedDebugString(g_Module.m_bDebugString), m_savedDebugLevel(g_Module.m_nDebugLevel) {
    Current() = &m_fake;
    Win32Api& t = *m_override.operator->();
    t.OpenSCManagerA = detail::OpenSCManagerA;
    t.OpenServiceA = detail::OpenServiceA;
    t.QueryServiceStatus = detail::QueryServiceStatus;
    t.QueryServiceConfigA = detail::QueryServiceConfigA;
    t.StartServiceA = detail::StartServiceA;
    t.CloseServiceHandle = detail::CloseServiceHandle;
    t.GetTickCount = detail::GetTickCount;
    t.Sleep = detail::Sleep;
    t.OutputDebugStringA = detail::OutputDebugStringA;
    t.FormatMessageA = detail::FormatMessageA;
    t.LocalFree = detail::LocalFree;
    t.OpenProcessToken = detail::OpenProcessToken;
    t.GetTokenInformation = detail::GetTokenInformation;
    t.LookupAccountSidA = detail::LookupAccountSidA;
    t.CloseHandle = detail::CloseHandle;
    t.GetUserNameA = detail::GetUserNameA;
    t.CLSIDFromProgID = detail::CLSIDFromProgID;
    t.CoTaskMemFree = detail::CoTaskMemFree;
    // Every line reaches the fake debugger; the log path is empty, so no file is written.
    g_Module.m_bDebugString = true;
    g_Module.m_nDebugLevel = 3;
}

inline FakeScmScope::~FakeScmScope() {
    g_Module.m_bDebugString = m_savedDebugString;
    g_Module.m_nDebugLevel = m_savedDebugLevel;
    Current() = m_previous;
}

}  // namespace service_fakes
