// Launching, watching and stopping the processes of emulated services.
#include "win32/posix/service_run.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
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
#include <map>
#include <mutex>
#include <sstream>

#include "win32/posix/places.h"
#include "win32/posix/posix.h"
#include "win32/posix/safe_files.h"
#include "win32/posix/syscalls.h"

extern char** environ;

namespace posix {

namespace {

// Another user's trees may not grow past this, and a name of any length a
// registry key can have still fits in one file name with its suffixes.
constexpr size_t kReadLimit = 64 * 1024;
constexpr size_t kLongestStem = 200;

std::string FileKey(const std::string& service) {
    std::string key = service;
    std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return std::tolower(c); });
    if (key.size() <= kLongestStem) {
        return key;
    }
    uint64_t hash = 14695981039346656037ull;  // FNV-1a of the whole name
    for (unsigned char c : key) {
        hash = (hash ^ c) * 1099511628211ull;
    }
    char suffix[20];
    std::snprintf(suffix, sizeof suffix, "~%016llx", static_cast<unsigned long long>(hash));
    return key.substr(0, kLongestStem - 20) + suffix;
}

// Reads at most kReadLimit bytes of a file already opened.
std::string ReadOpened(int fd) {
    std::string text;
    ReadUpTo(fd, kReadLimit, text);
    return text;
}

// A small system file (under /proc); empty when it cannot be read.
std::string ReadSystemFile(const std::string& path) {
    const int fd = Sys().open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0);
    if (fd < 0) {
        return std::string();
    }
    std::string text = ReadOpened(fd);
    Sys().close(fd);
    return text;
}

const std::string& BootId() {
    static const std::string id = [] {
        std::string text = ReadSystemFile("/proc/sys/kernel/random/boot_id");
        text.erase(std::remove_if(text.begin(), text.end(), [](unsigned char c) { return std::isspace(c); }),
                   text.end());
        return text.empty() ? std::string("-") : text;
    }();
    return id;
}

// The start time of a live process (clock ticks since boot), or 0 when it is
// gone or a zombie, or when its file could not be read (`unreadable` is then
// set). Together with the pid it names one process: a reused pid gets another.
unsigned long long ProcessStartTime(pid_t pid, int* unreadable = nullptr) {
    errno = 0;
    const std::string stat = ReadSystemFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t paren = stat.rfind(')');
    if (paren == std::string::npos) {
        if (unreadable != nullptr) {
            *unreadable = errno != ENOENT && errno != ESRCH ? (errno != 0 ? errno : EIO) : 0;
        }
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

// The real uid of a live process, or -1.
uid_t ProcessUser(pid_t pid) {
    std::istringstream status(ReadSystemFile("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(status, line)) {
        unsigned long uid = 0;
        if (std::sscanf(line.c_str(), "Uid: %lu", &uid) == 1) {
            return static_cast<uid_t>(uid);
        }
    }
    return static_cast<uid_t>(-1);
}

// Whether the process was started by this manager as `service`: the name the
// launcher put into its environment. Only its own user and root can read that.
bool CarriesServiceName(pid_t pid, const std::string& service) {
    // A program replacing itself (a shell's exec of the service) shows no
    // environment for a moment: asked again, a little later.
    std::string environment;
    for (int attempt = 0; attempt < 50 && environment.empty(); ++attempt) {
        if (attempt > 0) {
            usleep(2000);
        }
        environment = ReadSystemFile("/proc/" + std::to_string(pid) + "/environ");
    }
    const std::string wanted = "QVTR_SERVICE_NAME=" + service;
    for (size_t at = 0; at < environment.size();) {
        const size_t end = environment.find('\0', at);
        const size_t length = (end == std::string::npos ? environment.size() : end) - at;
        if (environment.compare(at, length, wanted) == 0) {
            return true;
        }
        at += length + 1;
    }
    return false;
}

// The run directory: root makes the machine's (sticky, as /tmp: each account
// makes its own directory in it); a private registry's is the user's own.
bool RunDirectoryReady(bool make) {
    const std::string dir = ServiceRunDirectory();
    if (PrivateRegistry()) {
        return make ? MakeTrustedDirectory(dir, 0700) : CheckDirectoryChain(dir) == ERROR_SUCCESS;
    }
    if (make && geteuid() == 0) {
        return MakeTrustedDirectory(dir, 01777);
    }
    return CheckDirectoryChain(dir) == ERROR_SUCCESS;
}

// Opens the account's directory: a real directory that the account (or, for
// root's services, root) owns and nobody else can write. Made when asked.
int OpenAccountDirectory(const ServicePlace& place, bool make) {
    const std::string dir = place.dir.substr(0, place.dir.size() - 1);
    const bool mayMake = geteuid() == 0 || geteuid() == place.account;
    bool made = false;
    const int fresh = make && mayMake ? MakeAndOpenDirectory(dir, 0755, made) : -1;
    if (fresh >= 0) {
        if (made && Sys().fchown(fresh, place.account, static_cast<gid_t>(-1)) != 0) {
            // Checked below like any other: a directory that is not right is refused.
        }
        Sys().close(fresh);
    }
    const int fd = Sys().open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
    struct stat info {};
    if (fd >= 0 && (Sys().fstat(fd, &info) != 0 || info.st_uid != place.account || (info.st_mode & 022) != 0)) {
        Sys().close(fd);
        errno = EACCES;
        return -1;
    }
    return fd;
}

// Opens a file of the place read-only, when the account or root owns it and
// nobody else could have changed it; -1 otherwise.
int OpenTrusted(const ServicePlace& place, const std::string& suffix, bool make, int flags = O_RDONLY) {
    const int dir = OpenAccountDirectory(place, make);
    if (dir < 0) {
        return -1;
    }
    const std::string name = place.key + suffix;
    int fd = Sys().openat(dir, name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd < 0 && errno == ENOENT && make) {
        fd = Sys().openat(dir, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0 && Sys().fchmod(fd, 0644) != 0) {
            // The mode is checked below.
        }
    }
    Sys().close(dir);
    struct stat info {};
    if (fd >= 0 && (Sys().fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1 ||
                    (info.st_uid != 0 && info.st_uid != place.account) || (info.st_mode & 022) != 0)) {
        Sys().close(fd);
        errno = EACCES;
        return -1;
    }
    return fd;
}

std::string ReadTrusted(const ServicePlace& place, const std::string& suffix) {
    const int fd = OpenTrusted(place, suffix, false);
    if (fd < 0) {
        return std::string();
    }
    std::string text = ReadOpened(fd);
    Sys().close(fd);
    return text;
}

// Written whole or not at all (readers in other processes never see half a
// file), never through a link, and given to the account: a service running
// as it rewrites its own status file.
bool WriteTrusted(const ServicePlace& place, const std::string& suffix, const std::string& text) {
    const int dir = OpenAccountDirectory(place, true);
    if (dir < 0) {
        return false;
    }
    Replacement how;
    how.owner = geteuid() == 0 ? place.account : static_cast<uid_t>(-1);
    how.ownerRequired = true;
    const bool written = ReplaceFileAt(dir, place.key + suffix, text, how) == 0;
    Sys().close(dir);
    return written;
}

void RemoveTrusted(const ServicePlace& place, const std::string& suffix) {
    const int dir = OpenAccountDirectory(place, false);
    if (dir >= 0) {
        Sys().unlinkat(dir, (place.key + suffix).c_str(), 0);
        Sys().close(dir);
    }
}

struct StateRecord {
    pid_t pid = 0;
    pid_t group = 0;
    unsigned long long startTime = 0;
    std::string bootId;
    int stopRequested = 0;
};

bool ReadStateRecord(const ServicePlace& place, StateRecord& record) {
    std::istringstream in(ReadTrusted(place, ".state"));
    return static_cast<bool>(in >> record.pid >> record.group >> record.startTime >> record.bootId >>
                             record.stopRequested) &&
           record.pid > 0;
}

bool WriteStateRecord(const ServicePlace& place, const StateRecord& record) {
    std::ostringstream out;
    out << record.pid << ' ' << record.group << ' ' << record.startTime << ' ' << record.bootId << ' '
        << record.stopRequested << '\n';
    return WriteTrusted(place, ".state", out.str());
}

// The recorded process still lives and runs as the service's account.
bool StillRuns(const ServicePlace& place, const StateRecord& record) {
    return record.bootId == BootId() && record.startTime != 0 && ProcessStartTime(record.pid) == record.startTime &&
           ProcessUser(record.pid) == place.account;
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

// Who the service runs as: worked out before the fork, since the child may make
// only async-signal-safe calls.
struct Identity {
    bool change = false;
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
};

Identity IdentityOf(uid_t account) {
    Identity identity;
    if (geteuid() != 0 || account == 0) {
        return identity;  // a user runs its own services as itself
    }
    identity.change = true;
    identity.uid = account;
    identity.gid = static_cast<gid_t>(account);
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(account, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
        identity.gid = found->pw_gid;
        int count = 64;
        identity.groups.resize(static_cast<size_t>(count));
        if (getgrouplist(found->pw_name, found->pw_gid, identity.groups.data(), &count) < 0) {
            identity.groups.resize(static_cast<size_t>(count));
            getgrouplist(found->pw_name, found->pw_gid, identity.groups.data(), &count);
        }
        identity.groups.resize(static_cast<size_t>(std::max(count, 0)));
    }
    if (identity.groups.empty()) {
        identity.groups.push_back(identity.gid);
    }
    return identity;
}

// Between fork and exec only async-signal-safe calls.
[[noreturn]] void RunService(int reportFd, const Identity& identity, const char* program, char* const* argv,
                             char* const* envp) {
    if (identity.change && (setgroups(identity.groups.size(), identity.groups.data()) != 0 ||
                            setgid(identity.gid) != 0 || setuid(identity.uid) != 0)) {
        SendMessage(reportFd, 2, EPERM);
        _exit(127);
    }
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

// The starter's environment with `added` in place of its own variables of those names.
std::vector<std::string> ServiceEnvironment(const std::vector<std::string>& added) {
    std::vector<std::string> variables;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string variable = *entry;
        const std::string name = variable.substr(0, variable.find('='));
        const bool replaced = std::any_of(added.begin(), added.end(), [&](const std::string& mine) {
            return mine.compare(0, name.size() + 1, name + "=") == 0;
        });
        if (!replaced) {
            variables.push_back(variable);
        }
    }
    variables.insert(variables.end(), added.begin(), added.end());
    return variables;
}

// An argv or envp for execve: the strings' own characters, then a null.
std::vector<char*> Pointers(const std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (const std::string& text : strings) {
        pointers.push_back(const_cast<char*>(text.c_str()));
    }
    pointers.push_back(nullptr);
    return pointers;
}

// Both children's reports, until the service's exec closes the pipe.
void ReadLaunchReports(int fd, pid_t& servicePid, int& failure, int& lost) {
    LaunchMessage message{};
    for (;;) {
        const ssize_t n = Sys().read(fd, &message, sizeof message);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n != static_cast<ssize_t>(sizeof message)) {
            lost = n < 0 ? errno : 0;
            return;
        }
        if (message.kind == 1) {
            servicePid = static_cast<pid_t>(message.value);
        } else {
            failure = message.value;
        }
    }
}

}  // namespace

ServicePlace PlaceOfService(const std::string& service, uid_t account, bool make) {
    ServicePlace place;
    place.name = service;
    place.account = account;
    place.key = FileKey(service);
    if (!RunDirectoryReady(make)) {
        place.error = ERROR_ACCESS_DENIED;
        return place;
    }
    place.dir = ServiceRunDirectory() + std::to_string(static_cast<unsigned long>(account)) + "/";
    return place;
}

ServiceRunState ReadRunState(const ServicePlace& place) {
    ServiceRunState state;
    StateRecord record;
    if (place.dir.empty() || !ReadStateRecord(place, record)) {
        return state;
    }
    state.known = true;
    state.pid = record.pid;
    state.group = record.group;
    state.stopRequested = record.stopRequested != 0;
    state.running = StillRuns(place, record);
    return state;
}

ServiceLock::ServiceLock(const ServicePlace& place) : m_fd(-1) {
    // A lock needs no write access: root's lock file serves the account too.
    m_fd = place.dir.empty() ? -1 : OpenTrusted(place, ".lock", true);
    if (m_fd >= 0) {
        while (Sys().flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
}

ServiceLock::~ServiceLock() {
    if (m_fd >= 0) {
        Sys().close(m_fd);  // releases the lock
    }
}

std::string ReportedStatusPath(const ServicePlace& place) {
    return place.dir + place.key + ".status";
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
bool ReadReportedStatus(const ServicePlace& place, SERVICE_STATUS& status) {
    static std::mutex s_mutex;
    static auto* s_last = new std::map<std::string, SERVICE_STATUS>;  // outlives static destruction
    if (place.dir.empty()) {
        return false;
    }
    const int fd = OpenTrusted(place, ".status", false);
    if (fd < 0) {
        return false;
    }
    std::istringstream in(ReadOpened(fd));
    Sys().close(fd);
    unsigned long values[4] = {0, 0, 0, 0};
    const std::string id = place.dir + place.key;
    std::lock_guard<std::mutex> lock(s_mutex);
    if (!(in >> values[0]) || values[0] < SERVICE_STOPPED || values[0] > SERVICE_PAUSED) {
        const auto last = s_last->find(id);
        status = last != s_last->end() ? last->second : FirstPendingStatus();
        return true;
    }
    for (int i = 1; i < 4 && (in >> values[i]); ++i) {
    }
    status.dwCurrentState = static_cast<DWORD>(values[0]);
    status.dwCheckPoint = static_cast<DWORD>(values[1]);
    status.dwWaitHint = static_cast<DWORD>(values[2]);
    status.dwWin32ExitCode = static_cast<DWORD>(values[3]);
    (*s_last)[id] = status;
    return true;
}

bool WriteReportedStatus(const ServicePlace& place, const SERVICE_STATUS& status) {
    std::ostringstream out;
    out << status.dwCurrentState << ' ' << status.dwCheckPoint << ' ' << status.dwWaitHint << ' '
        << status.dwWin32ExitCode << '\n';
    return WriteTrusted(place, ".status", out.str());
}

void RemoveReportedStatus(const ServicePlace& place) {
    RemoveTrusted(place, ".status");
}

void ForgetService(const ServicePlace& place) {
    for (const char* suffix : {".status", ".state", ".lock"}) {
        RemoveTrusted(place, suffix);
    }
}

namespace {

// The run state of a service just launched. One that could not be recorded, or
// told apart from a later process of its pid, could never be seen or stopped
// again: it is not left running.
DWORD RecordLaunch(const ServicePlace& place, pid_t servicePid, pid_t group) {
    StateRecord record;
    record.pid = servicePid;
    record.group = group;
    int unreadable = 0;
    record.startTime = ProcessStartTime(servicePid, &unreadable);  // 0 when it has already ended
    record.bootId = BootId();
    if (unreadable != 0 || !WriteStateRecord(place, record)) {
        const DWORD code = unreadable != 0 ? ErrnoToWin32(unreadable) : SetErrorFromErrno();
        Sys().kill(-group, SIGKILL);
        return code;
    }
    return ERROR_SUCCESS;
}

}  // namespace

DWORD LaunchService(const ServicePlace& place, const std::vector<std::string>& argv,
                    const std::vector<std::string>& environment) {
    const std::string program = argv.empty() ? std::string() : FindProgram(argv[0]);
    if (program.empty()) {
        return ERROR_FILE_NOT_FOUND;
    }
    // Everything the children need is built before the fork.
    const Identity identity = IdentityOf(place.account);
    const std::vector<std::string> envStorage = ServiceEnvironment(environment);
    const std::vector<char*> args = Pointers(argv);
    const std::vector<char*> envp = Pointers(envStorage);

    int report[2];
    if (Sys().pipe2(report, O_CLOEXEC) != 0) {
        return SetErrorFromErrno();
    }
    // Double fork: the service is nobody's child here, lives in a session of
    // its own, and is reaped by init when it ends.
    const pid_t middle = Sys().fork();
    if (middle < 0) {
        const DWORD code = SetErrorFromErrno();
        Sys().close(report[0]);
        Sys().close(report[1]);
        return code;
    }
    // The children make only async-signal-safe calls, straight to the system.
    if (middle == 0) {
        close(report[0]);
        setsid();
        const pid_t child = fork();
        if (child < 0) {
            SendMessage(report[1], 2, errno);
            _exit(1);
        }
        if (child == 0) {
            RunService(report[1], identity, program.c_str(), args.data(), envp.data());
        }
        SendMessage(report[1], 1, static_cast<int>(child));
        _exit(0);
    }
    Sys().close(report[1]);
    int status = 0;
    while (Sys().waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }
    pid_t servicePid = 0;
    int failure = 0;
    int lost = 0;  // the reports could not be read: whether the service runs is not known
    ReadLaunchReports(report[0], servicePid, failure, lost);
    Sys().close(report[0]);
    if (failure == 0 && (lost != 0 || servicePid <= 0)) {
        // A service this manager cannot name could never be seen or stopped: not left running.
        Sys().kill(-middle, SIGKILL);
        return ErrnoToWin32(lost != 0 ? lost : ECHILD);
    }
    if (failure != 0) {
        return ErrnoToWin32(failure);
    }
    return RecordLaunch(place, servicePid, middle);
}

DWORD StopService(const ServicePlace& place) {
    StateRecord record;
    if (!ReadStateRecord(place, record)) {
        return ERROR_SERVICE_NOT_ACTIVE;
    }
    record.stopRequested = 1;
    WriteStateRecord(place, record);
    // Only the service this manager started, never another process a record names.
    if (!StillRuns(place, record) || !CarriesServiceName(record.pid, place.name)) {
        return ERROR_SUCCESS;
    }
    // The whole group, so that a shell's children go with it; but only while
    // the recorded process still leads it.
    if (getpgid(record.pid) == record.group && Sys().kill(-record.group, SIGTERM) == 0) {
        return ERROR_SUCCESS;
    }
    Sys().kill(record.pid, SIGTERM);
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
