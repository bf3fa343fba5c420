#include "win32/posix/posix.h"

void BindBackend(Win32Api& t) {
    posix::BindCore(t);
    posix::BindLibraries(t);
    posix::BindProfile(t);
    posix::BindRegistry(t);
    posix::BindVersion(t);
    posix::BindSync(t);
    posix::BindService(t);
    posix::BindCom(t);
}
