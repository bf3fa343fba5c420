// The Linux half of bounded reads of regular files and safe replacement of an output file.
#include "read_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tool {

bool ReadRegularFile(const std::string& path, size_t limit, std::string& bytes, std::string& reason) {
    // Non-blocking, so that a FIFO planted at the path cannot hold the open.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        reason = errno == ENOENT ? "no such file" : std::strerror(errno);
        return false;
    }
    struct stat info {};
    bool ok = fstat(fd, &info) == 0;
    reason = ok ? "" : std::strerror(errno);
    if (ok && S_ISDIR(info.st_mode)) {
        reason = "is a directory";
        ok = false;
    } else if (ok && !S_ISREG(info.st_mode)) {
        reason = "not a regular file";
        ok = false;
    } else if (ok && static_cast<unsigned long long>(info.st_size) > limit) {
        reason = TooLarge(limit);
        ok = false;
    }
    bytes.clear();
    // The size is a hint only: the file may grow while it is read, up to the bound.
    char buffer[65536];
    while (ok) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            reason = std::strerror(errno);
            ok = false;
        } else if (got == 0) {
            break;
        } else if (bytes.size() + static_cast<size_t>(got) > limit) {
            reason = TooLarge(limit);
            ok = false;
        } else {
            bytes.append(buffer, static_cast<size_t>(got));
        }
    }
    close(fd);
    return ok;
}

namespace {

// What the name is, when it is there: `exists`, and the reason it may not be written.
bool LookAtOutput(const std::string& path, struct stat& info, bool& exists, std::string& reason) {
    exists = lstat(path.c_str(), &info) == 0;
    if (!exists) {
        return true;
    }
    reason = S_ISLNK(info.st_mode)      ? "is a symbolic link"
             : S_ISDIR(info.st_mode)    ? "is a directory"
             : !S_ISREG(info.st_mode)   ? "is not a regular file"
             : info.st_uid != geteuid() ? "belongs to another user"
             : info.st_nlink != 1       ? "has other names (hard links)"
                                        : "";
    return reason.empty();
}

}  // namespace

bool UsableOutput(const std::string& path, bool& exists, std::string& reason) {
    struct stat info {};
    return LookAtOutput(path, info, exists, reason);
}

bool ReplaceFile(const std::string& path, const std::string& bytes, std::string& reason) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    bool exists = false;
    struct stat old {};
    if (!LookAtOutput(path, old, exists, reason)) {
        return false;
    }
    const int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) {
        reason = std::strerror(errno);
        return false;
    }
    const std::string temporary = "." + base + "." + std::to_string(getpid()) + ".tmp";
    // A new file gets what the umask leaves of 0666, as any file a tool writes; a replaced one keeps its mode.
    const int fd = openat(dirFd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          exists ? (old.st_mode & 0777) : 0666);
    bool ok = fd >= 0 && (!exists || fchmod(fd, old.st_mode & 0777) == 0);
    for (size_t done = 0; ok && done < bytes.size();) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        ok = n > 0 || (n < 0 && errno == EINTR);
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
    int error = ok ? 0 : errno;
    if (fd >= 0 && close(fd) != 0 && ok) {
        error = errno;
        ok = false;
    }
    if (ok && renameat(dirFd, temporary.c_str(), dirFd, base.c_str()) != 0) {
        error = errno;
        ok = false;
    }
    if (!ok && fd >= 0) {
        unlinkat(dirFd, temporary.c_str(), 0);
    }
    close(dirFd);
    if (!ok) {
        reason = std::strerror(error != 0 ? error : EIO);
    }
    return ok;
}

}  // namespace tool
