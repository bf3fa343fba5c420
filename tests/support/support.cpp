#include "support.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#if defined(_WIN32)
#include <process.h>
#include "qvtr/win32.h"
#else
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace testing_support {

namespace {

#if defined(_WIN32)
void RemoveTree(const std::string& dir) {
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((dir + "*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = data.cFileName;
            if (name == "." || name == "..") {
                continue;
            }
            const std::string path = dir + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(path + "\\");
            } else {
                SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(path.c_str());
            }
        } while (FindNextFileA(find, &data));
        FindClose(find);
    }
    RemoveDirectoryA(dir.c_str());
}
#else
void RemoveTree(const std::string& dir) {
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* entry = readdir(d)) {
            const std::string name = entry->d_name;
            if (name == "." || name == "..") {
                continue;
            }
            const std::string path = dir + name;
            struct stat info {};
            if (lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
                chmod(path.c_str(), 0700);
                RemoveTree(path + "/");
            } else {
                unlink(path.c_str());
            }
        }
        closedir(d);
    }
    rmdir(dir.c_str());
}

// Removes the directories of test processes that are gone (killed by a time
// limit before their destructors ran): this user's, named with a dead pid.
void SweepLeftovers(const std::string& base) {
    DIR* d = opendir(base.c_str());
    if (d == nullptr) {
        return;
    }
    while (dirent* entry = readdir(d)) {
        long pid = 0;
        struct stat info {};
        const std::string path = base + "/" + entry->d_name;
        if (std::sscanf(entry->d_name, "qvtr-test-%ld-", &pid) == 1 && pid > 0 &&
            kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH && lstat(path.c_str(), &info) == 0 &&
            S_ISDIR(info.st_mode) && info.st_uid == geteuid()) {
            RemoveTree(path + "/");
        }
    }
    closedir(d);
}
#endif

}  // namespace

TempDir::TempDir() {
#if defined(_WIN32)
    char base[MAX_PATH];
    GetTempPathA(sizeof base, base);
    static unsigned counter = 0;
    for (;;) {
        m_path =
            std::string(base) + "qvtr-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
        if (CreateDirectoryA(m_path.c_str(), nullptr)) {
            break;
        }
    }
    m_path += "\\";
#else
    const char* tmp = std::getenv("TMPDIR");
    const std::string base = tmp && *tmp ? tmp : "/tmp";
    static const bool swept = (SweepLeftovers(base), true);
    (void)swept;
    std::string pattern = base + "/qvtr-test-" + std::to_string(getpid()) + "-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    m_path = pattern + "/";
#endif
}

TempDir::~TempDir() {
    RemoveTree(m_path);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::string& path) {
    return std::ifstream(path).good();
}

void CopyFileBytes(const std::string& from, const std::string& to) {
    WriteFile(to, ReadFile(from));
}

std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(path));
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : m_name(name) {
    const char* old = std::getenv(name);
    m_had = old != nullptr;
    m_old = old ? old : "";
#if defined(_WIN32)
    _putenv_s(name, value ? value : "");
#else
    if (value) {
        setenv(name, value, 1);
    } else {
        unsetenv(name);
    }
#endif
}

ScopedEnv::~ScopedEnv() {
#if defined(_WIN32)
    _putenv_s(m_name.c_str(), m_had ? m_old.c_str() : "");
#else
    if (m_had) {
        setenv(m_name.c_str(), m_old.c_str(), 1);
    } else {
        unsetenv(m_name.c_str());
    }
#endif
}

std::string PlatformPath(const std::string& hostPath) {
#if defined(_WIN32)
    if (!hostPath.empty() && hostPath[0] == '/') {
        std::string path = "Z:" + hostPath;
        for (char& c : path) {
            if (c == '/') {
                c = '\\';
            }
        }
        return path;
    }
#endif
    return hostPath;
}

std::string SelfPath() {
#if defined(_WIN32)
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, sizeof path);
    return path;
#else
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
#endif
}

std::vector<std::string> ChildArgs(const std::string& test) {
    return {"--gtest_filter=" + test};
}

const char* ChildRole() {
    return std::getenv("QVTR_CHILD_ROLE");
}

#if defined(_WIN32)
struct Child::Impl {
    PROCESS_INFORMATION info{};
    bool started = false;
};

Child::Child(const std::string& program, const std::vector<std::string>& args) : m_impl(new Impl) {
    std::string commandLine = "\"" + program + "\"";
    for (const std::string& arg : args) {
        commandLine += " \"" + arg + "\"";
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    m_impl->started = CreateProcessA(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                     &startup, &m_impl->info) != FALSE;
}

Child::~Child() {
    if (m_impl->started) {
        CloseHandle(m_impl->info.hProcess);
        CloseHandle(m_impl->info.hThread);
    }
    delete m_impl;
}

int Child::Wait() {
    if (!m_impl->started) {
        return -1;
    }
    WaitForSingleObject(m_impl->info.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(m_impl->info.hProcess, &code);
    return static_cast<int>(code);
}

void Child::Kill() {
    if (m_impl->started) {
        TerminateProcess(m_impl->info.hProcess, 9);
    }
}

uint32_t Child::Pid() const {
    return m_impl->info.dwProcessId;
}
bool Child::Started() const {
    return m_impl->started;
}
#else
struct Child::Impl {
    pid_t pid = -1;
    bool waited = false;
    int status = 0;
};

Child::Child(const std::string& program, const std::vector<std::string>& args) : m_impl(new Impl) {
    std::vector<std::string> argv_storage;
    argv_storage.push_back(program);
    argv_storage.insert(argv_storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argv_storage) {
        argv.push_back(&arg[0]);
    }
    argv.push_back(nullptr);
    m_impl->pid = fork();
    if (m_impl->pid == 0) {
        execv(program.c_str(), argv.data());
        _exit(127);
    }
}

Child::~Child() {
    if (m_impl->pid > 0 && !m_impl->waited) {
        kill(m_impl->pid, SIGKILL);
        Wait();
    }
    delete m_impl;
}

int Child::Wait() {
    if (m_impl->pid <= 0) {
        return -1;
    }
    if (!m_impl->waited) {
        while (waitpid(m_impl->pid, &m_impl->status, 0) < 0) {
        }
        m_impl->waited = true;
    }
    return WIFEXITED(m_impl->status) ? WEXITSTATUS(m_impl->status) : 128 + WTERMSIG(m_impl->status);
}

void Child::Kill() {
    if (m_impl->pid > 0 && !m_impl->waited) {
        kill(m_impl->pid, SIGKILL);
    }
}

uint32_t Child::Pid() const {
    return static_cast<uint32_t>(m_impl->pid);
}
bool Child::Started() const {
    return m_impl->pid > 0;
}
#endif

}  // namespace testing_support
