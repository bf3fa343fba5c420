#include "terminal.h"

#include <cstdio>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

namespace tool {

#if defined(_WIN32)
bool StderrIsTerminal() {
    return _isatty(_fileno(stderr)) != 0;
}
void UseBinaryStdout() {
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
}
#else
bool StderrIsTerminal() {
    return isatty(STDERR_FILENO) != 0;
}
void UseBinaryStdout() {}
#endif

}  // namespace tool
