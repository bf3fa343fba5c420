#include "win32/posix/posix.h"

namespace posix {

void BindVersion(Win32Api&) {}

}  // namespace posix
