#include "win32/posix/posix.h"

namespace posix {

void BindService(Win32Api&) {}

}  // namespace posix
