// Named kernel objects of the POSIX backend: mutexes and events in POSIX shared
// memory, one object per name, shared by every handle of a process.
#pragma once

#include <string>

#include "win32/posix/posix.h"

namespace posix {

enum class ObjectKind : uint32_t { kMutex = 1, kEvent = 2 };

// The shared-memory object name for a Win32 object name: per user, or
// machine-wide for "Global\" names.
std::string SharedObjectName(const char* name);

// The file behind a shared-memory object name (for tests and diagnostics).
std::string SharedObjectPath(const std::string& sharedName);

}  // namespace posix
