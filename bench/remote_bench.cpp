// Another machine's registry over ssh on the loopback address (an sshd of its
// own, scripts/loopback-sshd.sh; root only): a walk of 10,000 keys and a single
// read through a connected root, against the same walk and read on this machine
// and against a bare round trip of the same ssh channel (`cat` as the remote
// command). Both sides use one registry file, so the walks read the same tree.
//
// Run: build/native/bin/remote_bench --benchmark_repetitions=5
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "bench/compare.h"
#include "regfile/reg_tree.h"
#include "win32/api.h"

namespace {

char g_directory[64] = "";
std::string g_ssh;
HKEY g_remote = nullptr;
const char kTree[] = "Software\\RemoteBench";

__attribute__((constructor(101))) void UseOwnRegistry() {
    char pattern[] = "/tmp/qvtr-remote-bench-XXXXXX";
    if (mkdtemp(pattern) != nullptr) {
        std::strcpy(g_directory, pattern);
        setenv("QVTR_REGISTRY", (std::string(g_directory) + "/registry.db").c_str(), 1);
    }
}

bool StartServer() {
    const std::string dir = std::string(g_directory) + "/sshd";
    if (std::system((std::string(QVTR_LOOPBACK_SSHD) + " start " + dir + " " + std::to_string(getpid()) + " >/dev/null")
                        .c_str()) != 0) {
        return false;
    }
    FILE* env = std::fopen((dir + "/env").c_str(), "r");
    char line[1024] = "";
    if (env == nullptr || std::fgets(line, sizeof line, env) == nullptr) {
        return false;
    }
    std::fclose(env);
    g_ssh = line;
    g_ssh = g_ssh.substr(g_ssh.find('"') + 1);
    g_ssh = g_ssh.substr(0, g_ssh.rfind('"'));
    setenv("QVTR_SSH", g_ssh.c_str(), 1);
    setenv("QVTR_REMOTE_COMMAND",
           ("env QVTR_REGISTRY=" + std::string(g_directory) + "/registry.db " + QVTR_TOOL + " reg-server").c_str(), 1);
    return true;
}

// 100 keys of 100 keys, two values each: 10,101 keys.
void Fill() {
    const Win32Api& api = Api();
    api.QvtrRegTransaction(QVTR_REG_BEGIN);
    for (int a = 0; a < 100; ++a) {
        for (int b = 0; b < 100; ++b) {
            char path[96];
            std::snprintf(path, sizeof path, "%s\\K%03d\\S%03d", kTree, a, b);
            HKEY key = nullptr;
            api.RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
            const DWORD number = static_cast<DWORD>(a * 100 + b);
            api.RegSetValueExA(key, "Name", 0, REG_SZ, reinterpret_cast<const BYTE*>(path), std::strlen(path) + 1);
            api.RegSetValueExA(key, "Count", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
            api.RegCloseKey(key);
        }
    }
    api.QvtrRegTransaction(QVTR_REG_COMMIT);
}

// What `qvtr reg query /s` reads: every key with its values, in one snapshot.
void Walk(benchmark::State& state, HKEY root) {
    for (auto _ : state) {
        Api().QvtrRegTransaction(QVTR_REG_SNAPSHOT);
        HKEY key = nullptr;
        Api().RegOpenKeyExA(root, kTree, 0, KEY_READ, &key);
        regfile::Tree tree;
        if (regfile::ReadTree(key, true, tree) != ERROR_SUCCESS || tree.children.size() != 100) {
            state.SkipWithError("the walk failed");
        }
        Api().RegCloseKey(key);
        Api().QvtrRegTransaction(QVTR_REG_COMMIT);
        benchmark::DoNotOptimize(tree);
    }
}

void BM_LocalWalk(benchmark::State& state) {
    Walk(state, HKEY_LOCAL_MACHINE);
}
void BM_RemoteWalk(benchmark::State& state) {
    Walk(state, g_remote);
}

void Read(benchmark::State& state, HKEY root) {
    HKEY key = nullptr;
    Api().RegOpenKeyExA(root, "Software\\RemoteBench\\K050\\S050", 0, KEY_READ, &key);
    for (auto _ : state) {
        DWORD number = 0;
        DWORD size = sizeof number;
        if (Api().RegQueryValueExA(key, "Count", nullptr, nullptr, reinterpret_cast<LPBYTE>(&number), &size) != 0 ||
            number != 5050) {
            state.SkipWithError("the read failed");
        }
    }
    Api().RegCloseKey(key);
}

void BM_LocalRead(benchmark::State& state) {
    Read(state, HKEY_LOCAL_MACHINE);
}
void BM_RemoteRead(benchmark::State& state) {
    Read(state, g_remote);
}

// The floor of a remote read: 16 bytes there and back over the same ssh channel.
void BM_ChannelRoundTrip(benchmark::State& state) {
    int channel[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, channel);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(channel[1], 0);
        dup2(channel[1], 1);
        std::vector<std::string> words;
        std::istringstream in(g_ssh);
        for (std::string word; in >> word;) {
            words.push_back(word);
        }
        words.push_back("127.0.0.1");
        words.push_back("cat");
        std::vector<char*> argv;
        for (std::string& word : words) {
            argv.push_back(&word[0]);
        }
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(channel[1]);
    char bytes[16] = "round trip";
    for (auto _ : state) {
        if (write(channel[0], bytes, sizeof bytes) != sizeof bytes) {
            state.SkipWithError("the channel failed");
            break;
        }
        for (size_t got = 0; got < sizeof bytes;) {
            const ssize_t n = read(channel[0], bytes + got, sizeof bytes - got);
            if (n <= 0) {
                state.SkipWithError("the channel failed");
                break;
            }
            got += static_cast<size_t>(n);
        }
    }
    close(channel[0]);
    waitpid(pid, nullptr, 0);
}

void BM_Connect(benchmark::State& state) {
    for (auto _ : state) {
        HKEY root = nullptr;
        if (Api().RegConnectRegistryA("\\\\127.0.0.1", HKEY_LOCAL_MACHINE, &root) != ERROR_SUCCESS) {
            state.SkipWithError("no connection");
        }
        Api().RegCloseKey(root);
    }
}

BENCHMARK(BM_LocalWalk)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RemoteWalk)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LocalRead)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RemoteRead)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ChannelRoundTrip)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Connect)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (!StartServer()) {
        std::fprintf(stderr, "remote_bench: no sshd on the loopback address (needs root and openssh-server)\n");
        return 77;
    }
    Fill();
    if (Api().RegConnectRegistryA("\\\\127.0.0.1", HKEY_LOCAL_MACHINE, &g_remote) != ERROR_SUCCESS) {
        std::fprintf(stderr, "remote_bench: cannot connect to 127.0.0.1\n");
        return 1;
    }
    qvtr_bench::FloorReporter reporter({{"BM_RemoteWalk", "BM_LocalWalk"},
                                        {"BM_RemoteRead", "BM_ChannelRoundTrip"},
                                        {"BM_RemoteRead", "BM_LocalRead"}});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintComparisons();
    Api().RegCloseKey(g_remote);
    std::system((std::string(QVTR_LOOPBACK_SSHD) + " stop " + g_directory + "/sshd").c_str());
    std::system((std::string("rm -rf ") + g_directory).c_str());
    return 0;
}
