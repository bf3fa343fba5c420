#include "win32/posix/named_objects.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>

#include "win32/posix/syscalls.h"

namespace posix {

namespace {

constexpr const char* kShmDirectory = "/dev/shm";

// Another user may have taken the first names first; they cannot take them all
// without being noticed.
constexpr unsigned kUserDirectoryCandidates = 16;

// Win32 object names are case-sensitive and may hold any character but the
// namespace separator; a file name is one path component, so everything outside
// a safe set is written as %XX.
void AppendEscaped(std::string& escaped, const char* text) {
    static const char kHex[] = "0123456789ABCDEF";
    for (const char* p = text; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                          c == '-' || c == '.';
        if (safe) {
            escaped += static_cast<char>(c);
        } else {
            escaped += '%';
            escaped += kHex[c >> 4];
            escaped += kHex[c & 15];
        }
    }
}

bool StartsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

std::string CandidatePath(uid_t uid, unsigned index) {
    std::string path = std::string(kShmDirectory) + "/qvtr-" + std::to_string(uid);
    return index == 0 ? path : path + "." + std::to_string(index);
}

// Opens `path` as the user's private directory: a real directory (no link on
// the last step) owned by `uid`; a mode the user widened is narrowed again.
int OpenOwnDirectory(const std::string& path, uid_t uid, int& error) {
    const int fd = Sys().open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    struct stat info {};
    if (Sys().fstat(fd, &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != uid ||
        ((info.st_mode & 077) != 0 && Sys().fchmod(fd, 0700) != 0)) {
        error = EACCES;
        Sys().close(fd);
        return -1;
    }
    return fd;
}

// Whether an error says only that a candidate is not the user's (absent, or
// someone else's): any other (no descriptors left) leaves the answer unknown.
bool NotTheUsers(int error) {
    return error == ENOENT || error == EACCES || error == ENOTDIR || error == ELOOP;
}

// The highest candidate the user owns; -1 with errno when there is none
// (ENOENT) or one could not be looked at.
int HighestOwned(uid_t uid, std::string& path) {
    int found = -1;
    for (unsigned i = 0; i < kUserDirectoryCandidates; ++i) {
        int error = 0;
        const int fd = OpenOwnDirectory(CandidatePath(uid, i), uid, error);
        if (fd < 0 && !NotTheUsers(error)) {
            if (found >= 0) {
                Sys().close(found);
            }
            errno = error;
            return -1;
        }
        if (fd >= 0) {
            if (found >= 0) {
                Sys().close(found);
            }
            found = fd;
            path = CandidatePath(uid, i);
        }
    }
    errno = found < 0 ? ENOENT : 0;
    return found;
}

// Every process of the user must find the same directory, whatever others made
// or removed below it since: the highest candidate the user owns. Only when it
// owns none is one made, the lowest that is free, and the highest owned is
// then looked for again, so that processes making one at once agree too.
int FindUserDirectory(uid_t uid, std::string& path) {
    int fd = HighestOwned(uid, path);
    if (fd >= 0 || errno != ENOENT) {
        return fd;
    }
    for (unsigned i = 0; i < kUserDirectoryCandidates; ++i) {
        const std::string candidate = CandidatePath(uid, i);
        if (Sys().mkdir(candidate.c_str(), 0700) == 0) {
            break;
        }
        if (errno != EEXIST) {
            return -1;
        }
        int error = 0;
        const int own = OpenOwnDirectory(candidate, uid, error);
        if (own >= 0) {
            Sys().close(own);  // another process of the user made it meanwhile
            break;
        }
        if (!NotTheUsers(error)) {
            errno = error;
            return -1;
        }
    }
    fd = HighestOwned(uid, path);
    if (fd < 0 && errno == ENOENT) {
        errno = EACCES;  // every name is taken by others
    }
    return fd;
}

// A directory found once and kept open for the process; published whole, so
// that the path of every lock needs no mutex to read it.
struct Directory {
    int fd;
    uid_t uid;
    std::string path;
};

struct Directories {
    std::mutex mutex;                 // for finding one
    std::atomic<bool> forked{false};  // a child may drop privileges after fork: ask for the user again
    std::atomic<const Directory*> shared{nullptr};
    std::atomic<const Directory*> user{nullptr};  // replaced ones are kept: entries may still use their fd
};

Directories& Cache() {
    // Used by handles that outlive static destruction.
    static Directories* cache = [] {
        pthread_atfork(nullptr, nullptr, [] { Cache().forked.store(true); });
        return new Directories;
    }();
    return *cache;
}

const Directory* SharedDirectory(Directories& cache) {
    std::lock_guard<std::mutex> lock(cache.mutex);
    if (cache.shared.load() == nullptr) {
        const int fd = Sys().open(kShmDirectory, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
        if (fd >= 0) {
            cache.shared.store(new Directory{fd, 0, kShmDirectory});
        }
    }
    return cache.shared.load();
}

const Directory* UserDirectory(Directories& cache, uid_t uid) {
    std::lock_guard<std::mutex> lock(cache.mutex);
    const Directory* known = cache.user.load();
    if (known == nullptr || known->uid != uid) {
        std::string path;
        const int fd = FindUserDirectory(uid, path);
        if (fd < 0) {
            return nullptr;
        }
        known = new Directory{fd, uid, path};
        cache.user.store(known);
    }
    return known;
}

}  // namespace

ObjectPlace PlaceOf(const char* name) {
    ObjectPlace place;
    place.global = StartsWith(name, "Global\\");
    Directories& cache = Cache();
    const Directory* dir = nullptr;
    if (place.global) {
        dir = cache.shared.load();
        dir = dir != nullptr ? dir : SharedDirectory(cache);
    } else {
        // The effective user owns what it creates. Asking for it costs a system
        // call, so only a forked child (which may have dropped privileges) asks again.
        dir = cache.user.load();
        if (dir == nullptr || (cache.forked.load() && dir->uid != geteuid())) {
            dir = UserDirectory(cache, geteuid());
        }
    }
    if (dir == nullptr) {
        place.error = ErrnoToWin32(errno);
        return place;
    }
    // One string per lock: the path, with the file name at its end.
    place.path.reserve(dir->path.size() + 32 + std::strlen(name));
    place.path.append(dir->path).append(1, '/');
    place.fileOffset = place.path.size();
    if (place.global) {
        place.path.append("qvtr-global-");
        AppendEscaped(place.path, name + 7);
    } else {
        AppendEscaped(place.path, StartsWith(name, "Local\\") ? name + 6 : name);
    }
    if (place.path.size() - place.fileOffset > NAME_MAX) {
        place.error = ERROR_FILENAME_EXCED_RANGE;
        return place;
    }
    place.dir = dir->fd;
    return place;
}

void ForgetUserDirectory(int dir) {
    Directories& cache = Cache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    const Directory* known = cache.user.load();
    if (known != nullptr && known->fd == dir) {
        cache.user.store(nullptr);  // left open: entries of this process may still name it
    }
}

DWORD CheckObjectFile(const struct stat& info, bool global) {
    if (!S_ISREG(info.st_mode) || info.st_nlink != 1) {
        return ERROR_ACCESS_DENIED;
    }
    if (!global && info.st_uid != geteuid()) {
        return ERROR_ACCESS_DENIED;
    }
    return ERROR_SUCCESS;
}

std::string SharedObjectPath(const char* name) {
    const ObjectPlace place = PlaceOf(name);
    return place.dir < 0 ? std::string() : place.path;
}

}  // namespace posix
