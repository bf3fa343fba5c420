// Service control: whether a named Windows service is registered, how it is
// configured and whether it runs; starting it and waiting for it; the local
// server registered for a COM class.
#pragma once

#include "qvtr/export.h"
#include "qvtr/win32.h"

// Size of the process-wide account-domain cache, terminator included.
#define QVTR_ACCOUNT_DOMAIN_SIZE 200

// True when the service has a key under System\CurrentControlSet\services.
// A name that is empty or too long for the key path gives false with
// ERROR_INVALID_NAME as the last error.
QVTR_API bool ServiceKeyExists(const char* szServiceName);

// The domain of the account that runs the process, looked up once and then
// kept for the life of the process; "*" while it cannot be found.
QVTR_API const char* GetProcessAccountDomain();

// True when the service is running or starting and is configured to run under
// the caller's account (the process's domain with the calling thread's user
// name), or under LocalSystem when the caller's user name is "system".
QVTR_API bool IsServiceRunningAsCurrentUser(const char* szServiceName);

// Brings the service up as far as `dwAccess` allows: with SERVICE_ALL_ACCESS a
// stopped service is started and waited for; with less, a starting service is
// only waited for. Always closes `hSCManager`. `dwError` receives 0 or the
// Win32 code; ERROR_SERVICE_NOT_ACTIVE stands for a service that reached
// neither the starting nor the running state.
QVTR_API bool EnsureServiceRunning(SC_HANDLE hSCManager, const char* szServiceName, DWORD dwAccess, DWORD& dwError);

// Waits while `status` (the record of the last query, updated in place) says
// the service is starting. 0 when it reached SERVICE_RUNNING; otherwise the
// failed status query's error (ERROR_ACCESS_DENIED when refused),
// ERROR_SERVICE_REQUEST_TIMEOUT for a stalled check point or the end of the
// wait hint, or, when the service left the starting state for another, its
// exit code (ERROR_SERVICE_NOT_ACTIVE when it gave none).
QVTR_API DWORD WaitForServiceStart(SC_HANDLE hService, SERVICE_STATUS& status);

// True when the service runs, or is starting and then runs within the wait.
// Never starts it.
QVTR_API bool IsServiceRunning(const char* szServiceName);

// Starts the service when needed and waits for it; true when it runs at the end.
QVTR_API bool StartServiceAndWait(const char* szServiceName, DWORD& dwError);

// Copies the command line of the COM class's local server (the REG_SZ default
// value of HKCR\CLSID\{class}\LocalServer32, the class found from `szProgId`)
// into `pBuffer`. Returns the bytes placed there, terminator included, or 0
// with the reason as the last error: the registry's code (ERROR_MORE_DATA when
// the buffer is too small), the COM result for an unknown ProgID, or
// ERROR_INVALID_DATA for a value that is not REG_SZ.
QVTR_API DWORD GetLocalServerPath(const char* szProgId, char* pBuffer, DWORD dwBufferSize);
