// Another machine's registry, reached with the system's ssh client: the
// client half (RegConnectRegistryA for a name other than this machine's, and
// every registry call on the keys below the connection) and the server half
// that `qvtr reg-server` runs on that machine.
#pragma once

#include "win32/api.h"

namespace posix {

// Wraps the registry entries of `t`, already bound to this machine's registry,
// so that a remote key's calls go over its connection.
void BindRemoteRegistry(Win32Api& t);

// Answers one client on `input` and `output` until it hangs up; ERROR_SUCCESS
// then, or the code of what ended the connection.
DWORD WINAPI QvtrServeRegistryImpl(int input, int output);

}  // namespace posix
