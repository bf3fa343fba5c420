// Files, errors, local memory, system messages, clock and names: the kernel32
// operations that Linux has directly.
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <typeinfo>

#include "win32/posix/places.h"
#include "win32/posix/posix.h"
#include "win32/posix/safe_files.h"
#include "win32/posix/syscalls.h"

namespace posix {

namespace {

thread_local DWORD t_lastError = 0;

// ---- errors -----------------------------------------------------------------

void WINAPI SetLastErrorImpl(DWORD code) {
    t_lastError = code;
}
DWORD WINAPI GetLastErrorImpl() {
    return t_lastError;
}

// ---- process id -------------------------------------------------------------

// getpid is a real system call here; the trace writer asks for it per line.
DWORD g_processId = 0;

void ResetProcessId() {
    g_processId = static_cast<DWORD>(getpid());
}

DWORD WINAPI GetCurrentProcessIdImpl() {
    static const bool registered = [] {
        ResetProcessId();
        pthread_atfork(nullptr, nullptr, ResetProcessId);
        return true;
    }();
    (void)registered;
    return g_processId;
}

HANDLE WINAPI GetCurrentProcessImpl() {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}

// ---- strings ----------------------------------------------------------------

// Copies `text` into a caller's buffer the way the *A functions do: the length
// without the terminator on success, the size needed (terminator included) when
// the buffer is too small.
DWORD CopyOut(const std::string& text, LPSTR buffer, DWORD size) {
    if (buffer == nullptr || text.size() + 1 > size) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return static_cast<DWORD>(text.size() + 1);
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return Succeed(static_cast<DWORD>(text.size()));
}

int WINAPI lstrcmpAImpl(LPCSTR a, LPCSTR b) {
    const int result = std::strcmp(a ? a : "", b ? b : "");
    return (result > 0) - (result < 0);
}

int WINAPI lstrlenAImpl(LPCSTR text) {
    return text ? static_cast<int>(std::strlen(text)) : 0;
}

// ---- temporary path ---------------------------------------------------------

DWORD WINAPI GetTempPathAImpl(DWORD size, LPSTR buffer) {
    std::string path = TemporaryDirectory();
    if (path.empty()) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    if (path.back() != '/') {
        path += '/';
    }
    return CopyOut(path, buffer, size);
}

// ---- files --------------------------------------------------------------------

struct FileObject : KernelObject {
    FileObject(int descriptor, bool appendOnly, const struct stat& info)
        : fd(descriptor), append(appendOnly), end(info.st_size), device(info.st_dev) {}
    ~FileObject() override { Sys().close(fd); }
    int fd;
    bool append;  // opened with O_APPEND: writes are whole or not at all
    off_t end;    // append-only: the end as last seen, -1 when unknown (the kernel writes at the true end anyway)
    dev_t device;
};

int OpenFlags(DWORD access) {
    const bool read = (access & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA)) != 0;
    const bool write = (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA)) != 0;
    const bool append = (access & FILE_APPEND_DATA) != 0;
    int flags = O_CLOEXEC;
    if (append && !write) {
        // Append-only access: every write lands at the end, atomically.
        flags |= O_APPEND;
    }
    if ((write || append) && read) {
        flags |= O_RDWR;
    } else if (write || append) {
        flags |= O_WRONLY;
    } else {
        flags |= O_RDONLY;
    }
    return flags;
}

// Opens with the Win32 creation disposition; `existed` says whether the file was there.
// New files are the owner's alone, as in a Windows profile directory.
int OpenWithDisposition(const char* path, int flags, DWORD disposition, bool& existed, struct stat& info) {
    constexpr mode_t kNewFileMode = 0600;
    int fd = -1;
    switch (disposition) {
        case CREATE_NEW:
            existed = false;
            return OpenChecked(path, flags | O_CREAT | O_EXCL, kNewFileMode, info);
        case OPEN_EXISTING:
        case TRUNCATE_EXISTING:
            existed = true;
            fd = OpenChecked(path, flags, 0, info);
            break;
        case OPEN_ALWAYS:
        case CREATE_ALWAYS:
            for (;;) {
                // The common case, an existing file, costs one open.
                fd = OpenChecked(path, flags, 0, info);
                if (fd >= 0 || errno != ENOENT) {
                    existed = fd >= 0;
                    break;
                }
                fd = OpenChecked(path, flags | O_CREAT | O_EXCL, kNewFileMode, info);
                if (fd >= 0 || errno != EEXIST) {
                    existed = false;
                    break;
                }
            }
            break;
        default:
            errno = EINVAL;
            return -1;
    }
    // Truncated only once the checks passed: never another user's file.
    const bool truncate = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
    if (fd >= 0 && existed && truncate && info.st_size != 0 && Sys().ftruncate(fd, 0) != 0) {
        const int error = errno;
        Sys().close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

HANDLE WINAPI CreateFileAImpl(LPCSTR name, DWORD access, DWORD /*share*/, LPSECURITY_ATTRIBUTES, DWORD disposition,
                              DWORD /*flags*/, HANDLE) {
    if (name == nullptr || *name == '\0') {
        SetError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    bool existed = false;
    // Most paths are native already; only Windows separators need a copy.
    const std::string converted = std::strchr(name, '\\') ? NativePath(name) : std::string();
    const char* path = converted.empty() ? name : converted.c_str();
    const int flags = OpenFlags(access);
    struct stat info {};
    const int fd = OpenWithDisposition(path, flags, disposition, existed, info);
    if (fd < 0) {
        SetErrorFromErrno(disposition != OPEN_EXISTING && disposition != TRUNCATE_EXISTING ? ErrnoAs::kCreate
                                                                                           : ErrnoAs::kOpen);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = InsertHandle(std::make_shared<FileObject>(fd, (flags & O_APPEND) != 0, info));
    const bool reportsExisting = disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS;
    SetError(reportsExisting && existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

std::shared_ptr<FileObject> FileOf(HANDLE handle) {
    // An exact type check: FileObject has no subclasses, and it is cheaper than a dynamic cast.
    std::shared_ptr<KernelObject> object = LookupHandle(handle);
    if (!object) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    const KernelObject& found = *object;
    if (typeid(found) != typeid(FileObject)) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    return std::static_pointer_cast<FileObject>(object);
}

DWORD WINAPI SetFilePointerImpl(HANDLE handle, LONG distance, PLONG high, DWORD method) {
    auto file = FileOf(handle);
    if (!file) {
        return INVALID_SET_FILE_POINTER;
    }
    off_t offset = high ? (static_cast<off_t>(*high) << 32) | static_cast<uint32_t>(distance) : distance;
    const int whence = method == FILE_BEGIN ? SEEK_SET : method == FILE_CURRENT ? SEEK_CUR : SEEK_END;
    if (method > FILE_END) {
        SetError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    // Append-only: every write lands at the end whatever the position, so the end
    // the open saw answers a seek there without another system call.
    const bool toEnd = file->append && offset == 0 && method == FILE_END;
    const off_t position = toEnd && file->end >= 0 ? file->end : Sys().lseek(file->fd, offset, whence);
    if (position < 0) {
        SetErrorFromErrno(ErrnoAs::kSeek);
        return INVALID_SET_FILE_POINTER;
    }
    if (toEnd) {
        file->end = position;
    }
    if (high) {
        *high = static_cast<LONG>(position >> 32);
    }
    return Succeed(static_cast<DWORD>(position & 0xFFFFFFFF));
}

void LockWholeFile(int fd) {
    while (Sys().flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
}

// A short write (a full disk, the size limit) is cut off again, so that a line
// lands whole or not at all. An appender near a limit holds the file's lock while
// it writes, so that no one else's line can follow its short one before the cut.
// Far from every limit a line cannot come out short, and the lock (a fifth of a
// line's cost) is left out; a short write there after all (a quota, a disk filled
// within the second) still cuts its own bytes, and only while they are the end.
// The lock goes with the handle's close, which follows the trace's write.
DWORD AppendWhole(FileObject& file, const char* bytes, DWORD size, bool sizeLimited) {
    const int fd = file.fd;
    const bool locked = sizeLimited || !RoomToSpare(fd, file.device);
    if (locked) {
        LockWholeFile(fd);
    }
    auto done = static_cast<DWORD>(WriteFully(fd, bytes, size));
    if (done < size) {
        const int error = errno;
        if (!locked) {
            LockWholeFile(fd);
        }
        const off_t end = Sys().lseek(fd, 0, SEEK_CUR);
        struct stat now {};
        if (done > 0 && end >= static_cast<off_t>(done) && Sys().fstat(fd, &now) == 0 && now.st_size == end) {
            Sys().ftruncate(fd, end - static_cast<off_t>(done));
        }
        done = 0;
        errno = error;
    }
    if (file.end >= 0) {
        file.end += static_cast<off_t>(done);
    }
    return done;
}

BOOL WINAPI WriteFileImpl(HANDLE handle, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED) {
    auto file = FileOf(handle);
    if (written) {
        *written = 0;
    }
    if (!file) {
        return FALSE;
    }
    const char* bytes = static_cast<const char*>(data);
    // The host's process owns SIGXFSZ: past the size limit a write fails instead.
    FileSizeGuard guard(true);
    const DWORD done = file->append ? AppendWhole(*file, bytes, size, guard.Limited())
                                    : static_cast<DWORD>(WriteFully(file->fd, bytes, size));
    if (written) {
        *written = done;
    }
    if (done < size) {
        SetErrorFromErrno();
        return FALSE;
    }
    return Succeed(TRUE);
}

BOOL WINAPI ReadFileImpl(HANDLE handle, LPVOID data, DWORD size, LPDWORD read, LPOVERLAPPED) {
    auto file = FileOf(handle);
    if (read) {
        *read = 0;
    }
    if (!file) {
        return FALSE;
    }
    ssize_t n;
    do {
        n = Sys().read(file->fd, data, size);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        SetErrorFromErrno();
        return FALSE;
    }
    if (read) {
        *read = static_cast<DWORD>(n);
    }
    return Succeed(TRUE);
}

BOOL WINAPI CloseHandleImpl(HANDLE handle) {
    if (!RemoveHandle(handle)) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    return TRUE;
}

// ---- debugger output ------------------------------------------------------------

// There is no debugger to attach; QVTR_DEBUG_OUTPUT sends the text to stderr.
void WINAPI OutputDebugStringAImpl(LPCSTR text) {
    if (text == nullptr || std::getenv("QVTR_DEBUG_OUTPUT") == nullptr) {
        return;
    }
    const size_t length = std::strlen(text);
    size_t done = 0;
    while (done < length) {
        const ssize_t n = Sys().write(STDERR_FILENO, text + done, length - done);
        if (n <= 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
}

// ---- local memory ---------------------------------------------------------------

HLOCAL WINAPI LocalAllocImpl(UINT flags, SIZE_T size) {
    void* block = (flags & LMEM_ZEROINIT) ? std::calloc(1, size ? size : 1) : std::malloc(size ? size : 1);
    if (block == nullptr) {
        SetError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return block;
}

HLOCAL WINAPI LocalFreeImpl(HLOCAL block) {
    std::free(block);
    return nullptr;
}

size_t HeapBlockSize(void* block) {
    return block ? malloc_usable_size(block) : 0;
}

// ---- system messages --------------------------------------------------------------

struct Message {
    DWORD code;
    const char* text;
};

// The English texts of Windows, for the codes the layer and this backend can meet.
constexpr Message kMessages[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {13, "The data is invalid."},
    {14, "Not enough memory resources are available to complete this operation."},
    {18, "There are no more files."},
    {32, "The process cannot access the file because it is being used by another process."},
    {33, "The process cannot access the file because another process has locked a portion of the file."},
    {50, "The request is not supported."},
    {53, "The network path was not found."},
    {80, "The file exists."},
    {87, "The parameter is incorrect."},
    {112, "There is not enough space on the disk."},
    {120, "This function is not supported on this system."},
    {122, "The data area passed to a system call is too small."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {124, "The system call level is not correct."},
    {126, "The specified module could not be found."},
    {127, "The specified procedure could not be found."},
    {131, "An attempt was made to move the file pointer before the beginning of the file."},
    {161, "The specified path is invalid."},
    {170, "The requested resource is in use."},
    {183, "Cannot create a file when that file already exists."},
    {206, "The filename or extension is too long."},
    {223, "The file size exceeds the limit allowed and cannot be saved."},
    {234, "More data is available."},
    {259, "No more data is available."},
    {288, "Attempt to release mutex not owned by caller."},
    {487, "Attempt to access invalid address."},
    {1009, "The configuration registry database is corrupt."},
    {1010, "The configuration registry key is invalid."},
    {1011, "The configuration registry key could not be opened."},
    {1012, "The configuration registry key could not be read."},
    {1013, "The configuration registry key could not be written."},
    {1015,
     "The registry is corrupted. The structure of one of the files containing registry data is corrupted, or "
     "the system's memory image of the file is corrupted, or the file could not be recovered because the "
     "alternate copy or log was absent or corrupted."},
    {1016,
     "An I/O operation initiated by the registry failed unrecoverably. The registry could not read in, or write "
     "out, or flush, one of the files that contain the system's image of the registry."},
    {1018, "Illegal operation attempted on a registry key that has been marked for deletion."},
    {1020, "An attempt was made to create a symbolic link in a registry key that already has subkeys or values."},
    {1051, "A stop control has been sent to a service that other running services are dependent on."},
    {1052, "The requested control is not valid for this service."},
    {1053, "The service did not respond to the start or control request in a timely fashion."},
    {1056, "An instance of the service is already running."},
    {1058,
     "The service cannot be started, either because it is disabled or because it has no enabled devices "
     "associated with it."},
    {1060, "The specified service does not exist as an installed service."},
    {1062, "The service has not been started."},
    {1065, "The database specified does not exist."},
    {1067, "The process terminated unexpectedly."},
    {1069, "The service did not start due to a logon failure."},
    {1072, "The specified service has been marked for deletion."},
    {1073, "The specified service already exists."},
    {1113, "No mapping for the Unicode character exists in the target multi-byte code page."},
    {1168, "Element not found."},
    {1305, "The revision level is unknown."},
    {1332, "No mapping between account names and security IDs was done."},
    {1722, "The RPC server is unavailable."},
    {0x80004001, "Not implemented"},
    {0x80004005, "Unspecified error"},
    {0x800401F3, "Invalid class string"},
};

const char* FindMessage(DWORD code) {
    for (const Message& message : kMessages) {
        if (message.code == code) {
            return message.text;
        }
    }
    return nullptr;
}

DWORD WINAPI FormatMessageAImpl(DWORD flags, LPCVOID source, DWORD code, DWORD /*language*/, LPSTR buffer, DWORD size,
                                va_list*) {
    std::string text;
    if (flags & FORMAT_MESSAGE_FROM_STRING) {
        text = source ? static_cast<const char*>(source) : "";
    } else if (flags & FORMAT_MESSAGE_FROM_SYSTEM) {
        const char* found = FindMessage(code);
        if (found == nullptr) {
            return Fail(ERROR_MR_MID_NOT_FOUND);
        }
        text = std::string(found) + "\r\n";
    } else {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        // `buffer` is really a pointer to the pointer that receives the text.
        char* block = static_cast<char*>(LocalAllocImpl(LMEM_FIXED, std::max<size_t>(text.size() + 1, size)));
        if (block == nullptr) {
            return 0;
        }
        std::memcpy(block, text.c_str(), text.size() + 1);
        *reinterpret_cast<char**>(buffer) = block;
    } else {
        if (buffer == nullptr || text.size() + 1 > size) {
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        }
        std::memcpy(buffer, text.c_str(), text.size() + 1);
    }
    return Succeed(static_cast<DWORD>(text.size()));
}

// ---- clock ------------------------------------------------------------------------

DWORD WINAPI GetTickCountImpl() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<DWORD>(ms);
}

void WINAPI SleepImpl(DWORD ms) {
    timespec wait{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

// ---- computer name ----------------------------------------------------------------

// The NetBIOS form of the host name: up to the first dot, upper case, at most 15
// characters. QVTR_COMPUTERNAME names the machine for tests and demonstrations.
std::string ComputerName() {
    const char* forced = std::getenv("QVTR_COMPUTERNAME");
    std::string name;
    if (forced != nullptr) {
        name = forced;
    } else {
        char host[256] = {};
        gethostname(host, sizeof host - 1);
        name = host;
        name = name.substr(0, name.find('.'));
    }
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::toupper(c); });
    return name.substr(0, MAX_COMPUTERNAME_LENGTH);
}

BOOL WINAPI GetComputerNameAImpl(LPSTR buffer, LPDWORD size) {
    if (size == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const std::string name = ComputerName();
    if (buffer == nullptr || name.size() + 1 > *size) {
        *size = static_cast<DWORD>(name.size() + 1);
        return Fail(ERROR_BUFFER_OVERFLOW);
    }
    std::memcpy(buffer, name.c_str(), name.size() + 1);
    *size = static_cast<DWORD>(name.size());
    return Succeed(TRUE);
}

}  // namespace

void SetError(DWORD code) {
    t_lastError = code;
}

DWORD Error() {
    return t_lastError;
}

namespace {

// The answers of the named variants, or ERROR_SUCCESS where the general one holds.
DWORD ErrnoInContext(int error, ErrnoAs as) {
    const bool missing = error == ENOENT || error == ENOTDIR;
    switch (as) {
        case ErrnoAs::kCreate:
            return error == EEXIST ? ERROR_FILE_EXISTS : error == ENOENT ? ERROR_PATH_NOT_FOUND : ERROR_SUCCESS;
        case ErrnoAs::kOpen:
            return error == EEXIST ? ERROR_FILE_EXISTS : ERROR_SUCCESS;
        case ErrnoAs::kDirectory:
            return missing ? ERROR_PATH_NOT_FOUND : ERROR_SUCCESS;
        case ErrnoAs::kTrustCheck:
            return missing ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED;
        case ErrnoAs::kSeek:
            return error == EINVAL ? ERROR_NEGATIVE_SEEK : ERROR_SUCCESS;
        case ErrnoAs::kGeneral:
            break;
    }
    return ERROR_SUCCESS;
}

}  // namespace

DWORD ErrnoToWin32(int error, ErrnoAs as) {
    if (error != 0) {
        if (const DWORD special = ErrnoInContext(error, as)) {
            return special;
        }
    }
    switch (error) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
            return ERROR_ACCESS_DENIED;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EEXIST:
            return ERROR_ALREADY_EXISTS;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return ERROR_DISK_FULL;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case EBUSY:
            return ERROR_BUSY;
        case ENOTEMPTY:
            return ERROR_DIR_NOT_EMPTY;
        case EPIPE:
            return ERROR_BROKEN_PIPE;
        case ENOSYS:
            return ERROR_CALL_NOT_IMPLEMENTED;
        case EAGAIN:
            return ERROR_LOCK_VIOLATION;
        default:
            return ERROR_INVALID_FUNCTION;
    }
}

DWORD SetErrorFromErrno(ErrnoAs as) {
    const DWORD code = ErrnoToWin32(errno, as);
    SetError(code);
    return code;
}

std::string NativePath(const char* path) {
    std::string native = path ? path : "";
    std::replace(native.begin(), native.end(), '\\', '/');
    return native;
}

std::string FindProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        return name;
    }
    const char* search = std::getenv("PATH");
    std::istringstream path(search != nullptr && *search != '\0' ? search : "/usr/local/bin:/usr/bin:/bin");
    for (std::string dir; std::getline(path, dir, ':');) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (Sys().access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return std::string();
}

void BindCore(Win32Api& t) {
    t.GetTempPathA = GetTempPathAImpl;
    t.GetCurrentProcessId = GetCurrentProcessIdImpl;
    t.GetCurrentProcess = GetCurrentProcessImpl;

    t.CreateFileA = CreateFileAImpl;
    t.SetFilePointer = SetFilePointerImpl;
    t.WriteFile = WriteFileImpl;
    t.ReadFile = ReadFileImpl;
    t.CloseHandle = CloseHandleImpl;

    t.OutputDebugStringA = OutputDebugStringAImpl;
    t.GetLastError = GetLastErrorImpl;
    t.SetLastError = SetLastErrorImpl;
    t.FormatMessageA = FormatMessageAImpl;

    t.LocalAlloc = LocalAllocImpl;
    t.LocalFree = LocalFreeImpl;
    t._msize = HeapBlockSize;

    t.GetTickCount = GetTickCountImpl;
    t.Sleep = SleepImpl;
    t.GetComputerNameA = GetComputerNameAImpl;
    t.lstrcmpA = lstrcmpAImpl;
    t.lstrlenA = lstrlenAImpl;
}

}  // namespace posix
