#include "win32/posix/posix.h"

namespace posix {

void BindRegistry(Win32Api&) {}

}  // namespace posix
