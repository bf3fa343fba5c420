// Profile (INI) functions: GetPrivateProfileStringA, GetPrivateProfileIntA and
// WritePrivateProfileStringA over our own reader (ini_file.h).
//
// Reads keep parsed files in memory, but every call stats the file and re-reads
// it unless device, inode, size, mtime and ctime all match what was parsed.
// Timestamps are coarse (a kernel tick, two seconds on FAT), so a file changed
// within two seconds of being read is never trusted from memory: git's answer
// to racily clean index entries. Writes go to a temporary file in the same
// directory, renamed over the original, under a lock on the directory.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "win32/posix/ini_file.h"
#include "win32/posix/places.h"
#include "win32/posix/posix.h"
#include "win32/posix/safe_files.h"
#include "win32/posix/syscalls.h"

namespace posix {

namespace {

constexpr size_t kCachedFiles = 16;
constexpr mode_t kNewProfileMode = 0644;
constexpr off_t kCacheableSize = 4 << 20;
constexpr int64_t kRacyNs = 2'000'000'000;

int64_t Nanoseconds(const timespec& t) {
    return static_cast<int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

int64_t Now() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return Nanoseconds(now);
}

struct Signature {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    int64_t mtime = 0;
    int64_t ctime = 0;

    explicit Signature(const struct stat& info)
        : device(info.st_dev),
          inode(info.st_ino),
          size(info.st_size),
          mtime(Nanoseconds(info.st_mtim)),
          ctime(Nanoseconds(info.st_ctim)) {}

    bool operator==(const Signature& o) const {
        return device == o.device && inode == o.inode && size == o.size && mtime == o.mtime && ctime == o.ctime;
    }
};

// Closes a descriptor when it goes out of scope.
class Fd {
public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0) {
            Sys().close(m_fd);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

// ---- paths --------------------------------------------------------------------

bool IsBareName(const char* name) {
    return std::strpbrk(name, "/\\") == nullptr;
}

std::string ProfilePath(const char* name) {
    if (name == nullptr) {
        name = "win.ini";
    }
    return IsBareName(name) ? WindowsDirectory() + name : NativePath(name);
}

// ERROR_FILE_NOT_FOUND when only the file is missing, ERROR_PATH_NOT_FOUND when its directory is.
DWORD MissingError(const std::string& path) {
    struct stat info {};
    return Sys().fstatat(AT_FDCWD, ParentOf(path).c_str(), &info, 0) == 0 && S_ISDIR(info.st_mode)
               ? ERROR_FILE_NOT_FOUND
               : ERROR_PATH_NOT_FOUND;
}

DWORD OpenError(int error, const std::string& path) {
    if (error == EFBIG) {
        return ERROR_FILE_TOO_LARGE;
    }
    return (error == ENOENT || error == ENOTDIR) ? MissingError(path) : ErrnoToWin32(error);
}

// ---- parsed files ---------------------------------------------------------------

struct Lookup {
    std::shared_ptr<const ini::IniFile> file;  // null when it could not be read
    DWORD error = ERROR_SUCCESS;
};

class ProfileCache {
public:
    Lookup Get(const std::string& path) {
        struct stat info {};
        if (Sys().fstatat(AT_FDCWD, path.c_str(), &info, 0) != 0) {
            return {nullptr, OpenError(errno, path)};
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const auto it = m_entries.find(path);
            if (it != m_entries.end() && it->second.trusted && it->second.signature == Signature(info)) {
                it->second.used = ++m_clock;
                return {it->second.file, ERROR_SUCCESS};
            }
        }
        return Load(path);
    }

    void Forget(const std::string& path) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_entries.erase(path);
    }

    void Clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_entries.clear();
    }

private:
    struct Entry {
        std::shared_ptr<const ini::IniFile> file;
        Signature signature;
        bool trusted;
        uint64_t used;
    };

    Lookup Load(const std::string& path) {
        std::string text;
        struct stat info {};
        const int64_t readAt = Now();
        if (const int error = ReadTextFile(path, text, info)) {
            return {nullptr, OpenError(error, path)};
        }
        auto file = std::make_shared<const ini::IniFile>(std::move(text));
        if (info.st_size <= kCacheableSize) {
            const Signature signature(info);
            const bool trusted = std::max(signature.mtime, signature.ctime) + kRacyNs < readAt;
            Store(path, Entry{file, signature, trusted, 0});
        }
        return {file, ERROR_SUCCESS};
    }

    void Store(const std::string& path, Entry entry) {
        std::lock_guard<std::mutex> lock(m_mutex);
        entry.used = ++m_clock;
        m_entries.insert_or_assign(path, std::move(entry));
        if (m_entries.size() > kCachedFiles) {
            auto oldest = m_entries.begin();
            for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
                if (it->second.used < oldest->second.used) {
                    oldest = it;
                }
            }
            m_entries.erase(oldest);
        }
    }

    std::mutex m_mutex;
    std::unordered_map<std::string, Entry> m_entries;
    uint64_t m_clock = 0;
};

ProfileCache& Cache() {
    static ProfileCache cache;
    return cache;
}

// ---- writing --------------------------------------------------------------------

// Symbolic links stay links: the file they point at is the one replaced.
std::string WriteTarget(const std::string& path) {
    struct stat info {};
    if (Sys().fstatat(AT_FDCWD, path.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode)) {
        if (char* real = realpath(path.c_str(), nullptr)) {
            std::string target = real;
            std::free(real);
            return target;
        }
    }
    return path;
}

// A new file is readable by every user (the module's INI beside it is every
// user's configuration) and written by its owner alone, whatever the umask; a
// file replaced keeps its mode and, where we may give it, its owner.
bool ReplaceContents(int dir, const std::string& base, const std::string& text, const struct stat* original) {
    Replacement how;
    how.mode = original ? original->st_mode : kNewProfileMode;
    how.owner = original ? original->st_uid : static_cast<uid_t>(-1);
    how.group = original ? original->st_gid : static_cast<gid_t>(-1);
    how.durable = true;
    if (const int error = ReplaceFileAt(dir, base, text, how)) {
        return Fail(ErrnoToWin32(error));
    }
    return true;
}

std::mutex g_writeMutex;

using Edit = std::function<std::string(const ini::IniFile&)>;

BOOL Rewrite(const std::string& path, const Edit& edit) {
    std::lock_guard<std::mutex> guard(g_writeMutex);
    const std::string target = WriteTarget(path);
    const size_t slash = target.rfind('/');
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    Fd dir(Sys().open(ParentOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    if (dir.get() < 0) {
        SetErrorFromErrno(ErrnoAs::kDirectory);
        return FALSE;
    }
    Sys().flock(dir.get(), LOCK_EX);  // other processes writing files of this directory wait
    std::string text;
    struct stat info {};
    const int error = ReadTextFile(target, text, info);
    if (error != 0 && error != ENOENT) {
        return Fail(ErrnoToWin32(error));
    }
    // The rename would not ask, so a read-only file is refused here, as Windows refuses it.
    if (error == 0 && faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
        SetErrorFromErrno();
        return FALSE;
    }
    const ini::IniFile file(std::move(text));
    const std::string updated = edit(file);
    if (updated != file.Text()) {
        if (!ReplaceContents(dir.get(), base, updated, error == 0 ? &info : nullptr)) {
            return FALSE;
        }
        Cache().Forget(path);
        Cache().Forget(target);
    }
    return Succeed(TRUE);
}

// ---- the Win32 entry points ----------------------------------------------------

DWORD CopyText(std::string_view text, LPSTR buffer, DWORD size) {
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    const size_t n = std::min<size_t>(text.size(), size - 1);
    text.copy(buffer, n);
    buffer[n] = '\0';
    return static_cast<DWORD>(n);
}

DWORD WINAPI GetPrivateProfileStringAImpl(LPCSTR section, LPCSTR key, LPCSTR defaultText, LPSTR buffer, DWORD size,
                                          LPCSTR fileName) {
    try {
        const Lookup lookup = Cache().Get(ProfilePath(fileName));
        const std::string_view fallback = ini::EffectiveDefault(defaultText);
        DWORD count;
        if (lookup.file || lookup.error == ERROR_FILE_NOT_FOUND) {
            count = ini::ReadString(lookup.file.get(), section, key, fallback, buffer, size);
        } else {
            count = CopyText(fallback, buffer, size);  // unreadable: the default as given
        }
        SetError(lookup.error);
        return count;
    } catch (...) {
        SetError(ERROR_NOT_ENOUGH_MEMORY);
        return CopyText("", buffer, size);
    }
}

UINT WINAPI GetPrivateProfileIntAImpl(LPCSTR section, LPCSTR key, INT defaultValue, LPCSTR fileName) {
    char text[30];
    const DWORD count = GetPrivateProfileStringAImpl(section, key, "", text, sizeof text, fileName);
    return count == 0 ? static_cast<UINT>(defaultValue) : ini::ParseInt(std::string_view(text, count));
}

BOOL WINAPI WritePrivateProfileStringAImpl(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR fileName) {
    try {
        if (!section && !key && !value) {
            // Every write is already on disk; Windows reports a flush as FALSE, with no error.
            Cache().Clear();
            SetError(ERROR_SUCCESS);
            return FALSE;
        }
        if (section == nullptr) {
            return Fail(ERROR_FILE_NOT_FOUND);
        }
        if (!ini::IsWritableSection(section) || (key && !ini::IsWritableKey(key)) ||
            (value && !ini::IsWritableValue(value))) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        const std::string path = ProfilePath(fileName);
        const Edit edit = [&](const ini::IniFile& file) {
            if (key == nullptr) {
                return file.WithoutSection(section);
            }
            return value == nullptr ? file.WithoutKey(section, key) : file.WithValue(section, key, value);
        };
        // A write that would change nothing (the module writes its log path back
        // at every start) costs a look at the file it already read, no lock.
        const Lookup known = Cache().Get(path);
        if (known.file != nullptr && edit(*known.file) == known.file->Text() &&
            faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0) {
            return Succeed(TRUE);
        }
        if (fileName == nullptr || IsBareName(fileName)) {
            MakeTrustedDirectory(WindowsDirectory(), 0700);
        }
        return Rewrite(path, edit);
    } catch (...) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
}

}  // namespace

void BindProfile(Win32Api& t) {
    t.GetPrivateProfileStringA = GetPrivateProfileStringAImpl;
    t.GetPrivateProfileIntA = GetPrivateProfileIntAImpl;
    t.WritePrivateProfileStringA = WritePrivateProfileStringAImpl;
}

}  // namespace posix
