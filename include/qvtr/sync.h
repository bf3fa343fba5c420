// Scoped locks over named system mutexes, and the open-access security
// descriptor for named objects.
#pragma once

#include "qvtr/export.h"
#include "qvtr/win32.h"

// Holds the named mutex from construction until Release or destruction, so that
// the guarded work runs one caller at a time across threads and processes.
// Ownership is per thread and recursive: a thread may nest locks of one name.
class QVTR_API CCriticalSectionAuto {
public:
    // Creates or opens the mutex and waits for it without time-out. When the
    // mutex cannot be created, m_hMutex is null and QvtrGetLastError() says why.
    explicit CCriticalSectionAuto(const char* name);
    virtual ~CCriticalSectionAuto();
    CCriticalSectionAuto(const CCriticalSectionAuto&) = delete;
    CCriticalSectionAuto& operator=(const CCriticalSectionAuto&) = delete;

    // Gives the mutex up and closes it now; later calls do nothing.
    void Release();

    // The owned mutex; null when it could not be created and after Release.
    HANDLE m_hMutex;
};

// A new LocalAlloc block holding an absolute security descriptor with a present,
// null DACL (every account has full access), or null on any failure. The caller
// frees it with LocalFree once the object it secures exists.
QVTR_API PSECURITY_DESCRIPTOR CreateOpenSecurityDescriptor();
