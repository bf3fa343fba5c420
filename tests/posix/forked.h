// Runs part of a test in a forked child, as another user when asked, under a
// time limit: a hang or a fatal signal fails the test, not the test program.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace forked {

constexpr uid_t kOther = 1;  // two ordinary users (daemon, nobody)
constexpr uid_t kVictim = 65534;

// The child's exit code, or 128 + the signal that ended it.
inline int Run(const std::function<int()>& body, uid_t uid = 0) {
    const pid_t child = fork();
    if (child == 0) {
        alarm(10);
        _exit(uid != 0 && (setgid(uid) != 0 || setuid(uid) != 0) ? 120 : body());
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace forked
