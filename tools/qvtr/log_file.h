// The few file and terminal operations `qvtr log` needs, on either platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tool {

// Which file a path names: a replaced file has another identity.
struct FileIdentity {
    uint64_t device = 0;
    uint64_t index = 0;
    bool operator==(const FileIdentity& other) const { return device == other.device && index == other.index; }
    bool operator!=(const FileIdentity& other) const { return !(*this == other); }
};

// A regular file opened for reading, shared with its writers.
class LogInput {
public:
    LogInput() = default;
    ~LogInput();
    LogInput(const LogInput&) = delete;
    LogInput& operator=(const LogInput&) = delete;

    // False with a readable reason for a missing, unreadable or non-regular file.
    bool Open(const std::string& path, std::string& error);
    void Close();
    bool IsOpen() const;
    // Bytes read, 0 at the end, -1 on an error.
    long long Read(char* buffer, size_t size);
    bool Rewind();
    uint64_t Size() const;
    // Bytes at `offset`, without moving the reading position; -1 on an error.
    long long ReadAt(uint64_t offset, char* buffer, size_t size) const;
    FileIdentity Identity() const { return m_identity; }

private:
    intptr_t m_file = -1;  // the platform's own: a descriptor, or a HANDLE; -1 when closed
    FileIdentity m_identity;
};

// The identity of the file a path names now; false when there is none.
bool IdentityOfPath(const std::string& path, FileIdentity& identity);

void PauseMilliseconds(unsigned ms);

// Whether standard output is a terminal that shows ANSI colours.
bool StdoutTakesColour();

// Whether a process of this machine with that id still runs (true when unknown).
bool ProcessAlive(uint32_t pid);

// Whether standard output is a terminal (whose control sequences a log must not reach).
bool StdoutIsTerminal();

}  // namespace tool
