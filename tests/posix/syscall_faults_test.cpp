// Every system call of the POSIX backend, SQLite's own I/O included, failing in
// turn under each facility: the operation either reports a Win32 error and
// leaves nothing half done, or succeeds whole, and the next call works.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "posix/forked.h"
#include "qvtr/module.h"
#include "support/support.h"
#include "support/syscall_faults.h"
#include "win32/api.h"
#include "win32/posix/posix.h"

namespace {

using namespace testing_support;

// A failure must say what went wrong: a run that fails without a code says so.
const unsigned long kNoCode = 0xFFFFFFFFul;

unsigned long LastErrorOr(bool ok) {
    if (ok) {
        return 0;
    }
    const DWORD error = Api().GetLastError();
    return error != 0 ? error : kNoCode;
}

// Each run makes a name of its own, so that every step of making one can fail.
TEST(SyscallFaults, NamedObjectIsMadeWholeOrNotAtAll) {
    const std::string base = "qvtr-faults-" + std::to_string(getpid()) + "-";
    int run = 0;
    std::string name;
    const int failures = FailEachSyscall([&] { name = base + std::to_string(++run); },
                                         [&] {
                                             HANDLE h = Api().CreateMutexA(nullptr, FALSE, name.c_str());
                                             const unsigned long result = LastErrorOr(h != nullptr);
                                             if (h != nullptr) {
                                                 if (Api().WaitForSingleObject(h, 1000) == WAIT_OBJECT_0) {
                                                     Api().ReleaseMutex(h);
                                                 }
                                                 Api().CloseHandle(h);
                                             }
                                             return result;
                                         },
                                         [&](unsigned long result, const std::string& failed) {
                                             EXPECT_NE(result, kNoCode);
                                             // Nothing of the failed attempt holds the name: the next maker is its
                                             // creator.
                                             HANDLE h = Api().CreateMutexA(nullptr, TRUE, name.c_str());
                                             ASSERT_NE(h, nullptr) << "after " << failed;
                                             EXPECT_NE(Api().GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS))
                                                 << "after " << failed;
                                             Api().ReleaseMutex(h);
                                             Api().CloseHandle(h);
                                         });
    EXPECT_GT(failures, 0);
}

TEST(SyscallFaults, IniWriteLeavesTheOldFileOrTheNewOne) {
    TempDir dir;
    const std::string path = dir.File("faults.ini");
    const std::string before = "[s]\nk=old\nother=1\n", after = "[s]\nk=new\nother=1\n";
    const int failures = FailEachSyscall(
        [&] { WriteFile(path, before); },
        [&] { return LastErrorOr(Api().WritePrivateProfileStringA("s", "k", "new", path.c_str())); },
        [&](unsigned long result, const std::string& failed) {
            EXPECT_NE(result, kNoCode);
            const std::string now = ReadFile(path);
            EXPECT_TRUE(now == (result == 0 ? after : before) || (result != 0 && now == after))
                << "after " << failed << ": " << now;
            EXPECT_EQ(DirectoryEntries(dir.Path()), 1u) << "a temporary file is left after " << failed;
            if (result != 0) {
                EXPECT_EQ(result, posix::ErrnoToWin32(InjectedErrno(failed))) << "after " << failed;
            }
            char value[16] = {};
            Api().GetPrivateProfileStringA("s", "k", "", value, sizeof value, path.c_str());
            EXPECT_EQ(now, "[s]\nk=" + std::string(value) + "\nother=1\n") << "a stale read after " << failed;
        });
    EXPECT_GT(failures, 0);
}

// The value "v": 0 old, 1 new, 2 anything else.
int ValueIn(HKEY key) {
    char data[16] = {};
    DWORD size = sizeof data;
    if (Api().RegQueryValueExA(key, "v", nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size) != 0) {
        return 2;
    }
    return std::strcmp(data, "old") == 0 ? 0 : std::strcmp(data, "new") == 0 ? 1 : 2;
}

// As a new process reads it, with no memory of its own.
int ValueSeenAfresh(const char* subKey) {
    return forked::Run([&] {
        HKEY key = nullptr;
        return Api().RegOpenKeyExA(HKEY_CURRENT_USER, subKey, 0, KEY_READ, &key) == ERROR_SUCCESS ? ValueIn(key) : 2;
    });
}

LONG SetText(HKEY key, const char* text) {
    return Api().RegSetValueExA(key, "v", 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                                static_cast<DWORD>(std::strlen(text) + 1));
}

TEST(SyscallFaults, RegistryWriteIsWholeOrUndoneOnDiskAndInMemory) {
    const char* const kSubKey = "Software\\QvtrSyscallFaults";
    HKEY key = nullptr;
    ASSERT_EQ(Api().RegCreateKeyExA(HKEY_CURRENT_USER, kSubKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const int failures = FailEachSyscall([&] { ASSERT_EQ(SetText(key, "old"), ERROR_SUCCESS); },
                                         [&] { return static_cast<unsigned long>(SetText(key, "new")); },
                                         [&](unsigned long result, const std::string& failed) {
                                             const int here = ValueIn(key);
                                             EXPECT_EQ(here, result == 0 ? 1 : 0) << "after " << failed;
                                             EXPECT_EQ(ValueSeenAfresh(kSubKey), here) << "after " << failed;
                                         });
    EXPECT_GT(failures, 0);
    Api().RegCloseKey(key);
    Api().RegDeleteKeyA(HKEY_CURRENT_USER, kSubKey);
}

void Trace(const std::string& path, const char* text) {
    CComModuleSupport module;
    module.m_nDebugLevel = 1;
    module.m_strLogPath = path;
    module.Trace(1, "%s\n", text);
}

// Whole lines only: each the trace's prefix and ": TEXT".
bool WholeLines(const std::string& log, const std::vector<std::string>& texts) {
    size_t at = 0;
    for (const std::string& text : texts) {
        const std::string end = ": " + text + "\n";
        const size_t found = log.find(end, at);
        if (found == std::string::npos || log.find('\n', at) < found) {
            return false;
        }
        at = found + end.size();
    }
    return at == log.size();
}

TEST(SyscallFaults, LogLosesAFailedLineButNeverTearsOne) {
    TempDir dir;
    const std::string path = dir.File("faults.log");
    const int failures = FailEachSyscall(
        [&] { WriteFile(path, ""); },
        [&] {
            Trace(path, "armed");
            return 0ul;
        },
        [&](unsigned long, const std::string& failed) {
            Trace(path, "after");
            const std::string log = ReadFile(path);
            EXPECT_TRUE(WholeLines(log, {"armed", "after"}) || (!failed.empty() && WholeLines(log, {"after"})))
                << "after " << failed << ": " << log;
        });
    EXPECT_GT(failures, 0);
}

// Processes that carry the service's name in their environment, as its own do.
int ProcessesOf(const std::string& service) {
    const std::string mark = std::string(1, '\0') + "QVTR_SERVICE_NAME=" + service + '\0';
    return ProcessesWhere("environ",
                          [&](const std::string& text) { return ('\0' + text).find(mark) != std::string::npos; });
}

DWORD StateOf(SC_HANDLE service) {
    SERVICE_STATUS status{};
    return Api().QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
}

TEST(SyscallFaults, ServiceStartsWholeOrLeavesNoProcessAndNoRecord) {
    const std::string name = "QvtrFaults" + std::to_string(getpid());
    const std::string path = "System\\CurrentControlSet\\Services\\" + name;
    HKEY key = nullptr;
    ASSERT_EQ(
        Api().RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    const char image[] = "/bin/sh -c \"exec sleep 30\"";
    Api().RegSetValueExA(key, "ImagePath", 0, REG_SZ, reinterpret_cast<const BYTE*>(image), sizeof image);
    Api().RegCloseKey(key);
    SC_HANDLE manager = Api().OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = Api().OpenServiceA(manager, name.c_str(), SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
    ASSERT_NE(service, nullptr);
    auto settled = [&](DWORD state) {
        for (int i = 0; i < 500 && StateOf(service) != state; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return StateOf(service) == state;
    };
    const int failures = FailEachSyscall([] {}, [&] { return LastErrorOr(Api().StartServiceA(service, 0, nullptr)); },
                                         [&](unsigned long result, const std::string& failed) {
                                             EXPECT_NE(result, kNoCode);
                                             if (result == 0) {
                                                 EXPECT_TRUE(settled(SERVICE_RUNNING)) << "after " << failed;
                                                 SERVICE_STATUS status{};
                                                 Api().ControlService(service, SERVICE_CONTROL_STOP, &status);
                                             }
                                             EXPECT_TRUE(settled(SERVICE_STOPPED)) << "after " << failed;
                                             for (int i = 0; i < 200 && ProcessesOf(name) != 0; ++i) {
                                                 std::this_thread::sleep_for(std::chrono::milliseconds(10));
                                             }
                                             EXPECT_EQ(ProcessesOf(name), 0) << "a process is left after " << failed;
                                         },
                                         100);
    EXPECT_GT(failures, 0);
    Api().CloseServiceHandle(service);
    Api().CloseServiceHandle(manager);
    Api().RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
}

}  // namespace
