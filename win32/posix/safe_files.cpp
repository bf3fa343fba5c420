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

#include "win32/posix/posix.h"
#include "win32/posix/syscalls.h"

namespace posix {

namespace {

// Root first: a shared log of root's costs no system call to judge.
bool TrustedOwner(uid_t owner) {
    return owner == 0 || owner == geteuid();
}

// A lock a forked child can always take: the parent's holder does not exist there.
pthread_mutex_t g_trustedMutex = PTHREAD_MUTEX_INITIALIZER;

// A directory whose whole chain passed the checks, as it was then. It is trusted
// again only while it still is that directory with that owner and mode.
struct TrustedDirectory {
    dev_t device;
    ino_t inode;
    uid_t owner;
    mode_t mode;
};
std::unordered_map<std::string, TrustedDirectory>* g_trusted = nullptr;

void ResetTrustedMutex() {
    const pthread_mutex_t fresh = PTHREAD_MUTEX_INITIALIZER;
    g_trustedMutex = fresh;
}

bool SameDirectory(const TrustedDirectory& known, const struct stat& now) {
    return S_ISDIR(now.st_mode) && now.st_dev == known.device && now.st_ino == known.inode &&
           now.st_uid == known.owner && now.st_mode == known.mode;
}

// One lstat instead of the whole chain: the directory is the one judged before.
bool IsKnownTrusted(const std::string& dir) {
    static const int registered = pthread_atfork(nullptr, nullptr, ResetTrustedMutex);
    (void)registered;
    TrustedDirectory known{};
    bool found = false;
    pthread_mutex_lock(&g_trustedMutex);
    if (g_trusted != nullptr) {
        const auto entry = g_trusted->find(dir);
        found = entry != g_trusted->end();
        known = found ? entry->second : known;
    }
    pthread_mutex_unlock(&g_trustedMutex);
    struct stat now {};
    return found && Sys().fstatat(AT_FDCWD, dir.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && SameDirectory(known, now);
}

void RememberTrusted(const std::string& dir, const struct stat& info) {
    pthread_mutex_lock(&g_trustedMutex);
    if (g_trusted == nullptr) {
        // Lives to the end: destructors may still open files.
        g_trusted = new std::unordered_map<std::string, TrustedDirectory>;
    }
    if (g_trusted->size() < 256 || g_trusted->count(dir) != 0) {
        (*g_trusted)[dir] = {info.st_dev, info.st_ino, info.st_uid, info.st_mode};
    }
    pthread_mutex_unlock(&g_trustedMutex);
}

// ERROR_SUCCESS when `dir` is a directory (or a link to one that someone we
// trust made) owned by the user or root and not writable by others unless
// sticky; `seen` is what lstat said of the name itself.
DWORD CheckOneDirectory(const std::string& dir, struct stat& seen) {
    if (Sys().fstatat(AT_FDCWD, dir.c_str(), &seen, AT_SYMLINK_NOFOLLOW) != 0) {
        return ErrnoToWin32(errno, ErrnoAs::kTrustCheck);
    }
    struct stat info = seen;
    if (S_ISLNK(info.st_mode)) {
        if (!TrustedOwner(info.st_uid)) {
            return ERROR_ACCESS_DENIED;
        }
        if (Sys().fstatat(AT_FDCWD, dir.c_str(), &info, 0) != 0) {
            return ErrnoToWin32(errno, ErrnoAs::kTrustCheck);
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

}  // namespace

std::string ParentOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

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

DWORD CheckDirectoryChain(const std::string& dir) {
    const std::string absolute = Absolute(dir);
    if (absolute.empty()) {
        return ERROR_PATH_NOT_FOUND;
    }
    if (IsKnownTrusted(absolute)) {
        return ERROR_SUCCESS;
    }
    struct stat seen {};
    if (const DWORD error = CheckOneDirectory("/", seen)) {
        return error;
    }
    for (size_t at = 0; at + 1 < absolute.size();) {
        const size_t next = absolute.find('/', at + 1);
        const std::string part = absolute.substr(0, next);
        if (part.back() != '/') {  // a doubled separator names nothing new
            if (const DWORD error = CheckOneDirectory(part, seen)) {
                return error;
            }
        }
        if (next == std::string::npos) {
            break;
        }
        at = next;
    }
    RememberTrusted(absolute, seen);
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

// A checked directory held open: names are opened relative to it, so a
// directory removed (or renamed) and made again by someone else is never
// entered by a stale check. A directory that is gone makes opens in it fail
// with ENOENT, and the path is then judged afresh. Entries are never freed:
// another thread may be opening through one.
struct HeldDirectory {
    std::string path;  // absolute, without the trailing separator
    int fd;
};

pthread_mutex_t g_heldMutex = PTHREAD_MUTEX_INITIALIZER;
std::vector<const HeldDirectory*>* g_held = nullptr;
constexpr size_t kMaxHeld = 64;
thread_local const HeldDirectory* t_lastHeld = nullptr;

void ResetHeldMutex() {
    const pthread_mutex_t fresh = PTHREAD_MUTEX_INITIALIZER;
    g_heldMutex = fresh;
}

// Checks `dir`'s chain and holds it open; null when refused (`error` says why)
// or when no more can be held (the caller then opens by path).
const HeldDirectory* HoldDirectory(const std::string& dir, bool afresh, DWORD& error) {
    static const int registered = pthread_atfork(nullptr, nullptr, ResetHeldMutex);
    (void)registered;
    pthread_mutex_lock(&g_heldMutex);
    const HeldDirectory* found = nullptr;
    size_t at = 0;
    for (; g_held != nullptr && at < g_held->size(); ++at) {
        if ((*g_held)[at]->path == dir) {
            found = (*g_held)[at];
            break;
        }
    }
    if (found == nullptr || afresh) {
        error = CheckDirectoryChain(dir);
        found = nullptr;
        const int fd = error == ERROR_SUCCESS ? Sys().open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0) : -1;
        if (fd >= 0 && g_held == nullptr) {
            g_held = new std::vector<const HeldDirectory*>;
        }
        if (fd >= 0 && (g_held->size() < kMaxHeld || at < g_held->size())) {
            found = new HeldDirectory{dir, fd};
            if (at < g_held->size()) {
                (*g_held)[at] = found;  // the stale one stays open for whoever still uses it
            } else {
                g_held->push_back(found);
            }
        } else if (fd >= 0) {
            Sys().close(fd);
        }
    }
    pthread_mutex_unlock(&g_heldMutex);
    return found;
}

// Opens the last name of `path` below its held directory; -1 and errno, with
// `held` false when the directory could not be held (open by path instead).
int OpenInHeldDirectory(const char* path, int flags, mode_t mode, bool& held) {
    const char* slash = std::strrchr(path, '/');
    held = false;
    if (path[0] != '/' || slash == nullptr || slash[1] == '\0') {
        return -1;
    }
    const size_t length = slash == path ? 1 : static_cast<size_t>(slash - path);
    const HeldDirectory* known = t_lastHeld;
    // The trace opens the same log for every line: this thread's last directory is compared in place.
    if (known == nullptr || known->path.size() != length || std::memcmp(known->path.data(), path, length) != 0) {
        DWORD error = ERROR_SUCCESS;
        known = HoldDirectory(std::string(path, length), false, error);
        if (known == nullptr) {
            held = error != ERROR_SUCCESS;
            errno = error == ERROR_PATH_NOT_FOUND ? ENOENT : EACCES;
            return -1;
        }
    }
    held = true;
    int fd = Sys().openat(known->fd, slash + 1, flags, mode);
    if (fd < 0 && errno == ENOENT) {
        // Gone, or removed and made again: judged afresh before anything lands there.
        struct stat info {};
        if (Sys().fstat(known->fd, &info) == 0 && info.st_nlink == 0) {
            DWORD error = ERROR_SUCCESS;
            known = HoldDirectory(std::string(path, length), true, error);
            if (known == nullptr) {
                errno = error == ERROR_PATH_NOT_FOUND ? ENOENT : EACCES;
                return -1;
            }
            fd = Sys().openat(known->fd, slash + 1, flags, mode);
        } else {
            errno = ENOENT;
        }
    }
    t_lastHeld = known;
    return fd;
}

}  // namespace

int OpenChecked(const char* path, int flags, mode_t mode, struct stat& info) {
    flags |= O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    bool held = false;
    int fd = OpenInHeldDirectory(path, flags, mode, held);
    if (!held) {
        // A relative path names another file after a change of directory: judged each time.
        const std::string parent = ParentOf(path);
        switch (CheckDirectoryChain(parent)) {
            case ERROR_SUCCESS:
                break;
            case ERROR_PATH_NOT_FOUND:
                errno = ENOENT;
                return -1;
            default:
                errno = EACCES;
                return -1;
        }
        fd = Sys().open(path, flags, mode);
    }
    if (fd < 0) {
        // A link in place of the file, or a FIFO nobody reads: refused, not followed or waited for.
        if (errno == ELOOP || errno == ENXIO || errno == EOPNOTSUPP) {
            errno = EACCES;
        }
        return -1;
    }
    const bool created = (flags & O_CREAT) != 0 && (flags & O_EXCL) != 0;
    const bool writing = (flags & O_ACCMODE) != O_RDONLY;
    if (StatOpened(fd, writing, info) != 0 || (created && Sys().fchmod(fd, mode) != 0)) {
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
    return fd;
}

int ReadTextFile(const std::string& path, std::string& text, struct stat& info) {
    const int fd = OpenChecked(path.c_str(), O_RDONLY, 0, info);
    if (fd < 0) {
        return errno;
    }
    int error = EFBIG;
    if (info.st_size <= kMaxTextFileSize) {
        text.clear();
        text.reserve(static_cast<size_t>(info.st_size));
        // The size said at open is not a promise: a file that grows is cut off.
        error = ReadUpTo(fd, static_cast<size_t>(kMaxTextFileSize), text);
    }
    Sys().close(fd);
    return error;
}

int ReadUpTo(int fd, size_t limit, std::string& text) {
    char chunk[65536];
    for (;;) {
        const ssize_t n = Sys().read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n < 0 ? errno : 0;
        }
        if (text.size() + static_cast<size_t>(n) > limit) {
            return EFBIG;
        }
        text.append(chunk, static_cast<size_t>(n));
    }
}

size_t WriteFully(int fd, const char* bytes, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = Sys().write(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            errno = n < 0 ? errno : ENOSPC;
            break;
        }
        done += static_cast<size_t>(n);
    }
    return done;
}

namespace {

int CreateTemporary(int dir, const std::string& base, mode_t mode, std::string& name) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = "." + base + "." + std::to_string(getpid()) + "." + std::to_string(++counter) + ".tmp";
        const int fd =
            Sys().openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode & 07777);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    errno = EEXIST;
    return -1;
}

// The owner asked for, then the mode exactly: the umask may have cut it, and a
// change of owner clears the set-id bits.
int GiveAttributes(int fd, const Replacement& how) {
    const bool change = (how.owner != static_cast<uid_t>(-1) && how.owner != geteuid()) ||
                        (how.group != static_cast<gid_t>(-1) && how.group != getegid());
    if (change && Sys().fchown(fd, how.owner, how.group) != 0 && how.ownerRequired) {
        return errno;  // else not ours to give away: the file belongs to the writer, as a new one would
    }
    return Sys().fchmod(fd, how.mode & 07777) == 0 ? 0 : errno;
}

}  // namespace

int ReplaceFileAt(int dir, const std::string& name, const std::string& text, const Replacement& how) {
    std::string temporary;
    const int fd = CreateTemporary(dir, name, how.mode, temporary);
    if (fd < 0) {
        return errno;
    }
    int error = GiveAttributes(fd, how);
    if (error == 0 && WriteFully(fd, text.data(), text.size()) != text.size()) {
        error = errno;
    }
    if (error == 0 && how.durable && Sys().fsync(fd) != 0) {
        error = errno;
    }
    if (Sys().close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 && Sys().renameat(dir, temporary.c_str(), dir, name.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        Sys().unlinkat(dir, temporary.c_str(), 0);
    }
    return error;
}

int MakeAndOpenDirectory(const std::string& dir, unsigned mode, bool& made) {
    made = Sys().mkdir(dir.c_str(), mode) == 0;
    if (!made && errno != EEXIST) {
        return -1;
    }
    const int fd = Sys().open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
    if (fd >= 0 && made && Sys().fchmod(fd, mode) != 0) {
        const int error = errno;
        Sys().close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

bool MakePrivateDirectory(const std::string& dir) {
    bool made = false;
    const int fd = MakeAndOpenDirectory(dir, 0700, made);
    if (fd < 0) {
        return false;
    }
    struct stat info {};
    // A mode the umask narrowed is put right; a wider one is another's doing and refused.
    bool ok =
        Sys().fstat(fd, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid() && (info.st_mode & 077) == 0;
    if (ok && (info.st_mode & 07777) != 0700) {
        ok = Sys().fchmod(fd, 0700) == 0;
    }
    Sys().close(fd);
    return ok;
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
