// Failures of the POSIX backend's system calls, the way SQLite's own fault tests
// fail its VFS: the n-th call of one entry of the table fails with an errno, and
// a scenario is run for n = 1, 2, ... of every entry in turn until a run no
// longer reaches the n-th call. Each entry is replaced and put back on its own:
// restoring one leaves every other as it is.
#pragma once

#include <sys/mman.h>

#include <cerrno>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "win32/posix/syscalls.h"

namespace testing_support {

// Replaces one entry of the table while it lives.
template <auto Member>
class SyscallEntryOverride {
public:
    using Pointer = std::remove_reference_t<decltype(posix::Sys().*Member)>;
    explicit SyscallEntryOverride(Pointer replacement) : m_saved(posix::Sys().*Member) {
        posix::Sys().*Member = replacement;
    }
    ~SyscallEntryOverride() { posix::Sys().*Member = m_saved; }
    SyscallEntryOverride(const SyscallEntryOverride&) = delete;
    SyscallEntryOverride& operator=(const SyscallEntryOverride&) = delete;

private:
    Pointer m_saved;
};

template <auto Member, typename Pointer>
struct NthSyscall;

template <auto Member, typename R, typename... A>
struct NthSyscall<Member, R (*)(A...)> {
    static R Call(A... args) {
        ++s_calls;
        if (s_calls == s_failAt) {
            if (s_performs) {
                (posix::RealSyscalls().*Member)(args...);
            }
            errno = s_errno;
            if constexpr (std::is_pointer_v<R>) {
                return static_cast<R>(MAP_FAILED);
            } else {
                return static_cast<R>(-1);
            }
        }
        return (posix::RealSyscalls().*Member)(args...);
    }
    static inline int s_calls = 0;
    static inline int s_failAt = 0;
    static inline int s_errno = 0;
    static inline bool s_performs = false;  // done, then reported failed (a close always lets go)
};

// One entry armed to fail its n-th call.
class ArmedSyscall {
public:
    virtual ~ArmedSyscall() = default;
    // Whether the armed call was reached (and so failed).
    virtual bool Tripped() const = 0;
};

template <auto Member>
class ArmedEntry : public ArmedSyscall {
    using Entry = NthSyscall<Member, std::remove_reference_t<decltype(posix::Sys().*Member)>>;

public:
    ArmedEntry(int failAt, int error, bool performs) : m_override(&Entry::Call) {
        Entry::s_performs = performs;
        Entry::s_calls = 0;
        Entry::s_failAt = failAt;
        Entry::s_errno = error;
    }
    ~ArmedEntry() override { Entry::s_failAt = 0; }
    bool Tripped() const override { return Entry::s_calls >= Entry::s_failAt; }

private:
    SyscallEntryOverride<Member> m_override;
};

struct SyscallEntry {
    const char* name;
    int error;  // what the system would say: EACCES for opens, ENOSPC for writes, ...
    std::function<std::unique_ptr<ArmedSyscall>(int failAt)> arm;
};

// Every entry of the table with the errno it fails with.
const std::vector<SyscallEntry>& SyscallEntries();

// The errno the call named by a FaultCheck failed with ("openat call 2": EACCES); 0 for none.
int InjectedErrno(const std::string& failedCall);

// What one run of a scenario did: ERROR_SUCCESS, or the Win32 code it reported.
using FaultRun = std::function<unsigned long()>;
// Checks the state a run left; `failedCall` names the call that failed, if one did.
using FaultCheck = std::function<void(unsigned long result, const std::string& failedCall)>;

// For every entry and n = 1, 2, ...: `setUp`, then `run` with the n-th call of
// the entry failing, then `check`, until a run no longer reaches the n-th call.
// That last run must succeed. Returns how many failures were taken.
int FailEachSyscall(const std::function<void()>& setUp, const FaultRun& run, const FaultCheck& check,
                    int mostCallsPerEntry = 400);

// What a failed run may leave behind: the entries of a directory (its files, or
// the descriptors of /proc/self/fd), and the processes whose /proc/PID/`file`
// passes `test` (their "environ", say, or their "stat").
size_t DirectoryEntries(const std::string& dir);
int ProcessesWhere(const char* file, const std::function<bool(const std::string& text)>& test);

}  // namespace testing_support
