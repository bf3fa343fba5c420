// Launching, watching and stopping the processes of emulated services.
#include "win32/posix/service_run.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "win32/posix/posix.h"

extern char** environ;

namespace posix {

namespace {

std::string FileKey(const std::string& service) {
    std::string key = service;
    std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return std::tolower(c); });
    return key;
}

void MakeDirectories(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        mkdir(path.substr(0, slash).c_str(), 0700);
    }
    mkdir(path.c_str(), 0700);
}

std::string ReadSmallFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Written whole or not at all: readers in other processes never see half a file.
bool WriteFileAtomically(const std::string& path, const std::string& text) {
    const std::string temporary = path + ".tmp" + std::to_string(getpid());
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

const std::string& BootId() {
    static const std::string id = [] {
        std::string text = ReadSmallFile("/proc/sys/kernel/random/boot_id");
        text.erase(std::remove_if(text.begin(), text.end(), [](unsigned char c) { return std::isspace(c); }),
                   text.end());
        return text.empty() ? std::string("-") : text;
    }();
    return id;
}

// The start time of a live process (clock ticks since boot), or 0 when it is
// gone or a zombie. Together with the pid it names one process: a reused pid
// gets another start time.
unsigned long long ProcessStartTime(pid_t pid) {
    const std::string stat = ReadSmallFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t paren = stat.rfind(')');
    if (paren == std::string::npos) {
        return 0;
    }
    std::istringstream fields(stat.substr(paren + 1));
    std::string field;
    std::vector<std::string> values;
    while (fields >> field) {
        values.push_back(field);
    }
    // values[0] is field 3 (the state), values[19] field 22 (the start time).
    if (values.size() < 20 || values[0] == "Z" || values[0] == "X") {
        return 0;
    }
    return std::strtoull(values[19].c_str(), nullptr, 10);
}

std::string StatePath(const std::string& service) {
    return ServiceRunDirectory() + FileKey(service) + ".state";
}

struct StateRecord {
    pid_t pid = 0;
    pid_t group = 0;
    unsigned long long startTime = 0;
    std::string bootId;
    int stopRequested = 0;
};

bool ReadStateRecord(const std::string& service, StateRecord& record) {
    std::istringstream in(ReadSmallFile(StatePath(service)));
    return static_cast<bool>(in >> record.pid >> record.group >> record.startTime >> record.bootId >>
                             record.stopRequested);
}

bool WriteStateRecord(const std::string& service, const StateRecord& record) {
    std::ostringstream out;
    out << record.pid << ' ' << record.group << ' ' << record.startTime << ' ' << record.bootId << ' '
        << record.stopRequested << '\n';
    return WriteFileAtomically(StatePath(service), out.str());
}

// The message the launching children send back through the pipe.
struct LaunchMessage {
    int kind;  // 1: the service's pid; 2: errno of a failed fork or exec
    int value;
};

void SendMessage(int fd, int kind, int value) {
    const LaunchMessage message{kind, value};
    ssize_t n;
    do {
        n = write(fd, &message, sizeof message);
    } while (n < 0 && errno == EINTR);
}

// Between fork and exec only async-signal-safe calls.
[[noreturn]] void RunService(int reportFd, const char* program, char* const* argv, char* const* envp) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) {
        sigaction(signal, &fallback, nullptr);
    }
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
    }
    // Nothing of the starter's stays open in the service: a pipe it held
    // would keep the starter's readers waiting for as long as the service runs.
#if defined(SYS_close_range) && defined(CLOSE_RANGE_CLOEXEC)
    const bool marked = syscall(SYS_close_range, 3u, ~0u, CLOSE_RANGE_CLOEXEC) == 0;
#else
    const bool marked = false;
#endif
    if (!marked) {
        const long limit = std::min(sysconf(_SC_OPEN_MAX), 65536L);
        for (int fd = 3; fd < limit; ++fd) {
            if (fd != reportFd) {
                fcntl(fd, F_SETFD, FD_CLOEXEC);
            }
        }
    }
    if (chdir("/") != 0) {
        // The service still starts; its working directory is only a courtesy.
    }
    execve(program, argv, envp);
    SendMessage(reportFd, 2, errno);
    _exit(127);
}

// Finds a program without a slash on PATH, as a shell would.
bool ResolveProgram(const std::string& name, std::string& path) {
    if (name.find('/') != std::string::npos) {
        path = name;
        return true;
    }
    const char* search = std::getenv("PATH");
    std::istringstream dirs(search && *search ? search : "/usr/local/bin:/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) {
            path = candidate;
            return true;
        }
    }
    return false;
}

}  // namespace

std::string ServiceRunDirectory() {
    std::string dir;
    if (const char* forced = std::getenv("QVTR_SERVICE_RUN_DIR"); forced && *forced) {
        dir = forced;
    } else if (const char* registry = std::getenv("QVTR_REGISTRY"); registry && *registry) {
        dir = std::string(registry) + ".services";
    } else {
        const char* data = std::getenv("XDG_DATA_HOME");
        const char* home = std::getenv("HOME");
        const std::string base = data && *data ? data : std::string(home && *home ? home : "/tmp") + "/.local/share";
        dir = base + "/qvtr/registry.db.services";
    }
    if (dir.back() != '/') {
        dir += '/';
    }
    MakeDirectories(dir.substr(0, dir.size() - 1));
    return dir;
}

ServiceRunState ReadRunState(const std::string& service) {
    ServiceRunState state;
    StateRecord record;
    if (!ReadStateRecord(service, record)) {
        return state;
    }
    state.known = true;
    state.pid = record.pid;
    state.group = record.group;
    state.stopRequested = record.stopRequested != 0;
    state.running = record.pid > 0 && record.bootId == BootId() && record.startTime != 0 &&
                    ProcessStartTime(record.pid) == record.startTime;
    return state;
}

ServiceLock::ServiceLock(const std::string& service) {
    m_fd = open((ServiceRunDirectory() + FileKey(service) + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_fd >= 0) {
        while (flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
}

ServiceLock::~ServiceLock() {
    if (m_fd >= 0) {
        close(m_fd);  // releases the lock
    }
}

std::string ReportedStatusPath(const std::string& service) {
    return ServiceRunDirectory() + FileKey(service) + ".status";
}

SERVICE_STATUS FirstPendingStatus() {
    SERVICE_STATUS pending{};
    pending.dwCurrentState = SERVICE_START_PENDING;
    pending.dwWaitHint = 2000;
    return pending;
}

// A report being rewritten reads as the one this process saw before it, else as
// the state every start begins with: a shell's `echo >` empties the file before
// it writes, and a service in the middle of calling in is not yet running.
bool ReadReportedStatus(const std::string& service, SERVICE_STATUS& status) {
    static std::mutex s_mutex;
    static auto* s_last = new std::map<std::string, SERVICE_STATUS>;  // outlives static destruction
    const std::string path = ReportedStatusPath(service);
    std::istringstream in(ReadSmallFile(path));
    unsigned long values[4] = {0, 0, 0, 0};
    std::lock_guard<std::mutex> lock(s_mutex);
    if (!(in >> values[0]) || values[0] < SERVICE_STOPPED || values[0] > SERVICE_PAUSED) {
        if (access(path.c_str(), F_OK) != 0) {
            return false;
        }
        const auto last = s_last->find(service);
        status = last != s_last->end() ? last->second : FirstPendingStatus();
        return true;
    }
    for (int i = 1; i < 4 && (in >> values[i]); ++i) {
    }
    status.dwCurrentState = static_cast<DWORD>(values[0]);
    status.dwCheckPoint = static_cast<DWORD>(values[1]);
    status.dwWaitHint = static_cast<DWORD>(values[2]);
    status.dwWin32ExitCode = static_cast<DWORD>(values[3]);
    (*s_last)[service] = status;
    return true;
}

void WriteReportedStatus(const std::string& service, const SERVICE_STATUS& status) {
    std::ostringstream out;
    out << status.dwCurrentState << ' ' << status.dwCheckPoint << ' ' << status.dwWaitHint << ' '
        << status.dwWin32ExitCode << '\n';
    WriteFileAtomically(ReportedStatusPath(service), out.str());
}

void RemoveReportedStatus(const std::string& service) {
    unlink(ReportedStatusPath(service).c_str());
}

DWORD LaunchService(const std::string& service, const std::vector<std::string>& argv,
                    const std::vector<std::string>& environment) {
    std::string program;
    if (argv.empty() || !ResolveProgram(argv[0], program)) {
        return ERROR_FILE_NOT_FOUND;
    }
    // Everything the children need is built before the fork.
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    std::vector<std::string> envStorage;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string variable = *entry;
        const std::string name = variable.substr(0, variable.find('='));
        const bool replaced = std::any_of(environment.begin(), environment.end(), [&](const std::string& added) {
            return added.compare(0, name.size() + 1, name + "=") == 0;
        });
        if (!replaced) {
            envStorage.push_back(variable);
        }
    }
    envStorage.insert(envStorage.end(), environment.begin(), environment.end());
    std::vector<char*> envp;
    for (const std::string& variable : envStorage) {
        envp.push_back(const_cast<char*>(variable.c_str()));
    }
    envp.push_back(nullptr);

    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        return SetErrorFromErrno();
    }
    // Double fork: the service is nobody's child here, lives in a session of
    // its own, and is reaped by init when it ends.
    const pid_t middle = fork();
    if (middle < 0) {
        const DWORD code = SetErrorFromErrno();
        close(report[0]);
        close(report[1]);
        return code;
    }
    if (middle == 0) {
        close(report[0]);
        setsid();
        const pid_t child = fork();
        if (child < 0) {
            SendMessage(report[1], 2, errno);
            _exit(1);
        }
        if (child == 0) {
            RunService(report[1], program.c_str(), args.data(), envp.data());
        }
        SendMessage(report[1], 1, static_cast<int>(child));
        _exit(0);
    }
    close(report[1]);
    int status = 0;
    while (waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }
    // Both children's reports, until the service's exec closes the pipe.
    pid_t servicePid = 0;
    int failure = 0;
    LaunchMessage message{};
    for (;;) {
        const ssize_t n = read(report[0], &message, sizeof message);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n != static_cast<ssize_t>(sizeof message)) {
            break;
        }
        if (message.kind == 1) {
            servicePid = static_cast<pid_t>(message.value);
        } else {
            failure = message.value;
        }
    }
    close(report[0]);
    if (failure != 0 || servicePid <= 0) {
        return failure == ENOENT ? ERROR_FILE_NOT_FOUND : ErrnoToWin32(failure != 0 ? failure : ECHILD);
    }

    StateRecord record;
    record.pid = servicePid;
    record.group = middle;
    record.startTime = ProcessStartTime(servicePid);  // 0 when it has already ended
    record.bootId = BootId();
    if (!WriteStateRecord(service, record)) {
        const DWORD code = SetErrorFromErrno();
        kill(-middle, SIGKILL);
        return code;
    }
    return ERROR_SUCCESS;
}

DWORD StopService(const std::string& service) {
    StateRecord record;
    if (!ReadStateRecord(service, record)) {
        return ERROR_SERVICE_NOT_ACTIVE;
    }
    record.stopRequested = 1;
    WriteStateRecord(service, record);
    // The whole group, so that a shell's children go with it; but only while
    // the recorded process still leads it.
    if (getpgid(record.pid) == record.group && kill(-record.group, SIGTERM) == 0) {
        return ERROR_SUCCESS;
    }
    kill(record.pid, SIGTERM);
    return ERROR_SUCCESS;
}

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
    std::vector<std::string> args;
    std::string current;
    bool inArg = false;
    bool quoted = false;
    for (size_t i = 0; i < commandLine.size();) {
        const char c = commandLine[i];
        if (!quoted && (c == ' ' || c == '\t' || c == '\n' || c == '\r')) {
            if (inArg) {
                args.push_back(current);
                current.clear();
                inArg = false;
            }
            ++i;
            continue;
        }
        inArg = true;
        if (c == '\\') {
            size_t count = 0;
            while (i < commandLine.size() && commandLine[i] == '\\') {
                ++count;
                ++i;
            }
            if (i < commandLine.size() && commandLine[i] == '"') {
                current.append(count / 2, '\\');
                if (count % 2 == 1) {
                    current += '"';
                    ++i;
                }
            } else {
                current.append(count, '\\');
            }
            continue;
        }
        if (c == '"') {
            // "" inside quotes is a literal quote, as the C runtime reads it.
            if (quoted && i + 1 < commandLine.size() && commandLine[i + 1] == '"') {
                current += '"';
                i += 2;
                continue;
            }
            quoted = !quoted;
            ++i;
            continue;
        }
        current += c;
        ++i;
    }
    if (inArg) {
        args.push_back(current);
    }
    return args;
}

std::string ExpandEnvironment(const std::string& text) {
    std::string result;
    for (size_t i = 0; i < text.size();) {
        const size_t open = text.find('%', i);
        if (open == std::string::npos) {
            result += text.substr(i);
            break;
        }
        const size_t close = text.find('%', open + 1);
        if (close == std::string::npos) {
            result += text.substr(i);
            break;
        }
        result += text.substr(i, open - i);
        const std::string name = text.substr(open + 1, close - open - 1);
        const char* value = name.empty() ? nullptr : std::getenv(name.c_str());
        if (value != nullptr) {
            result += value;
            i = close + 1;
        } else {
            result += text.substr(open, close - open);
            i = close;  // the closing % may open the next name
        }
    }
    return result;
}

}  // namespace posix
