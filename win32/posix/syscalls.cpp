#include "win32/posix/syscalls.h"

#include <signal.h>
#include <sqlite3.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <mutex>

namespace posix {

namespace {

// Fixed-signature forwarders for the calls that are variadic.
int Open(const char* path, int flags, mode_t mode) {
    return ::open(path, flags, mode);
}
int OpenAt(int dir, const char* path, int flags, mode_t mode) {
    return ::openat(dir, path, flags, mode);
}
int FcntlLock(int fd, int command, struct flock* lock) {
    return ::fcntl(fd, command, lock);
}

constexpr Syscalls MakeReal() {
    Syscalls t{};
    t.open = Open;
    t.openat = OpenAt;
    t.close = ::close;
    t.fstat = ::fstat;
    t.statx = ::statx;
    t.fchmod = ::fchmod;
    t.fstatvfs = ::fstatvfs;
    t.fstatat = ::fstatat;
    t.mkdir = ::mkdir;
    t.access = ::access;
    t.fchown = ::fchown;
    t.read = ::read;
    t.write = ::write;
    t.pread = ::pread;
    t.pwrite = ::pwrite;
    t.lseek = ::lseek;
    t.ftruncate = ::ftruncate;
    t.fsync = ::fsync;
    t.renameat = ::renameat;
    t.unlinkat = ::unlinkat;
    t.fcntlLock = FcntlLock;
    t.flock = ::flock;
    t.mmap = ::mmap;
    t.munmap = ::munmap;
    t.pipe2 = ::pipe2;
    t.fork = ::fork;
    t.kill = ::kill;
    t.waitpid = ::waitpid;
    t.socketpair = ::socketpair;
    t.send = ::send;
    t.poll = ::poll;
    return t;
}

constexpr Syscalls kReal = MakeReal();

// Constant-initialised: no guard on the paths that ask for it per call.
Syscalls g_table = kReal;

// ---- SQLite's unix VFS through the table ------------------------------------------
// Each forwards to the entry of the moment, so a test's replacement reaches SQLite too.

int SqliteOpen(const char* path, int flags, int mode) {
    return g_table.open(path, flags, static_cast<mode_t>(mode));
}
int SqliteClose(int fd) {
    return g_table.close(fd);
}
int SqliteAccess(const char* path, int mode) {
    return g_table.access(path, mode);
}
int SqliteStat(const char* path, struct stat* info) {
    return g_table.fstatat(AT_FDCWD, path, info, 0);
}
int SqliteLstat(const char* path, struct stat* info) {
    return g_table.fstatat(AT_FDCWD, path, info, AT_SYMLINK_NOFOLLOW);
}
int SqliteFstat(int fd, struct stat* info) {
    return g_table.fstat(fd, info);
}
int SqliteFtruncate(int fd, off_t size) {
    return g_table.ftruncate(fd, size);
}
// Locks go through the table; the other commands (flags, descriptor flags) do not fail here.
int SqliteFcntl(int fd, int command, ...) {
    va_list args;
    va_start(args, command);
    void* argument = va_arg(args, void*);
    va_end(args);
    switch (command) {
        case F_GETLK:
        case F_SETLK:
        case F_SETLKW:
            return g_table.fcntlLock(fd, command, static_cast<struct flock*>(argument));
        default:
            return ::fcntl(fd, command, argument);
    }
}
ssize_t SqliteRead(int fd, void* buffer, size_t size) {
    return g_table.read(fd, buffer, size);
}
ssize_t SqlitePread(int fd, void* buffer, size_t size, off_t offset) {
    return g_table.pread(fd, buffer, size, offset);
}
ssize_t SqliteWrite(int fd, const void* buffer, size_t size) {
    return g_table.write(fd, buffer, size);
}
ssize_t SqlitePwrite(int fd, const void* buffer, size_t size, off_t offset) {
    return g_table.pwrite(fd, buffer, size, offset);
}
int SqliteFchmod(int fd, mode_t mode) {
    return g_table.fchmod(fd, mode);
}
int SqliteFchown(int fd, uid_t owner, gid_t group) {
    return g_table.fchown(fd, owner, group);
}
int SqliteUnlink(const char* path) {
    return g_table.unlinkat(AT_FDCWD, path, 0);
}
int SqliteMkdir(const char* path, mode_t mode) {
    return g_table.mkdir(path, mode);
}
void* SqliteMmap(void* address, size_t size, int protection, int flags, int fd, off_t offset) {
    return g_table.mmap(address, size, protection, flags, fd, offset);
}
int SqliteMunmap(void* address, size_t size) {
    return g_table.munmap(address, size);
}

struct SqliteCall {
    const char* name;
    sqlite3_syscall_ptr call;
};

const SqliteCall kSqliteCalls[] = {
    {"open", reinterpret_cast<sqlite3_syscall_ptr>(SqliteOpen)},
    {"close", reinterpret_cast<sqlite3_syscall_ptr>(SqliteClose)},
    {"access", reinterpret_cast<sqlite3_syscall_ptr>(SqliteAccess)},
    {"stat", reinterpret_cast<sqlite3_syscall_ptr>(SqliteStat)},
    {"lstat", reinterpret_cast<sqlite3_syscall_ptr>(SqliteLstat)},
    {"fstat", reinterpret_cast<sqlite3_syscall_ptr>(SqliteFstat)},
    {"ftruncate", reinterpret_cast<sqlite3_syscall_ptr>(SqliteFtruncate)},
    {"fcntl", reinterpret_cast<sqlite3_syscall_ptr>(SqliteFcntl)},
    {"read", reinterpret_cast<sqlite3_syscall_ptr>(SqliteRead)},
    {"pread", reinterpret_cast<sqlite3_syscall_ptr>(SqlitePread)},
    {"pread64", reinterpret_cast<sqlite3_syscall_ptr>(SqlitePread)},
    {"write", reinterpret_cast<sqlite3_syscall_ptr>(SqliteWrite)},
    {"pwrite", reinterpret_cast<sqlite3_syscall_ptr>(SqlitePwrite)},
    {"pwrite64", reinterpret_cast<sqlite3_syscall_ptr>(SqlitePwrite)},
    {"fchmod", reinterpret_cast<sqlite3_syscall_ptr>(SqliteFchmod)},
    {"fchown", reinterpret_cast<sqlite3_syscall_ptr>(SqliteFchown)},
    {"unlink", reinterpret_cast<sqlite3_syscall_ptr>(SqliteUnlink)},
    {"mkdir", reinterpret_cast<sqlite3_syscall_ptr>(SqliteMkdir)},
    {"mmap", reinterpret_cast<sqlite3_syscall_ptr>(SqliteMmap)},
    {"munmap", reinterpret_cast<sqlite3_syscall_ptr>(SqliteMunmap)},
};

}  // namespace

void RouteSqliteThroughTable() {
    static std::once_flag once;
    std::call_once(once, [] {
        // One array serves every unix VFS of the process. The forwarders do what the
        // system does until a test replaces an entry, so other SQLite users in a
        // host process see no difference. A name this SQLite does not use is refused
        // by it and left alone.
        sqlite3_vfs* vfs = sqlite3_vfs_find("unix");
        if (vfs == nullptr || vfs->iVersion < 3 || vfs->xSetSystemCall == nullptr) {
            return;
        }
        for (const SqliteCall& entry : kSqliteCalls) {
            if (vfs->xGetSystemCall(vfs, entry.name) != nullptr) {
                vfs->xSetSystemCall(vfs, entry.name, entry.call);
            }
        }
    });
}

Syscalls& Sys() {
    return g_table;
}

const Syscalls& RealSyscalls() {
    return kReal;
}

}  // namespace posix
