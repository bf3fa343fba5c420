// The one way the backend opens, creates and reads files on a machine that
// other users share: a file or directory that another user could have put in
// the way is treated as missing or denied, never followed or trusted.
#pragma once

#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "win32/api.h"

namespace posix {

// INI and language files above this size are unreadable: nobody writes one by hand.
constexpr off_t kMaxTextFileSize = 16 * 1024 * 1024;

// ERROR_SUCCESS when a file we opened may be used: a regular file, owned by the
// effective user or by root, not writable by others unless root owns it, and a
// single link when we write to it.
DWORD CheckOpenedFile(const struct stat& info, bool writing);

// ERROR_SUCCESS when every directory from the root down to `dir` is owned by the
// user or root and not writable by others unless sticky. A directory that passed
// is remembered as it was (identity, owner, mode): the next check of it is one
// lstat, and a directory changed since is judged afresh.
DWORD CheckDirectoryChain(const std::string& dir);

// Opens `path` with `flags` (O_CREAT only with O_EXCL; O_NOFOLLOW, O_NONBLOCK
// and O_CLOEXEC are always added) after checking its directories, then checks
// the file itself. A file it creates gets `mode` exactly, whatever the umask.
// -1 and errno when refused (EACCES for what fails a check); `info` is the
// file's status. The directory of an absolute path is held open once checked
// and names are opened below it, so one removed and made again by another user
// is judged afresh before anything is opened in it; every file is checked.
int OpenChecked(const char* path, int flags, mode_t mode, struct stat& info);

// Reads a whole text file of at most kMaxTextFileSize bytes; the errno on
// failure (EFBIG when larger, EACCES when the checks refuse it).
int ReadTextFile(const std::string& path, std::string& text, struct stat& info);

// The directory part of `path`: "." when it has none, "/" for a file of the root.
std::string ParentOf(const std::string& path);

// Reads `fd` to its end onto `text`; 0, or the errno (EFBIG, without the chunk
// that would pass it, when more than `limit` bytes come).
int ReadUpTo(int fd, size_t limit, std::string& text);

// Writes all `size` bytes unless a call fails; the bytes written (errno set
// when short: ENOSPC when the file took none).
size_t WriteFully(int fd, const char* bytes, size_t size);

// How the file that replaces another is made: its exact mode, and an owner to
// give it (-1: the writer's), which must succeed only when `ownerRequired`.
struct Replacement {
    mode_t mode = 0644;
    uid_t owner = static_cast<uid_t>(-1);
    gid_t group = static_cast<gid_t>(-1);
    bool ownerRequired = false;
    bool durable = false;  // on disk (fsync) before the rename
};

// Writes `text` to a new file in the directory `dir` and renames it over
// `name`: readers see the old file or the new one, never a part, and nothing
// is left behind on failure. 0, or the errno.
int ReplaceFileAt(int dir, const std::string& name, const std::string& text, const Replacement& how);

// Makes `dir` with exactly `mode`, whatever the umask, unless a name is there
// already; then opens the directory at the name without following a link. The
// descriptor (`made`: this call made it), or -1 and errno.
int MakeAndOpenDirectory(const std::string& dir, unsigned mode, bool& made);

// Makes `dir` (0700) when missing; true when it is then the user's own with
// that mode (a mode the umask narrowed is put right; a wider one is refused).
bool MakePrivateDirectory(const std::string& dir);

// The effective user's home from the password database; empty when unknown.
std::string PasswordHome();

// Whether the file system holding `fd` (device `device`) has room to spare, so
// that a short append there would take a disk filling within a second by more
// than the headroom. Measured at most once a second per thread.
bool RoomToSpare(int fd, dev_t device);

// While alive, a write past RLIMIT_FSIZE fails with EFBIG in this thread instead
// of raising SIGXFSZ; the process's dispositions and other threads are untouched.
// Costs one getrlimit when there is no limit; `quick` trusts a "no limit" read
// within the last second instead (a limit lowered later is honoured a second on).
class FileSizeGuard {
public:
    explicit FileSizeGuard(bool quick = false);
    ~FileSizeGuard();
    FileSizeGuard(const FileSizeGuard&) = delete;
    FileSizeGuard& operator=(const FileSizeGuard&) = delete;
    // How many writes of this thread have run into the limit so far.
    static unsigned LimitsHit();
    // Whether the process has a file-size limit (as last read).
    bool Limited() const { return m_limited; }

private:
    bool m_limited = false;
    bool m_blocked = false;
    bool m_wasPending = false;
    sigset_t m_old{};
};

}  // namespace posix
