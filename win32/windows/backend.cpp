// Binds the seam to the real Win32 functions.
//
// One addition to plain binding: writes through a handle opened for
// append-only access are serialised across processes with a byte-range lock on
// a sentinel far beyond any data. Windows makes such appends atomic on local
// NTFS, but Wine and network redirectors do not; the lock goes with the handle,
// so a process that dies cannot leave it held.
#include "win32/api.h"

#include <malloc.h>

#include <algorithm>
#include <mutex>
#include <vector>

namespace {

// Far beyond any log file, below the largest offset NTFS accepts.
constexpr DWORD kSentinelHigh = 0x3FFFFFFF;

std::mutex g_appendMutex;
std::vector<HANDLE> g_appendHandles;

bool IsAppendOnly(DWORD access) {
    return (access & FILE_APPEND_DATA) != 0 && (access & (FILE_WRITE_DATA | GENERIC_WRITE | GENERIC_ALL)) == 0;
}

bool IsAppendHandle(HANDLE handle) {
    std::lock_guard<std::mutex> lock(g_appendMutex);
    return std::find(g_appendHandles.begin(), g_appendHandles.end(), handle) != g_appendHandles.end();
}

void ForgetAppendHandle(HANDLE handle) {
    std::lock_guard<std::mutex> lock(g_appendMutex);
    auto it = std::find(g_appendHandles.begin(), g_appendHandles.end(), handle);
    if (it != g_appendHandles.end()) {
        g_appendHandles.erase(it);
    }
}

HANDLE WINAPI AppendAwareCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                                     DWORD disposition, DWORD flags, HANDLE tmpl) {
    if (!IsAppendOnly(access)) {
        return ::CreateFileA(name, access, share, sa, disposition, flags, tmpl);
    }
    // Read access is what LockFileEx needs; appending stays the only way to write.
    HANDLE handle = ::CreateFileA(name, access | FILE_READ_DATA | SYNCHRONIZE, share, sa, disposition, flags, tmpl);
    if (handle == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED) {
        return ::CreateFileA(name, access, share, sa, disposition, flags, tmpl);
    }
    if (handle != INVALID_HANDLE_VALUE) {
        std::lock_guard<std::mutex> lock(g_appendMutex);
        g_appendHandles.push_back(handle);
    }
    return handle;
}

BOOL WINAPI AppendAwareWriteFile(HANDLE handle, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
    if (overlapped != nullptr || !IsAppendHandle(handle)) {
        return ::WriteFile(handle, data, size, written, overlapped);
    }
    OVERLAPPED sentinel{};
    sentinel.OffsetHigh = kSentinelHigh;
    const BOOL locked = ::LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &sentinel);
    ::SetFilePointer(handle, 0, nullptr, FILE_END);
    const BOOL ok = ::WriteFile(handle, data, size, written, nullptr);
    const DWORD error = ::GetLastError();
    if (locked) {
        ::UnlockFileEx(handle, 0, 1, 0, &sentinel);
    }
    ::SetLastError(error);
    return ok;
}

BOOL WINAPI AppendAwareCloseHandle(HANDLE handle) {
    ForgetAppendHandle(handle);
    return ::CloseHandle(handle);
}

size_t HeapBlockSize(void* block) {
    return block ? ::_msize(block) : 0;
}

}  // namespace

void BindBackend(Win32Api& t) {
    t.GetModuleFileNameA = ::GetModuleFileNameA;
    t.GetTempPathA = ::GetTempPathA;
    t.GetCurrentProcessId = ::GetCurrentProcessId;

    t.GetPrivateProfileStringA = ::GetPrivateProfileStringA;
    t.GetPrivateProfileIntA = ::GetPrivateProfileIntA;
    t.WritePrivateProfileStringA = ::WritePrivateProfileStringA;

    t.CreateFileA = AppendAwareCreateFileA;
    t.SetFilePointer = ::SetFilePointer;
    t.WriteFile = AppendAwareWriteFile;
    t.ReadFile = ::ReadFile;
    t.CloseHandle = AppendAwareCloseHandle;

    t.OutputDebugStringA = ::OutputDebugStringA;
    t.GetLastError = ::GetLastError;
    t.SetLastError = ::SetLastError;
    t.FormatMessageA = ::FormatMessageA;

    t.LocalAlloc = ::LocalAlloc;
    t.LocalFree = ::LocalFree;
    t._msize = HeapBlockSize;

    t.CreateMutexA = ::CreateMutexA;
    t.CreateEventA = ::CreateEventA;
    t.SetEvent = ::SetEvent;
    t.WaitForSingleObject = ::WaitForSingleObject;
    t.ReleaseMutex = ::ReleaseMutex;
    t.InitializeSecurityDescriptor = ::InitializeSecurityDescriptor;
    t.SetSecurityDescriptorDacl = ::SetSecurityDescriptorDacl;

    t.RegConnectRegistryA = ::RegConnectRegistryA;
    t.RegCreateKeyExA = ::RegCreateKeyExA;
    t.RegOpenKeyExA = ::RegOpenKeyExA;
    t.RegOpenKeyA = ::RegOpenKeyA;
    t.RegCloseKey = ::RegCloseKey;
    t.RegQueryInfoKeyA = ::RegQueryInfoKeyA;
    t.RegQueryValueExA = ::RegQueryValueExA;
    t.RegEnumValueA = ::RegEnumValueA;
    t.RegEnumKeyExA = ::RegEnumKeyExA;
    t.RegSetValueExA = ::RegSetValueExA;
    t.RegDeleteValueA = ::RegDeleteValueA;
    t.RegDeleteKeyA = ::RegDeleteKeyA;

    t.GetVersionExA = ::GetVersionExA;
    t.GetVersion = ::GetVersion;
    t.GetModuleHandleA = ::GetModuleHandleA;
    t.GetProcAddress = ::GetProcAddress;
    t.lstrcmpA = ::lstrcmpA;
    t.lstrlenA = ::lstrlenA;

    t.LoadLibraryA = ::LoadLibraryA;
    t.FreeLibrary = ::FreeLibrary;
    t.GetComputerNameA = ::GetComputerNameA;

    t.GetCurrentProcess = ::GetCurrentProcess;
    t.OpenProcessToken = ::OpenProcessToken;
    t.GetTokenInformation = ::GetTokenInformation;
    t.LookupAccountSidA = ::LookupAccountSidA;
    t.GetUserNameA = ::GetUserNameA;

    t.OpenSCManagerA = ::OpenSCManagerA;
    t.OpenServiceA = ::OpenServiceA;
    t.QueryServiceStatus = ::QueryServiceStatus;
    t.QueryServiceStatusEx = ::QueryServiceStatusEx;
    t.DeleteService = ::DeleteService;
    t.QueryServiceConfigA = ::QueryServiceConfigA;
    t.StartServiceA = ::StartServiceA;
    t.ControlService = ::ControlService;
    t.CloseServiceHandle = ::CloseServiceHandle;

    t.GetTickCount = ::GetTickCount;
    t.Sleep = ::Sleep;

    t.CLSIDFromProgID = ::CLSIDFromProgID;
    t.StringFromCLSID = ::StringFromCLSID;
    t.CoTaskMemFree = ::CoTaskMemFree;
    t.MultiByteToWideChar = ::MultiByteToWideChar;
    t.WideCharToMultiByte = ::WideCharToMultiByte;
}
