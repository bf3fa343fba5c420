// Named kernel objects of the POSIX backend: mutexes and events in POSIX shared
// memory, one object per name, shared by every handle of a process.
#pragma once

#include <sys/stat.h>

#include <string>

#include "win32/posix/posix.h"

namespace posix {

enum class ObjectKind : uint32_t { kMutex = 1, kEvent = 2 };

// Where the object of a Win32 name lives: a file in a directory the process
// keeps open. A per-user name lives in a directory only its user can write, so
// no other user can create, replace or read it first; a "Global\" name lives in
// the machine-wide shared-memory directory.
struct ObjectPlace {
    int dir = -1;           // not owned: the process keeps it open
    std::string path;       // the whole path, also the process's key for the object
    size_t fileOffset = 0;  // where the name within `dir` starts in `path`
    bool global = false;
    DWORD error = ERROR_SUCCESS;  // why there is no place (dir < 0)
};

ObjectPlace PlaceOf(const char* name);

// The per-user directory turned out to be gone (an administrator emptied the
// shared-memory directory): the next PlaceOf looks for it again.
void ForgetUserDirectory(int dir);

// Whether an opened object file may be used: a regular file with one link, owned
// by the effective user unless the object is machine-wide.
DWORD CheckObjectFile(const struct stat& info, bool global);

// The file behind a Win32 object name (for tests and diagnostics); empty when
// the name has no safe place.
std::string SharedObjectPath(const char* name);

}  // namespace posix
