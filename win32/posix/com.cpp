#include "win32/posix/posix.h"

namespace posix {

void BindCom(Win32Api&) {}

}  // namespace posix
