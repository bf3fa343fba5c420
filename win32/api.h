// The platform seam: one table of the Win32 operations the layer uses.
//
// Every facility calls the platform as Api().Name(...), with the exact Win32
// name and signature. At start-up each entry points at the backend: the real
// function on Windows, the POSIX emulation elsewhere. Tests replace single
// entries with ApiOverride, which restores the whole table when it goes out of
// scope. An entry the backend lacks stays null.
#pragma once

#include "win32/win32.h"

// The seam leaves the platform's shared library (Linux) for the module and the tool.
#if !defined(_WIN32)
#define QVTR_PLATFORM_API __attribute__((visibility("default")))
#else
#define QVTR_PLATFORM_API
#endif

struct Win32Api {
    // Module file names, temporary path, process id (trace log, language files).
    DWORD(WINAPI* GetModuleFileNameA)(HMODULE, LPSTR, DWORD);
    DWORD(WINAPI* GetTempPathA)(DWORD, LPSTR);
    DWORD(WINAPI* GetCurrentProcessId)();

    // Profile (INI) files (trace settings, language files).
    DWORD(WINAPI* GetPrivateProfileStringA)(LPCSTR, LPCSTR, LPCSTR, LPSTR, DWORD, LPCSTR);
    UINT(WINAPI* GetPrivateProfileIntA)(LPCSTR, LPCSTR, INT, LPCSTR);
    BOOL(WINAPI* WritePrivateProfileStringA)(LPCSTR, LPCSTR, LPCSTR, LPCSTR);

    // Files (the log file).
    HANDLE(WINAPI* CreateFileA)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
    DWORD(WINAPI* SetFilePointer)(HANDLE, LONG, PLONG, DWORD);
    BOOL(WINAPI* WriteFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
    BOOL(WINAPI* ReadFile)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
    BOOL(WINAPI* CloseHandle)(HANDLE);

    // Diagnostics and errors.
    void(WINAPI* OutputDebugStringA)(LPCSTR);
    DWORD(WINAPI* GetLastError)();
    void(WINAPI* SetLastError)(DWORD);
    DWORD(WINAPI* FormatMessageA)(DWORD, LPCVOID, DWORD, DWORD, LPSTR, DWORD, va_list*);

    // Local memory (system texts, security descriptors, suite lists).
    HLOCAL(WINAPI* LocalAlloc)(UINT, SIZE_T);
    HLOCAL(WINAPI* LocalFree)(HLOCAL);

    // C runtime: the usable size of a heap block from malloc/realloc.
    size_t (*_msize)(void*);

    // Named mutexes and events, security descriptors (scoped locks).
    HANDLE(WINAPI* CreateMutexA)(LPSECURITY_ATTRIBUTES, BOOL, LPCSTR);
    HANDLE(WINAPI* CreateEventA)(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCSTR);
    BOOL(WINAPI* SetEvent)(HANDLE);
    DWORD(WINAPI* WaitForSingleObject)(HANDLE, DWORD);
    BOOL(WINAPI* ReleaseMutex)(HANDLE);
    BOOL(WINAPI* InitializeSecurityDescriptor)(PSECURITY_DESCRIPTOR, DWORD);
    BOOL(WINAPI* SetSecurityDescriptorDacl)(PSECURITY_DESCRIPTOR, BOOL, PACL, BOOL);

    // Registry (registry key, terminal-server tests, services, language).
    LONG(WINAPI* RegConnectRegistryA)(LPCSTR, HKEY, PHKEY);
    LONG(WINAPI* RegCreateKeyExA)
    (HKEY, LPCSTR, DWORD, LPSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY, LPDWORD);
    LONG(WINAPI* RegOpenKeyExA)(HKEY, LPCSTR, DWORD, REGSAM, PHKEY);
    LONG(WINAPI* RegOpenKeyA)(HKEY, LPCSTR, PHKEY);
    LONG(WINAPI* RegCloseKey)(HKEY);
    LONG(WINAPI* RegQueryInfoKeyA)
    (HKEY, LPSTR, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, PFILETIME);
    LONG(WINAPI* RegQueryValueExA)(HKEY, LPCSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
    LONG(WINAPI* RegEnumValueA)(HKEY, DWORD, LPSTR, LPDWORD, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
    LONG(WINAPI* RegEnumKeyExA)(HKEY, DWORD, LPSTR, LPDWORD, LPDWORD, LPSTR, LPDWORD, PFILETIME);
    LONG(WINAPI* RegSetValueExA)(HKEY, LPCSTR, DWORD, DWORD, const BYTE*, DWORD);
    LONG(WINAPI* RegDeleteValueA)(HKEY, LPCSTR);
    LONG(WINAPI* RegDeleteKeyA)(HKEY, LPCSTR);

    // Version information and run-time binding (OS version, terminal-server tests).
    BOOL(WINAPI* GetVersionExA)(LPOSVERSIONINFOA);
    DWORD(WINAPI* GetVersion)();
    HMODULE(WINAPI* GetModuleHandleA)(LPCSTR);
    FARPROC(WINAPI* GetProcAddress)(HMODULE, LPCSTR);
    int(WINAPI* lstrcmpA)(LPCSTR, LPCSTR);
    int(WINAPI* lstrlenA)(LPCSTR);

    // Libraries and the computer name (session identity).
    HMODULE(WINAPI* LoadLibraryA)(LPCSTR);
    BOOL(WINAPI* FreeLibrary)(HMODULE);
    BOOL(WINAPI* GetComputerNameA)(LPSTR, LPDWORD);

    // Tokens and accounts (service control: the caller's account).
    HANDLE(WINAPI* GetCurrentProcess)();
    BOOL(WINAPI* OpenProcessToken)(HANDLE, DWORD, PHANDLE);
    BOOL(WINAPI* GetTokenInformation)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD);
    BOOL(WINAPI* LookupAccountSidA)(LPCSTR, PSID, LPSTR, LPDWORD, LPSTR, LPDWORD, PSID_NAME_USE);
    BOOL(WINAPI* GetUserNameA)(LPSTR, LPDWORD);

    // Service control manager (service control).
    SC_HANDLE(WINAPI* OpenSCManagerA)(LPCSTR, LPCSTR, DWORD);
    SC_HANDLE(WINAPI* OpenServiceA)(SC_HANDLE, LPCSTR, DWORD);
    BOOL(WINAPI* QueryServiceStatus)(SC_HANDLE, LPSERVICE_STATUS);
    BOOL(WINAPI* QueryServiceStatusEx)(SC_HANDLE, SC_STATUS_TYPE, LPBYTE, DWORD, LPDWORD);
    BOOL(WINAPI* QueryServiceConfigA)(SC_HANDLE, LPQUERY_SERVICE_CONFIGA, DWORD, LPDWORD);
    BOOL(WINAPI* StartServiceA)(SC_HANDLE, DWORD, LPCSTR*);
    BOOL(WINAPI* ControlService)(SC_HANDLE, DWORD, LPSERVICE_STATUS);
    BOOL(WINAPI* DeleteService)(SC_HANDLE);
    BOOL(WINAPI* CloseServiceHandle)(SC_HANDLE);

    // Clock and pause (the service start wait).
    DWORD(WINAPI* GetTickCount)();
    void(WINAPI* Sleep)(DWORD);

    // COM class lookup and code page conversion (local server of a COM class).
    HRESULT(WINAPI* CLSIDFromProgID)(LPCOLESTR, LPCLSID);
    HRESULT(WINAPI* StringFromCLSID)(REFCLSID, LPOLESTR*);
    void(WINAPI* CoTaskMemFree)(LPVOID);
    int(WINAPI* MultiByteToWideChar)(UINT, DWORD, LPCSTR, int, LPWSTR, int);
    int(WINAPI* WideCharToMultiByte)(UINT, DWORD, LPCWSTR, int, LPSTR, int, LPCSTR, LPBOOL);

    // POSIX backend only (null on Windows): one transaction around a .reg import,
    // or one unchanging view of the store for a long read (QVTR_REG_SNAPSHOT).
    LONG(WINAPI* QvtrRegTransaction)(DWORD action);  // QVTR_REG_BEGIN, _SNAPSHOT, _COMMIT or _ROLLBACK
    // Where the registry lives and what its user should know of it, as report
    // lines "NAME\tVALUE\n"; the length, or the size needed with its terminator.
    DWORD(WINAPI* QvtrDescribeRegistry)(LPSTR buffer, DWORD size);
    // Serves this machine's registry to one remote client on two descriptors
    // (`qvtr reg-server`, run by ssh) until it hangs up.
    DWORD(WINAPI* QvtrServeRegistry)(int input, int output);
};

#define QVTR_REG_BEGIN 1
#define QVTR_REG_COMMIT 2
#define QVTR_REG_ROLLBACK 3
#define QVTR_REG_SNAPSHOT 4

// The process's table. The first call binds it to the backend.
QVTR_PLATFORM_API Win32Api& Api();

// The backend's own table, never overridden: fakes call through it.
QVTR_PLATFORM_API const Win32Api& BackendApi();

// Binds every entry the backend has; defined once per backend.
void BindBackend(Win32Api& table);

// Replaces entries for the lifetime of the guard: `ApiOverride o; o->GetVersion = fake;`.
class QVTR_PLATFORM_API ApiOverride {
public:
    ApiOverride();
    ~ApiOverride();
    ApiOverride(const ApiOverride&) = delete;
    ApiOverride& operator=(const ApiOverride&) = delete;

    Win32Api* operator->() { return &Api(); }
    // The table as it was when the guard was made.
    const Win32Api& Saved() const { return m_saved; }

private:
    Win32Api m_saved;
};
