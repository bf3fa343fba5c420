// Runs the qvtr tool as a child process and collects what it printed.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "support/support.h"

extern char** environ;

namespace tool_test {

struct Result {
    int status = -1;  // exit status, or -1 when it did not exit normally
    std::string out;
    std::string err;
};

// Starts the tool with its output in files; Finish() waits and reads them.
class Running {
public:
    Running(const std::vector<std::string>& args, const std::string& outFile, const std::string& errFile,
            const std::string& program = QVTR_TOOL)
        : m_out(outFile), m_err(errFile) {
        std::vector<std::string> all{program};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& arg : all) {
            argv.push_back(&arg[0]);
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        // A group of its own, so that a hung command goes with whatever it started.
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
        if (posix_spawn(&m_pid, argv[0], &actions, &attributes, argv.data(), environ) != 0) {
            m_pid = -1;
        }
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Running() { Stop(); }

    // Ends it (for a command that runs until it is stopped) and collects it.
    Result Stop() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
        }
        return Finish();
    }

    // Waits at most kLimitSeconds: a command that hangs is killed with its group
    // and fails its test, instead of holding the run to ctest's limit.
    Result Finish() {
        Result result;
        bool killed = false;
        if (m_pid > 0) {
            int status = 0;
            for (int waited = 0; waitpid(m_pid, &status, WNOHANG) == 0; ++waited) {
                if (waited == kLimitSeconds * 100) {
                    kill(-m_pid, SIGKILL);
                    waitpid(m_pid, &status, 0);
                    killed = true;
                    break;
                }
                usleep(10 * 1000);
            }
            result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            m_pid = -1;
        }
        result.out = Regular(m_out) ? testing_support::ReadFile(m_out) : std::string();  // not /dev/full
        result.err = testing_support::ReadFile(m_err);
        if (killed) {
            result.err += "(killed: still running after " + std::to_string(kLimitSeconds) + " s)";
        }
        return result;
    }

    static const int kLimitSeconds = 30;

private:
    static bool Regular(const std::string& path) {
        struct stat info {};
        return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
    }

    pid_t m_pid = -1;
    std::string m_out;
    std::string m_err;
};

inline Result RunTool(const std::vector<std::string>& args) {
    testing_support::TempDir dir;
    Running running(args, dir.File("out"), dir.File("err"));
    return running.Finish();
}

}  // namespace tool_test
