// The Linux half of running a command under a lock and passing on its exit status.
#include "run_process.h"

#include "command.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

namespace tool {

namespace {

// What a user or a service manager sends to stop or nudge a command; the tool
// passes them on so that it ends only after the command has.
constexpr int kForwarded[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2};

volatile sig_atomic_t g_child = 0;

void Forward(int signal) {
    const int saved = errno;
    if (g_child > 0) {
        kill(static_cast<pid_t>(g_child), signal);
    }
    errno = saved;
}

sigset_t ForwardedSet() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : kForwarded) {
        sigaddset(&set, signal);
    }
    return set;
}

// In the child, between fork and exec: only async-signal-safe calls.
[[noreturn]] void Exec(char** args, pid_t parent, const sigset_t& oldMask, int report) {
    for (int signal : kForwarded) {
        ::signal(signal, SIG_DFL);
    }
    sigprocmask(SIG_SETMASK, &oldMask, nullptr);
    // The command must not outlive the tool, which holds the lock for it; the
    // tool may have died before the request took effect.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) {
        const int error = ECHILD;
        (void)!write(report, &error, sizeof error);
        _exit(127);
    }
    execvp(args[0], args);
    const int error = errno;
    (void)!write(report, &error, sizeof error);
    _exit(127);
}

}  // namespace

namespace {

// How the child went: its exec's failure from the pipe, else its exit status.
void Collect(pid_t pid, int forkError, int reportFd, ProcessResult& result) {
    int execError = 0;
    ssize_t got;
    while ((got = read(reportFd, &execError, sizeof execError)) < 0 && errno == EINTR) {
    }
    close(reportFd);
    if (pid < 0) {
        result.error = std::strerror(forkError);
        return;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (got == static_cast<ssize_t>(sizeof execError)) {
        result.error = std::strerror(execError);
    } else {
        result.started = true;
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv) {
    ProcessResult result;
    std::vector<char*> args;
    std::transform(argv.begin(), argv.end(), std::back_inserter(args),
                   [](const std::string& arg) { return const_cast<char*>(arg.c_str()); });
    args.push_back(nullptr);

    // The exec failure comes back through a pipe that a successful exec closes.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        result.error = std::strerror(errno);
        return result;
    }
    // A signal that arrives before the child's id is known is held, then forwarded.
    const sigset_t forwarded = ForwardedSet();
    sigset_t oldMask;
    sigprocmask(SIG_BLOCK, &forwarded, &oldMask);
    struct sigaction action {};
    action.sa_handler = Forward;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    struct sigaction previous[sizeof kForwarded / sizeof kForwarded[0]];
    for (size_t i = 0; i < sizeof kForwarded / sizeof kForwarded[0]; ++i) {
        sigaction(kForwarded[i], &action, &previous[i]);
    }
    const pid_t parent = getpid();
    const pid_t pid = fork();
    const int forkError = errno;
    if (pid == 0) {
        close(report[0]);
        Exec(args.data(), parent, oldMask, report[1]);
    }
    close(report[1]);
    if (pid > 0) {
        g_child = pid;
    }
    sigprocmask(SIG_SETMASK, &oldMask, nullptr);

    Collect(pid, forkError, report[0], result);
    g_child = 0;
    for (size_t i = 0; i < sizeof kForwarded / sizeof kForwarded[0]; ++i) {
        sigaction(kForwarded[i], &previous[i], nullptr);
    }
    return result;
}

}  // namespace tool
