#include "terminal.h"

#include <cstdio>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace tool {

#if defined(_WIN32)
bool StderrIsTerminal() {
    return _isatty(_fileno(stderr)) != 0;
}
#else
bool StderrIsTerminal() {
    return isatty(STDERR_FILENO) != 0;
}
#endif

}  // namespace tool
