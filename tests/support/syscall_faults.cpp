#if !defined(_WIN32)
#include "support/syscall_faults.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace testing_support {

namespace {

template <auto Member>
SyscallEntry Entry(const char* name, int error, bool performs = false) {
    return {name, error, [error, performs](int failAt) -> std::unique_ptr<ArmedSyscall> {
                return std::make_unique<ArmedEntry<Member>>(failAt, error, performs);
            }};
}

}  // namespace

const std::vector<SyscallEntry>& SyscallEntries() {
    using S = posix::Syscalls;
    static const std::vector<SyscallEntry> entries = {
        Entry<&S::open>("open", EACCES),
        Entry<&S::openat>("openat", EACCES),
        Entry<&S::close>("close", EIO, true),
        Entry<&S::fstat>("fstat", EIO),
        Entry<&S::statx>("statx", EIO),
        Entry<&S::fchmod>("fchmod", EPERM),
        Entry<&S::fstatvfs>("fstatvfs", EIO),
        Entry<&S::fstatat>("fstatat", EACCES),
        Entry<&S::mkdir>("mkdir", EACCES),
        Entry<&S::access>("access", EACCES),
        Entry<&S::fchown>("fchown", EPERM),
        Entry<&S::read>("read", EIO),
        Entry<&S::write>("write", ENOSPC),
        Entry<&S::pread>("pread", EIO),
        Entry<&S::pwrite>("pwrite", ENOSPC),
        Entry<&S::lseek>("lseek", EIO),
        Entry<&S::ftruncate>("ftruncate", EIO),
        Entry<&S::fsync>("fsync", EIO),
        Entry<&S::renameat>("renameat", EACCES),
        Entry<&S::unlinkat>("unlinkat", EACCES),
        Entry<&S::fcntlLock>("fcntlLock", ENOLCK),
        Entry<&S::flock>("flock", ENOLCK),
        Entry<&S::mmap>("mmap", ENOMEM),
        Entry<&S::munmap>("munmap", EINVAL),
        Entry<&S::pipe2>("pipe2", EMFILE),
        Entry<&S::fork>("fork", EAGAIN),
        Entry<&S::kill>("kill", EPERM),
        Entry<&S::waitpid>("waitpid", EINTR),
        Entry<&S::socketpair>("socketpair", EMFILE),
        Entry<&S::send>("send", EPIPE),
        Entry<&S::poll>("poll", EINTR),
    };
    return entries;
}

int InjectedErrno(const std::string& failedCall) {
    for (const SyscallEntry& entry : SyscallEntries()) {
        if (failedCall.compare(0, failedCall.find(' '), entry.name) == 0) {
            return entry.error;
        }
    }
    return 0;
}

int FailEachSyscall(const std::function<void()>& setUp, const FaultRun& run, const FaultCheck& check,
                    int mostCallsPerEntry) {
    int failures = 0;
    for (const SyscallEntry& entry : SyscallEntries()) {
        for (int n = 1;; ++n) {
            if (n > mostCallsPerEntry) {
                ADD_FAILURE() << entry.name << " is called more than " << mostCallsPerEntry << " times";
                break;
            }
            setUp();
            unsigned long result = 0;
            bool tripped = false;
            {
                const std::unique_ptr<ArmedSyscall> armed = entry.arm(n);
                result = run();
                tripped = armed->Tripped();
            }
            const std::string call = tripped ? std::string(entry.name) + " call " + std::to_string(n) : "";
            SCOPED_TRACE(tripped ? "failing " + call : std::string("no failure of ") + entry.name);
            check(result, call);
            if (!tripped) {
                EXPECT_EQ(result, 0u);
                break;
            }
            ++failures;
        }
    }
    std::printf("[  faults  ] %d failing calls taken\n", failures);
    return failures;
}

size_t DirectoryEntries(const std::string& dir) {
    size_t count = 0;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* entry = readdir(d)) {
            count += std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0;
        }
        closedir(d);
    }
    return count;
}

int ProcessesWhere(const char* file, const std::function<bool(const std::string& text)>& test) {
    int count = 0;
    if (DIR* d = opendir("/proc")) {
        while (dirent* entry = readdir(d)) {
            if (std::isdigit(static_cast<unsigned char>(entry->d_name[0]))) {
                std::ifstream in(std::string("/proc/") + entry->d_name + "/" + file, std::ios::binary);
                count += test(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
            }
        }
        closedir(d);
    }
    return count;
}

}  // namespace testing_support
#endif
