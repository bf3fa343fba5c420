// The Linux half of the log reader: file access and colour on the terminal.
#include "log_file.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tool {

void PauseMilliseconds(unsigned ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

LogInput::~LogInput() {
    Close();
}

bool LogInput::Open(const std::string& path, std::string& error) {
    Close();
    // Non-blocking, so that a FIFO planted at the path cannot hang the reader.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        error = "not a regular file";
        return false;
    }
    m_identity.device = static_cast<uint64_t>(info.st_dev);
    m_identity.index = static_cast<uint64_t>(info.st_ino);
    m_file = fd;
    return true;
}

void LogInput::Close() {
    if (m_file >= 0) {
        ::close(static_cast<int>(m_file));
        m_file = -1;
    }
}

bool LogInput::IsOpen() const {
    return m_file >= 0;
}

long long LogInput::Read(char* buffer, size_t size) {
    for (;;) {
        const ssize_t got = ::read(static_cast<int>(m_file), buffer, size);
        if (got >= 0 || errno != EINTR) {
            return got;
        }
    }
}

bool LogInput::Rewind() {
    return ::lseek(static_cast<int>(m_file), 0, SEEK_SET) == 0;
}

uint64_t LogInput::Size() const {
    struct stat info {};
    return ::fstat(static_cast<int>(m_file), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
}

long long LogInput::ReadAt(uint64_t offset, char* buffer, size_t size) const {
    for (;;) {
        const ssize_t got = ::pread(static_cast<int>(m_file), buffer, size, static_cast<off_t>(offset));
        if (got >= 0 || errno != EINTR) {
            return got;
        }
    }
}

bool ProcessAlive(uint32_t pid) {
    return pid == 0 || ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
}

bool IdentityOfPath(const std::string& path, FileIdentity& identity) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return false;
    }
    identity.device = static_cast<uint64_t>(info.st_dev);
    identity.index = static_cast<uint64_t>(info.st_ino);
    return true;
}

bool StdoutIsTerminal() {
    return ::isatty(STDOUT_FILENO) != 0;
}

bool StdoutTakesColour() {
    const char* term = std::getenv("TERM");
    return ::isatty(STDOUT_FILENO) && !(term != nullptr && std::strcmp(term, "dumb") == 0);
}

}  // namespace tool
