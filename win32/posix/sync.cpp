#include "win32/posix/posix.h"

namespace posix {

void BindSync(Win32Api&) {}

}  // namespace posix
