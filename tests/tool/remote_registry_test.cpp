// A remote machine's HKEY_LOCAL_MACHINE through a real OpenSSH server on the
// loopback address (scripts/loopback-sshd.sh: its own port and keys), whose
// registry server keeps a machine hive of its own, so that a remote answer
// cannot come from this process's store by mistake.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <functional>

#include "regfile/reg_tree.h"
#include "support/support.h"
#include "support/syscall_faults.h"
#include "tool/tool_run.h"
#include "win32/posix/remote_wire.h"
#include "win32/posix/syscalls.h"

namespace {

using testing_support::ReadFile;
using testing_support::ReadLines;
using testing_support::ScopedEnv;
using testing_support::TempDir;
using testing_support::WriteFile;

const char kTop[] = "Software\\QvtrRemote";

class RemoteRegistry : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_dir = new TempDir;
        chmod(s_dir->Path().c_str(), 0711);  // the unprivileged server's hive is in here
        const std::string script = std::string(QVTR_SOURCE_DIR) + "/scripts/loopback-sshd.sh";
        const int status = std::system((script + " start " + s_dir->Path() + "sshd " + std::to_string(getpid()) +
                                        " >/dev/null 2>" + s_dir->File("why"))
                                           .c_str());
        s_ready = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (s_ready) {
            const std::string env = ReadFile(s_dir->File("sshd/env"));
            const size_t open = env.find('"');
            s_ssh = env.substr(open + 1, env.rfind('"') - open - 1);
            const std::vector<std::string> refused = ReadLines(s_dir->File("sshd/refused_ssh"));
            s_refused = refused.empty() ? std::string() : refused[0];
        }
    }
    static void TearDownTestSuite() {
        const std::string script = std::string(QVTR_SOURCE_DIR) + "/scripts/loopback-sshd.sh";
        std::system((script + " stop " + s_dir->Path() + "sshd").c_str());
        delete s_dir;
    }

    void SetUp() override {
        if (!s_ready) {
            GTEST_SKIP() << "no OpenSSH server on the loopback address: " << ReadFile(s_dir->File("why"));
        }
    }

    // The command ssh runs there: the tool's server over the remote hive, with
    // `prefix` before it (a user change, a note of its process id).
    static std::string ServerCommand(const std::string& prefix = "") {
        return prefix + "env XDG_DATA_HOME=" + s_dir->Path() + "home QVTR_MACHINE_HIVE=" + s_dir->Path() +
               "remote.db " + QVTR_TOOL + " reg-server";
    }

    static HKEY Connect(LONG* code = nullptr, const char* host = "127.0.0.1") {
        HKEY root = nullptr;
        const LONG error = Api().RegConnectRegistryA((std::string("\\\\") + host).c_str(), HKEY_LOCAL_MACHINE, &root);
        if (code != nullptr) {
            *code = error;
        }
        return error == ERROR_SUCCESS ? root : nullptr;
    }

    ScopedEnv m_ssh{"QVTR_SSH", s_ssh.c_str()};
    ScopedEnv m_command{"QVTR_REMOTE_COMMAND", ServerCommand().c_str()};
    ScopedEnv m_timeout{"QVTR_REMOTE_TIMEOUT", "5"};

    static inline TempDir* s_dir = nullptr;
    static inline bool s_ready = false;
    static inline std::string s_ssh;
    static inline std::string s_refused;
};

// Runs the same calls below a root and writes down each one's code and results.
std::vector<std::string> Exercise(HKEY root) {
    const Win32Api& api = Api();
    std::vector<std::string> log;
    auto note = [&](const std::string& what, LONG code, const std::string& results = std::string()) {
        log.push_back(what + " -> " + std::to_string(code) + (results.empty() ? "" : " " + results));
    };
    HKEY key = nullptr;
    DWORD disposition = 0;
    char keyClass[] = "Class";
    const std::string sub = std::string(kTop) + "\\Sub";
    LONG code = api.RegCreateKeyExA(root, sub.c_str(), 0, keyClass, 0, KEY_ALL_ACCESS, nullptr, &key, &disposition);
    note("create", code, std::to_string(disposition));
    HKEY again = nullptr;
    code = api.RegCreateKeyExA(root, sub.c_str(), 0, nullptr, 0, KEY_READ, nullptr, &again, &disposition);
    note("create existing", code, std::to_string(disposition));
    api.RegCloseKey(again);

    const std::string large(200 * 1024, 'L');
    const struct {
        const char* name;
        DWORD type;
        std::string data;
    } values[] = {{"Text", REG_SZ, std::string("hello", 6)},
                  {"Number", REG_DWORD, std::string("\7\0\0\0", 4)},
                  {"Empty", REG_BINARY, std::string()},
                  {"", REG_SZ, std::string("default", 8)},
                  {"Large", REG_BINARY, large},
                  {"List", REG_MULTI_SZ, std::string("a\0b\0\0", 5)}};
    for (const auto& value : values) {
        note(std::string("set ") + value.name,
             api.RegSetValueExA(key, value.name, 0, value.type, reinterpret_cast<const BYTE*>(value.data.data()),
                                static_cast<DWORD>(value.data.size())));
    }
    for (const auto& value : values) {
        DWORD type = 0;
        DWORD size = 0;
        code = api.RegQueryValueExA(key, value.name, nullptr, &type, nullptr, &size);
        note(std::string("size of ") + value.name, code, std::to_string(type) + "/" + std::to_string(size));
        std::string data(size, '\0');
        DWORD small = size / 2;
        code = api.RegQueryValueExA(key, value.name, nullptr, &type, reinterpret_cast<LPBYTE>(&data[0]), &small);
        note("short read", code, std::to_string(small));
        code = api.RegQueryValueExA(key, value.name, nullptr, &type, reinterpret_cast<LPBYTE>(&data[0]), &size);
        note("read", code, std::to_string(data == value.data));
    }
    note("missing value", api.RegQueryValueExA(key, "Nothing", nullptr, nullptr, nullptr, nullptr));

    for (DWORD index = 0;; ++index) {
        char name[64];
        DWORD length = sizeof name;
        DWORD size = 0;
        const LONG code = api.RegEnumValueA(key, index, name, &length, nullptr, nullptr, nullptr, &size);
        note("value " + std::to_string(index), code, code == ERROR_SUCCESS ? std::string(name) : "");
        if (code != ERROR_SUCCESS) {
            break;
        }
    }
    char tiny[2];
    DWORD tinyLength = sizeof tiny;
    note("value name too long", api.RegEnumValueA(key, 0, tiny, &tinyLength, nullptr, nullptr, nullptr, nullptr));

    // Enough sub-keys with long names to need more than one batch.
    for (int i = 0; i < 1200; ++i) {
        HKEY child = nullptr;
        const std::string name = "C" + std::to_string(1000 + i) + std::string(200, 'x');
        if (api.RegCreateKeyExA(key, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr) == 0) {
            api.RegCloseKey(child);
        }
    }
    std::string names;
    DWORD index = 0;
    for (;; ++index) {
        char name[256];
        DWORD length = sizeof name;
        if (api.RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        names += std::string(name, 5);
    }
    note("sub-keys", ERROR_SUCCESS, std::to_string(index) + " " + std::to_string(std::hash<std::string>()(names)));
    char name[256];
    DWORD length = sizeof name;
    note("past the last", api.RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr));

    char classText[16];
    DWORD classLength = sizeof classText;
    DWORD counts[6] = {};
    const LONG info = api.RegQueryInfoKeyA(key, classText, &classLength, nullptr, &counts[0], &counts[1], &counts[2],
                                           &counts[3], &counts[4], &counts[5], nullptr, nullptr);
    note("info", info,
         std::string(classText) + " " + std::to_string(counts[0]) + " " + std::to_string(counts[1]) + " " +
             std::to_string(counts[3]) + " " + std::to_string(counts[4]) + " " + std::to_string(counts[5]));

    HKEY other = nullptr;
    note("open missing", api.RegOpenKeyExA(root, (std::string(kTop) + "\\Nothing").c_str(), 0, KEY_READ, &other));
    note("open from a separator", api.RegOpenKeyExA(root, "\\Software", 0, KEY_READ, &other));
    note("delete with sub-keys", api.RegDeleteKeyA(root, sub.c_str()));
    note("delete value", api.RegDeleteValueA(key, "Text"));
    note("delete it again", api.RegDeleteValueA(key, "Text"));
    HKEY doomed = nullptr;
    note("open a sub-key", api.RegOpenKeyExA(key, ("C1000" + std::string(200, 'x')).c_str(), 0, KEY_READ, &doomed));
    note("delete it", api.RegDeleteKeyA(key, ("C1000" + std::string(200, 'x')).c_str()));
    DWORD gone = 0;
    note("its handle", api.RegQueryInfoKeyA(doomed, nullptr, nullptr, nullptr, &gone, nullptr, nullptr, nullptr,
                                            nullptr, nullptr, nullptr, nullptr));
    note("close it", api.RegCloseKey(doomed));
    note("close it twice", api.RegCloseKey(doomed));

    // A whole tree, read the way the tool's walks read it: in one snapshot.
    api.QvtrRegTransaction(QVTR_REG_SNAPSHOT);
    regfile::Tree tree;
    code = regfile::ReadTree(key, true, tree);
    note("tree", code, std::to_string(tree.children.size()));
    api.QvtrRegTransaction(QVTR_REG_COMMIT);
    note("close", api.RegCloseKey(key));
    note("delete the tree", regfile::DeleteTree(root, kTop));
    return log;
}

TEST_F(RemoteRegistry, EveryOperationAnswersAsOnThisMachine) {
    HKEY remote = Connect();
    ASSERT_NE(remote, nullptr);
    const std::vector<std::string> here = Exercise(HKEY_LOCAL_MACHINE);
    const std::vector<std::string> there = Exercise(remote);
    ASSERT_EQ(here.size(), there.size());
    for (size_t i = 0; i < here.size(); ++i) {
        EXPECT_EQ(here[i], there[i]);
    }
    EXPECT_EQ(Api().RegCloseKey(remote), ERROR_SUCCESS);
}

TEST_F(RemoteRegistry, AnswersComeFromThatMachineAndItsRules) {
    HKEY remote = Connect();
    ASSERT_NE(remote, nullptr);
    HKEY key = nullptr;
    ASSERT_EQ(Api().RegCreateKeyExA(remote, kTop, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
    ASSERT_EQ(Api().RegSetValueExA(key, "Marker", 0, REG_SZ, reinterpret_cast<const BYTE*>("there"), 6), 0);
    Api().RegCloseKey(key);
    Api().RegCloseKey(remote);
    EXPECT_NE(Api().RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTop, 0, KEY_READ, &key), ERROR_SUCCESS);

    HKEY current = nullptr;
    EXPECT_EQ(Api().RegConnectRegistryA("\\\\127.0.0.1", HKEY_CURRENT_USER, &current), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Api().RegConnectRegistryA("\\\\127.0.0.1", HKEY_LOCAL_MACHINE, nullptr), ERROR_INVALID_PARAMETER);

    // The same machine for a user who is not root: it reads, it may not change.
    chmod((s_dir->Path() + "remote.db").c_str(), 0644);
    ScopedEnv user("QVTR_REMOTE_COMMAND", ServerCommand("setpriv --reuid=65534 --regid=65534 --clear-groups ").c_str());
    remote = Connect();
    ASSERT_NE(remote, nullptr);
    ASSERT_EQ(Api().RegOpenKeyExA(remote, kTop, 0, KEY_READ, &key), ERROR_SUCCESS);
    char text[8] = {};
    DWORD size = sizeof text;
    EXPECT_EQ(Api().RegQueryValueExA(key, "Marker", nullptr, nullptr, reinterpret_cast<LPBYTE>(text), &size), 0);
    EXPECT_STREQ(text, "there");
    EXPECT_EQ(Api().RegSetValueExA(key, "Marker", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2),
              ERROR_ACCESS_DENIED);
    HKEY created = nullptr;
    EXPECT_EQ(
        Api().RegCreateKeyExA(remote, "Software\\QvtrNew", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &created, nullptr),
        ERROR_ACCESS_DENIED);
    Api().RegCloseKey(key);
    // A client keeps at most 4,096 keys open there, the root among them.
    std::vector<HKEY> open(4096);
    LONG last = ERROR_SUCCESS;
    for (HKEY& each : open) {
        last = Api().RegOpenKeyExA(remote, "Software", 0, KEY_READ, &each);
    }
    EXPECT_EQ(last, ERROR_TOO_MANY_OPEN_FILES);
    for (HKEY each : open) {
        Api().RegCloseKey(each);
    }
    Api().RegCloseKey(remote);
}

// One read is one round trip; a walk in a snapshot reads the tree ahead, and
// goes on from where a full read-ahead stopped.
TEST_F(RemoteRegistry, ReadsCostOneRoundTripAndWalksReadAhead) {
    HKEY remote = Connect();
    ASSERT_NE(remote, nullptr);
    HKEY key = nullptr;
    ASSERT_EQ(Api().RegCreateKeyExA(remote, kTop, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
    const std::string data(8 * 1024, 'v');  // 300 of them: more than one read-ahead holds
    for (int i = 0; i < 300; ++i) {
        HKEY child = nullptr;
        Api().RegCreateKeyExA(key, ("K" + std::to_string(i / 20) + "\\S" + std::to_string(i)).c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &child, nullptr);
        Api().RegSetValueExA(child, "V", 0, REG_BINARY, reinterpret_cast<const BYTE*>(data.data()), data.size());
        Api().RegCloseKey(child);
    }
    // Requests that wait for an answer (a closed key's is sent without waiting).
    static int sends = 0;
    posix::SyscallOverride counting;
    counting->send = [](int fd, const void* bytes, size_t size, int flags) {
        sends += size < 5 || static_cast<const uint8_t*>(bytes)[4] != posix::wire::kBaseRegCloseKey;
        return posix::RealSyscalls().send(fd, bytes, size, flags);
    };
    sends = 0;
    DWORD size = 0;
    Api().RegQueryValueExA(key, "Nothing", nullptr, nullptr, nullptr, &size);
    EXPECT_EQ(sends, 1);
    Api().RegCloseKey(key);

    sends = 0;
    Api().QvtrRegTransaction(QVTR_REG_SNAPSHOT);
    ASSERT_EQ(Api().RegOpenKeyExA(remote, kTop, 0, KEY_READ, &key), ERROR_SUCCESS);
    regfile::Tree tree;
    EXPECT_EQ(regfile::ReadTree(key, true, tree), ERROR_SUCCESS);
    EXPECT_EQ(sends, 2) << "316 keys of 2.4 MiB walked";
    HKEY last = nullptr;
    ASSERT_EQ(Api().RegOpenKeyExA(key, "K9\\S199", 0, KEY_READ, &last), ERROR_SUCCESS);
    std::string read(data.size() + 1, '\0');
    size = static_cast<DWORD>(read.size());
    EXPECT_EQ(Api().RegQueryValueExA(last, "V", nullptr, nullptr, reinterpret_cast<LPBYTE>(&read[0]), &size), 0);
    EXPECT_EQ(read.substr(0, size), data);
    EXPECT_EQ(sends, 2) << "the walk's last key answers from memory";
    Api().RegCloseKey(last);
    Api().RegCloseKey(key);
    Api().QvtrRegTransaction(QVTR_REG_COMMIT);
    ASSERT_EQ(tree.children.size(), 15u);
    EXPECT_EQ(tree.children[14].second.children[19].second.values.at(0).data, data);  // K9\S199
    EXPECT_EQ(regfile::DeleteTree(remote, kTop), ERROR_SUCCESS);
    Api().RegCloseKey(remote);
}

// What each failure answers, and in bounded time.
TEST_F(RemoteRegistry, FailuresAnswerAsWindowsDoes) {
    const std::string fake = s_dir->File("fake-server");
    // Greets as a server does, then gives $FAKE_ANSWER to the first request.
    WriteFile(fake,
              "#!/bin/sh\n"
              "printf '\\011\\000\\000\\000\\000\\000\\000\\000\\001\\000\\000\\000x'\n"
              "printf '\\010\\000\\000\\000\\000\\000\\000\\000\\001\\000\\000\\000'\n"
              "sleep 0.3; printf \"$FAKE_ANSWER\"; sleep 20\n");
    chmod(fake.c_str(), 0755);
    const struct {
        const char* what;
        std::string ssh;
        std::string command;
        const char* host;
        const char* answer;  // for the fake server: what the first request gets
        LONG connect;
        LONG read;
    } cases[] = {
        {"no such host", s_ssh, ServerCommand(), "nosuch.invalid", "", ERROR_BAD_NETPATH, 0},
        {"nothing listens", "ssh -o BatchMode=yes -p 1 -F /dev/null", ServerCommand(), "127.0.0.1", "",
         ERROR_BAD_NETPATH, 0},
        {"no qvtr there", s_ssh, "/nonexistent/qvtr reg-server", "127.0.0.1", "", ERROR_BAD_NETPATH, 0},
        {"key refused", s_refused, ServerCommand(), "127.0.0.1", "", ERROR_ACCESS_DENIED, 0},
        {"no ssh client", "/nonexistent/ssh", ServerCommand(), "127.0.0.1", "", ERROR_BAD_NETPATH, 0},
        {"an option for a host", s_ssh, ServerCommand(), "-oProxyCommand=true", "", ERROR_BAD_NETPATH, 0},
        {"oversized answer", fake, "", "fake", "\\377\\377\\377\\377", 0, RPC_S_SERVER_UNAVAILABLE},
        {"malformed answer", fake, "", "fake", "\\002\\000\\000\\000ab", 0, RPC_S_SERVER_UNAVAILABLE},
        {"cut answer", fake, "", "fake", "\\020\\000\\000\\000\\000\\000", 0, RPC_S_SERVER_UNAVAILABLE},
        {"silent server", fake, "", "fake", "", 0, RPC_S_SERVER_UNAVAILABLE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScopedEnv ssh("QVTR_SSH", c.ssh.c_str());
        ScopedEnv command("QVTR_REMOTE_COMMAND", c.command.c_str());
        ScopedEnv answer("FAKE_ANSWER", c.answer);
        ScopedEnv timeout("QVTR_REMOTE_TIMEOUT", "2");
        const auto start = std::chrono::steady_clock::now();
        LONG code = -1;
        HKEY remote = Connect(&code, c.host);
        EXPECT_EQ(code, c.connect);
        if (remote != nullptr) {
            DWORD size = 0;
            EXPECT_EQ(Api().RegQueryValueExA(remote, "x", nullptr, nullptr, nullptr, &size), c.read);
            EXPECT_EQ(Api().RegQueryValueExA(remote, "x", nullptr, nullptr, nullptr, &size), c.read)
                << "every later call";
            EXPECT_EQ(Api().RegCloseKey(remote), RPC_S_SERVER_UNAVAILABLE);
            EXPECT_EQ(Api().RegCloseKey(remote), ERROR_INVALID_HANDLE) << "closed for good";
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    }
}

TEST_F(RemoteRegistry, AServerKilledMidWalkLeavesEveryKeyUnavailable) {
    const std::string pidFile = s_dir->File("server.pid");
    ScopedEnv command("QVTR_REMOTE_COMMAND", ("echo $$ >" + pidFile + "; exec " + ServerCommand()).c_str());
    HKEY remote = Connect();
    ASSERT_NE(remote, nullptr);
    HKEY software = nullptr;  // made here: the test may run alone, on a hive no other test filled
    ASSERT_EQ(
        Api().RegCreateKeyExA(remote, "Software\\QvtrKilledWalk", 0, nullptr, 0, KEY_READ, nullptr, &software, nullptr),
        ERROR_SUCCESS);
    Api().RegCloseKey(software);
    ASSERT_EQ(Api().RegOpenKeyExA(remote, "Software", 0, KEY_READ, &software), ERROR_SUCCESS);
    char name[256];
    DWORD length = sizeof name;
    Api().RegEnumKeyExA(software, 0, name, &length, nullptr, nullptr, nullptr, nullptr);
    ASSERT_EQ(kill(std::atoi(ReadFile(pidFile).c_str()), SIGKILL), 0);
    DWORD size = 0;
    EXPECT_EQ(Api().RegQueryValueExA(software, "x", nullptr, nullptr, nullptr, &size), RPC_S_SERVER_UNAVAILABLE);
    DWORD count = 0;
    EXPECT_EQ(Api().RegQueryInfoKeyA(software, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, nullptr),
              RPC_S_SERVER_UNAVAILABLE);
    HKEY child = nullptr;
    EXPECT_EQ(Api().RegOpenKeyExA(remote, "Software", 0, KEY_READ, &child), RPC_S_SERVER_UNAVAILABLE);
    EXPECT_EQ(Api().RegCloseKey(software), RPC_S_SERVER_UNAVAILABLE);
    EXPECT_EQ(Api().RegCloseKey(remote), RPC_S_SERVER_UNAVAILABLE);
    // A new connection is a new server.
    ScopedEnv plain("QVTR_REMOTE_COMMAND", ServerCommand().c_str());
    remote = Connect();
    ASSERT_NE(remote, nullptr);
    EXPECT_EQ(Api().RegCloseKey(remote), ERROR_SUCCESS);
}

TEST_F(RemoteRegistry, TheToolReachesThatMachine) {
    HKEY remote = Connect();
    ASSERT_NE(remote, nullptr);
    auto set = [&](const char* path, const char* name, DWORD type, const std::string& data) {
        HKEY key = nullptr;
        ASSERT_EQ(Api().RegCreateKeyExA(remote, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
        Api().RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                             static_cast<DWORD>(data.size()));
        Api().RegCloseKey(key);
    };
    set("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", "CurrentVersion", REG_SZ, std::string("4.0", 4));
    set("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", "CurrentBuildNumber", REG_SZ, std::string("1381", 5));
    set("System\\CurrentControlSet\\Control\\ProductOptions", "ProductSuite", REG_MULTI_SZ,
        std::string("Terminal Server\0\0", 17));
    Api().RegCloseKey(remote);

    const tool_test::Result report = tool_test::RunTool({"report", "--machine", "127.0.0.1"});
    EXPECT_EQ(report.status, 0) << report.err;
    EXPECT_NE(report.out.find("OS version:            4.0.1381"), std::string::npos) << report.out;
    EXPECT_NE(report.out.find("Terminal Server:       yes"), std::string::npos) << report.out;
    EXPECT_NE(report.out.find("Multi-user:            yes"), std::string::npos) << report.out;

    const tool_test::Result query = tool_test::RunTool(
        {"reg", "query", "\\\\127.0.0.1\\HKLM\\System\\CurrentControlSet\\Control\\ProductOptions", "/s"});
    EXPECT_EQ(query.status, 0) << query.err;
    EXPECT_EQ(query.out,
              "\n\\\\127.0.0.1\\HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\ProductOptions\n"
              "    ProductSuite    REG_MULTI_SZ    Terminal Server\n\n");
    const tool_test::Result unknown = tool_test::RunTool({"report", "--machine", "nosuch.invalid"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_NE(unknown.err.find("network path was not found"), std::string::npos) << unknown.err;
}

}  // namespace

namespace {

// This process's children, exited ones not yet reaped included.
int Children() {
    return testing_support::ProcessesWhere("stat", [](const std::string& text) {
        int parent = 0;
        const size_t close = text.rfind(')');
        return close != std::string::npos && std::sscanf(text.c_str() + close + 1, " %*c %d", &parent) == 1 &&
               parent == getpid();
    });
}

// Every system call of a connection failing in turn (the server run here,
// without ssh): it is made whole or not at all, and leaves no process and no
// descriptor either way.
TEST(RemoteRegistryFaults, AConnectionIsWholeOrLeavesNothing) {
    TempDir dir;
    const std::string here = dir.File("here-ssh");
    WriteFile(here, "#!/bin/sh\nexec sh -c \"$2\"\n");
    chmod(here.c_str(), 0755);
    ScopedEnv ssh("QVTR_SSH", here.c_str());
    ScopedEnv command("QVTR_REMOTE_COMMAND", (std::string(QVTR_TOOL) + " reg-server").c_str());
    ScopedEnv timeout("QVTR_REMOTE_TIMEOUT", "2");
    const size_t descriptors = testing_support::DirectoryEntries("/proc/self/fd");
    const int failures = testing_support::FailEachSyscall(
        [] {},
        [] {
            HKEY root = nullptr;
            LONG error = Api().RegConnectRegistryA("\\\\elsewhere", HKEY_LOCAL_MACHINE, &root);
            if (error == ERROR_SUCCESS) {
                DWORD subKeys = 0;
                error = Api().RegQueryInfoKeyA(root, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr,
                                               nullptr, nullptr, nullptr, nullptr);
                const LONG closed = Api().RegCloseKey(root);
                error = error != ERROR_SUCCESS ? error : closed;
            }
            return static_cast<unsigned long>(error);
        },
        [&](unsigned long result, const std::string& failed) {
            EXPECT_TRUE(result == ERROR_SUCCESS || result == ERROR_BAD_NETPATH || result == RPC_S_SERVER_UNAVAILABLE ||
                        result == ERROR_TOO_MANY_OPEN_FILES || result == ERROR_NOT_ENOUGH_MEMORY)
                << result << " after " << failed;
            EXPECT_EQ(testing_support::DirectoryEntries("/proc/self/fd"), descriptors) << "after " << failed;
            EXPECT_EQ(Children(), 0) << "after " << failed;
        },
        50);
    EXPECT_GT(failures, 0);
}

}  // namespace
