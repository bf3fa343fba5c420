// Shared pieces of the POSIX backend: last error, errno translation, the
// handle table and the per-facility binding functions.
#pragma once

#include <memory>
#include <string>

#include "win32/api.h"

namespace posix {

// The calling thread's last error.
void SetError(DWORD code);
DWORD Error();

// A failed call's answer: sets the last error, and converts to the zero of the
// call's return type (FALSE, a null handle, 0): `return Fail(ERROR_INVALID_HANDLE);`.
struct Failure {
    template <class T>
    operator T() const {
        return T();
    }
};
inline Failure Fail(DWORD code) {
    SetError(code);
    return Failure();
}
// A call's answer on success, with the last error cleared as Windows clears it.
template <class T>
T Succeed(T value) {
    SetError(ERROR_SUCCESS);
    return value;
}

// Where a call site needs another answer than the general one, it names it.
enum class ErrnoAs {
    kGeneral,
    kCreate,      // CreateFile: EEXIST is ERROR_FILE_EXISTS, ENOENT a missing directory
    kOpen,        // CreateFile of an existing file: EEXIST is ERROR_FILE_EXISTS
    kDirectory,   // a directory named by the caller: ENOENT and ENOTDIR are ERROR_PATH_NOT_FOUND
    kTrustCheck,  // a directory being judged: missing, or else not to be trusted (ERROR_ACCESS_DENIED)
    kSeek,        // a position before the start: ERROR_NEGATIVE_SEEK
};

// The one place where errno becomes a Win32 code.
DWORD ErrnoToWin32(int error, ErrnoAs as = ErrnoAs::kGeneral);

// Sets the last error from errno and returns the Win32 code.
DWORD SetErrorFromErrno(ErrnoAs as = ErrnoAs::kGeneral);

// Win32 paths may use either separator; the backend hands native ones to the system.
std::string NativePath(const char* path);

// The program file of a command name, found on $PATH as execvp would; empty when none.
std::string FindProgram(const std::string& name);

// Kernel objects behind HANDLE values (files, mutexes, events, tokens, ...).
struct KernelObject {
    virtual ~KernelObject() = default;
};

HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);
// Removes the handle; the object goes when its last reference does. False for a bad handle.
bool RemoveHandle(HANDLE handle);
// Number of open handles in the table (for leak checks in tests).
size_t OpenHandleCount();

template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}

// Per-facility binding of the table; each leaves the entries it lacks null.
void BindCore(Win32Api& t);       // files, errors, memory, module names, clock, names
void BindLibraries(Win32Api& t);  // LoadLibraryA, GetProcAddress, GetModuleHandleA
void BindProfile(Win32Api& t);    // INI files
void BindRegistry(Win32Api& t);   // the persisted registry

// A key and everything below it, in one transaction (a service's key when the
// service is deleted).
LONG DeleteRegistryTree(HKEY root, const std::string& subKey);
void BindVersion(Win32Api& t);  // version answers of the emulated machine
void BindSync(Win32Api& t);     // named mutexes and events, security descriptors
void BindService(Win32Api& t);  // service control manager, tokens and accounts
void BindCom(Win32Api& t);      // COM class lookup, code page conversion

// A module built into the backend ("ntdll.dll", "KERNEL32.DLL"): GetModuleHandleA
// finds it by name and GetProcAddress asks `lookup` for its exports.
using BuiltinLookup = FARPROC (*)(const char* name);
void RegisterBuiltinModule(const char* name, BuiltinLookup lookup);

}  // namespace posix
