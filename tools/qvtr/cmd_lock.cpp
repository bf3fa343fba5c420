// lock: runs a command while holding a named mutex, like flock(1) for Win32 names.
#include <iostream>
#include <string>

#include "command.h"
#include "qvtr/module.h"
#include "qvtr/sync.h"
#include "run_process.h"
#include "win32/api.h"

namespace tool {

namespace {

constexpr int kCannotRun = 127;

std::string ErrorText(DWORD code) {
    return WithoutLineEnd(GetSystemErrorText(code));
}

// Takes NAME first with the tool's own handle when the wait has a bound or must
// say how it ended: so that -n and -w give up in time, and an abandoned mutex is
// reported. With a bound the handle is kept until the scoped lock holds the
// mutex too (ownership is recursive), so that no one gets in between. False
// (after the message) when the wait ran out.
bool Take(const std::string& name, DWORD wait, bool verbose, bool bounded, HANDLE& probe, bool& abandoned) {
    probe = Api().CreateMutexA(nullptr, FALSE, name.c_str());
    if (probe == nullptr) {
        return true;  // the scoped lock meets the same failure and says so
    }
    DWORD result = Api().WaitForSingleObject(probe, 0);
    if (result == WAIT_TIMEOUT && wait != 0) {
        if (verbose) {
            std::cerr << "qvtr lock: waiting for " << name << " ...\n";
        }
        result = Api().WaitForSingleObject(probe, wait);
    }
    abandoned = result == WAIT_ABANDONED;
    if (result == WAIT_TIMEOUT) {
        std::cerr << "qvtr lock: " << name << " is held by another process"
                  << (wait != 0 ? " (waited " + std::to_string(wait / 1000) + " s)" : std::string()) << "\n";
        Api().CloseHandle(probe);
        probe = nullptr;
        return false;
    }
    if (!bounded && (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED)) {
        // The scoped lock opens the name anew, so that its trace line says whether anyone else had it.
        Api().ReleaseMutex(probe);
        Api().CloseHandle(probe);
        probe = nullptr;
    }
    return true;
}

struct LockRequest {
    bool verbose = false;
    bool bounded = false;
    DWORD wait = INFINITE;
    std::string name;
    std::vector<std::string> command;
};

// The options, NAME and COMMAND; 0, or the status of a usage error.
int ParseLockRequest(const Args& args, LockRequest& request) {
    bool& verbose = request.verbose;
    bool& bounded = request.bounded;
    DWORD& wait = request.wait;
    size_t next = 0;
    for (; next < args.size() && args[next].size() > 1 && args[next][0] == '-'; ++next) {
        const std::string& option = args[next];
        uint32_t seconds = 0;
        if (option == "--") {
            ++next;
            break;
        }
        if (option == "--verbose" || option == "-v") {
            verbose = true;
        } else if (option == "--nonblock" || option == "-n") {
            bounded = true;
            wait = 0;
        } else if (option == "--wait" || option == "-w") {
            if (next + 1 >= args.size() || !ParseUInt32(args[next + 1], seconds) || seconds > 24 * 3600) {
                return UsageError("lock", option + " expects SECONDS, from 0 to 86400");
            }
            bounded = true;
            wait = seconds * 1000;
            ++next;
        } else {
            return UsageError("lock", "unknown option '" + option.substr(0, 64) + "'");
        }
    }
    if (next >= args.size()) {
        return UsageError("lock", "expects NAME, then -- and the COMMAND to run");
    }
    const std::string& name = request.name = args[next++];
    if (name.empty()) {
        return UsageError("lock", "NAME must not be empty: an unnamed mutex would exclude nobody");
    }
    if (next < args.size() && args[next] == "--") {
        ++next;
    }
    if (next >= args.size()) {
        return UsageError("lock", "expects a COMMAND to run while holding '" + name + "'");
    }
    request.command.assign(args.begin() + static_cast<std::ptrdiff_t>(next), args.end());
    return 0;
}

int RunLock(const Args& args) {
    LockRequest request;
    if (const int status = ParseLockRequest(args, request)) {
        return status;
    }
    const bool verbose = request.verbose;
    const std::string& name = request.name;
    const std::vector<std::string>& command = request.command;
    HANDLE probe = nullptr;
    bool abandoned = false;
    if ((verbose || request.bounded) && !Take(name, request.wait, verbose, request.bounded, probe, abandoned)) {
        std::cerr << "qvtr lock: '" << command[0] << "' was not run\n";
        return kExitFailure;
    }
    CCriticalSectionAuto lock(name.c_str());
    const DWORD error = Api().GetLastError();
    if (probe != nullptr) {
        Api().ReleaseMutex(probe);  // the scoped lock holds it now
        Api().CloseHandle(probe);
    }
    if (lock.m_hMutex == nullptr) {
        if (error == ERROR_INVALID_HANDLE) {
            std::cerr << "qvtr lock: '" << name << "' is the name of another kind of object, not a mutex; '"
                      << command[0] << "' was not run\n";
            return kExitUsage;
        }
        std::cerr << "qvtr lock: cannot create the mutex '" << name << "': " << ErrorText(error) << "; '" << command[0]
                  << "' was not run\n";
        return kExitFailure;
    }
    if (verbose) {
        std::cerr << "qvtr lock: owns " << name
                  << (abandoned ? " (its previous holder ended without releasing it)" : "") << "\n";
    }

    const ProcessResult result = RunProcess(command);
    if (!result.started) {
        std::cerr << "qvtr lock: cannot run '" << command[0] << "': " << result.error << "\n";
        return kCannotRun;
    }
    if (verbose) {
        std::cerr << "qvtr lock: " << command[0] << " ended with status " << result.status << "; releasing " << name
                  << "\n";
    }
    return result.status;
}

const CommandRegistrar kLock({"lock", "run a command while holding a named mutex",
                              "usage: qvtr lock [-v] [-n | -w SECONDS] NAME -- COMMAND [ARG...]\n\n"
                              "Creates or opens the mutex NAME, waits until it owns it, runs COMMAND with\n"
                              "its ARGs and releases the mutex when the command ends; like flock(1), but\n"
                              "with the module's named mutexes, so it excludes every process that takes a\n"
                              "scoped lock of the same name. Ownership is per thread and recursive; when a\n"
                              "holder dies the mutex is abandoned and the next waiter proceeds.\n\n"
                              "The mutex is held exactly as long as COMMAND runs: SIGTERM, SIGINT, SIGHUP,\n"
                              "SIGQUIT, SIGUSR1 and SIGUSR2 are passed on to it and the tool waits for it to\n"
                              "end; if the tool is killed, COMMAND is killed with it.\n\n"
                              "NAME is a Win32 object name: \"Global\\NAME\" for the machine-wide name space,\n"
                              "\"Local\\NAME\" or a bare NAME for the user's (the session's on Windows).\n\n"
                              "  -v, --verbose      say on stderr when it has to wait, when it owns the mutex,\n"
                              "                     and when the wait ended with an abandoned mutex\n"
                              "  -n, --nonblock     do not wait: fail at once when another process holds it\n"
                              "  -w, --wait SECONDS give up after waiting this long\n\n"
                              "Exit status: that of COMMAND (128 + the signal when a signal ended it);\n"
                              "2 for bad usage or when NAME belongs to an object that is not a mutex\n"
                              "(COMMAND is then not run); 1 when the mutex cannot be created or, with -n\n"
                              "or -w, is held by another process (COMMAND is then not run); 127 when\n"
                              "COMMAND cannot be started.\n\n"
                              "Examples:\n"
                              "  qvtr lock nightly-build -- make -j2\n"
                              "  qvtr lock --verbose Global\\backup -- tar czf /tmp/home.tgz /home\n"
                              "  qvtr lock -w 60 nightly-build -- make -j2\n",
                              RunLock});

}  // namespace

}  // namespace tool
