// The Windows half of whether standard error is a terminal.
#include "terminal.h"

#include <cstdio>

#include <io.h>

namespace tool {

bool StderrIsTerminal() {
    return _isatty(_fileno(stderr)) != 0;
}

}  // namespace tool
