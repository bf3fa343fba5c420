// Loading the module against its floor, as whole processes in turns: a process
// that loads libqvtr (which reads its INI file, sets its log path and takes the
// machine's version snapshot) and one that loads an empty library of the same
// libraries, alternately, their CPU time (user and system) from wait4.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <string>

extern char** environ;

namespace {

// The CPU time in nanoseconds of one process that loads `library`; -1 on failure.
double LoadOnce(const char* library) {
    char* argv[] = {const_cast<char*>(QVTR_LOAD_PROBE), const_cast<char*>(library), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ) != 0) {
        return -1;
    }
    int status = 0;
    struct rusage usage {};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return -1;
    }
    const auto ns = [](const timeval& t) { return t.tv_sec * 1e9 + t.tv_usec * 1e3; };
    return ns(usage.ru_utime) + ns(usage.ru_stime);
}

void BM_LoadInTurnsWithFloor(benchmark::State& state) {
    double module = 0;
    double floor = 0;
    for (auto _ : state) {
        const double a = LoadOnce(QVTR_MODULE);
        const double b = LoadOnce(QVTR_LOAD_FLOOR);
        if (a < 0 || b < 0) {
            state.SkipWithError("a probe process failed");
            return;
        }
        module += a;
        floor += b;
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["module_ns"] = module / n;
    state.counters["floor_ns"] = floor / n;
    state.counters["ratio"] = module / floor;
}
BENCHMARK(BM_LoadInTurnsWithFloor)->Iterations(200);

}  // namespace

BENCHMARK_MAIN();
