#include "win32/posix/places.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "win32/posix/safe_files.h"
#include "win32/posix/syscalls.h"

namespace posix {

namespace {

const char kMachineHive[] = "/var/lib/qvtr/machine.db";

// An absolute directory the user named in the environment, when it passes the
// checks; one still to be made (`missing`) is checked as it is made and opened.
std::string CheckedVariable(const char* name, bool missing = false) {
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] != '/') {
        return std::string();
    }
    const DWORD error = CheckDirectoryChain(value);
    return error == ERROR_SUCCESS || (missing && error == ERROR_PATH_NOT_FOUND) ? value : std::string();
}

std::string Trimmed(std::string dir) {
    while (dir.size() > 1 && dir.back() == '/') {
        dir.pop_back();
    }
    return dir;
}

// Makes one directory and gives it exactly `mode`, whatever the umask; true
// when a real directory is then there (whose it is, the chain check decides).
bool MakeOneDirectory(const std::string& dir, unsigned mode) {
    bool made = false;
    const int fd = MakeAndOpenDirectory(dir, mode, made);
    if (fd >= 0) {
        Sys().close(fd);
    }
    return fd >= 0;
}

}  // namespace

std::string UserHome() {
    return PasswordHome();
}

bool MakeTrustedDirectory(const std::string& path, unsigned mode) {
    const std::string dir = Trimmed(path);
    if (dir.empty() || dir[0] != '/') {
        return false;
    }
    if (CheckDirectoryChain(dir) == ERROR_SUCCESS) {
        return true;
    }
    const unsigned above = mode & 0755;
    for (size_t slash = dir.find('/', 1); slash != std::string::npos; slash = dir.find('/', slash + 1)) {
        const std::string part = dir.substr(0, slash);
        struct stat info {};
        if (Sys().fstatat(AT_FDCWD, part.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 && !MakeOneDirectory(part, above)) {
            return false;
        }
    }
    return MakeOneDirectory(dir, mode) && CheckDirectoryChain(dir) == ERROR_SUCCESS;
}

std::string TemporaryDirectory() {
    for (const char* name : {"TMPDIR", "XDG_RUNTIME_DIR"}) {
        const std::string dir = CheckedVariable(name);
        if (!dir.empty()) {
            return dir;
        }
    }
    const std::string own = "/tmp/qvtr-" + std::to_string(static_cast<unsigned long>(geteuid()));
    if (CheckDirectoryChain("/tmp") == ERROR_SUCCESS && MakePrivateDirectory(own)) {
        return own;
    }
    // Another user took that name first: a directory of the user's home instead,
    // which nobody else can take.
    const std::string home = UserHome();
    const std::string cache = home + "/.cache/qvtr/tmp";
    return !home.empty() && MakeTrustedDirectory(cache, 0700) ? cache : std::string();
}

std::string WindowsDirectory() {
    std::string config = CheckedVariable("XDG_CONFIG_HOME", true);
    if (config.empty()) {
        const std::string home = UserHome();
        if (home.empty()) {
            return std::string();
        }
        config = home + "/.config";
    }
    return Trimmed(config) + "/qvtr/";
}

bool PrivateRegistry() {
    const char* path = std::getenv("QVTR_REGISTRY");
    return path != nullptr && *path != '\0';
}

std::string UserHivePath() {
    if (PrivateRegistry()) {
        return std::getenv("QVTR_REGISTRY");
    }
    const std::string data = CheckedVariable("XDG_DATA_HOME", true);
    if (!data.empty()) {
        return Trimmed(data) + "/qvtr/registry.db";
    }
    const std::string home = UserHome();
    return home.empty() ? std::string() : home + "/.local/share/qvtr/registry.db";
}

std::string MachineHivePath() {
    const char* path = std::getenv("QVTR_MACHINE_HIVE");
    return path != nullptr && *path != '\0' ? path : kMachineHive;
}

std::string ServiceRunDirectory() {
    return (PrivateRegistry() ? UserHivePath() : MachineHivePath()) + ".services/";
}

}  // namespace posix
