// The system calls of the POSIX backend whose failure a facility must survive,
// in one table, as SQLite's os_unix.c keeps its own: every backend file, mapping
// and lock goes through Sys(), and so does SQLite's own I/O (its unix VFS calls
// the table once the registry store has opened), so a test can make any one of
// them fail and see what the facility above does, without a fake of the facility.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>

namespace posix {

struct Syscalls {
    int (*open)(const char* path, int flags, mode_t mode);
    int (*openat)(int dir, const char* path, int flags, mode_t mode);
    int (*close)(int fd);
    int (*fstat)(int fd, struct stat* info);
    int (*statx)(int dir, const char* path, int flags, unsigned mask, struct statx* info);
    int (*fchmod)(int fd, mode_t mode);
    int (*fstatvfs)(int fd, struct statvfs* info);
    int (*fstatat)(int dir, const char* path, struct stat* info, int flags);
    int (*mkdir)(const char* path, mode_t mode);
    int (*access)(const char* path, int mode);
    int (*fchown)(int fd, uid_t owner, gid_t group);
    ssize_t (*read)(int fd, void* buffer, size_t size);
    ssize_t (*write)(int fd, const void* buffer, size_t size);
    ssize_t (*pread)(int fd, void* buffer, size_t size, off_t offset);
    ssize_t (*pwrite)(int fd, const void* buffer, size_t size, off_t offset);
    off_t (*lseek)(int fd, off_t offset, int whence);
    int (*ftruncate)(int fd, off_t size);
    int (*fsync)(int fd);
    int (*renameat)(int fromDir, const char* from, int toDir, const char* to);
    int (*unlinkat)(int dir, const char* path, int flags);
    int (*fcntlLock)(int fd, int command, struct flock* lock);  // F_*SETLK*, F_*GETLK
    int (*flock)(int fd, int operation);
    void* (*mmap)(void* address, size_t size, int protection, int flags, int fd, off_t offset);
    int (*munmap)(void* address, size_t size);
    // Starting a service's process (the parent's side; the child calls the system directly).
    int (*pipe2)(int fds[2], int flags);
    pid_t (*fork)();
    int (*kill)(pid_t pid, int signal);
    pid_t (*waitpid)(pid_t pid, int* status, int options);
    // A remote registry's channel: the ssh client's socket, waited on with a limit.
    int (*socketpair)(int domain, int type, int protocol, int fds[2]);
    ssize_t (*send)(int fd, const void* buffer, size_t size, int flags);
    int (*poll)(struct pollfd* fds, nfds_t count, int timeout);
};

// The process's table; every entry starts at the real call.
Syscalls& Sys();

// The real calls, for a test that wraps one of them.
const Syscalls& RealSyscalls();

// Makes SQLite's unix VFS call the table; once per process, before the first database opens.
void RouteSqliteThroughTable();

// Replaces entries for a scope and puts the whole table back at its end.
class SyscallOverride {
public:
    SyscallOverride() : m_saved(Sys()) {}
    ~SyscallOverride() { Sys() = m_saved; }
    SyscallOverride(const SyscallOverride&) = delete;
    SyscallOverride& operator=(const SyscallOverride&) = delete;
    Syscalls* operator->() { return &Sys(); }

private:
    Syscalls m_saved;
};

}  // namespace posix
