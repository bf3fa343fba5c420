// Runs a program as a child of the tool and waits for it: the tool's one piece
// of process creation, shared by the commands that need it.
#pragma once

#include <string>
#include <vector>

namespace tool {

struct ProcessResult {
    bool started = false;
    int status = 0;     // the exit status; 128 + the signal number when a signal ended it
    std::string error;  // why it could not be started
};

// Runs argv[0] (looked up in PATH when it has no directory) with argv as its
// arguments, sharing the tool's standard streams, and waits until it ends.
ProcessResult RunProcess(const std::vector<std::string>& argv);

}  // namespace tool
