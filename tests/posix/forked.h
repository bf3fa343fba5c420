// Runs part of a test in a forked child, as another user when asked, under a
// time limit: a hang or a fatal signal fails the test, not the test program.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

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

// A long-running host process (as `uid`) whose surroundings change under it:
// each Ask runs `step` there with the text given and returns its answer.
class Host {
public:
    Host(const std::function<std::string(const std::string&)>& step, uid_t uid = 0) {
        int toHost[2], fromHost[2];
        if (pipe(toHost) != 0 || pipe(fromHost) != 0) {
            return;
        }
        m_pid = fork();
        if (m_pid == 0) {
            alarm(60);
            close(toHost[1]);
            close(fromHost[0]);
            if (uid != 0 && (setgid(uid) != 0 || setuid(uid) != 0)) {
                _exit(120);
            }
            for (std::string request; Receive(toHost[0], request);) {
                Send(fromHost[1], step(request));
            }
            _exit(0);
        }
        close(toHost[0]);
        close(fromHost[1]);
        m_to = toHost[1];
        m_from = fromHost[0];
    }
    ~Host() {
        close(m_to);
        close(m_from);
        int status = 0;
        waitpid(m_pid, &status, 0);
    }
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // The step's answer; "(died)" when the host did not live to give it.
    std::string Ask(const std::string& request) {
        std::string answer;
        return Send(m_to, request) && Receive(m_from, answer) ? answer : "(died)";
    }

private:
    static bool Send(int fd, const std::string& text) {
        const uint32_t size = static_cast<uint32_t>(text.size());
        return write(fd, &size, 4) == 4 && write(fd, text.data(), size) == static_cast<ssize_t>(size);
    }
    static bool Receive(int fd, std::string& text) {
        uint32_t size = 0;
        if (read(fd, &size, 4) != 4) {
            return false;
        }
        text.assign(size, '\0');
        size_t done = 0;
        while (done < size) {
            const ssize_t n = read(fd, &text[done], size - done);
            if (n <= 0) {
                return false;
            }
            done += static_cast<size_t>(n);
        }
        return true;
    }

    pid_t m_pid = -1;
    int m_to = -1;
    int m_from = -1;
};

}  // namespace forked
