// The Windows half of the log reader: file access and colour on the terminal.
#include "log_file.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <io.h>

#include "qvtr/win32.h"

namespace tool {

void PauseMilliseconds(unsigned ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

namespace {

bool IdentityOf(HANDLE handle, FileIdentity& identity) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info)) {
        return false;
    }
    identity.device = info.dwVolumeSerialNumber;
    identity.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

HANDLE OpenShared(const std::string& path) {
    // Writers append and administrators rename or delete while we read.
    return CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

LogInput::~LogInput() {
    Close();
}

bool LogInput::Open(const std::string& path, std::string& error) {
    Close();
    HANDLE handle = OpenShared(path);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        error = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? "no such file"
                : code == ERROR_ACCESS_DENIED                                ? "access is denied"
                                                                             : "error " + std::to_string(code);
        return false;
    }
    if (GetFileType(handle) != FILE_TYPE_DISK || !IdentityOf(handle, m_identity)) {
        CloseHandle(handle);
        error = "not a regular file";
        return false;
    }
    m_file = reinterpret_cast<intptr_t>(handle);
    return true;
}

void LogInput::Close() {
    if (m_file != -1) {
        CloseHandle(reinterpret_cast<HANDLE>(m_file));
        m_file = -1;
    }
}

bool LogInput::IsOpen() const {
    return m_file != -1;
}

long long LogInput::Read(char* buffer, size_t size) {
    DWORD got = 0;
    const DWORD want = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    if (!ReadFile(reinterpret_cast<HANDLE>(m_file), buffer, want, &got, nullptr)) {
        return -1;
    }
    return got;
}

bool LogInput::Rewind() {
    LARGE_INTEGER zero{};
    return SetFilePointerEx(reinterpret_cast<HANDLE>(m_file), zero, nullptr, FILE_BEGIN) != 0;
}

uint64_t LogInput::Size() const {
    LARGE_INTEGER size{};
    return GetFileSizeEx(reinterpret_cast<HANDLE>(m_file), &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
}

long long LogInput::ReadAt(uint64_t offset, char* buffer, size_t size) const {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFF);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    // A read at an offset moves a synchronous handle's position: put it back.
    LARGE_INTEGER zero{}, position{};
    SetFilePointerEx(reinterpret_cast<HANDLE>(m_file), zero, &position, FILE_CURRENT);
    const BOOL ok = ReadFile(reinterpret_cast<HANDLE>(m_file), buffer, static_cast<DWORD>(size), &got, &at);
    SetFilePointerEx(reinterpret_cast<HANDLE>(m_file), position, nullptr, FILE_BEGIN);
    return ok ? static_cast<long long>(got) : -1;
}

bool ProcessAlive(uint32_t pid) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (process == nullptr) {
        return GetLastError() == ERROR_ACCESS_DENIED;  // it exists, but is not ours to look at
    }
    const bool alive = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return alive;
}

bool IdentityOfPath(const std::string& path, FileIdentity& identity) {
    HANDLE handle = OpenShared(path);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool ok = IdentityOf(handle, identity);
    CloseHandle(handle);
    return ok;
}

bool StdoutIsTerminal() {
    return _isatty(_fileno(stdout)) != 0;
}

bool StdoutTakesColour() {
    if (!_isatty(_fileno(stdout))) {
        return false;
    }
    HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return GetConsoleMode(console, &mode) && SetConsoleMode(console, mode | 0x0004 /* virtual terminal */);
}

}  // namespace tool
