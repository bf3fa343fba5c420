// Linked into every test program: a test that goes wrong may fail, but not fill
// the disk. A watcher outside the program (not its child, so that no wait of the
// test's reaps it) adds up the blocks of the program's temporary directories
// twice a second and stops the program (SIGXFSZ) when they pass 2 GiB. Sparse files count
// what they really use.
#if !defined(_WIN32)
#include <dirent.h>
#include <ftw.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

// QVTR_TEST_BOUND_MIB sets another bound (to see this one work).
unsigned long long BoundBytes() {
    const char* mib = std::getenv("QVTR_TEST_BOUND_MIB");
    return (mib && *mib ? std::strtoull(mib, nullptr, 10) : 2048) << 20;
}

thread_local unsigned long long t_used = 0;

int Add(const char*, const struct stat* info, int, FTW*) {
    t_used += static_cast<unsigned long long>(info->st_blocks) * 512;
    return 0;
}

// The blocks of the program's directories: qvtr-test-<pid>-* in `base`.
unsigned long long UsedBy(pid_t program, const std::string& base) {
    const std::string prefix = "qvtr-test-" + std::to_string(program) + "-";
    t_used = 0;
    if (DIR* d = opendir(base.c_str())) {
        while (dirent* entry = readdir(d)) {
            if (std::string(entry->d_name).compare(0, prefix.size(), prefix) == 0) {
                nftw((base + "/" + entry->d_name).c_str(), Add, 16, FTW_PHYS);
            }
        }
        closedir(d);
    }
    return t_used;
}

// Holds none of the program's descriptors: whoever reads its output sees the end
// when the program ends. SIGXFSZ says why; SIGKILL follows if it is blocked.
[[noreturn]] void Watch(pid_t program) {
    for (int fd = 0; fd < 1024; ++fd) {
        close(fd);
    }
    const char* tmp = std::getenv("TMPDIR");
    const std::string base = tmp && *tmp ? tmp : "/tmp";
    const unsigned long long bound = BoundBytes();
    while (kill(program, 0) == 0) {
        if (UsedBy(program, base) > bound) {
            kill(program, SIGXFSZ);
            sleep(1);
            kill(program, SIGKILL);
            break;
        }
        usleep(500 * 1000);
    }
    _exit(0);
}

const bool kWatched = [] {
    const pid_t program = getpid();
    const pid_t middle = fork();
    if (middle == 0) {
        setsid();
        if (fork() == 0) {
            Watch(program);
        }
        _exit(0);
    }
    if (middle > 0) {
        waitpid(middle, nullptr, 0);
    }
    return true;
}();

}  // namespace
#endif
