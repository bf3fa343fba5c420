// The Windows half of bounded reads of regular files and safe replacement of an output file.
#include "read_file.h"

#include "qvtr/win32.h"

namespace tool {

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

bool UsableOutput(const std::string& path, bool& exists, std::string& reason) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        reason = "is a directory";
        return false;
    }
    if (exists && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        reason = "is a link";
        return false;
    }
    return true;
}

bool ReplaceFile(const std::string& path, const std::string& bytes, std::string& reason) {
    const std::string temporary = path + ".qvtr-" + std::to_string(GetCurrentProcessId()) + ".tmp";
    HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        reason = "cannot be written";
        return false;
    }
    DWORD written = 0;
    bool ok = bytes.empty() || (WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                                written == bytes.size());
    ok = CloseHandle(file) && ok;
    ok = ok && MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
    if (!ok) {
        DeleteFileA(temporary.c_str());
        reason = "cannot be written";
    }
    return ok;
}

}  // namespace tool
