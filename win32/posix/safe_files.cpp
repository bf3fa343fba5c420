#include "win32/posix/safe_files.h"

#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <unordered_map>
#include <vector>

#include "win32/posix/syscalls.h"

namespace posix {

namespace {

// Root first: a shared log of root's costs no system call to judge.
bool TrustedOwner(uid_t owner) {
    return owner == 0 || owner == geteuid();
}

// A lock a forked child can always take: the parent's holder does not exist there.
pthread_mutex_t g_trustedMutex = PTHREAD_MUTEX_INITIALIZER;
// Each trusted directory, and whether only its owner can add or replace names in it.
std::unordered_map<std::string, bool>* g_trusted = nullptr;

void ResetTrustedMutex() {
    const pthread_mutex_t fresh = PTHREAD_MUTEX_INITIALIZER;
    g_trustedMutex = fresh;
}

bool IsKnownTrusted(const std::string& dir, bool& closed) {
    static const int registered = pthread_atfork(nullptr, nullptr, ResetTrustedMutex);
    (void)registered;
    bool known = false;
    pthread_mutex_lock(&g_trustedMutex);
    if (g_trusted != nullptr) {
        const auto found = g_trusted->find(dir);
        known = found != g_trusted->end();
        closed = known && found->second;
    }
    pthread_mutex_unlock(&g_trustedMutex);
    return known;
}

void RememberTrusted(const std::string& dir, bool closed) {
    pthread_mutex_lock(&g_trustedMutex);
    if (g_trusted == nullptr) {
        // Lives to the end: destructors may still open files.
        g_trusted = new std::unordered_map<std::string, bool>;
    }
    if (g_trusted->size() < 256) {
        g_trusted->emplace(dir, closed);
    }
    pthread_mutex_unlock(&g_trustedMutex);
}

// `shut` says whether the directory lets no one but its owner add, rename or
// remove names in it; `sticky` whether others may add names but not touch ours.
DWORD CheckOneDirectory(const std::string& dir, bool& shut, bool& sticky) {
    struct stat info {};
    shut = false;
    sticky = false;
    if (lstat(dir.c_str(), &info) != 0) {
        return errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED;
    }
    // A link on the way counts only when someone we trust made it.
    const bool link = S_ISLNK(info.st_mode);
    if (link) {
        if (!TrustedOwner(info.st_uid)) {
            return ERROR_ACCESS_DENIED;
        }
        if (stat(dir.c_str(), &info) != 0) {
            return errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED;
        }
    }
    if (!S_ISDIR(info.st_mode)) {
        return ERROR_PATH_NOT_FOUND;
    }
    if (!TrustedOwner(info.st_uid)) {
        return ERROR_ACCESS_DENIED;
    }
    if ((info.st_mode & S_IWOTH) != 0 && (info.st_mode & S_ISVTX) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    // Through a link the directories above the target went unchecked: never shut.
    shut = !link && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
    sticky = !link && (info.st_mode & S_ISVTX) != 0;
    return ERROR_SUCCESS;
}

std::string Absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/') {
        return path;
    }
    std::vector<char> cwd(4096);
    if (getcwd(cwd.data(), cwd.size()) == nullptr) {
        return std::string();
    }
    std::string absolute = cwd.data();
    if (absolute.back() != '/') {
        absolute += '/';
    }
    return absolute + path;
}

std::string ParentOf(const char* path) {
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        return ".";
    }
    return slash == path ? "/" : std::string(path, static_cast<size_t>(slash - path));
}

}  // namespace

DWORD CheckOpenedFile(const struct stat& info, bool writing) {
    if (!S_ISREG(info.st_mode) || !TrustedOwner(info.st_uid)) {
        return ERROR_ACCESS_DENIED;
    }
    if ((info.st_mode & S_IWOTH) != 0 && info.st_uid != 0) {
        return ERROR_ACCESS_DENIED;
    }
    // Another name for the file could be anyone's way to make us write where they cannot.
    if (writing && info.st_nlink != 1) {
        return ERROR_ACCESS_DENIED;
    }
    return ERROR_SUCCESS;
}

DWORD CheckDirectoryChain(const std::string& dir, bool* closed) {
    bool ignored = false;
    bool& chainClosed = closed != nullptr ? *closed : ignored;
    const std::string absolute = Absolute(dir);
    if (absolute.empty()) {
        return ERROR_PATH_NOT_FOUND;
    }
    if (IsKnownTrusted(absolute, chainClosed)) {
        return ERROR_SUCCESS;
    }
    // Closed: `dir` shut, and every directory above it shut or sticky, so that no
    // one else can rename our way down to it.
    bool shut = false;
    bool sticky = false;
    if (const DWORD error = CheckOneDirectory("/", shut, sticky)) {
        return error;
    }
    bool aboveClosed = true;
    for (size_t at = 0; at + 1 < absolute.size();) {
        const size_t next = absolute.find('/', at + 1);
        const std::string part = absolute.substr(0, next);
        if (part.back() != '/') {  // a doubled separator names nothing new
            aboveClosed = aboveClosed && (shut || sticky);
            if (const DWORD error = CheckOneDirectory(part, shut, sticky)) {
                return error;
            }
        }
        if (next == std::string::npos) {
            break;
        }
        at = next;
    }
    chainClosed = aboveClosed && shut;
    RememberTrusted(absolute, chainClosed);
    return ERROR_SUCCESS;
}

namespace {

// A writer's checks need no times, and asking for them is not free: a file system
// with fine-grained timestamps then stamps the next write afresh, which cost a
// written trace line a quarter of its time. Readers get the times they cache by.
int StatOpened(int fd, bool writing, struct stat& info) {
    if (!writing) {
        return Sys().fstat(fd, &info);
    }
    constexpr unsigned kChecked =
        STATX_TYPE | STATX_MODE | STATX_NLINK | STATX_UID | STATX_GID | STATX_INO | STATX_SIZE;
    struct statx extended {};
    if (Sys().statx(fd, "", AT_EMPTY_PATH, kChecked, &extended) != 0) {
        return Sys().fstat(fd, &info);  // a kernel or a sandbox without statx
    }
    info = {};
    info.st_dev = makedev(extended.stx_dev_major, extended.stx_dev_minor);
    info.st_ino = extended.stx_ino;
    info.st_mode = extended.stx_mode;
    info.st_nlink = extended.stx_nlink;
    info.st_uid = extended.stx_uid;
    info.st_gid = extended.stx_gid;
    info.st_size = static_cast<off_t>(extended.stx_size);
    return 0;
}

// The directories trusted so far are trusted for the process's life; this thread's
// last one is compared in place, since the trace opens the same log for every line.
DWORD CheckParentOf(const char* path, bool& closed) {
    thread_local std::string t_lastTrusted;
    thread_local bool t_lastClosed = false;
    const char* slash = std::strrchr(path, '/');
    const size_t length = slash == nullptr ? 0 : static_cast<size_t>(slash - path);
    if (path[0] == '/' && length > 0 && t_lastTrusted.size() == length &&
        std::memcmp(t_lastTrusted.data(), path, length) == 0) {
        closed = t_lastClosed;
        return ERROR_SUCCESS;
    }
    const DWORD error = CheckDirectoryChain(ParentOf(path), &closed);
    if (error == ERROR_SUCCESS && path[0] == '/' && length > 0) {
        t_lastTrusted.assign(path, length);
        t_lastClosed = closed;
    }
    return error;
}

// The file this thread last opened to append to, checked, in a closed directory.
// Only its owner or root can put another file under that name, so it needs no
// second look: the trace opens its log again for every line.
struct CheckedAppendFile {
    std::string path;
    struct stat seen {};
};
thread_local CheckedAppendFile t_checkedAppend;

bool CheckedBefore(const char* path, int flags, bool closed) {
    return closed && (flags & (O_APPEND | O_CREAT)) == O_APPEND && t_checkedAppend.path == path;
}

// What the earlier check saw; the size is left unknown (-1).
void DescribeCheckedBefore(struct stat& info) {
    info = t_checkedAppend.seen;
    info.st_size = -1;
}

// Only a full path: a relative one names another file after a change of directory.
void RememberChecked(const char* path, int flags, bool closed, const struct stat& info) {
    if (closed && (flags & O_APPEND) != 0 && path[0] == '/') {
        t_checkedAppend.path = path;
        t_checkedAppend.seen = info;
    }
}

}  // namespace

int OpenChecked(const char* path, int flags, mode_t mode, struct stat& info) {
    bool closed = false;
    switch (CheckParentOf(path, closed)) {
        case ERROR_SUCCESS:
            break;
        case ERROR_PATH_NOT_FOUND:
            errno = ENOENT;
            return -1;
        default:
            errno = EACCES;
            return -1;
    }
    const int fd = Sys().open(path, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd < 0) {
        // A link in place of the file, or a FIFO nobody reads: refused, not followed or waited for.
        if (errno == ELOOP || errno == ENXIO || errno == EOPNOTSUPP) {
            errno = EACCES;
        }
        return -1;
    }
    if (CheckedBefore(path, flags, closed)) {
        DescribeCheckedBefore(info);
        return fd;
    }
    const bool created = (flags & O_CREAT) != 0 && (flags & O_EXCL) != 0;
    const bool writing = (flags & O_ACCMODE) != O_RDONLY;
    if (StatOpened(fd, writing, info) != 0 || (created && fchmod(fd, mode) != 0)) {
        const int error = errno;
        Sys().close(fd);
        errno = error;
        return -1;
    }
    if (CheckOpenedFile(info, writing) != ERROR_SUCCESS) {
        Sys().close(fd);
        errno = S_ISDIR(info.st_mode) ? EISDIR : EACCES;
        return -1;
    }
    RememberChecked(path, flags, closed, info);
    return fd;
}

int ReadTextFile(const std::string& path, std::string& text, struct stat& info) {
    const int fd = OpenChecked(path.c_str(), O_RDONLY, 0, info);
    if (fd < 0) {
        return errno;
    }
    int error = 0;
    if (info.st_size > kMaxTextFileSize) {
        error = EFBIG;
    } else {
        text.clear();
        text.reserve(static_cast<size_t>(info.st_size));
        char chunk[65536];
        for (;;) {
            const ssize_t n = Sys().read(fd, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                error = n < 0 ? errno : 0;
                break;
            }
            // The size said at open is not a promise: a file that grows is cut off here.
            if (text.size() + static_cast<size_t>(n) > static_cast<size_t>(kMaxTextFileSize)) {
                error = EFBIG;
                break;
            }
            text.append(chunk, static_cast<size_t>(n));
        }
    }
    Sys().close(fd);
    return error;
}

bool MakePrivateDirectory(const std::string& dir) {
    if (Sys().mkdir(dir.c_str(), 0700) == 0) {
        chmod(dir.c_str(), 0700);  // whatever the umask took away or left
    } else if (errno != EEXIST) {
        return false;
    }
    struct stat info {};
    return lstat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid() &&
           (info.st_mode & 07777) == 0700;
}

std::string PasswordHome() {
    std::vector<char> buffer(16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
        found->pw_dir == nullptr || found->pw_dir[0] != '/') {
        return std::string();
    }
    return found->pw_dir;
}

namespace {
thread_local unsigned t_limitsHit = 0;
}  // namespace

unsigned FileSizeGuard::LimitsHit() {
    return t_limitsHit;
}

// The limit as last read, and when to read it again (CLOCK_MONOTONIC_COARSE ns).
std::atomic<bool> g_limitKnownUnlimited{false};
std::atomic<int64_t> g_limitCheckDue{0};
constexpr int64_t kLimitRecheckNs = 1000000000;

int64_t CoarseNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void ForgetLimit() {
    g_limitCheckDue.store(0);
}

// True when a write might pass RLIMIT_FSIZE. In `quick` mode an answer of "no
// limit" is trusted for a second, so a line costs no extra system call; a child
// after fork asks again.
bool MayPassLimit(bool quick) {
    static const int registered = pthread_atfork(nullptr, nullptr, ForgetLimit);
    (void)registered;
    const int64_t now = quick ? CoarseNow() : 0;
    if (quick && now < g_limitCheckDue.load(std::memory_order_relaxed)) {
        return !g_limitKnownUnlimited.load(std::memory_order_relaxed);
    }
    struct rlimit limit {};
    const bool unlimited = getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur == RLIM_INFINITY;
    g_limitKnownUnlimited.store(unlimited, std::memory_order_relaxed);
    g_limitCheckDue.store((quick ? now : CoarseNow()) + kLimitRecheckNs, std::memory_order_relaxed);
    return !unlimited;
}

bool RoomToSpare(int fd, dev_t device) {
    constexpr uint64_t kHeadroom = uint64_t{64} << 20;
    thread_local struct {
        dev_t device;
        int64_t due;
        bool roomy;
    } t_room{};
    const int64_t now = CoarseNow();
    if (device != t_room.device || now >= t_room.due) {
        struct statvfs room {};
        t_room.device = device;
        t_room.due = now + kLimitRecheckNs;
        t_room.roomy = Sys().fstatvfs(fd, &room) == 0 && uint64_t{room.f_bavail} * room.f_frsize > kHeadroom;
    }
    return t_room.roomy;
}

FileSizeGuard::FileSizeGuard(bool quick) : m_limited(MayPassLimit(quick)) {
    if (!m_limited) {
        return;
    }
    sigset_t xfsz;
    sigemptyset(&xfsz);
    sigaddset(&xfsz, SIGXFSZ);
    if (pthread_sigmask(SIG_BLOCK, &xfsz, &m_old) != 0 || sigismember(&m_old, SIGXFSZ)) {
        return;  // already blocked by the host: its pending signals are its own business
    }
    m_blocked = true;
    sigset_t pending;
    m_wasPending = sigpending(&pending) == 0 && sigismember(&pending, SIGXFSZ);
}

FileSizeGuard::~FileSizeGuard() {
    if (!m_blocked) {
        return;
    }
    sigset_t pending;
    if (!m_wasPending && sigpending(&pending) == 0 && sigismember(&pending, SIGXFSZ)) {
        // Ours, raised by a write the caller already sees fail with EFBIG.
        sigset_t xfsz;
        sigemptyset(&xfsz);
        sigaddset(&xfsz, SIGXFSZ);
        const struct timespec now {};
        if (sigtimedwait(&xfsz, nullptr, &now) == SIGXFSZ) {
            ++t_limitsHit;
        }
    }
    pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
}

}  // namespace posix
