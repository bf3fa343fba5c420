#include "read_file.h"

#if defined(_WIN32)
#include "qvtr/win32.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace tool {

namespace {

std::string TooLarge(size_t limit) {
    return "larger than " + std::to_string(limit >> 20) + " MiB";
}

}  // namespace

#if defined(_WIN32)

bool ReadRegularFile(const std::string& path, size_t limit, std::string& bytes, std::string& reason) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        reason = "is a directory";
        return false;
    }
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        reason = GetLastError() == ERROR_FILE_NOT_FOUND ? "no such file" : "cannot be opened";
        return false;
    }
    bool ok = GetFileType(file) == FILE_TYPE_DISK;
    reason = ok ? "" : "not a regular file";
    LARGE_INTEGER size{};
    if (ok && (!GetFileSizeEx(file, &size) || static_cast<unsigned long long>(size.QuadPart) > limit)) {
        reason = TooLarge(limit);
        ok = false;
    }
    if (ok) {
        bytes.resize(static_cast<size_t>(size.QuadPart));
        DWORD got = 0;
        ok = bytes.empty() ||
             (ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &got, nullptr) && got == bytes.size());
        reason = ok ? "" : "read failed";
    }
    CloseHandle(file);
    return ok;
}

#else

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

#endif

}  // namespace tool
