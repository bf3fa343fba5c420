#include "win32/posix/syscalls.h"

#include <stdio.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

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
    t.read = ::read;
    t.write = ::write;
    t.lseek = ::lseek;
    t.ftruncate = ::ftruncate;
    t.fsync = ::fsync;
    t.renameat = ::renameat;
    t.unlinkat = ::unlinkat;
    t.fcntlLock = FcntlLock;
    t.flock = ::flock;
    t.shm_open = ::shm_open;
    t.shm_unlink = ::shm_unlink;
    t.mmap = ::mmap;
    t.munmap = ::munmap;
    return t;
}

constexpr Syscalls kReal = MakeReal();

// Constant-initialised: no guard on the paths that ask for it per call.
Syscalls g_table = kReal;

}  // namespace

Syscalls& Sys() {
    return g_table;
}

const Syscalls& RealSyscalls() {
    return kReal;
}

}  // namespace posix
