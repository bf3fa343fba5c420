// The Linux half of whether standard error is a terminal.
#include "terminal.h"

#include <cstdio>

#include <unistd.h>

namespace tool {

bool StderrIsTerminal() {
    return isatty(STDERR_FILENO) != 0;
}

}  // namespace tool
