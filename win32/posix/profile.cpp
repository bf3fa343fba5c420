#include "win32/posix/posix.h"

namespace posix {

void BindProfile(Win32Api&) {}

}  // namespace posix
